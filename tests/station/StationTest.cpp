// The station's parts on their own: the settings reader's messages, the PTT drivers against
// what they write, and the archive on disk (also after a headless run of the program).
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sndfile.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "station/Archive.h"
#include "station/Ptt.h"
#include "station/Report.h"
#include "station/Settings.h"
#include "tests/app/RepeaterRig.h"
#include "tests/support/QuorimProcess.h"
#include "toolkit/IniFiles.h"

namespace fs = std::filesystem;
using WaveDefs::TWaveFormat;

namespace {

std::string WriteIni(const QTemporaryDir& Dir, const std::string& Station) {
    const std::string path = Dir.filePath("quorim.ini").toStdString();
    std::ofstream(path) << "[Main]\nSoundMode=3\n[Options]\nPlayVolume=65535\n[Station]\n"
                        << Station;
    return path;
}

std::string Refusal(const std::string& Station) {
    QTemporaryDir dir;
    try {
        station::readSettings(IniFiles::TIniFile(WriteIni(dir, Station)));
    } catch (const station::SettingsError& e) {
        // Named by the file and line, as every message about the settings file is.
        std::string text = e.what();
        const std::string folder = dir.path().toStdString() + "/";
        return text.starts_with(folder) ? text.substr(folder.size()) : text;
    }
    return "accepted";
}

TEST(StationSettings, DefaultsWhenAbsentAndEachWrongKeyNamedWithWhatIsAllowed) {
    QTemporaryDir dir;
    const station::Settings s = station::readSettings(IniFiles::TIniFile(WriteIni(dir, "")));
    EXPECT_FALSE(s.identifies());
    EXPECT_EQ(s.idIntervalS, 600);
    EXPECT_EQ(s.idWpm, 20);
    EXPECT_EQ(s.idFrequencyHz, 800);
    EXPECT_EQ(s.idVolume, 19661);
    EXPECT_EQ(s.pttType, station::PttType::None);
    EXPECT_EQ(s.pttGpio, 3);
    EXPECT_EQ(s.courtesyHz, 0);
    EXPECT_EQ(s.courtesyMs, 150);
    EXPECT_FALSE(s.timeoutLockout);
    EXPECT_EQ(s.archiveMaxMb, 500);

    EXPECT_EQ(Refusal("IdWpm=fast\n"),
              "quorim.ini:6: [Station] IdWpm=fast cannot be used: a whole number from 5 to 60 is "
              "allowed");
    EXPECT_EQ(Refusal("PttType=vox\n"), "quorim.ini:6: [Station] PttType=vox cannot be used: none, "
                                        "serial-rts, serial-dtr, cm108 or gpio is allowed");
    EXPECT_NE(Refusal("PttType=cm108\n")
                  .find("PttDevice= cannot be used: with PttType=cm108, "
                        "the device path (e.g. /dev/hidraw0)"),
              std::string::npos);
    EXPECT_NE(Refusal("PttType=cm108\nPttDevice=/dev/hidraw0\nPttGpio=9\n").find("PttGpio=9"),
              std::string::npos);
    EXPECT_NE(Refusal("Callsign=K1ABC!\n").find("Callsign=K1ABC! cannot be used"),
              std::string::npos);
    EXPECT_NE(Refusal("CourtesyTone=50\n").find("0 (none) or a whole number from 100"),
              std::string::npos);
    EXPECT_NE(Refusal("TimeoutLockout=yes\n").find("0 (off) or 1 (on)"), std::string::npos);
    EXPECT_EQ(Refusal("Callsign=k1abc\nCourtesyTone=0\nPttLead=$64\nIdVolume=0\n"), "accepted");
    EXPECT_EQ(s.report, station::ReportKind::None);
    EXPECT_EQ(
        Refusal("Report=speech\n"),
        "quorim.ini:6: [Station] Report=speech cannot be used: none, voice or morse is allowed");
    EXPECT_NE(Refusal("Report=voice\nReportLanguage=de\n").find("ru or en"), std::string::npos);
    EXPECT_NE(Refusal("ReportLow=-10\nReportHigh=-20\n")
                  .find("ReportHigh=-20 cannot be used: a level above ReportLow (-10 dBFS)"),
              std::string::npos);

    // In the program: the message at start-up, and Start refused with it.
    RepeaterRig::TRig rig({}, {{"SoundMode", "3"}, {"Station/IdInterval", "5"}});
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_TRUE(rig.Errors()[0].ends_with(".ini:5: [Station] IdInterval=5 cannot be used: a whole "
                                          "number from 10 to 86400 is allowed"))
        << rig.Errors()[0];
    EXPECT_THROW(rig.Form().btnStartClick(), station::SettingsError);
    EXPECT_FALSE(rig.Form().Recorder->Active());
}

TEST(StationPtt, SerialLinesSetTheirModemBitThroughTheControlCall) {
    QTemporaryDir dir;
    const std::string port = dir.filePath("ttyUSB0").toStdString();
    std::ofstream(port).put('\0');
    std::vector<std::pair<unsigned long, int>> calls;
    auto ioctl = [&](int, unsigned long Request, int* Bits) {
        calls.push_back({Request, *Bits});
        return 0;
    };
    {
        auto rts = station::openSerialPtt(port, false, false, ioctl);
        rts->set(true);
        rts->set(false);
    }
    const std::vector<std::pair<unsigned long, int>> rtsCalls{
        {TIOCMBIC, TIOCM_RTS}, {TIOCMBIS, TIOCM_RTS}, {TIOCMBIC, TIOCM_RTS}, {TIOCMBIC, TIOCM_RTS}};
    EXPECT_EQ(calls, rtsCalls) << "released on opening, keyed, released, released on closing";
    calls.clear();
    station::openSerialPtt(port, true, true, ioctl)->set(true);
    const std::vector<std::pair<unsigned long, int>> invertedDtr{
        {TIOCMBIS, TIOCM_DTR}, {TIOCMBIC, TIOCM_DTR}, {TIOCMBIS, TIOCM_DTR}};
    EXPECT_EQ(calls, invertedDtr);

    auto refused = [](int, unsigned long, int*) {
        errno = EIO;
        return -1;
    };
    EXPECT_THROW(station::openSerialPtt(port, false, false, refused), station::PttError);
    try {
        station::openSerialPtt(dir.filePath("missing").toStdString(), false, false, ioctl);
        FAIL();
    } catch (const station::PttError& e) {
        EXPECT_NE(std::string(e.what()).find("missing cannot be opened: No such file"),
                  std::string::npos);
    }
}

TEST(StationPtt, Cm108WritesTheHidOutputReportForItsPin) {
    QTemporaryDir dir;
    const std::string hid = dir.filePath("hidraw0").toStdString();
    std::ofstream(hid).flush();
    auto report = [&] {
        // A plain file keeps every report written; hidraw takes each as one.
        std::ifstream in(hid, std::ios::binary);
        std::vector<std::uint8_t> all(std::istreambuf_iterator<char>(in), {});
        return std::vector<std::uint8_t>(all.end() - std::min<std::ptrdiff_t>(5, std::ssize(all)),
                                         all.end());
    };
    {
        auto line = station::openCm108Ptt(hid, 3, false);
        EXPECT_EQ(report(), (std::vector<std::uint8_t>{0, 0, 0x00, 0x04, 0}));
        line->set(true);
        EXPECT_EQ(report(), (std::vector<std::uint8_t>{0, 0, 0x04, 0x04, 0}));
    }
    EXPECT_EQ(report(), (std::vector<std::uint8_t>{0, 0, 0x00, 0x04, 0})) << "released on closing";
    std::ofstream(hid, std::ios::trunc).flush();
    {
        auto line = station::openCm108Ptt(hid, 1, true);
        line->set(true);
        EXPECT_EQ(report(), (std::vector<std::uint8_t>{0, 0, 0x00, 0x01, 0}));
    }
    EXPECT_EQ(report(), (std::vector<std::uint8_t>{0, 0, 0x01, 0x01, 0}));

    // quorim --ptt-test keys the configured line for a second, then releases it.
    std::ofstream(hid, std::ios::trunc).flush();
    const std::string ini = WriteIni(dir, "PttType=cm108\nPttDevice=" + hid + "\n");
    const auto test =
        quorim_process::run({"--ptt-test", "--ini", QString::fromStdString(ini)}, 30000);
    ASSERT_TRUE(test.finished);
    EXPECT_EQ(test.status, 0) << test.errors;
    std::ifstream in(hid, std::ios::binary);
    const std::vector<std::uint8_t> all(std::istreambuf_iterator<char>(in), {});
    const std::vector<std::uint8_t> released{0, 0, 0, 4, 0}, keyed{0, 0, 4, 4, 0};
    ASSERT_GE(all.size(), 15u);
    EXPECT_TRUE(std::equal(keyed.begin(), keyed.end(), all.begin() + 5));
    EXPECT_TRUE(std::equal(released.begin(), released.end(), all.end() - 5));
}

TEST(StationPtt, GpioLineThroughLibgpiod) {
    // gpio-sim makes a chip through configfs, which needs its kernel module.
    if (!fs::exists("/sys/kernel/config/gpio-sim"))
        GTEST_SKIP() << "no simulated GPIO chip here: /sys/kernel/config/gpio-sim is missing "
                        "(the gpio-sim kernel module is not loaded)";
    GTEST_SKIP() << "gpio-sim is present but making a chip needs root configfs writes; not run";
}

TEST(StationPtt, GpioChipThatIsMissingIsNamed) {
    try {
        station::openGpioPtt("/dev/no-such-gpiochip", 4, false);
        FAIL();
    } catch (const station::PttError& e) {
        EXPECT_NE(std::string(e.what()).find("GPIO chip /dev/no-such-gpiochip cannot be opened"),
                  std::string::npos);
    }
}

// Writes 14 s of the rig's receiver, its carrier over the given buffers, as a 16-bit WAV.
void WriteReceiver(const std::string& Path,
                   const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Buffers) {
    RepeaterRig::WriteReceiverWav(Path, RepeaterRig::CarrierOverBuffers(Buffers), 14.0, 44100);
}

TEST(StationPtt, EveryTerminationSignalDuringAReplayReleasesTheLineAndFinishesTheOutput) {
    QTemporaryDir dir;
    const std::string input = dir.filePath("received.wav").toStdString();
    WriteReceiver(input, {{5, 40}});
    const std::string hid = dir.filePath("hidraw0").toStdString();
    const std::string ini = WriteIni(dir, "PttType=cm108\nPttDevice=" + hid + "\n");
    const std::string output = dir.filePath("transmitted.wav").toStdString();
    for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        std::ofstream(hid, std::ios::trunc).flush();
        quorim_process::Running quorim(
            {"--headless", "--realtime", "--input", QString::fromStdString(input), "--output",
             QString::fromStdString(output), "--ini", QString::fromStdString(ini)});
        ASSERT_TRUE(quorim.waitForOutput("ВОСПРОИЗВЕДЕНИЕ", 10000));
        auto reports = [&] {
            std::ifstream in(hid, std::ios::binary);
            return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
        };
        const std::vector<std::uint8_t> released{0, 0, 0, 4, 0}, keyed{0, 0, 4, 4, 0};
        const auto sent = reports();
        EXPECT_NE(std::search(sent.begin(), sent.end(), keyed.begin(), keyed.end()), sent.end())
            << "keyed on the air before the state says so";
        quorim.signal(signal);
        const auto run = quorim.finish(10000);
        ASSERT_TRUE(run.finished);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.status, 0) << run.errors;
        const auto last = reports();
        ASSERT_GE(last.size(), 5u);
        EXPECT_TRUE(std::equal(released.begin(), released.end(), last.end() - 5));
        EXPECT_TRUE(RepeaterRig::WavHeaderMatchesData(output));
    }
}

TEST(StationPtt, PttReleaseReleasesTheConfiguredLineOrSaysWhyItCannot) {
    QTemporaryDir dir;
    auto run = [&](const std::string& Station) {
        const auto run = quorim_process::run(
            {"--ptt-release", "--ini", QString::fromStdString(WriteIni(dir, Station))}, 10000);
        return std::pair{run.status, run.errors};
    };
    const std::string hid = dir.filePath("hidraw0").toStdString();
    std::ofstream(hid).flush();
    EXPECT_EQ(run("PttType=cm108\nPttDevice=" + hid + "\n").first, 0);
    std::ifstream in(hid, std::ios::binary);
    const std::vector<std::uint8_t> sent(std::istreambuf_iterator<char>(in), {});
    const std::vector<std::uint8_t> released{0, 0, 0, 4, 0};
    ASSERT_GE(sent.size(), 5u);
    EXPECT_TRUE(std::equal(released.begin(), released.end(), sent.end() - 5));

    const auto [status, errors] = run("PttType=cm108\nPttDevice=/nonexistent/hidraw9\n");
    EXPECT_EQ(status, 1);
    EXPECT_NE(errors.find("/nonexistent/hidraw9"), std::string::npos) << errors;
    EXPECT_EQ(run("").first, 0) << "no line: nothing to release";
}

station::Over OverOf(int Second, std::size_t Bytes) {
    station::Over o;
    o.start = std::chrono::system_clock::time_point(std::chrono::seconds(1796738591 + Second));
    o.audio.assign(Bytes, 0);
    o.audio[0] = 0xFF; // one sample at full scale
    o.audio[1] = 0x7F;
    o.mono = TWaveFormat::wf44100mono16;
    o.figures = station::measureAudio(o.audio, o.mono);
    o.figures.idleDb = -40;
    o.figures.overDb = -70;
    o.figures.quietingDb = 30;
    return o;
}

TEST(StationArchive, CapRemovesTheOldestAndAnUnwritableFolderIsRefusedAtOnce) {
    QTemporaryDir dir;
    const fs::path folder = dir.filePath("overs").toStdString();
    fs::create_directory(folder);
    std::ofstream(folder / "overs.csv") << "start,file,length_s\n2026-12-07T00-00-00,x.wav,1\n";
    {
        station::Archive archive(folder, 250'000);
        for (int i = 0; i < 3; ++i)
            archive.add(OverOf(i, 100'000));
        archive.flush();
        EXPECT_EQ(archive.takeProblem(), "");
        // Measured by the worker as it leaves the folder: what is left after the cap.
        std::uint64_t held = 0;
        for (const auto& entry : fs::directory_iterator(folder))
            held += entry.file_size();
        EXPECT_EQ(archive.bytes(), held);
    }
    EXPECT_FALSE(fs::exists(folder / "2026-12-08T14-03-11.wav"));
    EXPECT_TRUE(fs::exists(folder / "2026-12-08T14-03-12.wav"));
    EXPECT_TRUE(fs::exists(folder / "2026-12-08T14-03-13.wav"));
    std::ifstream csv(folder / "overs.csv");
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], station::Archive::CsvHeader);
    EXPECT_TRUE(fs::exists(folder / "overs-until-2026-12-08T14-03-11.csv"))
        << "a file with other columns is kept apart";
    EXPECT_EQ(lines[1], "2026-12-08T14-03-11,2026-12-08T14-03-11.wav,1.134,-0.0,-47.0,1,-40.0,"
                        "-70.0,30.0,0,0.00,,,");

    // A folder that goes away while the repeater runs: one message for all the overs lost.
    {
        station::Archive archive(folder, 250'000);
        fs::remove_all(folder);
        std::ofstream(folder) << "x"; // a file where the folder was: nothing can be made in it
        archive.add(OverOf(10, 1000));
        archive.add(OverOf(11, 1000));
        archive.flush();
        EXPECT_NE(
            archive.takeProblem().find("could not be archived (it was replayed all the same)"),
            std::string::npos);
        archive.add(OverOf(12, 1000));
        archive.flush();
        EXPECT_EQ(archive.takeProblem(), "");
    }

    // A folder that cannot be made or written is refused when the archive opens.
    std::ofstream(dir.filePath("file").toStdString()) << "x";
    EXPECT_THROW(station::Archive(dir.filePath("file/overs").toStdString(), 1), std::runtime_error);
}

TEST(StationArchive, OversOfOneSecondArePrunedInTheOrderTheyWereWritten) {
    QTemporaryDir dir;
    const fs::path folder = dir.filePath("overs").toStdString();
    {
        station::Archive archive(folder, 250'000);
        for (int i = 0; i < 12; ++i)
            archive.add(OverOf(0, i < 9 ? 1000 : 100'000));
        archive.flush();
    }
    // "-" sorts before ".", and "-10" before "-9", by name alone.
    EXPECT_FALSE(fs::exists(folder / "2026-12-08T14-03-11.wav"));
    EXPECT_FALSE(fs::exists(folder / "2026-12-08T14-03-11-9.wav"));
    EXPECT_FALSE(fs::exists(folder / "2026-12-08T14-03-11-10.wav"));
    EXPECT_TRUE(fs::exists(folder / "2026-12-08T14-03-11-11.wav"));
    EXPECT_TRUE(fs::exists(folder / "2026-12-08T14-03-11-12.wav"));
}

TEST(StationArchive, AHeadlessRunArchivesEachReplayedOverAndSaysOnceWhenItCannot) {
    QTemporaryDir dir;
    constexpr std::uint64_t Frames = 2048;
    constexpr int Rate = 44100;
    const std::string input = dir.filePath("received.wav").toStdString();
    WriteReceiver(input, {{20, 60}, {200, 230}});
    auto run = [&](const std::string& Folder) {
        const std::string ini = WriteIni(dir, "Callsign=K1ABC\nArchiveFolder=" + Folder + "\n");
        const auto run =
            quorim_process::run({"--headless", "--input", QString::fromStdString(input), "--ini",
                                 QString::fromStdString(ini)});
        return std::pair{run.status, run.errors};
    };

    const fs::path folder = dir.filePath("archive").toStdString();
    const auto [status, errors] = run(folder.string());
    ASSERT_EQ(status, 0) << errors;
    std::vector<fs::path> wavs;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".wav")
            wavs.push_back(e.path());
    std::sort(wavs.begin(), wavs.end());
    ASSERT_EQ(wavs.size(), 2u);
    SF_INFO info{};
    SNDFILE* file = sf_open(wavs[0].c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, Rate);
    ASSERT_EQ(info.frames, static_cast<sf_count_t>(51 * Frames)) << "the over, nothing added";
    std::vector<std::int16_t> samples(51 * Frames);
    sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    for (std::size_t j = 0; j < samples.size(); ++j)
        ASSERT_EQ(samples[j], RepeaterRig::TReceiver::Audio(20 * Frames + j)) << j;

    std::ifstream csv(folder / "overs.csv");
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(csv, line);) {
        rows.emplace_back();
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');)
            rows.back().push_back(cell);
    }
    ASSERT_EQ(rows.size(), 3u);
    ASSERT_EQ(rows[1].size(), 13u) << "no report and no DTMF: the last columns are empty";
    EXPECT_EQ(rows[1][1], wavs[0].filename().string());
    EXPECT_EQ(rows[1][2], "2.368") << "51 buffers";
    EXPECT_GT(std::stod(rows[1][8]), 10) << "the carrier quieted the noise band";
    EXPECT_EQ(rows[1][9], "1") << "the first over is followed by the identification";
    EXPECT_EQ(rows[2][9], "0");
    // Named and stamped on the input's timeline, however fast the run went: the names are as far
    // apart as the recordings' first samples are in the input.
    auto secondsOf = [](const std::string& Stem) {
        std::tm t{};
        std::istringstream(Stem) >> std::get_time(&t, "%Y-%m-%dT%H-%M-%S");
        return static_cast<double>(timegm(&t));
    };
    auto placeInInput = [](const fs::path& Wav) {
        SF_INFO info{};
        const auto s = RepeaterRig::ReadWav(Wav.string(), info);
        for (std::uint64_t f = 0; s.size() >= 4 && f < 14 * Rate; ++f)
            if (s[0] == RepeaterRig::TReceiver::Audio(f) &&
                s[1] == RepeaterRig::TReceiver::Audio(f + 1) &&
                s[2] == RepeaterRig::TReceiver::Audio(f + 2) &&
                s[3] == RepeaterRig::TReceiver::Audio(f + 3))
                return static_cast<double>(f) / Rate;
        return -1.0;
    };
    const double inInput = placeInInput(wavs[1]) - placeInInput(wavs[0]);
    const double named = secondsOf(wavs[1].stem().string()) - secondsOf(wavs[0].stem().string());
    EXPECT_GT(inInput, 8);
    EXPECT_LT(std::abs(named - inInput), 1) << wavs[0] << " " << wavs[1] << " " << inInput;
    EXPECT_EQ(rows[1][0], wavs[0].stem().string());
    EXPECT_EQ(rows[2][0], wavs[1].stem().string());

    // A folder that cannot be written: one message, and every over still replayed.
    std::ofstream(dir.filePath("plain").toStdString()) << "x";
    const auto [status2, errors2] = run(dir.filePath("plain/archive").toStdString());
    EXPECT_EQ(status2, 0);
    EXPECT_NE(errors2.find("the archive folder"), std::string::npos) << errors2;
    EXPECT_EQ(errors2.find("archive"), errors2.rfind("archive folder")) << "said once: " << errors2;
}

} // namespace

TEST(StationReport, FiguresAreMediansAndTheWordsFitTheNumber) {
    using station::Level;
    station::SquelchFigures figures;
    station::OverFigures f;
    // Too little idle hiss yet: no quieting.
    for (int i = 0; i < 5; ++i)
        figures.add(false, 1e-2);
    figures.add(true, 1e-4);
    figures.takeOver(f, {});
    EXPECT_FALSE(f.quietingDb);
    // Medians, whatever a few odd buffers say; a dropped over leaves nothing behind.
    for (int i = 0; i < 300; ++i)
        figures.add(false, i % 50 == 0 ? 1.0 : 1e-2);
    figures.add(true, 1.0);
    figures.dropOver();
    for (int i = 0; i < 40; ++i)
        figures.add(true, i % 10 == 0 ? 1e-2 : 1e-4);
    f = {};
    figures.takeOver(f, {});
    ASSERT_TRUE(f.quietingDb);
    EXPECT_NEAR(*f.idleDb, -40, 0.1);
    EXPECT_NEAR(*f.quietingDb, 40, 0.1);
    // Digital silence between overs is no hiss: the figure from before it stands.
    for (int i = 0; i < 300; ++i)
        figures.add(false, 0.0);
    figures.add(true, 1e-4);
    f = {};
    figures.takeOver(f, {});
    ASSERT_TRUE(f.quietingDb);
    EXPECT_NEAR(*f.quietingDb, 40, 0.1);
    // The peak-ratio squelch: the margin below its level instead.
    for (int i = 0; i < 9; ++i)
        figures.add(true, 0.05);
    f = {};
    figures.takeOver(f, {squelch::Scheme::peakRatio, 0.5});
    EXPECT_FALSE(f.quietingDb);
    EXPECT_NEAR(*f.marginDb, 20, 0.1);

    // Levels from the audio: a sine at half scale, then one clipped.
    station::Pcm sine, clipped;
    station::appendTone(sine, TWaveFormat::wf48000mono16, 1000, 0.5, 48000);
    station::appendTone(clipped, TWaveFormat::wf48000mono16, 1000, 1.5, 48000);
    f = station::measureAudio(sine, TWaveFormat::wf48000mono16);
    EXPECT_NEAR(f.peakDb, -6.0, 0.1);
    EXPECT_NEAR(f.rmsDb, -9.1, 0.1);
    station::Settings s;
    EXPECT_EQ(station::levelOf(f, s), Level::Loud);
    s.reportHighDb = -6;
    EXPECT_EQ(station::levelOf(f, s), Level::Good);
    s.reportLowDb = -8;
    EXPECT_EQ(station::levelOf(f, s), Level::Low);
    EXPECT_EQ(station::levelOf(station::measureAudio(clipped, TWaveFormat::wf48000mono16), s),
              Level::Clipped);

    // The words and the code, Russian numbers agreeing with their unit.
    f = {};
    f.quietingDb = 24.4;
    EXPECT_EQ(station::reportWords(f, Level::Good, "ru"),
              "Шумоподавление 24 децибела. Уровень хороший.");
    EXPECT_EQ(station::reportCode(f, Level::Good), "Q24 L OK");
    f.quietingDb = 11;
    EXPECT_EQ(station::reportWords(f, Level::Clipped, "ru"),
              "Шумоподавление 11 децибел. Перегрузка.");
    f.quietingDb = 21;
    EXPECT_EQ(station::reportWords(f, Level::Low, "en"), "Quieting 21 decibels. Audio low.");
    f.quietingDb.reset();
    f.marginDb = 0.6;
    EXPECT_EQ(station::reportWords(f, Level::Loud, "ru"), "Запас 1 децибел. Уровень высокий.");
    EXPECT_EQ(station::reportCode(f, Level::Clipped), "M1 L CL");
    EXPECT_EQ(station::reportCode({}, Level::Low), "L LO");
}
