// The program itself, headless on the simulated card: receiver audio in a WAV, the state log on
// standard output, the transmitter's output in a WAV.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sndfile.h>
#include <sstream>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "tests/app/RepeaterRig.h"

using namespace RepeaterRig;

namespace {

constexpr std::uint64_t Frames = 2048;
constexpr int Rate = 44100;

struct TRun {
    int Status;
    std::vector<std::pair<double, std::string>> States;
    std::string Errors;
};

TRun Quorim(const QStringList& Arguments) {
    QProcess process;
    process.start(QUORIM_BINARY, Arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    TRun run{
        process.exitCode(), {}, QString::fromUtf8(process.readAllStandardError()).toStdString()};
    std::istringstream out(QString::fromUtf8(process.readAllStandardOutput()).toStdString());
    double seconds;
    std::string text;
    while (out >> seconds >> text)
        run.States.emplace_back(seconds, text);
    return run;
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
    ASSERT_EQ(run.Status, 0) << run.Errors;
    std::vector<std::string> texts;
    for (const auto& s : run.States)
        texts.push_back(s.second);
    const std::vector<std::string> expected{"НЕАКТИВНО",    "ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ",
                                            "ЗАБЛОКИРОВАН", "ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ",
                                            "ЗАБЛОКИРОВАН", "ОЖИДАНИЕ"};
    ASSERT_EQ(texts, expected);
    EXPECT_NEAR(run.States[3].first, 72.0 * Frames / Rate, 0.0015);
    EXPECT_NEAR(run.States[5].first - run.States[4].first, 0.5, 0.0015) << "the lock";

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
    EXPECT_NEAR(static_cast<double>(keyed[0].second) / Rate, run.States[4].first, 0.0015);
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
    ASSERT_EQ(run.Status, 0) << run.Errors;
    ASSERT_EQ(run.States.size(), 4u);
    EXPECT_EQ(run.States[2].second, "ЗАПИСЬ");
    EXPECT_EQ(run.States[3].second, "ОЖИДАНИЕ");
    SF_INFO info{};
    const auto out = ReadWav(output, info);
    EXPECT_TRUE(out.empty() || std::all_of(out.begin(), out.end(), [](auto s) { return s == 0; }));
}

// The signals the process catches, from its status in /proc.
std::uint64_t CaughtSignals(qint64 Pid) {
    QFile status(QString("/proc/%1/status").arg(Pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("SigCgt:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16);
    return 0;
}

TEST(Window, TerminationSignalsCloseTheWindowAsItsCloseButtonDoes) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    WriteReceiver(input, TReceiver{}, 0.5);
    const std::uint64_t wanted = 1u << (SIGTERM - 1) | 1u << (SIGINT - 1) | 1u << (SIGHUP - 1);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        QFile ini(dir.filePath("quorim.ini"));
        ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
        ini.write("[Main]\nDuration=5\n");
        ini.close();
        QProcess process;
        process.start(QUORIM_BINARY,
                      {"--input", QString::fromStdString(input), "--ini", ini.fileName()});
        ASSERT_TRUE(process.waitForStarted());
        QElapsedTimer waited;
        waited.start();
        while ((CaughtSignals(process.processId()) & wanted) != wanted && waited.elapsed() < 20000)
            QThread::msleep(20);
        EXPECT_EQ(CaughtSignals(process.processId()) & wanted, wanted);
        kill(static_cast<pid_t>(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        ini.open(QIODevice::ReadOnly);
        const std::string text = ini.readAll().toStdString();
        ini.close();
        EXPECT_NE(text.find("Duration=30\n"), std::string::npos) << "the settings were written";
        EXPECT_NE(text.find("LevelImmediateUpdateDifference=8\n"), std::string::npos);
    }
}

TEST(Headless, BadCommandLinesAndProblemsAreReportedWithTheirStatus) {
    QTemporaryDir dir;
    EXPECT_EQ(Quorim({"--frobnicate"}).Status, 2);
    EXPECT_EQ(Quorim({"--ini"}).Status, 2);
    EXPECT_EQ(Quorim({"--test"}).Status, 2) << "--test without --headless";
    const TRun missing = Quorim({"--headless", "--input", dir.filePath("none.wav")});
    EXPECT_EQ(missing.Status, 2);
    EXPECT_NE(missing.Errors.find("none.wav"), std::string::npos);
    EXPECT_EQ(Quorim({"--help"}).Status, 0);
    // No mode in the settings: the repeater cannot start, and says so.
    const std::string input = dir.filePath("received.wav").toStdString();
    WriteReceiver(input, TReceiver{}, 0.5);
    const TRun noMode = Quorim({"--headless", "--input", QString::fromStdString(input), "--ini",
                                dir.filePath("empty.ini")});
    EXPECT_EQ(noMode.Status, 1);
    EXPECT_NE(noMode.Errors.find("no sound mode"), std::string::npos);
}

TEST(Headless, HelpAndTheDeviceListNameTheSettingsFileARunUses) {
    QTemporaryDir dir;
    const QString card = dir.filePath("transmitted.wav"); // the simulated card: no PortAudio
    auto lastLine = [](const QStringList& Arguments) {
        QProcess process;
        process.start(QUORIM_BINARY, Arguments);
        EXPECT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 0);
        const QStringList lines =
            QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? std::string() : lines.last().toStdString();
    };
    // The build tree is writable, so its settings stay beside the program.
    const std::string beside =
        std::filesystem::canonical(QUORIM_BINARY).replace_extension(".ini").string();
    EXPECT_EQ(lastLine({"--list-devices", "--output", card}), "Settings file: " + beside);
    EXPECT_EQ(lastLine({"--help"}), "this run uses " + beside);
    const std::string ini = dir.filePath("station.ini").toStdString();
    EXPECT_EQ(lastLine({"--list-devices", "--output", card, "--ini", QString::fromStdString(ini)}),
              "Settings file: " + ini);
    EXPECT_TRUE(lastLine({"--version"}).starts_with("quorim 0."));
}

} // namespace
