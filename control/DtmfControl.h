// Commands sent over the air in DTMF: CODE*N#, all in one over, N a command's number (below).
// The code is a time-based one (TOTP) or a fixed PIN; five wrong codes in ten minutes shut DTMF
// control out for ten. What a command does is the caller's: this unit reads the digits and keeps
// the lockout, and the last time-based code taken in the state file, across restarts.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/Commands.h"

namespace IniFiles {
class TIniFile;
}

namespace control {

class Totp;

inline constexpr const char* SectionControl = "Control";

struct DtmfSettings {
    std::filesystem::path totpSecretFile; // empty: no time-based codes
    std::string pin;                      // empty: no fixed code
    std::filesystem::path stateFile;      // where the last code taken is kept; empty: nowhere
    bool enabled() const { return !totpSecretFile.empty() || !pin.empty(); }
};

// [Control], through the settings reader: a relative TotpSecretFile is the settings file's
// folder's; the state file is the one beside the settings file. A key given twice or unknown is
// added to Notices; a value that cannot be used throws std::runtime_error in the reader's form.
DtmfSettings readDtmfSettings(const IniFiles::TIniFile& Ini,
                              std::vector<std::string>* Notices = nullptr);

// The commands' numbers after the '*': 0 transmitter off, 1 on, 2 identify now, 3 report on,
// 4 report off, 5 status.
std::optional<Command> dtmfCommand(const std::string& Number);

struct DtmfDecision {
    bool command = false; // the over held an attempt at a command: it is not replayed
    std::optional<Command> run;
    std::string answer; // "OK", "TX OFF" or "ERR" (Status: the caller's own answer)
    std::string log;    // what the log says of it
    std::string shown;  // the digits as the log and the archive show them: a code as 'x's
};

class DtmfControl {
public:
    static constexpr int MaxWrong = 5;
    static constexpr std::int64_t WrongWindowS = 600;
    static constexpr std::int64_t LockoutS = 600;

    // Reads the TOTP secret, and the last code taken from the state file; throws
    // std::runtime_error naming the file when it cannot.
    explicit DtmfControl(const DtmfSettings& S);
    ~DtmfControl();

    // An over's digits at Unix time Now and monotonic time Steady (seconds).
    DtmfDecision judge(const std::string& Digits, std::int64_t Now, double Steady);

private:
    bool codeRight(const std::string& Code, std::int64_t Now);

    std::unique_ptr<Totp> totp_;
    std::filesystem::path stateFile_;
    std::string unkept_; // why the last code taken could not be stored
    std::string pin_;
    std::array<double, MaxWrong> wrong_{}; // when the last wrong codes came, oldest first
    int wrongCount_ = 0;
    std::optional<double> lockedUntil_;
};

} // namespace control
