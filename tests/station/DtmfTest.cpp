// The DTMF receiver on the FM-link model's audio: the digits of random sequences at the
// receiver's outputs and noise levels, at every sound mode, off-frequency pairs, twist and tone
// length; and the codes and lockout of control over the air.
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "control/DtmfControl.h"
#include "control/Totp.h"
#include "tests/station/DtmfAudio.h"
#include "toolkit/IniFiles.h"

using namespace dtmf_audio;
using fm_link::Output;

// The hardest of the conditions the rig (dtmf-rig) measures: the easier ones follow.
TEST(DtmfReceiver, FindsEveryDigitOfRandomSequencesAtLowCarrierToNoise) {
    struct Case {
        Output output;
        double cnrDb;
    };
    std::uint64_t seed = 10;
    for (const Case c : {Case{Output::speaker, 15}, Case{Output::discriminator, 10}}) {
        const auto sequences = randomSequences(200, seed);
        const auto audio = overs(sequences, {c.output, 4, c.cnrDb}, {}, seed++);
        const Score s = score(joined(sequences), heard(audio, fm_link::rate, 16));
        EXPECT_EQ(s.found, s.sent)
            << (c.output == Output::speaker ? "speaker " : "discriminator ") << c.cnrDb << " dB";
        EXPECT_EQ(s.falseDigits, 0u) << c.cnrDb << " dB";
    }
}

TEST(DtmfReceiver, EverySoundModeHearsTheSameDigits) {
    const auto sequences = randomSequences(20, 3);
    const auto audio = overs(sequences, {Output::speaker, 4, 20}, {}, 3);
    for (const std::uint32_t rate : {22050u, 44100u, 48000u, 96000u})
        for (const int bits : {8, 16})
            EXPECT_EQ(heard(audio, rate, bits), joined(sequences)) << rate << " Hz " << bits;
}

TEST(DtmfReceiver, TakesPairsWithinOneAndAHalfPercentAndTwistButNotThreeAndAHalfOrShortTones) {
    const std::string all = "0123456789*#ABCD";
    auto through = [&](const Tone& t, Output o = Output::speaker) {
        return heard(overs({all}, {o, 4, 30}, t, 7), fm_link::rate, 16);
    };
    for (const double off : {-0.015, 0.015}) {
        EXPECT_EQ(through({1 + off, 1 + off}), all) << off;
        EXPECT_EQ(through({1 + off, 1 - off}), all) << off;
    }
    for (const double off : {-0.035, 0.035}) {
        EXPECT_EQ(through({1 + off, 1}), "") << off;
        EXPECT_EQ(through({1, 1 + off}), "") << off;
    }
    EXPECT_EQ(through({1, 1, 8}), all);
    EXPECT_EQ(through({1, 1, -4}), all);
    EXPECT_EQ(through({1, 1, 0, -10, 40, 50}), all);
    EXPECT_EQ(through({1, 1, 0, -10, 30, 50}), "");
}

TEST(DtmfReceiver, SpeechThroughTheLinkIsNoDigit) {
    std::vector<fm_link::Over> list;
    for (int i = 0; i < 6; ++i)
        list.push_back({1 + i * 12.0, 10, true, {}});
    for (const Output o : {Output::speaker, Output::discriminator})
        EXPECT_EQ(heard(fm_link::render({o, 4, 20}, list, 75, 5), fm_link::rate, 16), "");
}

// ---- codes and lockout

namespace {

struct SecretDir {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("dtmf-test-" + std::to_string(::getpid()));
    SecretDir() { std::filesystem::create_directories(dir); }
    ~SecretDir() { std::filesystem::remove_all(dir); }
};

} // namespace

TEST(DtmfControl, ATimeBasedCodeWorksOnceWithinAStepEitherSideAndAnOldOneNever) {
    SecretDir d;
    const auto file = d.dir / "secret";
    control::writeTotpSecret(file, control::newTotpSecret());
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_THROW(control::writeTotpSecret(file, control::newTotpSecret()), std::runtime_error)
        << "never over a secret already there";
    const auto state = d.dir / "quorim.state";
    control::DtmfControl c({file, "", state});
    const control::Totp totp(file);
    const std::int64_t now = 1'800'000'000;
    auto send = [&](const std::string& Code, const char* Command, std::int64_t At) {
        return c.judge("5" + Code + "*" + Command + "#", At, static_cast<double>(At));
    };
    const auto off = send(totp.code(now - 30), "0", now);
    EXPECT_TRUE(off.command);
    EXPECT_EQ(off.run, control::Command::TransmitterOff);
    EXPECT_EQ(off.answer, "TX OFF");
    EXPECT_EQ(off.shown, "xxxxxxx*0#") << "the code never reaches the log";
    EXPECT_FALSE(send(totp.code(now - 30), "1", now).run) << "heard on the air, sent again";
    EXPECT_FALSE(send(totp.code(now - 60), "1", now).run) << "older than the last one taken";
    EXPECT_FALSE(send(totp.code(now + 60), "1", now).run) << "two steps ahead";
    const auto on = send(totp.code(now + 30), "1", now);
    EXPECT_EQ(on.run, control::Command::TransmitterOn);
    EXPECT_EQ(on.answer, "OK");
    EXPECT_EQ(send(totp.code(now + 90), "9", now + 60).answer, "ERR") << "no such command";
    control::DtmfControl restarted({file, "", state});
    EXPECT_FALSE(restarted.judge("5" + totp.code(now + 90) + "*1#", now + 60, 0).run)
        << "heard on the air before a restart, sent again after it";

    // Digits without a closing '#' or a '*' are no command: they are replayed.
    EXPECT_FALSE(c.judge("123456", now, 0).command);
    EXPECT_FALSE(c.judge("1234#", now, 0).command);

    std::filesystem::permissions(file, std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    EXPECT_THROW(control::Totp{file}, std::runtime_error) << "a secret others may read";
}

TEST(DtmfControl, FiveWrongCodesInTenMinutesLockItOutForTen) {
    control::DtmfControl c({{}, "4711", {}});
    double t = 0;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(c.judge("0000*1#", 0, t += 150).answer, "ERR");
    // The first wrong code is over ten minutes old by the fifth: no lockout yet.
    EXPECT_EQ(c.judge("0000*1#", 0, t += 250).log.find("lock"), std::string::npos);
    EXPECT_EQ(c.judge("4711*2#", 0, t).run, control::Command::IdentifyNow);
    const auto fifth = c.judge("0000*1#", 0, t += 1);
    EXPECT_NE(fifth.log.find("lock DTMF control out for ten minutes"), std::string::npos)
        << fifth.log;
    const auto locked = c.judge("4711*1#", 0, t += 300);
    EXPECT_TRUE(locked.command);
    EXPECT_FALSE(locked.run) << "the right code too, while locked out";
    EXPECT_EQ(c.judge("4711*1#", 0, t += 301).run, control::Command::TransmitterOn);
}

TEST(DtmfControl, SettingsNameTheKeyAtFault) {
    SecretDir d;
    IniFiles::TIniFile ini((d.dir / "quorim.ini").string());
    EXPECT_FALSE(control::readDtmfSettings(ini).enabled());
    ini.WriteString("Control", "Pin", "12a");
    try {
        control::readDtmfSettings(ini);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("[Control] Pin=12a cannot be used"),
                  std::string::npos);
    }
    ini.WriteString("Control", "Pin", "");
    ini.WriteString("Control", "TotpSecretFile", "quorim-totp");
    EXPECT_EQ(control::readDtmfSettings(ini).totpSecretFile, d.dir / "quorim-totp");
}
