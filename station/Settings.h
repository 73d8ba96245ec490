// The [Station] section of the settings file: identification, PTT line, courtesy tone, transmit
// lockout and the archive of overs. Read once at start-up and never written back.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace IniFiles {
class TIniFile;
}

namespace station {

enum class PttType { None, SerialRts, SerialDtr, Cm108, Gpio };
enum class ReportKind { None, Voice, Morse };

struct Settings {
    std::string callsign; // empty: no identification
    int idIntervalS = 600;
    int idWpm = 20;
    int idFrequencyHz = 800;
    int idVolume = 19661; // of 65535, full scale
    std::string idFile;   // a recorded voice identification instead of Morse

    PttType pttType = PttType::None;
    std::string pttDevice;
    int pttGpio = 3;
    bool pttInvert = false;
    int pttLeadMs = 0;
    int pttTailMs = 0;

    int courtesyHz = 0; // 0: none
    int courtesyMs = 150;

    bool timeoutLockout = false;

    std::string archiveFolder; // empty: no archive
    int archiveMaxMb = 500;

    // The report after each replay: how the caller's audio and signal came in.
    ReportKind report = ReportKind::None;
    std::string reportLanguage = "ru"; // ru or en
    int reportLowDb = -35;             // the over's RMS below this, in dBFS: low
    int reportHighDb = -15;            // above this: loud

    bool identifies() const { return !callsign.empty() || !idFile.empty(); }
};

// A value the settings file holds that cannot be used; the message names the key and what is
// allowed.
class SettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* SectionStation = "Station";

// Every key checked; those that are wrong raise one SettingsError naming each. A key given twice
// or unknown is added to Notices.
Settings readSettings(const IniFiles::TIniFile& Ini, std::vector<std::string>* Notices = nullptr);

} // namespace station
