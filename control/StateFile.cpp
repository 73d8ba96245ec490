#include "control/StateFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace control {
namespace fs = std::filesystem;

namespace {

std::string errnoText() {
    return std::error_code(errno, std::generic_category()).message();
}

} // namespace

fs::path stateFileFor(const fs::path& iniPath) {
    fs::path state = iniPath;
    state.replace_extension(".state");
    return state;
}

std::vector<std::string> readState(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec) && !ec)
        return {};
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error(file.string() + " cannot be read");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (in.bad())
        throw std::runtime_error(file.string() + " cannot be read");
    return lines;
}

std::optional<std::string> stateValue(const std::vector<std::string>& lines,
                                      const std::string& key) {
    for (const std::string& line : lines)
        if (line.starts_with(key + "="))
            return line.substr(key.size() + 1);
    return std::nullopt;
}

void storeState(const fs::path& file, const std::string& key, const std::string& value) {
    std::vector<std::string> lines = readState(file);
    bool found = false;
    for (std::string& line : lines)
        if (line.starts_with(key + "=")) {
            line = key + "=" + value;
            found = true;
        }
    if (!found)
        lines.push_back(key + "=" + value);
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    const fs::path temporary = file.string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error(file.string() + " cannot be written: " + errnoText());
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    const std::string why = errnoText();
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), file.c_str()) != 0) {
        const std::string reason = written ? errnoText() : why;
        ::unlink(temporary.c_str());
        throw std::runtime_error(file.string() + " cannot be written: " + reason);
    }
}

} // namespace control
