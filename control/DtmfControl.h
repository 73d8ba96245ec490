// Commands sent over the air in DTMF: CODE*COMMAND#, all in one over. The code is a time-based
// one (TOTP) or a fixed PIN; five wrong codes in ten minutes shut DTMF control out for ten.
// What a command does is the caller's: this unit reads the digits and keeps the lockout.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace IniFiles {
class TIniFile;
}

namespace control {

class Totp;

inline constexpr const char* SectionControl = "Control";

struct DtmfSettings {
    std::filesystem::path totpSecretFile; // empty: no time-based codes
    std::string pin;                      // empty: no fixed code
    bool enabled() const { return !totpSecretFile.empty() || !pin.empty(); }
};

// [Control]: relative paths from Folder (the settings file's). Throws std::runtime_error naming
// the key and what it allows.
DtmfSettings readDtmfSettings(const IniFiles::TIniFile& Ini, const std::filesystem::path& Folder);

// The commands, by their number after the '*'.
enum class DtmfCommand {
    TransmitterOff = 0,
    TransmitterOn = 1,
    IdentifyNow = 2,
    ReportOn = 3,
    ReportOff = 4,
    Status = 5,
};

struct DtmfDecision {
    bool command = false; // the over held an attempt at a command: it is not replayed
    std::optional<DtmfCommand> run;
    std::string answer; // "OK", "TX OFF" or "ERR" (Status: the caller's own answer)
    std::string log;    // what the log says of it
    std::string shown;  // the digits as the log and the archive show them: a code as 'x's
};

class DtmfControl {
public:
    static constexpr int MaxWrong = 5;
    static constexpr std::int64_t WrongWindowS = 600;
    static constexpr std::int64_t LockoutS = 600;

    // Reads the TOTP secret; throws std::runtime_error naming the file when it cannot.
    explicit DtmfControl(const DtmfSettings& S);
    ~DtmfControl();

    // An over's digits at Unix time Now and monotonic time Steady (seconds).
    DtmfDecision judge(const std::string& Digits, std::int64_t Now, double Steady);

private:
    bool codeRight(const std::string& Code, std::int64_t Now);

    std::unique_ptr<Totp> totp_;
    std::string pin_;
    std::array<double, MaxWrong> wrong_{}; // when the last wrong codes came, oldest first
    int wrongCount_ = 0;
    std::optional<double> lockedUntil_;
};

} // namespace control
