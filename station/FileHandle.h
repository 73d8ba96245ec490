// What the PTT and COS lines open their devices with: a file descriptor closed when it goes, and
// the reason the last system call failed, in the words the lines' messages give.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

inline std::string lastSystemError() {
    return std::strerror(errno);
}

// Why libgpiod could not open Chip: a file that is there but no GPIO chip (a plain file, another
// device) is said so, where the library's own lookup by name would report it missing.
inline std::string gpioChipError(const std::string& Chip) {
    const int error = errno;
    struct stat status {};
    if (::stat(Chip.c_str(), &status) == 0 &&
        (!S_ISCHR(status.st_mode) || error == ENODEV || error == ENOTTY || error == ENOENT))
        return "it is not a GPIO chip";
    return std::strerror(error);
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
