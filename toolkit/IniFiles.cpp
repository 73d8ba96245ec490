#include "toolkit/IniFiles.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QFile>
#include <QSaveFile>
#include <QString>

#include "toolkit/SysUtils.h"

namespace IniFiles {

namespace {

const std::string_view Utf8Bom = "\xEF\xBB\xBF";

struct TLine {
    std::string Text;
    std::string Eol; // "\n", "\r\n", "\r", or empty for a last line without one
};

struct TContent {
    std::string Bom;
    std::vector<TLine> Lines;

    std::string DefaultEol() const {
        return Lines.empty() || Lines.front().Eol.empty() ? "\n" : Lines.front().Eol;
    }
};

enum class TLineKind { Other, Section, Key };

struct TParsedLine {
    TLineKind Kind = TLineKind::Other;
    std::string_view Name;  // section or key name, trimmed
    std::string_view Value; // key value, trimmed
};

bool IsBlank(char C) {
    return C == ' ' || C == '\t';
}

std::string_view Trim(std::string_view S) {
    while (!S.empty() && IsBlank(S.front()))
        S.remove_prefix(1);
    while (!S.empty() && IsBlank(S.back()))
        S.remove_suffix(1);
    return S;
}

TParsedLine Parse(std::string_view Text) {
    TParsedLine line;
    std::string_view trimmed = Trim(Text);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
        return line;
    if (trimmed.front() == '[') {
        std::string_view name = trimmed.substr(1);
        name = name.substr(0, name.find(']'));
        line.Kind = TLineKind::Section;
        line.Name = Trim(name);
        return line;
    }
    std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos)
        return line;
    line.Kind = TLineKind::Key;
    line.Name = Trim(trimmed.substr(0, equals));
    line.Value = Trim(trimmed.substr(equals + 1));
    return line;
}

bool SameName(std::string_view A, std::string_view B) {
    return QString::fromUtf8(A.data(), static_cast<qsizetype>(A.size()))
               .compare(QString::fromUtf8(B.data(), static_cast<qsizetype>(B.size())),
                        Qt::CaseInsensitive) == 0;
}

// One pair of matching quotes around a value (' or ") is not part of it.
std::string_view Unquote(std::string_view Value) {
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
        Value.back() == Value.front())
        Value = Value.substr(1, Value.size() - 2);
    return Value;
}

// Where a section and a key stand in the file; indexes into TContent::Lines.
struct TLocation {
    std::optional<std::size_t> Header;
    std::optional<std::size_t> Key;
    std::optional<std::size_t> LastKey; // last key line of the section
};

// A section given twice reads as one: its keys are looked for in each part, first to last.
TLocation Locate(const TContent& Content, std::string_view Section, std::string_view Ident) {
    TLocation location;
    bool inSection = false;
    bool inFirst = false;
    for (std::size_t i = 0; i < Content.Lines.size(); ++i) {
        TParsedLine line = Parse(Content.Lines[i].Text);
        if (line.Kind == TLineKind::Section) {
            inSection = SameName(line.Name, Section);
            inFirst = inSection && !location.Header;
            if (inFirst)
                location.Header = i;
        } else if (line.Kind == TLineKind::Key && inSection) {
            // A new key joins the first part, where the writer has always put it.
            if (inFirst)
                location.LastKey = i;
            if (!location.Key && SameName(line.Name, Ident))
                location.Key = i;
        }
    }
    return location;
}

enum class TLoadResult { Loaded, Missing, Unreadable };

TLoadResult Load(const std::string& FileName, TContent& Content) {
    QFile file(QString::fromStdString(FileName));
    if (!file.exists())
        return TLoadResult::Missing;
    // A FIFO would block the read, a device is no settings file, nor is a folder.
    struct stat status {};
    if (::stat(FileName.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return TLoadResult::Unreadable;
    if (!file.open(QIODevice::ReadOnly))
        return TLoadResult::Unreadable;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return TLoadResult::Unreadable;
    std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (text.starts_with(Utf8Bom)) {
        Content.Bom = Utf8Bom;
        text.remove_prefix(Utf8Bom.size());
    }
    // A line ends at LF, CRLF or a lone CR (old Mac files); each keeps its own.
    while (!text.empty()) {
        std::size_t end = text.find_first_of("\r\n");
        TLine line;
        line.Text = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            const bool crlf = text[end] == '\r' && text.substr(end + 1).starts_with('\n');
            line.Eol = crlf ? "\r\n" : std::string(1, text[end]);
            text.remove_prefix(end + line.Eol.size());
        }
        Content.Lines.push_back(std::move(line));
    }
    return TLoadResult::Loaded;
}

[[noreturn]] void RaiseWriteError(const std::string& FileName) {
    throw SysUtils::Exception("Unable to write to " + FileName);
}

std::string Bytes(const TContent& Content) {
    std::string bytes = Content.Bom;
    for (const TLine& line : Content.Lines)
        bytes += line.Text + line.Eol;
    return bytes;
}

// The file is written where it stands: through a symbolic link to its target, never over a
// device or FIFO, and keeping its owner, group, mode and hard links.
void Save(const std::string& FileName, const std::string& bytes) {
    std::string target = FileName;
    struct stat before {};
    const bool exists = ::stat(FileName.c_str(), &before) == 0;
    if (exists) {
        if (!S_ISREG(before.st_mode))
            throw SysUtils::Exception("Unable to write to " + FileName +
                                      ": it is not a regular file");
        std::error_code error;
        const auto resolved = std::filesystem::canonical(FileName, error);
        if (!error)
            target = resolved.string();
    }
    if (exists && before.st_nlink > 1) {
        // A new file in its place would leave the other names with the old settings.
        QFile file(QString::fromStdString(target));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
                static_cast<qint64>(bytes.size()) ||
            !file.flush())
            RaiseWriteError(FileName);
        return;
    }
    QSaveFile file(QString::fromStdString(target));
    // A folder that only lets the file itself be written still gets the write, in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        RaiseWriteError(FileName);
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size()))
        RaiseWriteError(FileName); // the destructor drops the temporary file
    if (!file.commit())
        RaiseWriteError(FileName);
    // The new file is the writer's (root's, for a service started as root); the old one's owner
    // keeps it, or a later run as that owner could not write it.
    struct stat after {};
    if (exists && ::stat(target.c_str(), &after) == 0 &&
        (after.st_uid != before.st_uid || after.st_gid != before.st_gid) &&
        ::chown(target.c_str(), before.st_uid, before.st_gid) != 0) {
        // Only root may give a file away; anyone else's new file was already theirs.
    }
    if (exists)
        ::chmod(target.c_str(), before.st_mode & 07777);
}

bool HasLineBreak(std::string_view S) {
    return S.find_first_of("\r\n") != std::string_view::npos;
}

void CheckNames(const std::string& Section, const std::string& Ident, const std::string& Value) {
    std::string_view ident = Trim(Ident);
    if (HasLineBreak(Section) || Section.find(']') != std::string::npos)
        throw SysUtils::Exception("Invalid section name '" + Section + "'");
    if (ident.empty() || HasLineBreak(Ident) || Ident.find('=') != std::string::npos ||
        ident.front() == ';' || ident.front() == '#' || ident.front() == '[')
        throw SysUtils::Exception("Invalid key name '" + Ident + "'");
    if (HasLineBreak(Value))
        throw SysUtils::Exception("Invalid value for key '" + Ident + "'");
}

} // namespace

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

TIniFile::TState TIniFile::State() const {
    TContent content;
    switch (Load(FFileName, content)) {
    case TLoadResult::Loaded:
        return TState::Readable;
    case TLoadResult::Missing:
        return TState::Missing;
    case TLoadResult::Unreadable:
        break;
    }
    return TState::Unreadable;
}

std::string TIniFile::ReadProblem() const {
    struct stat status {};
    if (::stat(FFileName.c_str(), &status) != 0)
        return errno == ENOENT ? std::string() : std::strerror(errno);
    if (S_ISDIR(status.st_mode))
        return "it is a folder";
    if (!S_ISREG(status.st_mode))
        return {};
    QFile file(QString::fromStdString(FFileName));
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString().toStdString();
    file.read(1);
    if (file.error() != QFileDevice::NoError)
        return file.errorString().toStdString();
    return {};
}

std::vector<TIniFile::TEntry> TIniFile::ReadEntries() const {
    TContent content;
    std::vector<TEntry> entries;
    if (Load(FFileName, content) != TLoadResult::Loaded)
        return entries;
    std::string section;
    for (std::size_t i = 0; i < content.Lines.size(); ++i) {
        TParsedLine line = Parse(content.Lines[i].Text);
        if (line.Kind == TLineKind::Other)
            continue;
        if (line.Kind == TLineKind::Section)
            section = line.Name;
        entries.push_back({static_cast<int>(i) + 1, section,
                           line.Kind == TLineKind::Key ? std::string(line.Name) : std::string(),
                           std::string(Unquote(line.Value))});
    }
    return entries;
}

bool TIniFile::SameName(std::string_view A, std::string_view B) {
    return IniFiles::SameName(A, B);
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) const {
    TContent content;
    if (Load(FFileName, content) != TLoadResult::Loaded)
        return Default;
    TLocation location = Locate(content, Section, Ident);
    if (!location.Key)
        return Default;
    return std::string(Unquote(Parse(content.Lines[*location.Key].Text).Value));
}

std::int64_t TIniFile::ReadInteger(const std::string& Section, const std::string& Ident,
                                   std::int64_t Default) const {
    std::optional<std::int64_t> value = SysUtils::ParseInteger(ReadString(Section, Ident, ""));
    return value ? *value : Default;
}

double TIniFile::ReadFloat(const std::string& Section, const std::string& Ident,
                           double Default) const {
    double value = 0.0;
    return SysUtils::TryStrToFloat(ReadString(Section, Ident, ""), value) ? value : Default;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Ident,
                           const std::string& Value) {
    CheckNames(Section, Ident, Value);
    TContent content;
    // Writing over a file we could not read would lose what it holds.
    const TLoadResult load = Load(FFileName, content);
    if (load == TLoadResult::Unreadable)
        RaiseWriteError(FFileName);
    const bool loaded = load == TLoadResult::Loaded;
    const std::string original = Bytes(content);
    const std::string eol = content.DefaultEol();
    std::string value(Trim(Value));
    std::string keyLine = std::string(Trim(Ident)) + "=" + value;

    TLocation location = Locate(content, Section, Ident);
    if (location.Key) {
        // Keep the key as it was spelt, and the spacing around '='.
        std::string& text = content.Lines[*location.Key].Text;
        std::size_t valueStart = text.find('=') + 1;
        while (valueStart < text.size() && IsBlank(text[valueStart]))
            ++valueStart;
        text = text.substr(0, valueStart) + value;
    } else {
        if (!location.Header) {
            if (!content.Lines.empty() && !Trim(content.Lines.back().Text).empty())
                content.Lines.push_back({"", eol});
            content.Lines.push_back({"[" + std::string(Trim(Section)) + "]", eol});
            location.Header = content.Lines.size() - 1;
        }
        std::size_t after = location.LastKey ? *location.LastKey : *location.Header;
        content.Lines.insert(content.Lines.begin() + static_cast<std::ptrdiff_t>(after) + 1,
                             TLine{keyLine, eol});
    }
    // A last line without a line end that now has lines after it needs one.
    for (std::size_t i = 0; i + 1 < content.Lines.size(); ++i)
        if (content.Lines[i].Eol.empty())
            content.Lines[i].Eol = eol;
    // Nothing changed, nothing written: the file keeps its time stamp and its inode.
    const std::string bytes = Bytes(content);
    if (loaded && bytes == original)
        return;
    Save(FFileName, bytes);
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Ident,
                            std::int64_t Value) {
    WriteString(Section, Ident, std::to_string(Value));
}

void TIniFile::WriteFloat(const std::string& Section, const std::string& Ident, double Value) {
    WriteString(Section, Ident, SysUtils::FloatToStr(Value));
}

} // namespace IniFiles
