#include "control/Commands.h"

#include <cstdio>
#include <exception>

namespace control {

namespace {

struct Entry {
    Command command;
    std::string_view word;
};
constexpr std::array<Entry, AllCommands.size()> Words{{
    {Command::TransmitterOn, "transmitter-on"},
    {Command::TransmitterOff, "transmitter-off"},
    {Command::IdentifyNow, "identify-now"},
    {Command::ReportOn, "report-on"},
    {Command::ReportOff, "report-off"},
    {Command::Status, "status"},
}};

} // namespace

std::string_view wordOf(Command command) {
    for (const Entry& e : Words)
        if (e.command == command)
            return e.word;
    return {};
}

std::optional<Command> commandNamed(std::string_view word) {
    for (const Entry& e : Words)
        if (e.word == word)
            return e.command;
    return std::nullopt;
}

std::string describe(const Status& s) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", s.notSentSeconds);
    return s.state + "; transmitter " + (s.transmitterOn ? "on" : "off") + "; report " +
           (s.reportOn ? "on" : "off") + "; not sent: " + std::to_string(s.notSentOvers) +
           " overs, " + seconds + " s";
}

Result Commands::run(Command command, const std::string& who) {
    Result result;
    try {
        result = carryOut(command);
    } catch (const std::exception& e) {
        result = {false, e.what()};
    }
    if (onLog && changesState(command))
        onLog("command " + std::string(wordOf(command)) + " by " + who + ": " +
              (result.done ? "done" : "refused: " + result.text));
    return result;
}

Result Commands::carryOut(Command command) {
    auto outcome = [](const std::string& refusal, std::string done) {
        return refusal.empty() ? Result{true, std::move(done)} : Result{false, refusal};
    };
    switch (command) {
    case Command::TransmitterOn:
    case Command::TransmitterOff: {
        const bool on = command == Command::TransmitterOn;
        transmitter_.set(on);
        return {true, on ? "transmitter on" : TransmitterOffText};
    }
    case Command::IdentifyNow:
        return outcome(identifyNow ? identifyNow() : "identification is not available",
                       "identification queued");
    case Command::ReportOn:
    case Command::ReportOff: {
        const bool on = command == Command::ReportOn;
        return outcome(setReport ? setReport(on) : "the report is not available",
                       on ? "report on" : "report off");
    }
    case Command::Status:
        if (!status)
            return {false, "status is not available"};
        return {true, describe(status())};
    }
    return {false, "unknown command"};
}

} // namespace control
