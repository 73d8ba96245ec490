// The transmitter switch and the commands, end to end on the simulated card: while the switch is
// off the station records and archives but keys nothing; the switch survives restarts.
#include <filesystem>
#include <fstream>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "control/Commands.h"
#include "station/Station.h"
#include "tests/app/RepeaterRig.h"
#include "tests/support/QuorimProcess.h"

using namespace RepeaterRig;
using control::Command;
using SimCard::Milliseconds;
using SimCard::Seconds;
using WaveDefs::TWaveFormat;

namespace {

constexpr std::uint64_t Frames = 2048;
constexpr std::uint32_t Rate = 44100;

struct LoggedLine : station::PttLine {
    std::vector<bool>* Log;
    void set(bool On) override { Log->push_back(On); }
};

std::vector<std::string> CsvLines(const std::string& Folder) {
    std::ifstream csv(Folder + "/overs.csv");
    std::vector<std::string> lines;
    for (std::string l; std::getline(csv, l);)
        lines.push_back(l);
    return lines;
}

TEST(Transmitter, OffArchivesEachOverUnsentAndKeysNothingUntilSwitchedOnAgain) {
    QTemporaryDir archive;
    const std::string folder = archive.path().toStdString();
    TRig rig(CarrierOverBuffers({{20, 60}, {200, 240}, {700, 740}, {1000, 1100}}, Rate, Frames),
             {{"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf44100stereo16))},
              {"Station/PttType", "serial-rts"},
              {"Station/PttDevice", "/dev/fake"},
              {"Station/Callsign", "K1ABC"},
              {"Station/ArchiveFolder", folder}});
    std::vector<bool> keyed;
    rig.Form().Station->openLine = [&](const station::Settings&) {
        auto line = std::make_unique<LoggedLine>();
        line->Log = &keyed;
        return line;
    };
    std::vector<std::string> notices;
    rig.Form().OnNotice = [&](const std::string& Text) { notices.push_back(Text); };
    auto& commands = *rig.Form().Commands;

    EXPECT_TRUE(commands.run(Command::TransmitterOff, "alice").done);
    EXPECT_EQ(rig.Form().lblState->toolTip().toStdString(), "передатчик выключен");
    EXPECT_FALSE(commands.run(Command::IdentifyNow, "alice").done) << "not running";
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    EXPECT_TRUE(rig.Card().PlayLog().empty()) << "nothing played, not even the tone";
    EXPECT_TRUE(keyed.empty()) << "the PTT line is never keyed";
    EXPECT_EQ(rig.StateTexts(), (std::vector<std::string>{"ОЖИДАНИЕ", "ЗАПИСЬ", "ОЖИДАНИЕ"}));
    EXPECT_EQ(rig.Form().Station->tally().notSentOvers, 1u);
    EXPECT_NEAR(rig.Form().Station->tally().notSentSeconds, 51.0 * Frames / Rate, 1e-6);
    const auto identify = commands.run(Command::IdentifyNow, "alice");
    EXPECT_FALSE(identify.done);
    EXPECT_EQ(identify.text, "передатчик выключен");

    // Switched on: the next over goes out, and an identification asked for goes out alone.
    EXPECT_TRUE(commands.run(Command::TransmitterOn, "bob").done);
    EXPECT_EQ(rig.Form().lblState->toolTip().toStdString(), "");
    auto transmissions = [&] { return Transmissions(rig.Card().PlayLog()).size(); };
    ASSERT_TRUE(
        rig.RunUntil([&] { return transmissions() == 1 && rig.Form().StateText() == "ОЖИДАНИЕ"; },
                     12 * Seconds));
    EXPECT_TRUE(commands.run(Command::IdentifyNow, "bob").done);
    EXPECT_TRUE(rig.RunUntil([&] { return transmissions() == 2; }, 2 * Seconds))
        << "the lone identification";
    ASSERT_TRUE(rig.RunUntil([&] { return rig.Form().StateText() == "ОЖИДАНИЕ"; }, 10 * Seconds));

    // Switched off during a replay: the line is released and the replay ends at once.
    ASSERT_TRUE(rig.RunUntil([&] { return rig.Form().Player->Active(); }, 20 * Seconds));
    rig.RunFor(300 * Milliseconds);
    ASSERT_TRUE(keyed.back());
    commands.run(Command::TransmitterOff, "alice");
    EXPECT_FALSE(keyed.back());
    EXPECT_FALSE(rig.Form().Player->Active());
    const std::size_t played = rig.Card().PlayLog().size();
    rig.RunFor(25 * Seconds);
    EXPECT_EQ(rig.Card().PlayLog().size(), played);
    EXPECT_EQ(rig.Form().Station->tally().notSentOvers, 2u) << "the fourth over";
    rig.Form().btnStopClick();
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();

    rig.DestroyForm(); // the archive writes what it holds
    const auto lines = CsvLines(folder);
    ASSERT_EQ(lines.size(), 1u + 4u);
    EXPECT_NE(lines[1].find(",not sent"), std::string::npos);
    EXPECT_EQ(lines[2].find(",not sent"), std::string::npos);
    EXPECT_NE(lines[4].find(",not sent"), std::string::npos);
    for (const char* said : {"передатчик выключен", "command transmitter-off by alice: done",
                             "command identify-now by alice: refused: передатчик выключен",
                             "command transmitter-on by bob: done", "передатчик включён"})
        EXPECT_NE(std::find(notices.begin(), notices.end(), said), notices.end()) << said;
}

TEST(Transmitter, SwitchSurvivesARestartAndIsSetFromTheCommandLine) {
    QTemporaryDir dir;
    const std::filesystem::path ini = dir.filePath("quorim.ini").toStdString();
    const auto state = control::stateFileFor(ini);
    EXPECT_EQ(state.filename(), "quorim.state");
    EXPECT_TRUE(control::TransmitterSwitch(state).on()) << "no file: today's behaviour";

    const auto off =
        quorim_process::run({"--transmitter", "off", "--ini", QString::fromStdString(ini)}, 10000);
    ASSERT_TRUE(off.finished);
    EXPECT_EQ(off.status, 0) << off.errors;
    EXPECT_FALSE(control::TransmitterSwitch(state).on());
    EXPECT_FALSE(std::filesystem::exists(state.string() + ".new"));

    control::TransmitterSwitch on(state);
    on.set(true);
    EXPECT_TRUE(control::TransmitterSwitch(state).on());

    const auto maybe = quorim_process::run({"--transmitter", "maybe"}, 10000);
    ASSERT_TRUE(maybe.finished);
    EXPECT_EQ(maybe.status, 2);
    EXPECT_NE(maybe.errors.find("option --transmitter needs on or off"), std::string::npos);

    // A state file that says something else: off, and why.
    std::ofstream(state) << "transmitter=maybe\n";
    const control::TransmitterSwitch odd(state);
    EXPECT_FALSE(odd.on());
    EXPECT_NE(odd.problem().find("transmitter=on or transmitter=off"), std::string::npos);

    // A folder that takes no file: refused with the file's name, the switch as it was.
    control::TransmitterSwitch nowhere("/proc/quorim-no-such/quorim.state");
    EXPECT_THROW(nowhere.set(false), std::runtime_error);
    EXPECT_TRUE(nowhere.on());
}

TEST(Transmitter, CommandsAreOneVocabulary) {
    for (Command c : control::AllCommands)
        EXPECT_EQ(control::commandNamed(control::wordOf(c)), c);
    EXPECT_FALSE(control::commandNamed("rm -rf"));
    EXPECT_FALSE(control::changesState(Command::Status));
}

} // namespace
