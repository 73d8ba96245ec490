// The [Squelch] options end to end on the simulated card: what is keyed, for how long, and
// nothing else.
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "station/Cos.h"
#include "tests/app/RepeaterRig.h"
#include "tests/support/QuorimProcess.h"
#include "wave/WaveUtils.h"

using namespace RepeaterRig;
using SimCard::Seconds;
using WaveDefs::TWaveFormat;

namespace {

constexpr std::uint64_t Frames = 2048; // one buffer of the defaults: 8192 bytes, 16-bit stereo
constexpr std::uint32_t Rate = 44100;

TTimeNs At(std::uint64_t Frame) {
    return static_cast<TTimeNs>((Frame * Seconds + Rate - 1) / Rate);
}

std::map<std::string, std::string> Settings(std::map<std::string, std::string> Extra) {
    Extra["SoundMode"] = std::to_string(ModeIndex(TWaveFormat::wf44100stereo16));
    Extra["PlayVolume"] = "65535"; // the replay then reaches the card unchanged
    return Extra;
}

// A transmission is the recording from input frame From, Count frames of it, with the tone
// for exactly those samples.
void ExpectReplay(const TTransmission& T, std::uint64_t From, std::uint64_t Count) {
    ASSERT_EQ(T.Frames, Count);
    WaveUtils::TSineGenerator generator;
    generator.SetFrequency(100);
    generator.SetVolume(58982);
    generator.SetFormat(TWaveFormat::wf44100mono16);
    std::vector<std::int16_t> tone(Count);
    generator.Generate(tone.data(), static_cast<std::uint32_t>(Count * 2));
    for (std::uint64_t j = 0; j < Count; ++j) {
        ASSERT_EQ(Sample16(T.Bytes, j, 1), TReceiver::Audio(From + j)) << "frame " << j;
        ASSERT_EQ(Sample16(T.Bytes, j, 0), tone[j]) << "tone sample " << j;
    }
}

struct TNotices {
    std::vector<std::string> Texts;
    explicit TNotices(TRig& Rig) {
        Rig.Form().OnNotice = [this](const std::string& Text) { Texts.push_back(Text); };
    }
};

TEST(SquelchOptions, TrimTailReplaysAnOverUpToItsLastSignalBufferButAnOverCutAtTheLimitWhole) {
    TRig rig(CarrierOverBuffers({{20, 60}}), Settings({{"Squelch/TrimTail", "1"}}));
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    // The squelch still closes after the hold, but the hold's 11 buffers are not sent.
    EXPECT_EQ(tx[0].Start, At(72 * Frames));
    ExpectReplay(tx[0], 20 * Frames, 40 * Frames);
    const std::vector<std::string> expected{"ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН",
                                            "ОЖИДАНИЕ"};
    EXPECT_EQ(rig.StateTexts(), expected);

    // 10 s reach their limit on the 216th block, six buffers into the hold: all of it is sent.
    TRig limit(CarrierOverBuffers({{20, 230}}),
               Settings({{"Squelch/TrimTail", "1"}, {"Duration", "10"}}));
    limit.Form().btnStartClick();
    limit.RunFor(24 * Seconds);
    const auto cut = Transmissions(limit.Card().PlayLog());
    ASSERT_EQ(cut.size(), 1u);
    ExpectReplay(cut[0], 20 * Frames, 216 * Frames);
}

TEST(SquelchOptions, AnOverShorterThanMinOverIsNeitherReplayedNorKeyedAndTheLogSaysSo) {
    // 5 buffers of carrier are 232 ms, 10 are 464 ms.
    TRig rig(CarrierOverBuffers({{20, 25}, {100, 110}}),
             Settings({{"Squelch/MinOver", "300"}, {"Squelch/TrimTail", "1"}}));
    TNotices notices(rig);
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 100 * Frames, 10 * Frames);
    const std::vector<std::string> expected{"ОЖИДАНИЕ",        "ЗАПИСЬ",       "ОЖИДАНИЕ", "ЗАПИСЬ",
                                            "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН", "ОЖИДАНИЕ"};
    ASSERT_EQ(rig.StateTexts(), expected);
    EXPECT_EQ(rig.States()[2].Time, At(37 * Frames)) << "waiting again when the hold ran out";
    ASSERT_EQ(notices.Texts.size(), 1u);
    EXPECT_EQ(notices.Texts[0],
              "an over with 0.232 s of signal is shorter than MinOver (300 ms): not replayed");
}

TEST(SquelchOptions, ASilentControlChannelIsNoticedOnceAndWithSilenceIsNoSignalOpensNothing) {
    TReceiver receiver = CarrierOverBuffers({{200, 220}});
    receiver.Hiss = 0; // the zero level wherever no carrier is heard
    TRig rig(receiver, Settings({{"Squelch/SilenceIsNoSignal", "1"}}));
    TNotices notices(rig);
    rig.Form().btnStartClick();
    // 107 buffers are 4969 ms of silence, 108 are 5015 ms.
    rig.RunFor(At(107 * Frames));
    EXPECT_TRUE(notices.Texts.empty());
    EXPECT_TRUE(rig.Form().lblState->toolTip().isEmpty());
    rig.RunFor(At(150 * Frames) - At(107 * Frames));
    ASSERT_EQ(notices.Texts.size(), 1u);
    EXPECT_EQ(notices.Texts[0], "no audio on the control channel: every sample has been at the "
                                "zero level for over 5 s");
    EXPECT_EQ(rig.Form().lblState->toolTip().toStdString(),
              "Нет звука на управляющем канале: вход молчит дольше 5 с");
    EXPECT_EQ(rig.Form().StateText(), "ОЖИДАНИЕ") << "the state texts stay as they are";

    rig.RunFor(At(280 * Frames) - At(150 * Frames));
    const std::vector<std::string> heard{notices.Texts[0], "audio on the control channel again"};
    EXPECT_EQ(notices.Texts, heard);
    EXPECT_TRUE(rig.Form().lblState->toolTip().isEmpty());
    // The carrier and the hold after it, and no second of the silence before.
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 200 * Frames, 31 * Frames);
}

TEST(SquelchOptions, ACloseLevelAboveTheHissKeepsAnOverOpenThatOnlySquelchLevelCouldOpen) {
    // The hiss reads far above SquelchLevel and far below CloseLevel: before the carrier it
    // opens nothing; once the carrier opened the squelch, it holds it open up to the limit
    // (the hold left over after that replay is not sent: TrimTail).
    // The windowed band must judge the carrier's tone as the plain one does.
    TRig rig(CarrierOverBuffers({{20, 40}}), Settings({{"Squelch/CloseLevel", "0.99"},
                                                       {"Squelch/Window", "hann"},
                                                       {"Squelch/TrimTail", "1"},
                                                       {"Duration", "10"}}));
    rig.Form().btnStartClick();
    rig.RunFor(24 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    ASSERT_GE(rig.States().size(), 2u);
    EXPECT_EQ(rig.States()[1].Time, At(21 * Frames)) << "opened by the carrier, not the hiss";
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 20 * Frames, 216 * Frames);
}

// ---- the COS line

// A line that says carrier for the reads (one a buffer) in each [From, To).
class TScriptedLine : public squelch::CosLine {
public:
    TScriptedLine(std::uint64_t From, std::uint64_t To) : FSpans{{From, To}} {}
    explicit TScriptedLine(std::vector<std::pair<std::uint64_t, std::uint64_t>> Spans)
        : FSpans(std::move(Spans)) {}
    bool carrier() override {
        const std::uint64_t read = FReads++;
        for (const auto& [from, to] : FSpans)
            if (read >= from && read < to)
                return true;
        return false;
    }

private:
    std::vector<std::pair<std::uint64_t, std::uint64_t>> FSpans;
    std::uint64_t FReads = 0;
};

std::map<std::string, std::string> CosSettings(std::map<std::string, std::string> Extra = {}) {
    Extra.try_emplace("Squelch/Source", "cos");
    Extra.try_emplace("Squelch/CosDevice", "/dev/ttyUSB0");
    Extra["Squelch/TrimTail"] = "1";
    return Settings(Extra);
}

TEST(SquelchCos, ALineRaisedAndDroppedOpensAndClosesWithTheHoldAndTrimTailOfTheAudio) {
    // The receiver only hisses: the line alone opens, read once a buffer, and the replay is the
    // one the audio squelch gives a carrier over the same buffers.
    TRig rig(CarrierOverBuffers({}), CosSettings());
    rig.Form().Squelch.openCos = [](const squelch::CosSettings&) {
        return std::make_unique<TScriptedLine>(20, 60);
    };
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].Start, At(72 * Frames));
    ExpectReplay(tx[0], 20 * Frames, 40 * Frames);
    EXPECT_EQ(rig.Form().lblState->toolTip().toStdString(), "Шумоподавитель: cos");
}

TEST(SquelchCos, WithCosAndCtcssOnlyALineRaisedWhileTheToneIsHeardOpensAndTheLineClosesIt) {
    // The line alone over buffers 20-60, the carrier's 100 Hz tone alone over 80-120, then the
    // tone from 150 and the line over 170-210 (the line is read once a buffer).
    TReceiver receiver = CarrierOverBuffers({{80, 120}, {150, 230}});
    receiver.ToneHz = 100;
    TRig rig(receiver,
             CosSettings({{"Squelch/Source", "cos+ctcss"}, {"Squelch/CtcssTone", "100"}}));
    rig.Form().Squelch.openCos = [](const squelch::CosSettings&) {
        return std::make_unique<TScriptedLine>(
            std::vector<std::pair<std::uint64_t, std::uint64_t>>{{20, 60}, {170, 210}});
    };
    rig.Form().btnStartClick();
    rig.RunFor(14 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    EXPECT_EQ(rig.Form().lblState->toolTip().toStdString(), "Шумоподавитель: cos+ctcss 100.0 Hz");
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 170 * Frames, 40 * Frames);
}

TEST(SquelchCos, AnInvertedSerialLineOpensWhileItsPinIsLowAndOneThatFailsStopsTheRepeater) {
    QTemporaryDir dir;
    const std::string port = dir.filePath("ttyUSB0").toStdString();
    std::ofstream(port).put('\0');
    std::uint64_t reads = 0;
    // DCD high but for reads 20 to 59; the port is gone from read 100 on.
    auto ioctl = [&](int, unsigned long Request, int* Bits) {
        EXPECT_EQ(Request, static_cast<unsigned long>(TIOCMGET));
        const std::uint64_t read = reads++;
        if (read > 100) {
            errno = ENODEV;
            return -1;
        }
        *Bits = (read > 20 && read <= 60 ? 0 : TIOCM_CD) | TIOCM_CTS;
        return 0;
    };
    TRig rig(CarrierOverBuffers({}), CosSettings({{"Squelch/CosDevice", port},
                                                  {"Squelch/CosPin", "dcd"},
                                                  {"Squelch/CosInvert", "1"}}));
    rig.Form().Squelch.openCos = [&](const squelch::CosSettings& S) {
        return station::openSerialCos(S.device, S.serialPin, S.invert, ioctl);
    };
    rig.Form().btnStartClick(); // the line is read once on opening
    rig.RunFor(8 * Seconds);
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 20 * Frames, 40 * Frames);
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_EQ(rig.Errors()[0], "the COS line of " + port + " cannot be read: No such device");
    EXPECT_FALSE(rig.Form().Recorder->Active());
    EXPECT_EQ(rig.Form().StateText(), "НЕАКТИВНО");
}

TEST(SquelchCos, ALineThatCannotBeOpenedRefusesStartAndMissingOrWrongKeysAreNamed) {
    TRig rig(CarrierOverBuffers({}), CosSettings({{"Squelch/CosDevice", "/nonexistent/ttyUSB9"}}));
    try {
        rig.Form().btnStartClick();
        FAIL() << "started without its COS line";
    } catch (const station::CosError& e) {
        EXPECT_EQ(std::string(e.what()), "the COS serial port /nonexistent/ttyUSB9 cannot be "
                                         "opened: No such file or directory");
    }
    EXPECT_FALSE(rig.Form().Recorder->Active());

    TRig bad(CarrierOverBuffers({}), Settings({{"Squelch/Source", "cos+audio+ctcss"},
                                               {"Squelch/CosType", "cm108"},
                                               {"Squelch/CosPin", "dcd"},
                                               {"Squelch/CtcssTone", "101.0"}}));
    ASSERT_EQ(bad.Errors().size(), 1u);
    for (const char* part :
         {"[Squelch] Source=cos+audio+ctcss cannot be used: audio, cos or ctcss, or two of them "
          "joined with + (cos+ctcss, audio+ctcss) is allowed",
          "[Squelch] CosPin=dcd cannot be used: with CosType=cm108, volume-down, volume-up, "
          "mute-play or mute-record is allowed",
          "[Squelch] CtcssTone=101.0 cannot be used: one of the 50 standard tones from 67.0 to "
          "254.1 Hz is allowed"})
        EXPECT_NE(bad.Errors()[0].find(part), std::string::npos) << bad.Errors()[0];
    TRig missing(CarrierOverBuffers({}), Settings({{"Squelch/Source", "cos+ctcss"}}));
    ASSERT_EQ(missing.Errors().size(), 1u);
    for (const char* part : {"[Squelch] CosDevice= cannot be used: with Source=cos, the serial "
                             "port (e.g. /dev/ttyUSB0) is allowed",
                             "[Squelch] CtcssTone= cannot be used: with Source=ctcss, one of the "
                             "50 standard tones from 67.0 to 254.1 Hz is allowed"})
        EXPECT_NE(missing.Errors()[0].find(part), std::string::npos) << missing.Errors()[0];
}

TEST(SquelchCos, ACm108ButtonIsReadFromTheHidInputReportsAndItsRemovalIsAFailure) {
    QTemporaryDir dir;
    const std::string fifo = dir.filePath("hidraw0").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing first, as the device is there before the line.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    auto report = [&](std::uint8_t Buttons) {
        const std::uint8_t bytes[4] = {Buttons, 0, 0, 0};
        ASSERT_EQ(::write(writer, bytes, sizeof bytes), 4);
    };
    auto line = station::openCm108Cos(fifo, squelch::HidButton::volumeDown, false);
    EXPECT_FALSE(line->carrier()) << "no report yet: the button is up";
    report(0x02);
    EXPECT_TRUE(line->carrier());
    EXPECT_TRUE(line->carrier()) << "a report comes only when a button changes";
    report(0x01);
    EXPECT_FALSE(line->carrier()) << "volume-up is another button";
    report(0x03);
    EXPECT_TRUE(line->carrier());
    report(0x00);
    EXPECT_FALSE(line->carrier());
    ::close(writer);
    EXPECT_THROW(line->carrier(), station::CosError) << "the device has gone";
    EXPECT_THROW(station::openCm108Cos(dir.filePath("none").toStdString(),
                                       squelch::HidButton::volumeDown, true),
                 station::CosError);

    // Inverted: a released button is a carrier.
    const std::string other = dir.filePath("hidraw1").toStdString();
    ASSERT_EQ(::mkfifo(other.c_str(), 0600), 0);
    const int second = ::open(other.c_str(), O_RDWR | O_NONBLOCK);
    auto inverted = station::openCm108Cos(other, squelch::HidButton::muteRecord, true);
    EXPECT_TRUE(inverted->carrier());
    const std::uint8_t pressed[4] = {0x08, 0, 0, 0};
    ASSERT_EQ(::write(second, pressed, sizeof pressed), 4);
    EXPECT_FALSE(inverted->carrier());
    ::close(second);
}

// The program itself on a CM108 line that a FIFO stands in for: --cos-test follows the button,
// and the device's removal ends --cos-test and a headless run with status 1 and its name.
TEST(SquelchCos, CosTestPrintsTheLinesStateAndARemovedLineEndsAHeadlessRunWithStatus1) {
    QTemporaryDir dir;
    const std::string fifo = dir.filePath("hidraw0").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string ini = dir.filePath("quorim.ini").toStdString();
    std::ofstream(ini) << "[Main]\nSoundMode=" << ModeIndex(TWaveFormat::wf44100stereo16)
                       << "\n[Squelch]\nSource=cos\nCosType=cm108\nCosDevice=" << fifo << "\n";
    auto press = [](int Writer, std::uint8_t Buttons) {
        const std::uint8_t bytes[4] = {Buttons, 0, 0, 0};
        return ::write(Writer, bytes, sizeof bytes) == 4;
    };
    const std::string gone = "quorim: the COS device " + fifo + " cannot be read: it has gone";

    // Not inherited by the program: only the test holds the device open.
    int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(press(writer, 0x02));
    {
        quorim_process::Running test({"--cos-test", "--ini", QString::fromStdString(ini)});
        EXPECT_TRUE(test.waitForOutput(
            QByteArray::fromStdString("the COS line " + fifo +
                                      " (volume-down), ten times a second:\n 0.0 carrier\n"),
            10000));
        ASSERT_TRUE(press(writer, 0x00));
        EXPECT_TRUE(test.waitForOutput("no carrier\n", 10000));
        ::close(writer);
        const auto outcome = test.finish(10000);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.errors.find(gone), std::string::npos) << outcome.errors;
    }

    const std::string input = dir.filePath("hiss.wav").toStdString();
    WriteReceiverWav(input, CarrierOverBuffers({}), 20, Rate);
    writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(press(writer, 0x02));
    quorim_process::Running run({"--headless", "--realtime", "--input",
                                 QString::fromStdString(input), "--ini",
                                 QString::fromStdString(ini)});
    EXPECT_TRUE(run.waitForOutput(QByteArray("ЗАПИСЬ"), 10000)) << "the line opened the squelch";
    ::close(writer);
    const auto outcome = run.finish(10000);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.errors.find(gone), std::string::npos) << outcome.errors;
}

TEST(SquelchCos, AGpioLineIsReadThroughLibgpiod) {
    std::string chip;
    for (int i = 0; i < 8 && chip.empty(); ++i)
        if (::access(("/dev/gpiochip" + std::to_string(i)).c_str(), R_OK) == 0)
            chip = "/dev/gpiochip" + std::to_string(i);
    if (chip.empty())
        GTEST_SKIP() << "no readable GPIO chip (/dev/gpiochip0 to 7) on this machine";
    auto line = station::openGpioCos(chip, 0, squelch::CosBias::asIs, false);
    EXPECT_NO_THROW(line->carrier());
    EXPECT_THROW(station::openGpioCos(chip, 100000, squelch::CosBias::pullUp, false),
                 station::CosError);
}

} // namespace
