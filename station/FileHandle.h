// What the PTT and COS lines open their devices with: a file descriptor closed when it goes, and
// the reason the last system call failed, in the words the lines' messages give.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace station {

inline std::string lastSystemError() {
    return std::strerror(errno);
}

class FileHandle {
public:
    // A descriptor below 0 (the device could not be opened) leaves errno as open(2) set it.
    FileHandle(const std::string& Path, int Flags) : fd_(::open(Path.c_str(), Flags)) {}
    ~FileHandle() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace station
