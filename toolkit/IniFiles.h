// A settings file in the classic INI layout, read and written key by key.
//
// Reads look at the file as it is on disk at that moment and never fail: a missing or
// unreadable file, section or key, or a value that does not parse, gives the default. Every
// write goes to the file at once (read, change one line, save through a temporary file in the
// same folder and a rename), creating the file when it is missing, so a failure part-way through
// a series of writes leaves the earlier keys saved.
//
// A file edited by hand keeps everything the writes do not touch: other sections and keys,
// comments (';' or '#' first on the line), blank lines, their order, a UTF-8 byte-order mark
// and each line's own line end (LF, CRLF or CR; new lines take the first line's). An existing key's
// line is replaced where it stands; a new key goes after the last key line of its section (just
// after the header when the section has none); a new section is appended at the end. Section and
// key names compare case-insensitively. A section given twice reads as one (a new key goes into
// its first part); a key given twice in a section keeps its first value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace IniFiles {

class TIniFile {
public:
    explicit TIniFile(std::string FileName);

    const std::string& FileName() const noexcept { return FFileName; }

    enum class TState { Readable, Missing, Unreadable };
    // Whether the file is there and can be read (a folder cannot).
    TState State() const;

    // A section header or key line, as it stands in the file (numbered from 1).
    struct TEntry {
        int Line = 0;
        std::string Section; // the header's name, or the section the key is in
        std::string Key;     // empty for a section header
        std::string Value;   // as ReadString gives it
    };
    // Why a file that is there cannot be read as settings: "it is a folder", or the system's
    // reason for a regular file it refuses. Empty when it reads, when it is missing, and for a
    // device or FIFO (never read, and never replaced by a write).
    std::string ReadProblem() const;

    // Every header and key line in order; none when the file cannot be read.
    std::vector<TEntry> ReadEntries() const;
    // Names compare as the file's reads compare them.
    static bool SameName(std::string_view A, std::string_view B);

    // The value with surrounding blanks removed, and one pair of matching quotes around it
    // (' or "), as the classic profile functions do. An empty value is returned as empty.
    std::string ReadString(const std::string& Section, const std::string& Ident,
                           const std::string& Default) const;
    // Decimal, or hexadecimal with 0x, 0X or $ (SysUtils::ParseInteger); the caller cuts the
    // value to its field's width.
    std::int64_t ReadInteger(const std::string& Section, const std::string& Ident,
                             std::int64_t Default) const;
    double ReadFloat(const std::string& Section, const std::string& Ident, double Default) const;

    // Raise SysUtils::Exception "Unable to write to <path>" when the file cannot be written,
    // and SysUtils::Exception when a name or value would break the file's line structure (a
    // line break anywhere, '=' in a key, ']' in a section name, an empty key).
    void WriteString(const std::string& Section, const std::string& Ident,
                     const std::string& Value);
    // Decimal; pass unsigned fields as their unsigned value.
    void WriteInteger(const std::string& Section, const std::string& Ident, std::int64_t Value);
    // SysUtils::FloatToStr: up to 15 significant digits, '.' as the separator.
    void WriteFloat(const std::string& Section, const std::string& Ident, double Value);

private:
    std::string FFileName;
};

} // namespace IniFiles
