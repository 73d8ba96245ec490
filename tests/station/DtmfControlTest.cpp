// Control over the air, end to end on the simulated card: DTMF commands in a recording of the
// FM link, their answers in Morse, overs with a command left unreplayed, wrong and reused codes,
// and the transmitter switched off and on again from a handheld.
#include <filesystem>
#include <fstream>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "control/Totp.h"
#include "control/TransmitterSwitch.h"
#include "tests/app/RepeaterRig.h"
#include "tests/station/DtmfAudio.h"
#include "tests/station/OnAir.h"
#include "tests/support/QuorimProcess.h"

namespace {

using quorim_process::Outcome;

Outcome quorim(const QStringList& Arguments) {
    return quorim_process::run(Arguments, 120000);
}

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A station with a time-based code in Dir, its settings file Name.ini.
std::string stationIni(const QTemporaryDir& Dir, const std::string& Name) {
    const std::string ini = Dir.filePath(QString::fromStdString(Name + ".ini")).toStdString();
    std::ofstream(ini) << "[Main]\nSoundMode=5\nSquelchLevel=0.0005\n"
                          "[Squelch]\nWindow=hann\n"
                       << "[Station]\nCallsign=K1ABC\nArchiveFolder="
                       << Dir.filePath(QString::fromStdString(Name)).toStdString() << "\n"
                       << "[Control]\nTotpSecretFile=" << Name << "-secret\n";
    return ini;
}

struct Heard {
    Outcome run;
    std::vector<std::int16_t> played;
    std::vector<std::pair<std::size_t, std::size_t>> spans; // keyed
    std::string said(std::size_t I) const {
        std::vector<double> right;
        for (std::size_t f = spans.at(I).first; f < spans.at(I).second; ++f)
            right.push_back(played[2 * f + 1] / 32768.0);
        return OnAir::MorseText(OnAir::DecodeMorse(right, 800, fm_link::rate).Code);
    }
};

// Overs of DTMF digits from a handheld through the FM link, Gap seconds apart, played to the
// station of Ini.
Heard onAir(const QTemporaryDir& Dir, const std::string& Ini,
            const std::vector<std::string>& Digits, double Gap) {
    // The squelch opens a few buffers into an over: the digits come after a pause, as on a
    // handheld whose user waits a moment after keying.
    dtmf_audio::Tone tone;
    tone.leadMs = 600;
    const auto audio =
        dtmf_audio::overs(Digits, {fm_link::Output::discriminator, 4, 30}, tone, 3, Gap);
    const std::string in = Dir.filePath("in.wav").toStdString();
    const std::string out = Dir.filePath("out.wav").toStdString();
    fm_link::writeWav(in, audio);
    Heard h;
    h.run = quorim({"--headless", "--input", QString::fromStdString(in), "--output",
                    QString::fromStdString(out), "--ini", QString::fromStdString(Ini)});
    SF_INFO info{};
    h.played = RepeaterRig::ReadWav(out, info);
    h.spans = OnAir::Keyed(h.played, 0);
    return h;
}

std::vector<std::string> lines(const std::string& File) {
    std::ifstream in(File);
    std::vector<std::string> all;
    for (std::string l; std::getline(in, l);)
        all.push_back(l);
    return all;
}

} // namespace

TEST(DtmfControlOnAir, CommandsWithATimeBasedCodeAreAnsweredNotReplayedAndACodeWorksOnce) {
    QTemporaryDir dir;
    const std::string ini = stationIni(dir, "quorim");
    const Outcome setup = quorim({"--totp-setup", "--ini", QString::fromStdString(ini)});
    ASSERT_EQ(setup.status, 0) << setup.errors;
    EXPECT_NE(setup.out.find("otpauth://totp/Quorim:K1ABC?secret="), std::string::npos);
    EXPECT_EQ(quorim({"--totp-setup", "--ini", QString::fromStdString(ini)}).status, 1)
        << "a second set-up would lock its owner out";
    const control::Totp totp(dir.filePath("quorim-secret").toStdString());
    const std::string code = totp.code(unixNow());
    const std::string next = totp.code(unixNow() + 30); // a step ahead is taken too

    // Apart enough for the identification after a replay.
    const Heard h =
        onAir(dir, ini, {"5555", code + "*2#", code + "*2#", "000000*2#", next + "*5#"}, 8.0);
    const Outcome& run = h.run;
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.errors.find("DTMF digits: 5555"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("DTMF digits: xxxxxx*2#"), std::string::npos);
    EXPECT_EQ(run.errors.find(code + "*"), std::string::npos) << "the code stays out of the log";
    EXPECT_NE(run.errors.find("the code is wrong or was used before"), std::string::npos);

    ASSERT_EQ(h.spans.size(), 5u) << run.errors;
    // The first over is replayed whole; the others hold commands and are answered instead.
    EXPECT_GT(h.spans[0].second - h.spans[0].first, fm_link::rate);
    EXPECT_EQ(h.said(1), "OK K1ABC") << "identified at once";
    EXPECT_EQ(h.said(2), "ERR") << "the same code again";
    EXPECT_EQ(h.said(3), "ERR");
    EXPECT_EQ(h.said(4), "TX ON UP 0H0 OV 1") << run.errors;

    const auto csv = lines(dir.filePath("quorim/overs.csv").toStdString());
    ASSERT_GE(csv.size(), 3u);
    EXPECT_TRUE(csv[0].ends_with(",report,dtmf")) << csv[0];
    EXPECT_TRUE(csv[1].ends_with(",5555")) << csv[1];
    EXPECT_TRUE(csv[2].ends_with(",xxxxxx*2#")) << csv[2];
}

// "Transmitter off" from a handheld silences every later over, a code heard before and a wrong
// one leave it off, before and after a restart, and "on" brings it back: the switch is the state
// file's, the one the web page and --transmitter turn.
TEST(DtmfControlOnAir, TransmitterOffStopsEveryReplayUntilOnAndACodeStaysUsedAfterARestart) {
    QTemporaryDir dir;
    const std::string ini = stationIni(dir, "relay");
    ASSERT_EQ(quorim({"--totp-setup", "--ini", QString::fromStdString(ini)}).status, 0);
    const control::Totp totp(dir.filePath("relay-secret").toStdString());
    const std::string code = totp.code(unixNow());
    const std::string next = totp.code(unixNow() + 30);
    const std::filesystem::path state = dir.filePath("relay.state").toStdString();

    const Heard off = onAir(dir, ini, {"5555", code + "*0#", "5555", "000000*1#"}, 8.0);
    ASSERT_EQ(off.run.status, 0) << off.run.errors;
    ASSERT_EQ(off.spans.size(), 2u) << "the replay and the answer, then nothing" << off.run.errors;
    EXPECT_EQ(off.said(1), "TX OFF");
    EXPECT_NE(off.run.errors.find("command transmitter-off by dtmf: done"), std::string::npos);
    EXPECT_FALSE(control::TransmitterSwitch(state).on());

    // A restart: still off; the code from before does nothing, the next one switches on.
    const Heard on = onAir(dir, ini, {code + "*1#", next + "*1#", "5555"}, 8.0);
    ASSERT_EQ(on.run.status, 0) << on.run.errors;
    ASSERT_EQ(on.spans.size(), 2u) << on.run.errors;
    EXPECT_EQ(on.said(0), "OK K1ABC") << "the first transmission since the start identifies";
    EXPECT_GT(on.spans[1].second - on.spans[1].first, fm_link::rate) << "replayed again";
    EXPECT_TRUE(control::TransmitterSwitch(state).on());

    // The overs heard while off are archived unsent, a command's code as 'x's.
    const auto csv = lines(dir.filePath("relay/overs.csv").toStdString());
    ASSERT_EQ(csv.size(), 1u + 7u);
    for (std::size_t i : {3u, 4u, 5u})
        EXPECT_NE(csv[i].find(",not sent,"), std::string::npos) << csv[i];
    EXPECT_TRUE(csv[5].ends_with(",xxxxxx*1#")) << csv[5];
}
