#include "toolkit/IniFiles.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "toolkit/SysUtils.h"

using IniFiles::TIniFile;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& Name = "settings.ini") const {
        return FDir.filePath(QString::fromStdString(Name)).toStdString();
    }

    static void Put(const std::string& FileName, const std::string& Text) {
        std::ofstream(FileName, std::ios::binary) << Text;
    }

    static std::string Get(const std::string& FileName) {
        std::ifstream in(FileName, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    QTemporaryDir FDir;
};

const char* const HandEdited = "; Quorim settings\n"
                               "# edited by hand\n"
                               "\n"
                               "[Main]\n"
                               "ControlChannel = 1\n"
                               "  ; keep this note\n"
                               "SoundMode=2\n"
                               "\n"
                               "[Foreign]\n"
                               "Key = some value\n"
                               "a line without equals\n"
                               "\n"
                               "[Options]\n"
                               "PlayDeviceID=-1\n"
                               "; trailing comment\n";

TEST_F(IniFileTest, ReadsValuesCaseInsensitively) {
    Put(Path(), std::string(HandEdited) + "[MAIN]\nDuration=99\n"
                                          "[Quoted]\nA=\"  padded \"\nB='x'\nC=\nD=0x10\nE=$ff\n"
                                          "F=12abc\nG=2.5e-3\nH=1,5\n; I=5\n#J=6\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("main", "CONTROLCHANNEL", 0), 1);
    EXPECT_EQ(ini.ReadString("FOREIGN", "key", ""), "some value");
    EXPECT_EQ(ini.ReadInteger("Main", "Duration", 30), 99) << "a repeated [Main] adds its keys";
    EXPECT_EQ(ini.ReadString("Main", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Nowhere", "Key", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Quoted", "A", ""), "  padded ");
    EXPECT_EQ(ini.ReadString("Quoted", "B", ""), "x");
    EXPECT_EQ(ini.ReadString("Quoted", "C", "dflt"), "");
    EXPECT_EQ(ini.ReadInteger("Quoted", "C", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Quoted", "D", 0), 16);
    EXPECT_EQ(ini.ReadInteger("Quoted", "E", 0), 255);
    EXPECT_EQ(ini.ReadInteger("Quoted", "F", -3), -3);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Quoted", "G", 0.0), 0.0025);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Quoted", "H", 0.5), 0.5);
    EXPECT_EQ(ini.ReadInteger("Quoted", "I", 9), 9) << "commented out";
    EXPECT_EQ(ini.ReadInteger("Quoted", "#J", 9), 9) << "commented out";
}

TEST_F(IniFileTest, WritesKeepAHandEditedFile) {
    Put(Path(), HandEdited);
    TIniFile ini(Path());
    ini.WriteInteger("main", "controlchannel", 0); // replaced where it stands
    ini.WriteInteger("Main", "Duration", 30);      // after the last key of [Main]
    ini.WriteFloat("Options", "SquelchTrim", 0.1); // after PlayDeviceID, before the comment
    ini.WriteInteger("Options", "BufferSize", 4294967295);
    ini.WriteString("New", "A", "b"); // a new section at the end
    EXPECT_EQ(Get(Path()), "; Quorim settings\n"
                           "# edited by hand\n"
                           "\n"
                           "[Main]\n"
                           "ControlChannel = 0\n"
                           "  ; keep this note\n"
                           "SoundMode=2\n"
                           "Duration=30\n"
                           "\n"
                           "[Foreign]\n"
                           "Key = some value\n"
                           "a line without equals\n"
                           "\n"
                           "[Options]\n"
                           "PlayDeviceID=-1\n"
                           "SquelchTrim=0.1\n"
                           "BufferSize=4294967295\n"
                           "; trailing comment\n"
                           "\n"
                           "[New]\n"
                           "A=b\n");
    EXPECT_EQ(ini.ReadInteger("Options", "BufferSize", 0), 4294967295);
}

TEST_F(IniFileTest, EachWriteReachesTheFileAtOnce) {
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Main", "A", 5), 5) << "no file yet";
    ini.WriteInteger("Main", "A", 1);
    EXPECT_EQ(Get(Path()), "[Main]\nA=1\n");
    // Someone edits the file between two writes; the next write keeps the edit.
    Put(Path(), Get(Path()) + "Extra=x\n");
    ini.WriteFloat("Main", "B", 0.0005);
    EXPECT_EQ(Get(Path()), "[Main]\nA=1\nExtra=x\nB=0.0005\n");
    EXPECT_EQ(TIniFile(Path()).ReadFloat("Main", "B", 0.0), 0.0005);
    // A section without keys takes its first key right after the header.
    Put(Path(), "[Main]\n; note\n");
    ini.WriteInteger("Main", "C", -1);
    EXPECT_EQ(Get(Path()), "[Main]\nC=-1\n; note\n");
}

TEST_F(IniFileTest, KeepsByteOrderMarkAndCrLf) {
    Put(Path(), "\xEF\xBB\xBF[Main]\r\nA=1\r\n[Options]\r\nZ=0");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Main", "A", 0), 1);
    EXPECT_EQ(ini.ReadInteger("Options", "Z", 5), 0);
    ini.WriteInteger("Main", "B", 2);
    ini.WriteInteger("Options", "Y", 3);
    EXPECT_EQ(Get(Path()), "\xEF\xBB\xBF[Main]\r\nA=1\r\nB=2\r\n[Options]\r\nZ=0\r\nY=3\r\n");
}

TEST_F(IniFileTest, ReadsOldMacLineEndsAndWritesBackInTheFilesOwnStyle) {
    Put(Path(), "[Main]\rA=1\r\r[Options]\rZ=0\r");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Main", "A", 0), 1);
    EXPECT_EQ(ini.ReadInteger("Options", "Z", 5), 0);
    ini.WriteInteger("Main", "A", 7);
    ini.WriteInteger("Main", "B", 2);
    ini.WriteString("New", "C", "x");
    EXPECT_EQ(Get(Path()), "[Main]\rA=7\rB=2\r\r[Options]\rZ=0\r\r[New]\rC=x\r");
    // Each line keeps its own end, whatever the others have.
    Put(Path(), "[Main]\rA=1\r\nB=2\n");
    EXPECT_EQ(ini.ReadInteger("Main", "B", 0), 2);
    ini.WriteInteger("Main", "A", 3);
    ini.WriteInteger("Main", "C", 4);
    EXPECT_EQ(Get(Path()), "[Main]\rA=3\r\nB=2\nC=4\r");
}

TEST_F(IniFileTest, ReportsAFileThatCannotBeWritten) {
    Put(Path("plain"), "not a folder");
    for (const std::string& path : {Path("missing/settings.ini"), Path("plain/settings.ini")}) {
        TIniFile ini(path);
        EXPECT_EQ(ini.ReadInteger("Main", "A", 4), 4);
        try {
            ini.WriteInteger("Main", "A", 1);
            ADD_FAILURE() << "no exception for " << path;
        } catch (const SysUtils::Exception& e) {
            EXPECT_EQ(e.Message(), "Unable to write to " + path);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(Path("missing")));
    // A folder in place of the file: not readable as a file and not replaceable.
    std::filesystem::create_directory(Path("folder.ini"));
    TIniFile folder(Path("folder.ini"));
    EXPECT_EQ(folder.ReadString("Main", "A", "d"), "d");
    EXPECT_THROW(folder.WriteString("Main", "A", "1"), SysUtils::Exception);
}

TEST_F(IniFileTest, RefusesTextThatWouldBreakTheLayout) {
    Put(Path(), "[Main]\nA=1\n");
    TIniFile ini(Path());
    EXPECT_THROW(ini.WriteString("Main", "A", "1\n[Other]"), SysUtils::Exception);
    EXPECT_THROW(ini.WriteString("Main", "A=B", "1"), SysUtils::Exception);
    EXPECT_THROW(ini.WriteString("Main", "", "1"), SysUtils::Exception);
    EXPECT_THROW(ini.WriteString("Main", ";A", "1"), SysUtils::Exception);
    EXPECT_THROW(ini.WriteString("Ma]in", "A", "1"), SysUtils::Exception);
    EXPECT_EQ(Get(Path()), "[Main]\nA=1\n");
}

} // namespace

namespace {

TEST(IniFileWrite, KeepsTheFileItselfAndNeverReplacesWhatIsNotARegularFile) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("real.ini").toStdString();
    const std::string link = dir.filePath("link.ini").toStdString();
    const std::string hard = dir.filePath("hard.ini").toStdString();
    std::ofstream(file) << "[Main]\nDuration=30\n";
    std::filesystem::create_symlink(file, link);
    std::filesystem::create_hard_link(file, hard);
    std::filesystem::permissions(file, std::filesystem::perms(0640));
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    TIniFile(link).WriteInteger("Main", "Duration", 30); // unchanged: nothing written
    TIniFile(link).WriteInteger("Main", "Duration", 45);
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << "written through the link";
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a hard-linked file is written in place";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(TIniFile(hard).ReadInteger("Main", "Duration", 0), 45);

    const std::string fifo = dir.filePath("fifo.ini").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(TIniFile(fifo).ReadInteger("Main", "Duration", 7), 7) << "not read, no wait";
    EXPECT_THROW(TIniFile(fifo).WriteInteger("Main", "Duration", 1), SysUtils::Exception);
    EXPECT_FALSE(std::filesystem::is_regular_file(fifo)) << "not replaced";
}

// A service started as root must leave the file its user's; a writer killed half-way (here by the
// file-size limit's signal) must leave the old settings whole.
TEST(IniFileWrite, KeepsTheOwnerAndSurvivesAWriterKilledHalfWay) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("station.ini").toStdString();
    const std::string old = "[Main]\nDuration=30\n";
    std::ofstream(file) << old;

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        TIniFile(file).WriteInteger("Main", "Duration", 31);
        struct stat after {};
        ASSERT_EQ(::stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, 65534u);
        EXPECT_EQ(after.st_gid, 65534u);
        TIniFile(file).WriteInteger("Main", "Duration", 30);
    } else {
        std::cout << "[ SKIPPED  ] ownership: needs root to give the file away\n";
    }

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TIniFile(file).WriteString("Main", "Callsign", std::string(4096, 'A'));
        ::_exit(0); // not reached: the write outgrows the limit
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), old);
}

} // namespace
