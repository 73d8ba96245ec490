#include "station/Settings.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <utility>

#include "toolkit/IniFiles.h"
#include "toolkit/SysUtils.h"

namespace station {
namespace {

class Reader {
public:
    explicit Reader(const IniFiles::TIniFile& Ini) : ini_(Ini) {}

    std::string text(const char* Key) const { return ini_.ReadString(SectionStation, Key, ""); }

    int integer(const char* Key, int Default, int Min, int Max) const {
        const std::string value = text(Key);
        if (value.empty())
            return Default;
        const auto parsed = SysUtils::ParseInteger(value);
        if (!parsed || *parsed < Min || *parsed > Max)
            fail(Key, value,
                 "a whole number from " + std::to_string(Min) + " to " + std::to_string(Max));
        return static_cast<int>(*parsed);
    }

    // 0 turns the feature off; otherwise Min to Max.
    int optional(const char* Key, int Default, int Min, int Max) const {
        const std::string value = text(Key);
        const auto parsed = SysUtils::ParseInteger(value);
        if (value.empty() || (parsed && *parsed == 0))
            return value.empty() ? Default : 0;
        if (!parsed || *parsed < Min || *parsed > Max)
            fail(Key, value,
                 "0 (none) or a whole number from " + std::to_string(Min) + " to " +
                     std::to_string(Max));
        return static_cast<int>(*parsed);
    }

    bool flag(const char* Key) const { return integer(Key, 0, 0, 1) == 1; }

    // One of the named values; the first is the default when the key is empty.
    template <typename Value>
    Value choice(const char* Key, std::initializer_list<std::pair<const char*, Value>> Values,
                 const char* Allowed) const {
        const std::string value = text(Key);
        if (value.empty())
            return Values.begin()->second;
        for (const auto& [name, v] : Values)
            if (value == name)
                return v;
        fail(Key, value, Allowed);
    }

    [[noreturn]] static void fail(const char* Key, const std::string& Value,
                                  const std::string& Allowed) {
        throw SettingsError(std::string("settings [") + SectionStation + "] " + Key + "=" + Value +
                            " cannot be used: " + Allowed + " is allowed");
    }

private:
    const IniFiles::TIniFile& ini_;
};

// The characters Morse identification can send.
bool sendable(char C) {
    return std::isalnum(static_cast<unsigned char>(C)) || C == '/' || C == '-' || C == ' ';
}

} // namespace

Settings readSettings(const IniFiles::TIniFile& Ini) {
    const Reader r(Ini);
    Settings s;
    s.callsign = r.text("Callsign");
    if (s.callsign.size() > 32 || !std::all_of(s.callsign.begin(), s.callsign.end(), sendable))
        Reader::fail("Callsign", s.callsign,
                     "up to 32 letters, digits, '/', '-' and spaces (empty: no identification)");
    std::transform(s.callsign.begin(), s.callsign.end(), s.callsign.begin(), [](char C) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    });
    s.idIntervalS = r.integer("IdInterval", 600, 10, 86400);
    s.idWpm = r.integer("IdWpm", 20, 5, 60);
    s.idFrequencyHz = r.integer("IdFrequency", 800, 100, 4000);
    s.idVolume = r.integer("IdVolume", 19661, 0, 65535);
    s.idFile = r.text("IdFile");

    const std::string type = r.text("PttType");
    s.pttType = r.choice<PttType>("PttType",
                                  {{"none", PttType::None},
                                   {"serial-rts", PttType::SerialRts},
                                   {"serial-dtr", PttType::SerialDtr},
                                   {"cm108", PttType::Cm108},
                                   {"gpio", PttType::Gpio}},
                                  "none, serial-rts, serial-dtr, cm108 or gpio");
    s.pttDevice = r.text("PttDevice");
    if (s.pttType != PttType::None && s.pttDevice.empty())
        Reader::fail("PttDevice", "",
                     "with PttType=" + type + ", the device path (e.g. " +
                         (s.pttType == PttType::Cm108  ? "/dev/hidraw0"
                          : s.pttType == PttType::Gpio ? "/dev/gpiochip0"
                                                       : "/dev/ttyUSB0") +
                         ")");
    s.pttGpio = s.pttType == PttType::Cm108 ? r.integer("PttGpio", 3, 1, 8)
                                            : r.integer("PttGpio", 3, 0, 1023);
    s.pttInvert = r.flag("PttInvert");
    s.pttLeadMs = r.integer("PttLead", 0, 0, 5000);
    s.pttTailMs = r.integer("PttTail", 0, 0, 5000);

    s.courtesyHz = r.optional("CourtesyTone", 0, 100, 4000);
    s.courtesyMs = r.integer("CourtesyLength", 150, 20, 2000);
    s.timeoutLockout = r.flag("TimeoutLockout");
    s.archiveFolder = r.text("ArchiveFolder");
    s.archiveMaxMb = r.integer("ArchiveMaxMB", 500, 1, 1000000);

    s.report = r.choice<ReportKind>(
        "Report",
        {{"none", ReportKind::None}, {"voice", ReportKind::Voice}, {"morse", ReportKind::Morse}},
        "none, voice or morse");
    s.reportLanguage =
        r.choice<std::string>("ReportLanguage", {{"ru", "ru"}, {"en", "en"}}, "ru or en");
    s.reportLowDb = r.integer("ReportLow", -35, -90, 0);
    s.reportHighDb = r.integer("ReportHigh", -15, -90, 0);
    if (s.reportLowDb >= s.reportHighDb)
        Reader::fail("ReportHigh", std::to_string(s.reportHighDb),
                     "a level above ReportLow (" + std::to_string(s.reportLowDb) + " dBFS)");
    return s;
}

} // namespace station
