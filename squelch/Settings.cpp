#include "squelch/Settings.h"

#include <optional>
#include <string>

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
    if (!problems.empty())
        throw SysUtils::Exception(problems);
}

} // namespace squelch
