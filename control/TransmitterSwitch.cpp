#include "control/TransmitterSwitch.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace control {
namespace fs = std::filesystem;

namespace {

constexpr const char* Key = "transmitter=";

std::string errnoText() {
    return std::error_code(errno, std::generic_category()).message();
}

} // namespace

fs::path TransmitterSwitch::stateFileFor(const fs::path& iniPath) {
    fs::path state = iniPath;
    state.replace_extension(".state");
    return state;
}

TransmitterSwitch::TransmitterSwitch(fs::path stateFile) : file_(std::move(stateFile)) {
    std::error_code ec;
    if (!fs::exists(file_, ec) && !ec)
        return;
    std::ifstream in(file_);
    std::string line;
    if (!in || !std::getline(in, line)) {
        on_ = false;
        problem_ = file_.string() + " cannot be read; the transmitter stays off";
        return;
    }
    if (line == std::string(Key) + "on")
        on_ = true;
    else if (line == std::string(Key) + "off")
        on_ = false;
    else {
        on_ = false;
        problem_ = file_.string() + " says '" + line +
                   "' instead of transmitter=on or transmitter=off; the transmitter stays off";
    }
}

void TransmitterSwitch::set(bool on) {
    const std::string text = std::string(Key) + (on ? "on" : "off") + "\n";
    const fs::path temporary = file_.string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("the transmitter switch cannot be stored in " + file_.string() +
                                 ": " + errnoText());
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    const std::string why = errnoText();
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), file_.c_str()) != 0) {
        const std::string reason = written ? errnoText() : why;
        ::unlink(temporary.c_str());
        throw std::runtime_error("the transmitter switch cannot be stored in " + file_.string() +
                                 ": " + reason);
    }
    problem_.clear();
    const bool changed = on != on_;
    on_ = on;
    if (changed && onChange)
        onChange(on_);
}

} // namespace control
