#include "squelch/Settings.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "squelch/Ctcss.h"
#include "toolkit/SysUtils.h"

namespace squelch {
namespace {

// An integer of the file's usual forms (decimal, 0x or $ hexadecimal) within [Low, High].
std::optional<std::int64_t> readInteger(const IniFiles::TIniFile& file, const char* key,
                                        std::int64_t low, std::int64_t high, const char* allowed,
                                        std::string& problems) {
    // A key that is missing reads as this, which no value written in a file can be.
    const std::string absent = "\n";
    const std::string text = file.ReadString(settingsSection, key, absent);
    if (text == absent)
        return std::nullopt;
    const auto value = SysUtils::ParseInteger(text);
    if (value && *value >= low && *value <= high)
        return value;
    problems += std::string(problems.empty() ? "" : "; ") + "[" + settingsSection + "] " + key +
                "=" + text + " is not allowed: " + allowed;
    return std::nullopt;
}

// A key's text, or none when the key is missing.
std::optional<std::string> readText(const IniFiles::TIniFile& file, const char* key) {
    // A key that is missing reads as this, which no value written in a file can be.
    const std::string absent = "\n";
    const std::string text = file.ReadString(settingsSection, key, absent);
    if (text == absent)
        return std::nullopt;
    return text;
}

void refuse(const char* key, const std::string& text, const char* allowed, std::string& problems) {
    problems += std::string(problems.empty() ? "" : "; ") + "[" + settingsSection + "] " + key +
                "=" + text + " is not allowed: " + allowed;
}

// One of a few names; none when the key is missing or refused.
template <typename Value>
std::optional<Value> readChoice(const IniFiles::TIniFile& file, const char* key,
                                std::initializer_list<std::pair<const char*, Value>> values,
                                const char* allowed, std::string& problems) {
    const auto text = readText(file, key);
    if (!text)
        return std::nullopt;
    for (const auto& [name, value] : values)
        if (*text == name)
            return value;
    refuse(key, *text, allowed, problems);
    return std::nullopt;
}

// Source and what each source needs: the COS line and the CTCSS tone.
void readSources(const IniFiles::TIniFile& file, Settings& into, std::string& problems) {
    if (const auto text = readText(file, "Source")) {
        unsigned sources = 0;
        bool known = true;
        std::size_t parts = 0;
        for (std::size_t at = 0; at <= text->size(); ++parts) {
            const std::size_t plus = std::min(text->find('+', at), text->size());
            const std::string name = text->substr(at, plus - at);
            const unsigned bit = name == "audio"   ? unsigned(Source::audio)
                                 : name == "cos"   ? unsigned(Source::cos)
                                 : name == "ctcss" ? unsigned(Source::ctcss)
                                                   : 0;
            known = known && bit != 0 && (sources & bit) == 0;
            sources |= bit;
            at = plus + 1;
        }
        if (known && parts <= 2)
            into.sources = sources;
        else
            refuse("Source", *text,
                   "audio, cos or ctcss, or two of them joined with + (cos+ctcss, audio+ctcss)",
                   problems);
    }
    CosSettings& cos = into.cos;
    if (const auto v = readChoice<CosType>(
            file, "CosType",
            {{"serial", CosType::serial}, {"cm108", CosType::cm108}, {"gpio", CosType::gpio}},
            "serial, cm108 or gpio", problems))
        cos.type = *v;
    if (const auto text = readText(file, "CosDevice"))
        cos.device = *text;
    if (into.uses(Source::cos) && cos.device.empty())
        refuse("CosDevice", cos.device,
               cos.type == CosType::serial ? "with Source=cos, the serial port (e.g. /dev/ttyUSB0)"
               : cos.type == CosType::cm108
                   ? "with Source=cos, the hidraw device (e.g. /dev/hidraw0)"
                   : "with Source=cos, the GPIO chip (e.g. gpiochip0)",
               problems);
    switch (cos.type) {
    case CosType::serial:
        if (const auto v =
                readChoice<SerialPin>(file, "CosPin",
                                      {{"dcd", SerialPin::dcd},
                                       {"cts", SerialPin::cts},
                                       {"dsr", SerialPin::dsr},
                                       {"ri", SerialPin::ri}},
                                      "with CosType=serial, dcd, cts, dsr or ri", problems))
            cos.serialPin = *v;
        break;
    case CosType::cm108:
        if (const auto v = readChoice<HidButton>(
                file, "CosPin",
                {{"volume-down", HidButton::volumeDown},
                 {"volume-up", HidButton::volumeUp},
                 {"mute-play", HidButton::mutePlay},
                 {"mute-record", HidButton::muteRecord}},
                "with CosType=cm108, volume-down, volume-up, mute-play or mute-record", problems))
            cos.hidButton = *v;
        break;
    case CosType::gpio: {
        const bool given = readText(file, "CosPin").has_value();
        if (const auto v =
                readInteger(file, "CosPin", 0, 1023,
                            "with CosType=gpio, the line's number from 0 to 1023", problems))
            cos.gpioLine = static_cast<unsigned>(*v);
        else if (!given && into.uses(Source::cos))
            refuse("CosPin", "", "with CosType=gpio, the line's number from 0 to 1023", problems);
        break;
    }
    }
    if (const auto v = readChoice<CosBias>(file, "CosBias",
                                           {{"pull-up", CosBias::pullUp},
                                            {"pull-down", CosBias::pullDown},
                                            {"none", CosBias::none}},
                                           "pull-up, pull-down or none", problems))
        cos.bias = *v;
    if (const auto v = readInteger(file, "CosInvert", 0, 1, "0 (off) or 1 (on)", problems))
        cos.invert = *v == 1;

    if (const auto text = readText(file, "CtcssTone")) {
        double hz = 0;
        const auto tone = SysUtils::TryStrToFloat(*text, hz) ? standardTone(hz) : std::nullopt;
        if (tone)
            into.ctcssTone = *tone;
        else
            refuse("CtcssTone", *text, "one of the 50 standard tones from 67.0 to 254.1 Hz",
                   problems);
    }
    if (into.uses(Source::ctcss) && into.ctcssTone == 0 && !readText(file, "CtcssTone"))
        refuse("CtcssTone", "",
               "with Source=ctcss, one of the 50 standard tones from 67.0 to 254.1 Hz", problems);
    for (auto [key, field] :
         {std::pair{"CtcssOpen", &into.ctcssOpenDb}, std::pair{"CtcssClose", &into.ctcssCloseDb}}) {
        if (const auto text = readText(file, key)) {
            double v = 0;
            if (SysUtils::TryStrToFloat(*text, v) && v >= 0 && v <= 40)
                *field = v;
            else
                refuse(key, *text, "a ratio in dB from 0 to 40", problems);
        }
    }
    if (into.ctcssCloseDb > into.ctcssOpenDb)
        refuse("CtcssClose", SysUtils::FloatToStr(into.ctcssCloseDb),
               "a ratio no higher than CtcssOpen", problems);
}

} // namespace

void readSettings(const IniFiles::TIniFile& file, Settings& into) {
    std::string problems;
    constexpr const char* onOff = "0 (off) or 1 (on)";
    if (const auto v = readInteger(file, "TrimTail", 0, 1, onOff, problems))
        into.trimTail = *v == 1;
    if (const auto v = readInteger(
            file, "MinOver", 0, maxMinOverMs,
            ("whole milliseconds from 0 (off) to " + std::to_string(maxMinOverMs)).c_str(),
            problems))
        into.minOverMs = static_cast<std::uint32_t>(*v);
    if (const auto v = readInteger(file, "SilenceIsNoSignal", 0, 1, onOff, problems))
        into.silenceIsNoSignal = *v == 1;
    if (const auto text = readText(file, "Window")) {
        if (*text == "none" || *text == "hann")
            into.hannWindow = *text == "hann";
        else
            refuse("Window", *text, "none or hann", problems);
    }
    if (const auto text = readText(file, "CloseLevel")) {
        double v = 0;
        if (SysUtils::TryStrToFloat(*text, v) && v > 0.0 && v < 1.0)
            into.closeLevel = v;
        else
            refuse("CloseLevel", *text, "a number between 0 and 1, as SquelchLevel", problems);
    }
    readSources(file, into, problems);
    if (!problems.empty())
        throw SysUtils::Exception(problems);
}

} // namespace squelch
