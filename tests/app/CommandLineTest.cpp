// The command line and the choice of the settings file.
#include <filesystem>
#include <fstream>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/Program.h"
#include "app/SettingsFile.h"

namespace {

namespace fs = std::filesystem;
using Program::ParseOptions;

std::string Refusal(const std::vector<std::string>& Arguments) {
    try {
        ParseOptions(Arguments);
    } catch (const Program::EUsage& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(CommandLine, RefusalsNameTheFirstArgumentAtFaultInQuorimsOwnWords) {
    EXPECT_EQ(Refusal({"--headless", "--frobnicate", "--ini"}), "unknown option '--frobnicate'");
    EXPECT_EQ(Refusal({"--input", "a.wav", "--ini"}), "option --ini needs a file name");
    EXPECT_EQ(Refusal({"--output", ""}), "option --output needs a file name");
    EXPECT_EQ(Refusal({"--ini="}), "option --ini needs a file name");
    // What QCommandLineParser would take as a positional argument or the end of the options.
    EXPECT_EQ(Refusal({"--headless", "stray"}), "unknown option 'stray'");
    EXPECT_EQ(Refusal({"--"}), "unknown option '--'");
    EXPECT_EQ(Refusal({"-hx"}), "unknown option '-hx'");
    EXPECT_EQ(Refusal({"--headless=yes"}), "unknown option '--headless=yes'");
    EXPECT_EQ(Refusal({"--help", "--test"}),
              "--test goes with --headless (in the window, press Тест)");
}

TEST(CommandLine, AnOutputWithoutAnInputOrOverTheInputIsRefused) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("in.wav").toStdString();
    std::ofstream(input) << "RIFF";
    const std::string link = dir.filePath("link.wav").toStdString();
    fs::create_hard_link(input, link);
    EXPECT_EQ(Refusal({"--headless", "--output", "out.wav"}),
              "--output needs --input: without a receiver there is nothing to repeat");
    EXPECT_EQ(Refusal({"--output", "out.wav"}),
              "--output needs --input: without a receiver there is nothing to repeat");
    EXPECT_EQ(Refusal({"--headless", "--input", input, "--output", link}),
              "--output names the --input file: it would be overwritten");
    EXPECT_EQ(Refusal({"--list-devices", "--output", "out.wav"}), "(accepted)");
    EXPECT_EQ(Refusal({"--headless", "--input", input, "--output", "out.wav"}), "(accepted)");
}

TEST(CommandLine, ValuesMayLookLikeOptionsAndTheLastClockChoiceWins) {
    const auto o = ParseOptions({"--ini", "--headless", "--input=in.wav", "--realtime", "--fast",
                                 "--output", "-", "--version", "-h"});
    EXPECT_EQ(o.Ini, "--headless");
    EXPECT_FALSE(o.Headless);
    EXPECT_EQ(o.Input, "in.wav");
    EXPECT_EQ(o.Output, "-");
    EXPECT_EQ(o.Clock, Program::TClockChoice::Fast);
    EXPECT_TRUE(o.Version);
    EXPECT_TRUE(o.Help);
}

// Runs the choice for a program at Dir/bin/quorim whose folder is writable or not.
struct TPlace {
    QTemporaryDir Dir;
    fs::path Root{Dir.path().toStdString()};
    settings_file::Environment Env{.executable = Root / "bin" / "quorim",
                                   .configHome = (Root / "config").string(),
                                   .home = (Root / "home").string(),
                                   .writable = [](const fs::path&) { return false; }};
    TPlace() { fs::create_directories(Root / "bin"); }
};

TEST(SettingsFile, BesideAWritableExecutableOtherwiseInTheUsersConfigurationFolder) {
    TPlace p;
    const fs::path config = p.Root / "config" / "quorim" / "quorim.ini";
    EXPECT_EQ(settings_file::defaultPath(p.Env), config);
    EXPECT_FALSE(fs::exists(config.parent_path())) << "only a run creates the folder";
    EXPECT_EQ(settings_file::prepareDefault(p.Env), config);
    EXPECT_TRUE(fs::is_directory(config.parent_path()));

    p.Env.configHome = "relative/config"; // the XDG rule: not absolute, so not used
    EXPECT_EQ(settings_file::defaultPath(p.Env), p.Root / "home" / ".config/quorim/quorim.ini");

    // A settings file already beside the program is kept even where it cannot be rewritten.
    std::ofstream(p.Root / "bin" / "quorim.ini") << "[Main]\n";
    EXPECT_EQ(settings_file::defaultPath(p.Env), p.Root / "bin" / "quorim.ini");
    fs::remove(p.Root / "bin" / "quorim.ini");

    p.Env.writable = [&](const fs::path& Folder) { return Folder == p.Root / "bin"; };
    EXPECT_EQ(settings_file::defaultPath(p.Env), p.Root / "bin" / "quorim.ini");

    // Root may write anywhere, but an installed program's folder is never the place.
    p.Env.executable = "/usr/bin/quorim";
    p.Env.writable = [](const fs::path&) { return true; };
    EXPECT_EQ(settings_file::defaultPath(p.Env), p.Root / "home" / ".config/quorim/quorim.ini");
}

} // namespace
