#include "station/Settings.h"

#include <algorithm>
#include <cctype>

#include "toolkit/IniFiles.h"
#include "toolkit/SectionReader.h"
#include "toolkit/SysUtils.h"

namespace station {
namespace {

// The characters Morse identification can send.
bool sendable(char C) {
    return std::isalnum(static_cast<unsigned char>(C)) || C == '/' || C == '-' || C == ' ';
}

// 0 turns the feature off; otherwise Min to Max.
settings::Key optional(const char* Key, int& Field, int Min, int Max) {
    settings::Key key = settings::integer(Key, Field, 0, Max);
    key.allowed =
        "0 (none) or a whole number from " + std::to_string(Min) + " to " + std::to_string(Max);
    key.take = [&Field, Min, Max](const std::string& Value, const std::filesystem::path&) {
        const auto v = SysUtils::ParseInteger(Value);
        if (!v || (*v != 0 && (*v < Min || *v > Max)))
            return false;
        Field = static_cast<int>(*v);
        return true;
    };
    return key;
}

} // namespace

Settings readSettings(const IniFiles::TIniFile& Ini, std::vector<std::string>* Notices) {
    Settings s;
    settings::SectionReader r(Ini, SectionStation);
    r.read({
        settings::text(
            "Callsign", s.callsign,
            [](const std::string& V) {
                return V.size() <= 32 && std::all_of(V.begin(), V.end(), sendable);
            },
            "up to 32 letters, digits, '/', '-' and spaces (empty: no identification)"),
        settings::integer("IdInterval", s.idIntervalS, 10, 86400),
        settings::integer("IdWpm", s.idWpm, 5, 60),
        settings::integer("IdFrequency", s.idFrequencyHz, 100, 4000),
        settings::integer("IdVolume", s.idVolume, 0, 65535),
        settings::path("IdFile", s.idFile),
        settings::choice("PttType", s.pttType,
                         {{"none", PttType::None},
                          {"serial-rts", PttType::SerialRts},
                          {"serial-dtr", PttType::SerialDtr},
                          {"cm108", PttType::Cm108},
                          {"gpio", PttType::Gpio}}),
        settings::path("PttDevice", s.pttDevice),
        settings::integer("PttGpio", s.pttGpio, 0, 1023),
        settings::flag("PttInvert", s.pttInvert),
        settings::integer("PttLead", s.pttLeadMs, 0, 5000),
        settings::integer("PttTail", s.pttTailMs, 0, 5000),
        optional("CourtesyTone", s.courtesyHz, 100, 4000),
        settings::integer("CourtesyLength", s.courtesyMs, 20, 2000),
        settings::flag("TimeoutLockout", s.timeoutLockout),
        settings::path("ArchiveFolder", s.archiveFolder),
        settings::integer("ArchiveMaxMB", s.archiveMaxMb, 1, 1000000),
        settings::choice("Report", s.report,
                         {{"none", ReportKind::None},
                          {"voice", ReportKind::Voice},
                          {"morse", ReportKind::Morse}}),
        settings::choice<std::string>("ReportLanguage", s.reportLanguage,
                                      {{"ru", "ru"}, {"en", "en"}}),
        settings::integer("ReportLow", s.reportLowDb, -90, 0),
        settings::integer("ReportHigh", s.reportHighDb, -90, 0),
    });
    std::transform(s.callsign.begin(), s.callsign.end(), s.callsign.begin(), [](char C) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    });
    if (s.pttType != PttType::None && s.pttDevice.empty())
        r.refuse("PttDevice", "",
                 "with PttType=" + r.value("PttType").value_or("") + ", the device path (e.g. " +
                     (s.pttType == PttType::Cm108  ? "/dev/hidraw0"
                      : s.pttType == PttType::Gpio ? "/dev/gpiochip0"
                                                   : "/dev/ttyUSB0") +
                     ")");
    if (s.pttType == PttType::Cm108 && (s.pttGpio < 1 || s.pttGpio > 8))
        r.refuse("PttGpio", std::to_string(s.pttGpio),
                 "with PttType=cm108, a whole number from 1 to 8");
    if (s.reportLowDb >= s.reportHighDb)
        r.refuse("ReportHigh", std::to_string(s.reportHighDb),
                 "a level above ReportLow (" + std::to_string(s.reportLowDb) + " dBFS)");
    if (Notices != nullptr)
        Notices->insert(Notices->end(), r.notices().begin(), r.notices().end());
    if (!r.refusals().empty()) {
        std::string text;
        for (const std::string& refusal : r.refusals())
            text += (text.empty() ? "" : "; ") + refusal;
        throw SettingsError(text);
    }
    return s;
}

} // namespace station
