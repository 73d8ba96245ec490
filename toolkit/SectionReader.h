// The one reader of a settings file's sections: each section is read through a table of its keys,
// and every message about the file has one form.
//
// A section's table names each key and what it may hold:
//
//     settings::SectionReader reader(ini, "Web");
//     reader.read({
//         settings::integer("Port", web.port, 1, 65535),
//         settings::flag("Enabled", web.enabled),
//         settings::real("Gain", web.gain, 0.0, 1.0),
//         settings::choice("Mode", web.mode, {{"off", Mode::Off}, {"on", Mode::On}}),
//         settings::text("Title", web.title),
//         settings::path("Folder", web.folder), // relative: to the settings file's folder
//     });
//     reader.refuse("Port", "80", "a port above 1023"); // a rule across keys, after the table
//     reader.throwIfRefused();    // SysUtils::Exception with every refusal, "; " between them
//
// A field keeps its value (its default) when its key is missing or empty, or holds a value its
// entry refuses. Reading never writes the file.
//
// The messages, all as "FILE:LINE: [Section] ...":
//   a refused value    [Squelch] MinOver=abc cannot be used: a whole number from 0 to 10000 is
//                      allowed            (refusals(); with Refusal::UseDefault "; the default 0
//                      is used" follows and it is a notice instead)
//   a key given twice  [Station] Callsign=B is given again: line 3's A counts
//   an unknown key     [Station] Callsing is not a key of this section: did you mean Callsign?
// The last only in a section Quorim owns (Ownership::Owned); unknownSections reports a section
// header that misspells one of Quorim's. A value's bytes that cannot be shown (a NUL, a line
// end) are written as \xNN.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/IniFiles.h"

namespace settings {

// One key of a section's table: its name, what it allows (as words for the messages), and how a
// value is taken into its field (false: refused, the field untouched).
struct Key {
    std::string name;
    std::string allowed;
    std::function<bool(const std::string& value, const std::filesystem::path& folder)> take;
    std::string defaultText; // the field's value before the read, for "the default ... is used"
};

// A whole number (decimal, or hexadecimal with 0x or $) from min to max.
template <typename Int>
Key integer(std::string name, Int& field, std::int64_t min = std::numeric_limits<Int>::min(),
            std::int64_t max = std::numeric_limits<Int>::max());
// 0 (off) or 1 (on).
Key flag(std::string name, bool& field);
// A decimal number with '.', min < value < max (open bounds: "between").
Key real(std::string name, double& field, double min, double max);
Key real(std::string name, std::optional<double>& field, double min, double max,
         std::string allowed = {});
// Any number the file can hold.
Key real(std::string name, double& field);
// One of the names; Allowed defaults to "a, b or c".
template <typename Value>
Key choice(std::string name, Value& field,
           std::initializer_list<std::pair<const char*, Value>> values, std::string allowed = {});
// Any text; Check, when given, refuses what it returns false for.
Key text(std::string name, std::string& field, std::function<bool(const std::string&)> check = {},
         std::string allowed = {});
// A file or folder: a relative one is taken from the settings file's folder.
Key path(std::string name, std::string& field);
// Lets a table entry's "allowed" words be written by hand (e.g. "0 (off) or ...").
Key described(Key key, std::string allowed);

// Whether unknown keys in a section are reported: only in the sections Quorim adds.
enum class Ownership { Owned, Shared };
// A refused value: an error the caller raises, or a notice, the field keeping its default.
enum class Refusal { Error, UseDefault };

class SectionReader {
public:
    SectionReader(const IniFiles::TIniFile& file, std::string section,
                  Ownership ownership = Ownership::Owned, Refusal refusal = Refusal::Error);

    // Reads each key of the table into its field; reports a key given twice, and (in an owned
    // section) each key not in the table.
    void read(const std::vector<Key>& keys);

    // The key's text as the file gives it (first occurrence), or none.
    std::optional<std::string> value(const std::string& key) const;
    // "FILE:LINE: " for the key's first occurrence, "FILE: " without one.
    std::string where(const std::string& key) const;
    // A value refused by a rule across keys, in the same form.
    void refuse(const std::string& key, const std::string& value, const std::string& allowed);

    const std::vector<std::string>& refusals() const { return refusals_; }
    const std::vector<std::string>& notices() const { return notices_; }
    // Raises SysUtils::Exception with every refusal, "; " between them.
    void throwIfRefused() const;

private:
    const IniFiles::TIniFile& file_;
    std::string section_;
    Ownership ownership_;
    Refusal refusal_;
    std::vector<IniFiles::TIniFile::TEntry> entries_; // this section's key lines, in order
    std::vector<std::string> refusals_;
    std::vector<std::string> notices_;
};

// "FILE:LINE: " (or "FILE: " with Line 0): how every message about the file begins.
std::string at(const std::string& file, int line);
// A value as a message shows it: bytes that cannot be printed as \xNN.
std::string shown(const std::string& value);
// The known name nearest to Name, when it is near enough to be a misspelling.
std::optional<std::string> nearest(const std::string& name, const std::vector<std::string>& known);
// A section header whose name is not one of Known but near one: one notice each.
std::vector<std::string> unknownSections(const IniFiles::TIniFile& file,
                                         const std::vector<std::string>& known);

// ---- the typed entries

namespace detail {
std::optional<std::int64_t> parseInteger(const std::string& value);
std::string range(std::int64_t min, std::int64_t max);
std::string names(const std::vector<std::string>& names);
} // namespace detail

template <typename Int>
Key integer(std::string name, Int& field, std::int64_t min, std::int64_t max) {
    return {std::move(name), detail::range(min, max),
            [&field, min, max](const std::string& value, const std::filesystem::path&) {
                const auto v = detail::parseInteger(value);
                if (!v || *v < min || *v > max)
                    return false;
                field = static_cast<Int>(*v);
                return true;
            },
            std::to_string(field)};
}

template <typename Value>
Key choice(std::string name, Value& field,
           std::initializer_list<std::pair<const char*, Value>> values, std::string allowed) {
    std::vector<std::pair<std::string, Value>> table;
    std::vector<std::string> words;
    std::string defaultText;
    for (const auto& [word, v] : values) {
        table.emplace_back(word, v);
        words.emplace_back(word);
        if (v == field && defaultText.empty())
            defaultText = word;
    }
    return {std::move(name), allowed.empty() ? detail::names(words) : std::move(allowed),
            [&field, table](const std::string& value, const std::filesystem::path&) {
                for (const auto& [word, v] : table)
                    if (value == word) {
                        field = v;
                        return true;
                    }
                return false;
            },
            defaultText};
}

} // namespace settings
