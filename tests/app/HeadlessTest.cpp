// The program itself, headless on the simulated card: receiver audio in a WAV, the state log on
// standard output, the transmitter's output in a WAV.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sndfile.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "tests/app/RepeaterRig.h"
#include "tests/support/QuorimProcess.h"

using namespace RepeaterRig;

namespace {

constexpr std::uint64_t Frames = 2048;
constexpr int Rate = 44100;

using TRun = quorim_process::Outcome;

TRun Quorim(const QStringList& Arguments) {
    return quorim_process::run(Arguments);
}

void WriteReceiver(const std::string& Path, const TReceiver& Receiver, double Seconds) {
    WriteReceiverWav(Path, Receiver, Seconds, Rate);
}

TEST(Headless, ReplaysEachTransmissionWithTheToneForExactlyThePlaybackAndThenLocks) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    const std::string output = dir.filePath("transmitted.wav").toStdString();
    const std::string ini = dir.filePath("quorim.ini").toStdString();
    TReceiver receiver;
    receiver.ToneHz = Rate * 46.0 / Frames;
    receiver.Carrier = {{20 * Frames, 60 * Frames}, {200 * Frames, 230 * Frames}};
    WriteReceiver(input, receiver, 14.0);
    {
        QFile file(QString::fromStdString(ini));
        file.open(QIODevice::WriteOnly);
        file.write("[Main]\nSoundMode=3\n[Options]\nPlayVolume=65535\n");
    }

    const TRun run = Quorim({"--headless", "--input", QString::fromStdString(input), "--output",
                             QString::fromStdString(output), "--ini", QString::fromStdString(ini)});
    ASSERT_EQ(run.status, 0) << run.errors;
    std::vector<std::string> texts;
    for (const auto& s : run.states)
        texts.push_back(s.second);
    const std::vector<std::string> expected{"НЕАКТИВНО",    "ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ",
                                            "ЗАБЛОКИРОВАН", "ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ",
                                            "ЗАБЛОКИРОВАН", "ОЖИДАНИЕ"};
    ASSERT_EQ(texts, expected);
    EXPECT_NEAR(run.states[3].first, 72.0 * Frames / Rate, 0.0015);
    EXPECT_NEAR(run.states[5].first - run.states[4].first, 0.5, 0.0015) << "the lock";

    SF_INFO info{};
    const auto out = ReadWav(output, info);
    ASSERT_EQ(info.channels, 2);
    ASSERT_EQ(info.samplerate, Rate);
    // Where the tone sounds is where the replay plays: find both transmissions by the tone.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> keyed;
    for (std::uint64_t f = 0; f < static_cast<std::uint64_t>(info.frames); ++f) {
        const bool tone = out[2 * f] != 0 || out[2 * f + 1] != 0;
        if (tone && (keyed.empty() || keyed.back().second != f))
            keyed.push_back({f, f + 1});
        else if (tone)
            keyed.back().second = f + 1;
    }
    ASSERT_EQ(keyed.size(), 2u);
    EXPECT_EQ(keyed[0].first, 72 * Frames);
    EXPECT_EQ(keyed[0].second - keyed[0].first, 51 * Frames);
    for (std::uint64_t j = 0; j < 51 * Frames; ++j)
        ASSERT_EQ(out[2 * (keyed[0].first + j) + 1], TReceiver::Audio(20 * Frames + j)) << j;
    EXPECT_NEAR(static_cast<double>(keyed[0].second) / Rate, run.states[4].first, 0.0015);
    EXPECT_GE(keyed[1].second - keyed[1].first, 30 * Frames);
    EXPECT_NE(QFile(QString::fromStdString(ini)).size(), 0);
}

TEST(Headless, TestModeLogsTheSquelchAndTransmitsNothing) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    const std::string output = dir.filePath("transmitted.wav").toStdString();
    TReceiver receiver;
    receiver.ToneHz = Rate * 46.0 / Frames;
    receiver.Carrier = {{20 * Frames, 30 * Frames}};
    WriteReceiver(input, receiver, 2.0);
    QFile ini(dir.filePath("quorim.ini"));
    ini.open(QIODevice::WriteOnly);
    ini.write("[Main]\nSoundMode=3\n");
    ini.close();
    const TRun run = Quorim({"--headless", "--test", "--input", QString::fromStdString(input),
                             "--output", QString::fromStdString(output), "--ini", ini.fileName()});
    ASSERT_EQ(run.status, 0) << run.errors;
    ASSERT_EQ(run.states.size(), 4u);
    EXPECT_EQ(run.states[2].second, "ЗАПИСЬ");
    EXPECT_EQ(run.states[3].second, "ОЖИДАНИЕ");
    SF_INFO info{};
    const auto out = ReadWav(output, info);
    EXPECT_TRUE(out.empty() || std::all_of(out.begin(), out.end(), [](auto s) { return s == 0; }));
}

TEST(Window, TerminationSignalsCloseTheWindowAsItsCloseButtonDoes) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    WriteReceiver(input, TReceiver{}, 0.5);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        QFile ini(dir.filePath("quorim.ini"));
        ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
        ini.write("[Main]\nDuration=5\n");
        ini.close();
        quorim_process::Running process(
            {"--input", QString::fromStdString(input), "--ini", ini.fileName()});
        EXPECT_TRUE(process.waitCatching({SIGTERM, SIGINT, SIGHUP}, 20000));
        process.signal(signal);
        const TRun run = process.finish(20000);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.status, 0) << run.errors;
        ini.open(QIODevice::ReadOnly);
        const std::string text = ini.readAll().toStdString();
        ini.close();
        EXPECT_NE(text.find("Duration=30\n"), std::string::npos) << "the settings were written";
        EXPECT_NE(text.find("LevelImmediateUpdateDifference=8\n"), std::string::npos);
    }
    // Unattended, nobody answers the start-up error's box: the signal closes it and the window.
    QFile ini(dir.filePath("refused.ini"));
    ini.open(QIODevice::WriteOnly);
    ini.write("[Station]\nPttType=vox\n");
    ini.close();
    quorim_process::Running process(
        {"--input", QString::fromStdString(input), "--ini", ini.fileName()});
    EXPECT_TRUE(process.waitCatching({SIGTERM}, 20000));
    QThread::msleep(500); // the box is up
    process.signal(SIGTERM);
    const TRun run = process.finish(5000);
    EXPECT_TRUE(run.finished) << "ended with the box open";
    EXPECT_FALSE(run.crashed);
}

TEST(Headless, BadCommandLinesAndProblemsAreReportedWithTheirStatus) {
    QTemporaryDir dir;
    EXPECT_EQ(Quorim({"--frobnicate"}).status, 2);
    EXPECT_EQ(Quorim({"--ini"}).status, 2);
    EXPECT_EQ(Quorim({"--test"}).status, 2) << "--test without --headless";
    const TRun missing = Quorim({"--headless", "--input", dir.filePath("none.wav")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.errors.find("none.wav"), std::string::npos);
    EXPECT_EQ(Quorim({"--help"}).status, 0);
    // No mode in the settings: the repeater cannot start, and says so.
    const std::string input = dir.filePath("received.wav").toStdString();
    WriteReceiver(input, TReceiver{}, 0.5);
    const TRun noMode = Quorim({"--headless", "--input", QString::fromStdString(input), "--ini",
                                dir.filePath("empty.ini")});
    EXPECT_EQ(noMode.status, 1);
    EXPECT_NE(noMode.errors.find("no sound mode"), std::string::npos);
}

TEST(Headless, AnOutputThatCannotBeWrittenFailsTheRunAndOneInterruptedAnyhowReadsWhole) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    TReceiver receiver;
    receiver.ToneHz = Rate * 46.0 / Frames;
    receiver.Carrier = {{20 * Frames, 60 * Frames}};
    WriteReceiver(input, receiver, 4.0);
    const QString output = dir.filePath("transmitted.wav");
    auto ini = [&](const std::string& Station) {
        QFile file(dir.filePath("quorim.ini"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(("[Main]\nSoundMode=3\n[Station]\n" + Station).c_str());
        return file.fileName();
    };
    const TRun full = Quorim({"--headless", "--input", QString::fromStdString(input), "--output",
                              "/dev/full", "--ini", ini("")});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.errors.find("the output file /dev/full cannot be written: No space left"),
              std::string::npos)
        << full.errors;

    // A run that fails before any audio leaves no file.
    const TRun noPtt =
        Quorim({"--headless", "--input", QString::fromStdString(input), "--output", output, "--ini",
                ini("PttType=cm108\nPttDevice=" + dir.filePath("none").toStdString())});
    EXPECT_EQ(noPtt.status, 1);
    EXPECT_FALSE(QFile::exists(output));

    // Killed during a replay, with no chance to finish the file: its header still tells its data.
    quorim_process::Running killed({"--headless", "--realtime", "--input",
                                    QString::fromStdString(input), "--output", output, "--ini",
                                    ini("")});
    ASSERT_TRUE(killed.waitForOutput("ВОСПРОИЗВЕДЕНИЕ", 20000));
    for (int i = 0; i < 500 && QFileInfo(output).size() < 20000; ++i)
        QThread::msleep(10);
    killed.signal(SIGKILL);
    killed.finish(10000);
    EXPECT_TRUE(WavHeaderMatchesData(output.toStdString()));
}

TEST(Headless, ASettingsFileThatCannotBeReadOrAWrongDeviceIsSaidSoAndQtsDesktopRemarksAreNot) {
    QTemporaryDir dir;
    const QString input = dir.filePath("received.wav");
    TReceiver receiver;
    receiver.ToneHz = Rate * 46.0 / Frames;
    receiver.Carrier = {{20 * Frames, 30 * Frames}};
    WriteReceiver(input.toStdString(), receiver, 2.0);
    auto ini = [&](const char* Name, const std::string& Text) {
        QFile file(dir.filePath(Name));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(Text.data(), static_cast<qint64>(Text.size()));
        return file.fileName();
    };

    // A folder where the settings file should be: said, and nothing else tried or written.
    const QString folder = dir.filePath("folder.ini");
    QDir().mkpath(folder);
    for (const QStringList& arguments :
         {QStringList{"--headless", "--input", input}, QStringList{"--ptt-test"}}) {
        const TRun run = Quorim(arguments + QStringList{"--ini", folder});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.errors, "quorim: " + folder.toStdString() +
                                  ": the settings file cannot be read: it is a folder\n");
    }
    EXPECT_TRUE(QFileInfo(folder).isDir());

    // A GPIO chip that is a plain file; a callsign with a NUL in it, shown whole.
    const TRun gpio = Quorim(
        {"--headless", "--input", input, "--ini",
         ini("gpio.ini", "[Main]\nSoundMode=3\n[Station]\nPttType=gpio\nPttDevice=gpio.ini\n")});
    EXPECT_EQ(gpio.status, 1);
    EXPECT_NE(gpio.errors.find("gpio.ini cannot be opened: it is not a GPIO chip"),
              std::string::npos)
        << gpio.errors;
    const TRun nul =
        Quorim({"--headless", "--input", input, "--ini",
                ini("nul.ini",
                    std::string("[Main]\nSoundMode=3\n[Station]\nCallsign=AB") + '\0' + "CD\n")});
    EXPECT_EQ(nul.status, 1);
    EXPECT_NE(nul.errors.find("Callsign=AB\\x00CD cannot be used"), std::string::npos)
        << nul.errors;

    // Under a service manager there is no runtime folder, and the test's spectrum window cannot
    // be raised: standard error holds the program's words only.
    auto service = QProcessEnvironment::systemEnvironment();
    service.remove("XDG_RUNTIME_DIR");
    const TRun test = quorim_process::run({"--headless", "--test", "--input", input, "--ini",
                                           ini("test.ini", "[Main]\nSoundMode=3\n")},
                                          60000, service);
    EXPECT_EQ(test.status, 0);
    EXPECT_EQ(test.errors, "");
}

TEST(Headless, ASoundModeNameChoosesTheModeAndOneThatMatchesNoneListsThem) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    const QString output = dir.filePath("transmitted.wav");
    WriteReceiver(input, TReceiver{}, 0.5);
    auto runWith = [&](const std::string& Name) {
        QFile ini(dir.filePath("quorim.ini"));
        ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
        ini.write(("[Main]\nSoundMode=3\n[Options]\nSoundModeName=" + Name + "\n").c_str());
        ini.close();
        const TRun run = Quorim({"--headless", "--input", QString::fromStdString(input), "--output",
                                 output, "--ini", ini.fileName()});
        ini.open(QIODevice::ReadOnly);
        return std::pair{run, ini.readAll().toStdString()};
    };
    // The name wins over the position, in any case and spacing; the position written back is
    // the name's, the name itself as the user wrote it.
    const auto [named, written] = runWith("48000 hz  16 bit Stereo");
    ASSERT_EQ(named.status, 0) << named.errors;
    SF_INFO info{};
    ReadWav(output.toStdString(), info);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_NE(written.find("SoundMode=5\n"), std::string::npos) << written;
    EXPECT_NE(written.find("SoundModeName=48000 hz  16 bit Stereo\n"), std::string::npos);

    const auto [unknown, kept] = runWith("48000 Hz 24 bit stereo");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.errors.find("quorim.ini:4: [Options] SoundModeName=48000 Hz 24 bit stereo: "
                                  "no sound mode of these devices has this name; there are:\n"
                                  "  0  22050 Hz 8 bit stereo\n"),
              std::string::npos)
        << unknown.errors;
    EXPECT_NE(unknown.errors.find("  7  96000 Hz 16 bit stereo"), std::string::npos);
    EXPECT_NE(kept.find("SoundMode=3\n"), std::string::npos) << kept;

    // The device list tells the same positions.
    const TRun list =
        Quorim({"--list-devices", "--output", output, "--ini", dir.filePath("none.ini")});
    EXPECT_NE(list.out.find("Sound modes of capture device -1 and playback device -1"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("\n   5  48000 Hz 16 bit stereo\n"), std::string::npos);
}

TEST(Headless, HelpAndTheDeviceListNameTheSettingsFileARunUses) {
    QTemporaryDir dir;
    const QString card = dir.filePath("transmitted.wav"); // the simulated card: no PortAudio
    auto lastLine = [](const QStringList& Arguments) {
        const TRun run = Quorim(Arguments);
        EXPECT_EQ(run.status, 0);
        const QStringList lines = QString::fromStdString(run.out).split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? std::string() : lines.last().toStdString();
    };
    // The build tree is writable, so its settings stay beside the program.
    const std::string beside = std::filesystem::canonical(quorim_process::binary().toStdString())
                                   .replace_extension(".ini")
                                   .string();
    EXPECT_EQ(lastLine({"--list-devices", "--output", card}), "Settings file: " + beside);
    EXPECT_EQ(lastLine({"--help"}), "this run uses " + beside);
    const std::string ini = dir.filePath("station.ini").toStdString();
    EXPECT_EQ(lastLine({"--list-devices", "--output", card, "--ini", QString::fromStdString(ini)}),
              "Settings file: " + ini);
    EXPECT_TRUE(lastLine({"--version"}).starts_with("quorim 0."));
}

} // namespace
