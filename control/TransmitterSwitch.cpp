#include "control/TransmitterSwitch.h"

#include <stdexcept>

#include "control/StateFile.h"

namespace control {
namespace fs = std::filesystem;

namespace {

constexpr const char* Key = "transmitter";

} // namespace

TransmitterSwitch::TransmitterSwitch(fs::path stateFile) : file_(std::move(stateFile)) {
    std::vector<std::string> lines;
    try {
        lines = readState(file_);
    } catch (const std::runtime_error&) {
        on_ = false;
        problem_ = file_.string() + " cannot be read; the transmitter stays off";
        return;
    }
    // Other keys are other parts' own; a line that is no key=value is not a file we wrote.
    for (const std::string& line : lines)
        if (line.find('=') == std::string::npos) {
            on_ = false;
            problem_ = file_.string() + " says '" + line +
                       "' instead of transmitter=on or transmitter=off; the transmitter stays off";
            return;
        }
    const auto value = stateValue(lines, Key);
    if (!value || *value == "on")
        on_ = true;
    else if (*value == "off")
        on_ = false;
    else {
        on_ = false;
        problem_ = file_.string() + " says 'transmitter=" + *value +
                   "' instead of transmitter=on or transmitter=off; the transmitter stays off";
    }
}

void TransmitterSwitch::set(bool on) {
    try {
        storeState(file_, Key, on ? "on" : "off");
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("the transmitter switch cannot be stored: ") +
                                 e.what());
    }
    problem_.clear();
    const bool changed = on != on_;
    on_ = on;
    if (changed && onChange)
        onChange(on_);
}

} // namespace control
