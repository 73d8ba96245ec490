// The transmitter switch: the one place that says whether the station may transmit. It is the
// "transmitter=on|off" line of the state file beside the settings file (StateFile.h), and
// survives restarts. While it is off the station listens, records and archives as ever, but keys
// neither the PTT nor the tone.
//
// The web page, DTMF and `quorim --transmitter on|off` all turn this one switch, through the
// commands in Commands.h.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "control/StateFile.h" // stateFileFor: where a settings file's switch is kept

namespace control {

// What the station shows while the switch is off.
inline constexpr const char* TransmitterOffText = "передатчик выключен";

class TransmitterSwitch {
public:
    // Reads the state file; a missing one means on. A file that cannot be read or says
    // something else leaves the switch off (safe) and problem() says why.
    explicit TransmitterSwitch(std::filesystem::path stateFile);

    bool on() const { return on_; }
    // Stores the new position atomically (a temporary file renamed over the old one), then
    // tells onChange when it changed. Throws std::runtime_error naming the file when it cannot
    // be written; the switch keeps its old position then.
    void set(bool on);

    const std::filesystem::path& stateFile() const { return file_; }
    // Why the state file was not taken as it stands; empty when it was (or was missing).
    const std::string& problem() const { return problem_; }

    // Told on the program's thread after every change of position.
    std::function<void(bool on)> onChange;

private:
    std::filesystem::path file_;
    std::string problem_;
    bool on_ = true;
};

} // namespace control
