#include "toolkit/SectionReader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "toolkit/SysUtils.h"

namespace settings {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return s;
}

// Edits (insert, delete, replace, swap two neighbours) from A to B, case ignored.
std::size_t distance(const std::string& a0, const std::string& b0) {
    const std::string a = lower(a0);
    const std::string b = lower(b0);
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::filesystem::path folderOf(const std::string& file) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(file, error);
    return (error ? std::filesystem::path(file) : absolute).parent_path();
}

} // namespace

std::string at(const std::string& file, int line) {
    return line > 0 ? file + ":" + std::to_string(line) + ": " : file + ": ";
}

std::string shown(const std::string& value) {
    std::string text;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

std::optional<std::string> nearest(const std::string& name, const std::vector<std::string>& known) {
    std::optional<std::string> best;
    std::size_t bestDistance = 0;
    for (const std::string& candidate : known) {
        const std::size_t d = distance(name, candidate);
        if (!best || d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    }
    // Near enough to be a slip of the keyboard, not another word.
    if (!best || bestDistance > std::max<std::size_t>(2, best->size() / 4))
        return std::nullopt;
    return best;
}

std::vector<std::string> unknownSections(const IniFiles::TIniFile& file,
                                         const std::vector<std::string>& known) {
    std::vector<std::string> notices;
    for (const auto& entry : file.ReadEntries()) {
        if (!entry.Key.empty())
            continue;
        const bool isKnown = std::any_of(known.begin(), known.end(), [&](const std::string& k) {
            return IniFiles::TIniFile::SameName(k, entry.Section);
        });
        if (isKnown)
            continue;
        if (const auto guess = nearest(entry.Section, known))
            notices.push_back(at(file.FileName(), entry.Line) + "[" + shown(entry.Section) +
                              "] is not a section Quorim reads: did you mean [" + *guess + "]?");
    }
    return notices;
}

namespace detail {

std::optional<std::int64_t> parseInteger(const std::string& value) {
    return SysUtils::ParseInteger(value);
}

std::string range(std::int64_t min, std::int64_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string names(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return text;
}

} // namespace detail

Key flag(std::string name, bool& field) {
    return {std::move(name), "0 (off) or 1 (on)",
            [&field](const std::string& value, const std::filesystem::path&) {
                const auto v = SysUtils::ParseInteger(value);
                if (!v || (*v != 0 && *v != 1))
                    return false;
                field = *v == 1;
                return true;
            },
            field ? "1" : "0"};
}

Key real(std::string name, double& field, double min, double max) {
    return {std::move(name),
            "a number between " + SysUtils::FloatToStr(min) + " and " + SysUtils::FloatToStr(max),
            [&field, min, max](const std::string& value, const std::filesystem::path&) {
                double v = 0;
                if (!SysUtils::TryStrToFloat(value, v) || !(v > min && v < max))
                    return false;
                field = v;
                return true;
            },
            SysUtils::FloatToStr(field)};
}

Key real(std::string name, std::optional<double>& field, double min, double max,
         std::string allowed) {
    return {std::move(name),
            allowed.empty() ? "a number between " + SysUtils::FloatToStr(min) + " and " +
                                  SysUtils::FloatToStr(max)
                            : std::move(allowed),
            [&field, min, max](const std::string& value, const std::filesystem::path&) {
                double v = 0;
                if (!SysUtils::TryStrToFloat(value, v) || !(v > min && v < max))
                    return false;
                field = v;
                return true;
            },
            field ? SysUtils::FloatToStr(*field) : std::string("none")};
}

Key real(std::string name, double& field) {
    return {std::move(name), "a number with '.' as its decimal point",
            [&field](const std::string& value, const std::filesystem::path&) {
                return SysUtils::TryStrToFloat(value, field);
            },
            SysUtils::FloatToStr(field)};
}

Key text(std::string name, std::string& field, std::function<bool(const std::string&)> check,
         std::string allowed) {
    return {std::move(name), allowed.empty() ? "any text" : std::move(allowed),
            [&field, check](const std::string& value, const std::filesystem::path&) {
                if (check && !check(value))
                    return false;
                field = value;
                return true;
            },
            field};
}

Key path(std::string name, std::string& field) {
    return {std::move(name), "a path",
            [&field](const std::string& value, const std::filesystem::path& folder) {
                const std::filesystem::path p(value);
                field = p.is_absolute() ? value : (folder / p).lexically_normal().string();
                return true;
            },
            field};
}

Key described(Key key, std::string allowed) {
    key.allowed = std::move(allowed);
    return key;
}

SectionReader::SectionReader(const IniFiles::TIniFile& file, std::string section,
                             Ownership ownership, Refusal refusal)
    : file_(file), section_(std::move(section)), ownership_(ownership), refusal_(refusal) {
    for (auto& entry : file_.ReadEntries())
        if (!entry.Key.empty() && IniFiles::TIniFile::SameName(entry.Section, section_))
            entries_.push_back(std::move(entry));
}

void SectionReader::read(const std::vector<Key>& keys) {
    const std::filesystem::path folder = folderOf(file_.FileName());
    std::vector<std::string> known;
    for (const Key& key : keys)
        known.push_back(key.name);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& entry = entries_[i];
        const auto first = std::find_if(
            entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i),
            [&](const auto& e) { return IniFiles::TIniFile::SameName(e.Key, entry.Key); });
        const std::string prefix = at(file_.FileName(), entry.Line) + "[" + section_ + "] ";
        if (first != entries_.begin() + static_cast<std::ptrdiff_t>(i)) {
            notices_.push_back(prefix + shown(entry.Key) + "=" + shown(entry.Value) +
                               " is given again: line " + std::to_string(first->Line) + "'s " +
                               shown(first->Value) + " counts");
            continue;
        }
        const auto key = std::find_if(keys.begin(), keys.end(), [&](const Key& k) {
            return IniFiles::TIniFile::SameName(k.name, entry.Key);
        });
        if (key == keys.end()) {
            if (ownership_ == Ownership::Owned) {
                const auto guess = nearest(entry.Key, known);
                notices_.push_back(
                    prefix + shown(entry.Key) + " is not a key of this section" +
                    (guess ? ": did you mean " + *guess + "?" : ", so it is ignored"));
            }
            continue;
        }
        // An empty value is as good as none: the field keeps its default.
        if (entry.Value.empty() || key->take(entry.Value, folder))
            continue;
        const std::string message = prefix + key->name + "=" + shown(entry.Value) +
                                    " cannot be used: " + key->allowed + " is allowed";
        if (refusal_ == Refusal::Error)
            refusals_.push_back(message);
        else
            notices_.push_back(message + "; the default " + key->defaultText + " is used");
    }
}

std::optional<std::string> SectionReader::value(const std::string& key) const {
    for (const auto& entry : entries_)
        if (IniFiles::TIniFile::SameName(entry.Key, key))
            return entry.Value;
    return std::nullopt;
}

std::string SectionReader::where(const std::string& key) const {
    for (const auto& entry : entries_)
        if (IniFiles::TIniFile::SameName(entry.Key, key))
            return at(file_.FileName(), entry.Line);
    return at(file_.FileName(), 0);
}

void SectionReader::refuse(const std::string& key, const std::string& value,
                           const std::string& allowed) {
    refusals_.push_back(where(key) + "[" + section_ + "] " + key + "=" + shown(value) +
                        " cannot be used: " + allowed + " is allowed");
}

void SectionReader::throwIfRefused() const {
    if (refusals_.empty())
        return;
    std::string text;
    for (const std::string& r : refusals_)
        text += (text.empty() ? "" : "; ") + r;
    throw SysUtils::Exception(text);
}

} // namespace settings
