// The settings file: defaults, clamping, value syntax, writing back, and start-up around it.
#include <QFile>

#include <gtest/gtest.h>

#include "tests/app/RepeaterRig.h"

using namespace RepeaterRig;
using WaveDefs::TWaveFormat;

namespace {

std::string ReadFile(const std::string& Path) {
    QFile file(QString::fromStdString(Path));
    file.open(QIODevice::ReadOnly);
    return file.readAll().toStdString();
}

void WriteFile(const std::string& Path, const std::string& Text) {
    QFile file(QString::fromStdString(Path));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(Text.c_str());
}

TEST(Settings, WithoutAFileEverySettingTakesItsDefaultAndShutdownWritesAllNineteen) {
    TRig fresh(TReceiver{}); // no settings given: no file
    auto& f = fresh.Form();
    EXPECT_EQ(f.ControlChannel, 0);
    EXPECT_EQ(f.SoundMode, -1);
    EXPECT_EQ(f.Duration, 30);
    EXPECT_EQ(f.SquelchLevel, 0.0005);
    EXPECT_EQ(f.ControlVolume, 58982);
    EXPECT_EQ(f.PlayVolume, 32767);
    EXPECT_EQ(f.BufferSize, 8192u);
    EXPECT_EQ(f.edSquelch->text(), "0.000500");
    EXPECT_EQ(f.cbMode->currentIndex(), -1);
    EXPECT_FALSE(f.btnStart->isEnabled());
    const std::string path = fresh.IniPath();
    fresh.DestroyForm();
    EXPECT_EQ(ReadFile(path), "[Main]\n"
                              "ControlChannel=0\n"
                              "SoundMode=-1\n"
                              "Duration=30\n"
                              "Method=0\n"
                              "SquelchLevel=0.0005\n"
                              "\n"
                              "[Options]\n"
                              "PlayDeviceID=-1\n"
                              "RecDeviceID=-1\n"
                              "MaxSignalFrequency=5000\n"
                              "MaxNoiseFrequency=6000\n"
                              "ControlFrequency=100\n"
                              "ControlVolume=58982\n"
                              "PlayVolume=32767\n"
                              "BuffersCount=4\n"
                              "BufferSize=8192\n"
                              "LockTime=500\n"
                              "SquelchDelay=500\n"
                              "SquelchTrim=0.1\n"
                              "LevelUpdatePeriod=500\n"
                              "LevelImmediateUpdateDifference=8\n");
}

struct TClampCase {
    std::map<std::string, std::string> Settings;
    std::function<void(const uMain::TfMainForm&)> Check;
    const char* Name;
};

TEST(Settings, OutOfRangeValuesAreClampedOnceInTheOrderOfTheKeys) {
    SimCard::TConfig two;
    two.Playback.resize(2);
    const std::vector<TClampCase> cases{
        {{{"Duration", "5"}}, [](auto& f) { EXPECT_EQ(f.Duration, 30); }, "Duration 5"},
        {{{"Duration", "301"}}, [](auto& f) { EXPECT_EQ(f.Duration, 30); }, "Duration 301"},
        {{{"Duration", "0x10"}}, [](auto& f) { EXPECT_EQ(f.Duration, 16); }, "hexadecimal"},
        {{{"Duration", "$12C"}}, [](auto& f) { EXPECT_EQ(f.Duration, 300); }, "hexadecimal $"},
        {{{"Duration", "ten"}}, [](auto& f) { EXPECT_EQ(f.Duration, 30); }, "not a number"},
        {{{"SquelchLevel", "0"}}, [](auto& f) { EXPECT_EQ(f.SquelchLevel, 0.0005); }, "level 0"},
        {{{"SquelchLevel", "1"}}, [](auto& f) { EXPECT_EQ(f.SquelchLevel, 0.0005); }, "level 1"},
        {{{"SquelchLevel", "0.9999"}},
         [](auto& f) { EXPECT_EQ(f.SquelchLevel, 0.9999); },
         "level .9999"},
        {{{"SquelchLevel", "2.5e-3"}},
         [](auto& f) { EXPECT_EQ(f.SquelchLevel, 0.0025); },
         "exponent"},
        {{{"MaxSignalFrequency", "999"}, {"MaxNoiseFrequency", "4000"}},
         [](auto& f) {
             EXPECT_EQ(f.MaxSignalFrequency, 5000);
             EXPECT_EQ(f.MaxNoiseFrequency, 6000);
         },
         "signal then noise band"},
        {{{"MaxSignalFrequency", "3000"}, {"MaxNoiseFrequency", "3000"}},
         [](auto& f) { EXPECT_EQ(f.MaxNoiseFrequency, 4000); },
         "equal band edges"},
        {{{"SquelchTrim", "0.3"}}, [](auto& f) { EXPECT_EQ(f.SquelchTrim, 0.25); }, "trim 0.3"},
        {{{"SquelchTrim", "-1"}}, [](auto& f) { EXPECT_EQ(f.SquelchTrim, -1); }, "trim -1"},
        {{{"ControlVolume", "70000"}},
         [](auto& f) { EXPECT_EQ(f.ControlVolume, 58982); },
         "does not fit 16 bits: the default"},
        {{{"LockTime", "-1"}}, [](auto& f) { EXPECT_EQ(f.LockTime, 500); }, "negative"},
        {{{"SquelchDelay", "99999999"}},
         [](auto& f) { EXPECT_EQ(f.SquelchDelay, 500); },
         "does not fit 16 bits"},
        {{{"BuffersCount", "260"}},
         [](auto& f) { EXPECT_EQ(f.BuffersCount, 4); },
         "does not fit 8 bits"},
        {{{"BuffersCount", "-1"}}, [](auto& f) { EXPECT_EQ(f.BuffersCount, 4); }, "8 bits, -1"},
        {{{"LevelImmediateUpdateDifference", "1"}},
         [](auto& f) { EXPECT_EQ(f.LevelImmediateUpdateDifference, 2); },
         "difference 1"},
        {{{"LevelImmediateUpdateDifference", "0"}},
         [](auto& f) { EXPECT_EQ(f.LevelImmediateUpdateDifference, 2); },
         "difference 0"},
        {{{"PlayDeviceID", "5"}}, [](auto& f) { EXPECT_EQ(f.PlayDeviceID, -1); }, "device 5 of 2"},
        {{{"PlayDeviceID", "-5"}}, [](auto& f) { EXPECT_EQ(f.PlayDeviceID, -1); }, "device -5"},
        {{{"PlayDeviceID", "1"}}, [](auto& f) { EXPECT_EQ(f.PlayDeviceID, 1); }, "device 1 of 2"},
        {{{"SoundMode", "-5"}}, [](auto& f) { EXPECT_EQ(f.SoundMode, -1); }, "mode -5"},
        {{{"ControlChannel", "2"}}, [](auto& f) { EXPECT_EQ(f.ControlChannel, 0); }, "channel 2"},
        {{{"Method", "-1"}}, [](auto& f) { EXPECT_EQ(f.Method, 0); }, "method -1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRig rig(TReceiver{}, c.Settings, SimCard::TClockMode::Manual, two);
        c.Check(rig.Form());
    }
}

TEST(Settings, AHandEditedFileIsRewrittenWithItsCommentsAndOtherSections) {
    TRig rig(TReceiver{}, {{"SoundMode", "3"}});
    const std::string path = rig.IniPath();
    rig.DestroyForm();
    WriteFile(path, "; my repeater\n"
                    "[Main]\n"
                    "Duration=5\n"
                    "[Station]\n"
                    "Callsign=XX1XX\n"
                    "[Options]\n"
                    "# loud\n"
                    "ControlVolume=70000\n");
    {
        uMain::TfMainForm form(path);
        EXPECT_EQ(form.Duration, 30);
        EXPECT_EQ(form.seTime->Value(), 30);
        EXPECT_EQ(form.ControlVolume, 58982) << "a value its field cannot hold is not wrapped";
    }
    EXPECT_EQ(rig.Errors(), std::vector<std::string>{
                                path + ":8: [Options] ControlVolume=70000 cannot be used: a whole "
                                       "number from 0 to 65535 is allowed; the default 58982 is "
                                       "used"});
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("; my repeater\n[Main]\nDuration=30\n", 0), 0u) << text;
    EXPECT_NE(text.find("[Station]\nCallsign=XX1XX\n"), std::string::npos);
    EXPECT_NE(text.find("# loud\nControlVolume=58982\n"), std::string::npos);
    EXPECT_NE(text.find("LevelImmediateUpdateDifference=8"), std::string::npos);
}

TEST(Settings, AFileThatCannotBeWrittenIsReportedAndTheRestIsNotWritten) {
    TRig rig(TReceiver{});
    std::vector<std::string> errors;
    Forms::TScopedUserNotices notices(
        {.OnException = [&](const std::string& Message) { errors.push_back(Message); }});
    { uMain::TfMainForm form("/nonexistent-folder/quorim.ini"); }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Unable to write to /nonexistent-folder/quorim.ini");
}

TEST(Settings, ASquelchTextThatIsNotANumberAtShutdownLeavesTheFileAlone) {
    TRig rig(TReceiver{}, {{"Duration", "45"}});
    const std::string path = rig.IniPath();
    const std::string before = ReadFile(path);
    rig.Form().edSquelch->setText("");
    rig.DestroyForm();
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_EQ(rig.Errors()[0], "'' is not a valid floating point value");
    EXPECT_EQ(ReadFile(path), before);
}

TEST(StartUp, WithoutAnyDeviceTheWindowOpensAndStartSaysSo) {
    SimCard::TConfig none;
    none.Capture.clear();
    none.Playback.clear();
    TRig rig(TReceiver{}, {{"SoundMode", "0"}}, SimCard::TClockMode::Manual, none);
    EXPECT_TRUE(rig.Errors().empty());
    EXPECT_EQ(rig.Form().StateText(), "НЕАКТИВНО");
    Forms::Guarded([&] { rig.Form().btnStartClick(); });
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_EQ(rig.Errors()[0], "No recording device found");
}

TEST(StartUp, DevicesWithOneCommonModeListJustThatMode) {
    SimCard::TConfig one;
    one.Capture[0].Formats = MMSystem::WAVE_FORMAT_4S16 | MMSystem::WAVE_FORMAT_1M08;
    one.Playback[0].Formats = MMSystem::WAVE_FORMAT_4S16 | MMSystem::WAVE_FORMAT_48S16;
    TRig first(TReceiver{}, {{"SoundMode", "0"}}, SimCard::TClockMode::Manual, one);
    ASSERT_EQ(first.Form().cbMode->count(), 1);
    EXPECT_EQ(first.Form().cbMode->itemText(0), "44100 Hz 16 bit stereo");
    EXPECT_EQ(first.Form().cbMode->currentIndex(), 0);
    EXPECT_TRUE(first.Form().btnStart->isEnabled());
    EXPECT_EQ(first.Form().gLevel0->MaxValue(), 32768);
    first.DestroyForm();
    TRig second(TReceiver{}, {{"SoundMode", "1"}}, SimCard::TClockMode::Manual, one);
    EXPECT_EQ(second.Form().cbMode->currentIndex(), -1);
    EXPECT_FALSE(second.Form().btnStart->isEnabled());
    EXPECT_FALSE(second.Form().btnTest->isEnabled());
}

TEST(StartUp, AControlFrequencyAtOrAboveHalfTheRateStopsTheStartUpAtTheModeChange) {
    // At exactly half the rate the tone is sampled at its zero crossings: all zeros.
    TRig half(TReceiver{}, {{"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf22050stereo16))},
                            {"ControlFrequency", "11025"}});
    ASSERT_EQ(half.Errors().size(), 1u);
    EXPECT_TRUE(half.Errors()[0].ends_with(
        "[Options] ControlFrequency=11025: Invalid frequency: the keying tone must be below half "
        "the sample rate (11025 Hz)"))
        << half.Errors()[0];
    EXPECT_TRUE(half.Errors()[0].starts_with(half.IniPath() + ":"));
    EXPECT_FALSE(half.Form().btnStart->isEnabled());
    half.DestroyForm();
    TRig rig(TReceiver{}, {{"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf22050stereo16))},
                           {"ControlFrequency", "12000"}});
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_NE(rig.Errors()[0].find("ControlFrequency=12000: Invalid frequency"), std::string::npos);
    EXPECT_EQ(rig.Form().Recorder->Format(), TWaveFormat::wf22050stereo16) << "already applied";
    EXPECT_FALSE(rig.Form().btnStart->isEnabled());
    EXPECT_EQ(rig.Form().gLevel0->MaxValue(), 100) << "left as it was";
    EXPECT_EQ(rig.Form().lblState->text(), "") << "the start-up ended before the state was shown";
}

TEST(StartUp, ADeviceThatCannotBeMadeIsReportedAndTheUsersSettingsAreKept) {
    TRig rig(TReceiver{}, {{"Duration", "45"}});
    const std::string path = rig.IniPath();
    rig.DestroyForm();
    const std::string before = ReadFile(path);
    rig.Card().FailAlways(WaveCore::TCall::InGetDevCaps, MMSystem::MMSYSERR_NODRIVER);
    std::vector<std::string> errors;
    Forms::TScopedUserNotices notices(
        {.OnException = [&](const std::string& Message) { errors.push_back(Message); }});
    {
        uMain::TfMainForm form(path);
        EXPECT_EQ(form.cbMode->count(), 0);
        EXPECT_FALSE(form.btnStart->isEnabled());
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "No sound driver is present.");
    EXPECT_EQ(ReadFile(path), before);
}

const std::string BufferSizeMessage =
    "BufferSize value must be between 256 bytes for each channel and 2147483648 bytes total, "
    "and must be multiply by sum of sample sizes for all channels";

TEST(StartUp, ABufferSizeTheDevicesRefuseIsReportedBeforeAnythingIsSizedFromIt) {
    // Sized from them first, the buffers alone took tens of GiB, and a buffer of 1000000000
    // bytes took a quarter of an hour to analyse.
    for (const std::string value : {"4294967295", "1000000000"}) {
        SCOPED_TRACE(value);
        TRig rig(TReceiver{}, {{"BufferSize", value}, {"SoundMode", "3"}});
        ASSERT_EQ(rig.Errors().size(), 1u);
        EXPECT_TRUE(rig.Errors()[0].starts_with(rig.IniPath() + ":"));
        EXPECT_TRUE(rig.Errors()[0].ends_with(
            "[Options] BufferSize=" + value + ": " +
            (value == "1000000000" ? "a buffer may hold at most one second of audio: 384000 "
                                     "bytes in the largest mode"
                                   : BufferSizeMessage)))
            << rig.Errors()[0];
        EXPECT_TRUE(rig.Form().ChannelBuffers[0].empty());
        EXPECT_TRUE(rig.Form().Samples.empty());
        EXPECT_EQ(rig.Form().cbMode->count(), 0) << "the start-up stopped there";
        EXPECT_FALSE(rig.Form().btnStart->isEnabled());
    }
}

TEST(StartUp, EveryModeChangeChecksThatABufferHoldsWholeFrames) {
    // Accepted in the start-up format (one byte a frame); a 16-bit stereo frame has four.
    for (const std::uint32_t size : {8190u, 8193u, 8194u, 8196u}) {
        const bool fits = size % 4 == 0;
        for (const TWaveFormat mode :
             {TWaveFormat::wf22050stereo16, TWaveFormat::wf44100stereo16,
              TWaveFormat::wf48000stereo16, TWaveFormat::wf96000stereo16}) {
            SCOPED_TRACE(std::to_string(size) + " in mode " + std::to_string(ModeIndex(mode)));
            TRig rig(TReceiver{}, {{"BufferSize", std::to_string(size)},
                                   {"SoundMode", std::to_string(ModeIndex(mode))}});
            auto& f = rig.Form();
            ASSERT_EQ(rig.Errors().size(), fits ? 0u : 1u);
            if (!fits) {
                EXPECT_TRUE(rig.Errors()[0].ends_with(
                    "[Options] BufferSize=" + std::to_string(size) + ": " + BufferSizeMessage))
                    << rig.Errors()[0];
            }
            EXPECT_EQ(f.btnStart->isEnabled(), fits);
            EXPECT_EQ(f.btnTest->isEnabled(), fits);
        }
    }
    // A fitting mode makes Start available again, and leaving it for one that does not fit
    // takes it away.
    TRig rig(TReceiver{}, {{"BufferSize", "8190"},
                           {"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf44100stereo16))}});
    auto& f = rig.Form();
    f.cbMode->setCurrentIndex(ModeIndex(TWaveFormat::wf44100stereo8));
    Forms::Guarded([&] { f.cbModeChange(); });
    EXPECT_EQ(rig.Errors().size(), 1u);
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_TRUE(f.btnTest->isEnabled());
    f.cbMode->setCurrentIndex(ModeIndex(TWaveFormat::wf48000stereo16));
    Forms::Guarded([&] { f.cbModeChange(); });
    EXPECT_EQ(rig.Errors().size(), 2u);
    EXPECT_TRUE(rig.Errors().back().ends_with(BufferSizeMessage));
    EXPECT_FALSE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnTest->isEnabled());

    // A buffer that holds more than a second in the chosen mode is refused with the largest
    // that fits; in a faster mode the same size is fine.
    TRig slow(TReceiver{},
              {{"BufferSize", "88204"},
               {"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf22050stereo16))}});
    ASSERT_EQ(slow.Errors().size(), 1u);
    EXPECT_TRUE(slow.Errors()[0].ends_with("[Options] BufferSize=88204: a buffer may hold at most "
                                           "one second of audio: 88200 bytes in 22050 Hz 16 bit "
                                           "stereo"))
        << slow.Errors()[0];
    EXPECT_FALSE(slow.Form().btnStart->isEnabled());
    slow.Form().cbMode->setCurrentIndex(ModeIndex(TWaveFormat::wf44100stereo16));
    Forms::Guarded([&] { slow.Form().cbModeChange(); });
    EXPECT_EQ(slow.Errors().size(), 1u);
    EXPECT_TRUE(slow.Form().btnStart->isEnabled());
}

TEST(StartUp, AfterAStartUpErrorTheWindowShowsTheSettingsAndShutdownWritesThem) {
    struct TCase {
        const char* Key;
        const char* Value;
        std::string Message;
    };
    for (const TCase& c : {TCase{"ControlFrequency", "0", "Invalid frequency"},
                           TCase{"BufferSize", "0", BufferSizeMessage},
                           TCase{"BuffersCount", "0", "Minimal BufferCount value is \"2\""}}) {
        SCOPED_TRACE(c.Key);
        TRig rig(TReceiver{}, {{"ControlChannel", "1"},
                               {"SoundMode", "3"},
                               {"Duration", "45"},
                               {"Method", "1"},
                               {"SquelchLevel", "0.25"},
                               {c.Key, c.Value}});
        auto& f = rig.Form();
        ASSERT_EQ(rig.Errors().size(), 1u);
        EXPECT_EQ(rig.Errors()[0],
                  rig.IniPath() + ":8: [Options] " + c.Key + "=" + c.Value + ": " + c.Message);
        EXPECT_EQ(f.edSquelch->text(), "0.250000");
        EXPECT_EQ(f.cbChannel->currentIndex(), 1);
        EXPECT_EQ(f.cbMethod->currentIndex(), 1);
        EXPECT_EQ(f.seTime->Value(), 45);
        f.seTime->SetValue(60); // what the user chose in the window
        const std::string path = rig.IniPath();
        rig.DestroyForm();
        EXPECT_EQ(rig.Errors().size(), 1u) << rig.Errors().back();
        const std::string text = ReadFile(path);
        for (const std::string& line : std::vector<std::string>{
                 "ControlChannel=1\n", "SoundMode=3\n", "Duration=60\n", "Method=1\n",
                 "SquelchLevel=0.25\n", std::string(c.Key) + "=" + c.Value + "\n",
                 "LevelImmediateUpdateDifference=8\n"})
            EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

} // namespace
