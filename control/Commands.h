// The station's remote commands, one vocabulary for every way of giving them (the web page,
// DTMF): each has one word, and one dispatcher carries them out and logs who gave them.
//
//   transmitter-on   transmitter-off   identify-now   report-on   report-off   status
//
// The dispatcher turns the transmitter switch itself; the controller fills in the rest of the
// handlers. Every command runs on the program's thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "control/TransmitterSwitch.h"

namespace control {

enum class Command { TransmitterOn, TransmitterOff, IdentifyNow, ReportOn, ReportOff, Status };

inline constexpr std::array AllCommands{Command::TransmitterOn, Command::TransmitterOff,
                                        Command::IdentifyNow,   Command::ReportOn,
                                        Command::ReportOff,     Command::Status};

// "transmitter-on", "identify-now", ...
std::string_view wordOf(Command command);
// The command a word names; none for any other word.
std::optional<Command> commandNamed(std::string_view word);
// Whether the command changes anything (everything but status): who may give it is the
// caller's to check.
constexpr bool changesState(Command command) {
    return command != Command::Status;
}

// What `status` tells.
struct Status {
    std::string state; // the state line's words
    bool transmitterOn = true;
    bool reportOn = false;
    std::uint64_t notSentOvers = 0; // archived while the transmitter was off
    double notSentSeconds = 0;
};
// One line: "ОЖИДАНИЕ; transmitter on; report off; not sent: 0 overs, 0.0 s".
std::string describe(const Status& status);

struct Result {
    bool done = false;
    std::string text; // what was done, or why it was refused
};

class Commands {
public:
    explicit Commands(TransmitterSwitch& transmitter) : transmitter_(transmitter) {}

    // Each returns empty when done, or why it was refused. Unset: the command is refused.
    std::function<std::string()> identifyNow;
    std::function<std::string(bool on)> setReport;
    std::function<Status()> status;
    // Told one line for every command given: who, which, and how it ended.
    std::function<void(const std::string&)> onLog;

    // Carries out a command given by who (an account's name, "dtmf", ...).
    Result run(Command command, const std::string& who);

    TransmitterSwitch& transmitter() { return transmitter_; }

private:
    Result carryOut(Command command);

    TransmitterSwitch& transmitter_;
};

} // namespace control
