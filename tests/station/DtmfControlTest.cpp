// Control over the air, end to end on the simulated card: DTMF commands in a recording of the
// FM link, their answers in Morse, overs with a command left unreplayed, wrong and reused codes.
#include <fstream>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "control/Totp.h"
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

} // namespace

TEST(DtmfControlOnAir, CommandsWithATimeBasedCodeAreAnsweredNotReplayedAndACodeWorksOnce) {
    QTemporaryDir dir;
    const std::string ini = dir.filePath("quorim.ini").toStdString();
    std::ofstream(ini) << "[Main]\nSoundMode=5\nSquelchLevel=0.0005\n"
                          "[Squelch]\nWindow=hann\n"
                       << "[Station]\nArchiveFolder=" << dir.filePath("archive").toStdString()
                       << "\n"
                       << "[Control]\nTotpSecretFile=secret\n";
    const Outcome setup = quorim({"--totp-setup", "--ini", QString::fromStdString(ini)});
    ASSERT_EQ(setup.status, 0) << setup.errors;
    EXPECT_NE(setup.out.find("otpauth://totp/Quorim:station?secret="), std::string::npos);
    EXPECT_EQ(quorim({"--totp-setup", "--ini", QString::fromStdString(ini)}).status, 1)
        << "a second set-up would lock its owner out";
    const control::Totp totp(dir.filePath("secret").toStdString());
    const std::string code = totp.code(unixNow());
    const std::string next = totp.code(unixNow() + 30); // a step ahead is taken too

    // The squelch opens a few buffers into an over: the digits come after a pause, as on a
    // handheld whose user waits a moment after keying.
    dtmf_audio::Tone tone;
    tone.leadMs = 600;
    const auto audio =
        dtmf_audio::overs({"5555", code + "*2#", code + "*2#", "000000*2#", next + "*5#"},
                          {fm_link::Output::discriminator, 4, 30}, tone, 3, 4.0);
    const std::string in = dir.filePath("in.wav").toStdString();
    const std::string out = dir.filePath("out.wav").toStdString();
    fm_link::writeWav(in, audio);
    const Outcome run = quorim({"--headless", "--input", QString::fromStdString(in), "--output",
                                QString::fromStdString(out), "--ini", QString::fromStdString(ini)});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.errors.find("DTMF digits: 5555"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("DTMF digits: xxxxxx*2#"), std::string::npos);
    EXPECT_EQ(run.errors.find(code + "*"), std::string::npos) << "the code stays out of the log";
    EXPECT_NE(run.errors.find("the code is wrong or was used before"), std::string::npos);

    SF_INFO info{};
    const auto played = RepeaterRig::ReadWav(out, info);
    const auto spans = OnAir::Keyed(played, 0);
    ASSERT_EQ(spans.size(), 5u);
    auto said = [&](std::size_t I) {
        std::vector<double> right;
        for (std::size_t f = spans[I].first; f < spans[I].second; ++f)
            right.push_back(played[2 * f + 1] / 32768.0);
        return OnAir::MorseText(OnAir::DecodeMorse(right, 800, fm_link::rate).Code);
    };
    // The first over is replayed whole; the others hold commands and are answered instead.
    EXPECT_GT(spans[0].second - spans[0].first, fm_link::rate);
    EXPECT_EQ(said(1), "OK");
    EXPECT_EQ(said(2), "ERR") << "the same code again";
    EXPECT_EQ(said(3), "ERR");
    EXPECT_EQ(said(4), "TX ON UP 0H0 OV 1") << run.errors;

    std::ifstream csv(dir.filePath("archive/overs.csv").toStdString());
    std::string header, first, second;
    std::getline(csv, header);
    std::getline(csv, first);
    std::getline(csv, second);
    EXPECT_TRUE(header.ends_with(",report,dtmf")) << header;
    EXPECT_TRUE(first.ends_with(",5555")) << first;
    EXPECT_TRUE(second.ends_with(",xxxxxx*2#")) << second;
}
