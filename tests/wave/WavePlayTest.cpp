// The playback device on the simulated card, manual clock: each fill writes the next frame
// numbers, so the card's play log shows any lost, doubled or reordered buffer.
#include "wave/WavePlay.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/SimCard.h"
#include "tests/wave/WaveTestSupport.h"

using namespace WavePlay;
using namespace WaveTest;
using MMSystem::DWORD;
using MMSystem::HWAVEOUT;
using MMSystem::WAVE_MAPPER;
using SimCard::TInstalledCard;
using WaveCore::TCall;
using WaveDefs::TWaveDevice;
using WaveDefs::TWaveFormat;

namespace {

constexpr MMSystem::MMRESULT Refused = MMSystem::MMSYSERR_NOMEM;
const std::string RefusedText = "Unable to allocate memory.";
const std::string NotSupported = "Not supported by device";
using Events = std::vector<std::string>;

class TProbePlayer final : public TWavePlayer {
public:
    HWAVEOUT Handle() const { return HWAVEOUT{FHandle}; }
    bool Stopping() const { return FStopping; }
    std::vector<std::uint32_t> Lengths() {
        std::vector<std::uint32_t> lengths;
        for (const auto& header : Headers())
            lengths.push_back(header.dwBufferLength);
        return lengths;
    }
    using TWaveDevice::Headers;
};

class Player : public ::testing::Test {
protected:
    void SetUp() override {
        player.SetFormat(TestFormat);
        player.SetBufferSize(TestBufferSize);
        player.OnStart = [this](TWaveDevice*) { events.push_back("start"); };
        player.OnStop = [this](TWaveDevice*) {
            events.push_back("stop");
            stopTime = card->Now();
        };
        player.OnPause = [this](TWaveDevice*) { events.push_back("pause"); };
        player.OnResume = [this](TWaveDevice*) { events.push_back("resume"); };
        player.OnBufferDone = [this](TWaveDevice*, void* Buffer, std::uint32_t& Size) {
            events.push_back("fill");
            entrySizes.push_back(Size);
            ++fills;
            Size = 0;
            if (written < toPlay) {
                WriteFrames(static_cast<std::uint8_t*>(Buffer), written * BufferFrames,
                            BufferFrames);
                ++written;
                Size = TestBufferSize;
            }
            if (hook)
                hook(fills, Size);
        };
    }

    bool PlayOut() {
        return card->RunUntil([this] { return !player.Active(); }, 10 * SimCard::Seconds);
    }
    std::vector<std::uint32_t> FullLengths() {
        return std::vector<std::uint32_t>(player.Buffers(), TestBufferSize);
    }

    // The device goes first, while what its handlers touch still exists.
    TInstalledCard card{SimCard::TConfig{}};
    std::vector<std::string> events;
    std::vector<std::uint32_t> entrySizes;
    std::uint32_t toPlay = 5; // full buffers the owner has
    std::uint32_t written = 0;
    std::uint32_t fills = 0;
    SimCard::TTimeNs stopTime = -1;
    // Runs at the end of every fill, with the fill's number and the Size it reports.
    std::function<void(std::uint32_t, std::uint32_t&)> hook;
    TProbePlayer player;
};

TEST_F(Player, FiveBuffersThroughARingOfTwoTakeSixFillsAndStopWhenTheFifthHasPlayed) {
    player.Start();
    EXPECT_EQ(events, (Events{"fill", "fill", "start"}));
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(fills, 6u);
    EXPECT_EQ(events, (Events{"fill", "fill", "start", "fill", "fill", "fill", "fill", "stop"}));
    const auto played = PlayedBytes(card.Card());
    EXPECT_EQ(played.size(), 5 * TestBufferSize);
    EXPECT_TRUE(FramesFrom(played, 0));
    EXPECT_EQ(PlayedUntil(card.Card()), 5 * BufferTime);
    EXPECT_EQ(stopTime, 5 * BufferTime);
    EXPECT_EQ(player.Lengths(), FullLengths());
}

TEST_F(Player, SourceShorterThanTheRingPlaysItAndNeverWritesTheRest) {
    player.SetBuffers(4);
    toPlay = 1;
    player.Start();
    EXPECT_EQ(fills, 2u);
    EXPECT_EQ(card->Uses(TCall::OutWrite), 1u);
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(fills, 2u);
    EXPECT_EQ(card->Uses(TCall::OutWrite), 1u);
    EXPECT_TRUE(FramesFrom(PlayedBytes(card.Card()), 0));
    EXPECT_EQ(PlayedBytes(card.Card()).size(), TestBufferSize);
    EXPECT_EQ(stopTime, BufferTime);
    EXPECT_EQ(player.Lengths(), FullLengths());
}

TEST_F(Player, FirstFillOfNothingOpensReportsAndStopsInsideStart) {
    toPlay = 0;
    player.Start();
    EXPECT_FALSE(player.Active());
    EXPECT_EQ(events, (Events{"fill", "start", "stop"}));
    EXPECT_EQ(card->Uses(TCall::OutWrite), 0u);
    EXPECT_EQ(player.Lengths(), FullLengths());
}

TEST_F(Player, FillThatRaisesWhilePrimingOpensReportsAndStopsSilently) {
    hook = [](std::uint32_t N, std::uint32_t& Size) {
        if (N == 2) {
            Size = 7;
            throw SysUtils::Exception("fill failed");
        }
    };
    EXPECT_NO_THROW(player.Start());
    EXPECT_FALSE(player.Active());
    EXPECT_EQ(events, (Events{"fill", "fill", "start", "stop"}));
    EXPECT_EQ(card->Uses(TCall::OutWrite), 0u);
    EXPECT_EQ(player.Lengths(), FullLengths());
}

TEST_F(Player, FillThatRaisesWhilePlayingStopsAtOnce) {
    hook = [](std::uint32_t N, std::uint32_t&) {
        if (N == 4)
            throw SysUtils::Exception("fill failed");
    };
    player.Start();
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(events, (Events{"fill", "fill", "start", "fill", "fill", "stop"}));
    EXPECT_EQ(stopTime, 2 * BufferTime);
    const auto played = PlayedBytes(card.Card());
    EXPECT_EQ(played.size(), 2 * TestBufferSize) << "the third buffer is taken back unplayed";
    EXPECT_TRUE(FramesFrom(played, 0));
}

TEST_F(Player, RefusedWriteWhilePlayingStops) {
    player.Start();
    card->FailCall(TCall::OutWrite, 1, Refused);
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(fills, 3u);
    EXPECT_EQ(stopTime, BufferTime);
    EXPECT_EQ(PlayedBytes(card.Card()).size(), TestBufferSize);
    EXPECT_EQ(player.Lengths(), FullLengths());
}

TEST_F(Player, EveryHeaderLengthIsBackToBufferSizeAfterAnyStop) {
    hook = [](std::uint32_t, std::uint32_t& Size) {
        if (Size != 0)
            Size = TestBufferSize / 2;
    };
    player.SetBuffers(3);
    player.Start();
    ASSERT_TRUE(PlayOut()); // stopped by the end of the data
    EXPECT_EQ(player.Lengths(), FullLengths());

    written = 0;
    entrySizes.clear();
    player.Start();
    EXPECT_EQ(entrySizes, FullLengths()) << "a new start is primed at once";
    card->RunFor(BufferTime / 4);
    player.Stop(); // by the owner, with all three written
    EXPECT_EQ(player.Lengths(), FullLengths());

    // A Stop inside a fill, after which the handler still stores a Size.
    written = 0;
    hook = [this](std::uint32_t N, std::uint32_t& Size) {
        if (N == 5) {
            player.Stop();
            events.push_back("stop returned");
            Size = 0;
        } else if (Size != 0) {
            Size = TestBufferSize / 2;
        }
    };
    fills = 0;
    events.clear();
    player.Start();
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(events,
              (Events{"fill", "fill", "fill", "start", "fill", "fill", "stop", "stop returned"}));
    EXPECT_EQ(card->Uses(TCall::OutWrite), 5u + 3u + 4u) << "nothing written after the stop";
    EXPECT_EQ(player.Lengths(), FullLengths());
}

TEST_F(Player, OversizedFillIsPlayedOnlyAsFarAsTheBlockGoes) {
    toPlay = 2;
    hook = [](std::uint32_t, std::uint32_t& Size) {
        if (Size != 0)
            Size = TestBufferSize + 64;
    };
    player.Start();
    ASSERT_TRUE(PlayOut());
    const auto played = PlayedBytes(card.Card());
    EXPECT_EQ(played.size(), 2 * TestBufferSize);
    EXPECT_TRUE(FramesFrom(played, 0));
}

TEST_F(Player, PauseHoldsTheQueueAndResumeGoesOnWhereItLeft) {
    player.Start();
    card->RunFor(BufferTime + BufferTime / 2);
    player.Pause();
    EXPECT_TRUE(player.Paused());
    const auto before = PlayedBytes(card.Card()).size();
    card->RunFor(3 * BufferTime);
    EXPECT_EQ(PlayedBytes(card.Card()).size(), before);
    player.Resume();
    EXPECT_FALSE(player.Paused());
    ASSERT_TRUE(PlayOut());
    const auto played = PlayedBytes(card.Card());
    EXPECT_EQ(played.size(), 5 * TestBufferSize);
    EXPECT_TRUE(FramesFrom(played, 0));
    EXPECT_EQ(stopTime, 8 * BufferTime);
    EXPECT_EQ(events, (Events{"fill", "fill", "start", "fill", "pause", "resume", "fill", "fill",
                              "fill", "stop"}));
}

TEST_F(Player, RefusedPauseOrResumeRaisesTheErrorTextAndChangesNothing) {
    player.Start();
    card->FailCall(TCall::OutPause, 1, Refused);
    EXPECT_EQ(MessageOf([&] { player.Pause(); }), RefusedText);
    EXPECT_FALSE(player.Paused());
    player.Pause();
    card->FailCall(TCall::OutRestart, 1, Refused);
    EXPECT_THROW(player.Resume(), EWavePlayException);
    EXPECT_TRUE(player.Paused());
    EXPECT_TRUE(player.Active());
    EXPECT_EQ(events, (Events{"fill", "fill", "start", "pause"}));
}

TEST_F(Player, StopAfterARefusedCloseTriesTheCloseAgain) {
    player.Start();
    card->RunFor(BufferTime / 2);
    card->FailCall(TCall::OutClose, 1, Refused);
    EXPECT_EQ(MessageOf([&] { player.Stop(); }), RefusedText);
    EXPECT_TRUE(player.Active());
    EXPECT_TRUE(player.Stopping());
    const unsigned opens = card->Uses(TCall::OutOpen);
    player.Start();
    player.Pause();
    EXPECT_EQ(card->Uses(TCall::OutOpen), opens);
    EXPECT_FALSE(player.Paused());
    card->RunFor(BufferTime); // the returned buffers request no fill
    EXPECT_EQ(fills, 2u);

    player.Stop();
    EXPECT_FALSE(player.Active());
    EXPECT_FALSE(player.Stopping());
    EXPECT_EQ(events, (Events{"fill", "fill", "start", "stop"}));
    written = 0;
    player.Start(); // usable again
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(fills, 2u + 6u);
}

struct TStartFault {
    const char* Name;
    TCall Call;
    unsigned K;
};

void PrintTo(const TStartFault& Fault, std::ostream* Out) {
    *Out << Fault.Name << " refused";
}

class PlayerStartFault : public Player, public ::testing::WithParamInterface<TStartFault> {};

TEST_P(PlayerStartFault, LeavesTheDeviceClosedWithNothingBehind) {
    card->FailCall(GetParam().Call, GetParam().K, Refused);
    EXPECT_EQ(MessageOf([&] { player.Start(); }), RefusedText);
    EXPECT_FALSE(player.Active());
    EXPECT_EQ(player.Handle(), HWAVEOUT{});
    EXPECT_EQ(Windows::PendingMessages(), 0u);
    for (const auto& header : player.Headers())
        EXPECT_EQ(header.dwFlags & (MMSystem::WHDR_INQUEUE | MMSystem::WHDR_PREPARED), 0u);
    EXPECT_EQ(player.Lengths(), FullLengths());
    card->RunFor(3 * BufferTime);
    EXPECT_TRUE(card->PlayLog().empty());
    for (const auto& event : events)
        EXPECT_EQ(event, "fill");

    card->ClearFaults();
    events.clear();
    written = 0;
    player.Start();
    ASSERT_TRUE(PlayOut());
    EXPECT_EQ(events.back(), "stop");
    EXPECT_TRUE(FramesFrom(PlayedBytes(card.Card()), 0));
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PlayerStartFault,
                         ::testing::Values(TStartFault{"Open", TCall::OutOpen, 1},
                                           TStartFault{"FirstPrepare", TCall::OutPrepareHeader, 1},
                                           TStartFault{"SecondPrepare", TCall::OutPrepareHeader, 2},
                                           TStartFault{"FirstWrite", TCall::OutWrite, 1},
                                           TStartFault{"SecondWrite", TCall::OutWrite, 2}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(PlayerDevice, StartNeedsAFillHandlerAndAPlaybackDevice) {
    {
        TInstalledCard card;
        TWavePlayer player;
        EXPECT_THROW(player.Start(), EWavePlayException);
        EXPECT_EQ(MessageOf([&] { player.Start(); }),
                  "OnBufferDone property can not be unassigned");
        EXPECT_EQ(card->Uses(TCall::OutOpen), 0u);
    }
    SimCard::TConfig config;
    config.Playback.clear();
    TInstalledCard card(config);
    TWavePlayer player;
    player.OnBufferDone = [](TWaveDevice*, void*, std::uint32_t&) {};
    EXPECT_EQ(player.DeviceCount(), 0u);
    EXPECT_EQ(MessageOf([&] { player.Start(); }), "No playback device found");
    EXPECT_FALSE(player.Active());
    EXPECT_EQ(card->Uses(TCall::OutOpen), 0u);
}

SimCard::TConfig ThreeOutputs() {
    SimCard::TConfig config;
    config.Playback.resize(3);
    config.Playback[0].Support = MMSystem::WAVECAPS_PITCH | MMSystem::WAVECAPS_PLAYBACKRATE |
                                 MMSystem::WAVECAPS_VOLUME | MMSystem::WAVECAPS_LRVOLUME |
                                 MMSystem::WAVECAPS_SYNC | MMSystem::WAVECAPS_SAMPLEACCURATE;
    config.Playback[1].Name = "Передатчик";
    config.Playback[1].Formats = MMSystem::WAVE_FORMAT_2S08 | MMSystem::WAVE_FORMAT_96M16;
    config.Playback[1].Support = MMSystem::WAVECAPS_VOLUME;
    config.Playback[2].Formats = 0;
    return config;
}

TEST(PlayerDevice, DeviceInfoCarriesTheCapabilitiesOfTheSupportFlags) {
    TInstalledCard card(ThreeOutputs());
    TWavePlayer player;
    EXPECT_EQ(player.DeviceID(), WAVE_MAPPER);
    EXPECT_EQ(player.DeviceInfo().ProductName, "Simulated transmitter");
    EXPECT_EQ(player.DeviceInfo().Capabilities.Mask(), 0x3Fu);
    EXPECT_EQ(player.Format(), TWaveFormat::wf11025mono8);

    player.SetDeviceID(1);
    const TPlayDeviceInfo& info = player.DeviceInfo();
    EXPECT_EQ(info.ProductName, "Передатчик");
    EXPECT_EQ(info.ProductID, 0x102u);
    EXPECT_TRUE(info.Capabilities.Contains(TPlayCapability::pcVolume));
    EXPECT_FALSE(info.Capabilities.Contains(TPlayCapability::pcLRVolume));
    EXPECT_EQ(info.Capabilities.Mask(), 1u << 4);
    EXPECT_EQ(player.Format(), TWaveFormat::wf22050stereo8);
}

TEST(PlayerDevice, RefusedDeviceSelectionChangesNothing) {
    TInstalledCard card(ThreeOutputs());
    TWavePlayer player;
    player.SetDeviceID(1);
    player.SetFormat(TWaveFormat::wf96000mono16);
    const auto unchanged = [&] {
        EXPECT_EQ(player.DeviceID(), 1u);
        EXPECT_EQ(player.DeviceInfo().ProductName, "Передатчик");
        EXPECT_EQ(player.Format(), TWaveFormat::wf96000mono16);
    };
    EXPECT_EQ(MessageOf([&] { player.SetDeviceID(3); }),
              "DeviceID value (3) does not match devices count (3)");
    unchanged();
    EXPECT_EQ(MessageOf([&] { player.SetDeviceID(2); }),
              "Device does not support any known audio format");
    unchanged();
    card->FailCall(TCall::OutGetDevCaps, 1, Refused);
    EXPECT_THROW(player.SetDeviceID(0), EWavePlayException);
    unchanged();
    player.OnBufferDone = [](TWaveDevice*, void* Buffer, std::uint32_t& Size) {
        std::memset(Buffer, 0, Size);
    };
    player.Start();
    EXPECT_EQ(MessageOf([&] { player.SetDeviceID(0); }), "Not allowed in active state");
    player.Stop();
    unchanged();
}

// Volume, pitch and rate on a device with every capability, one with a single volume and one
// with none; the raw service values are read back through the same calls the device makes.
class PlayerControls : public ::testing::Test {
protected:
    static SimCard::TConfig Config() {
        SimCard::TConfig config = ThreeOutputs();
        config.Playback[2].Formats = MMSystem::WAVE_FORMAT_ALL_STANDARD;
        config.Playback[2].Support = 0;
        return config;
    }
    void SetUp() override {
        player.SetFormat(TestFormat);
        player.SetBufferSize(TestBufferSize);
        player.OnBufferDone = [](TWaveDevice*, void* Buffer, std::uint32_t& Size) {
            for (std::uint32_t i = 0; i + 3 < Size; i += 4) {
                auto* p = static_cast<std::uint8_t*>(Buffer) + i;
                const std::int16_t left = 20000;
                const std::int16_t right = -12000;
                p[0] = static_cast<std::uint8_t>(left & 0xFF);
                p[1] = static_cast<std::uint8_t>(left >> 8);
                p[2] = static_cast<std::uint8_t>(right & 0xFF);
                p[3] = static_cast<std::uint8_t>((right >> 8) & 0xFF);
            }
        };
    }
    DWORD RawVolume(std::uintptr_t Target) {
        DWORD volume = 0;
        EXPECT_EQ(MMSystem::waveOutGetVolume(HWAVEOUT{Target}, &volume), 0u);
        return volume;
    }

    TInstalledCard card{Config()};
    TProbePlayer player;
};

TEST_F(PlayerControls, VolumeBySelectorWithSeparateChannels) {
    EXPECT_EQ(player.OutputVolume(TVolumeChannel::volBoth), 0xFFFFu);
    player.SetOutputVolume(TVolumeChannel::volRight, 0x0000);
    EXPECT_EQ(player.OutputVolume(TVolumeChannel::volLeft), 0xFFFFu);
    EXPECT_EQ(player.OutputVolume(TVolumeChannel::volRight), 0x0000u);
    EXPECT_EQ(player.OutputVolume(TVolumeChannel::volBoth), 0x7FFFu);
    player.SetOutputVolume(TVolumeChannel::volLeft, 0x1234);
    EXPECT_EQ(RawVolume(WAVE_MAPPER), 0x00001234u) << "the right channel kept its value";
    player.SetOutputVolume(TVolumeChannel::volRight, 0x8000);
    EXPECT_EQ(RawVolume(WAVE_MAPPER), 0x80001234u);
    player.SetOutputVolume(TVolumeChannel::volBoth, 0x4000);
    EXPECT_EQ(RawVolume(WAVE_MAPPER), 0x40004000u);

    const auto invalid = static_cast<TVolumeChannel>(3);
    EXPECT_EQ(MessageOf([&] { player.OutputVolume(invalid); }), "Invalid value");
    EXPECT_THROW(player.SetOutputVolume(invalid, 1), EWavePlayException);
    card->FailCall(TCall::OutGetVolume, 1, Refused);
    EXPECT_EQ(MessageOf([&] { player.OutputVolume(TVolumeChannel::volLeft); }), RefusedText);
    card->FailCall(TCall::OutGetVolume, 1, Refused);
    EXPECT_EQ(MessageOf([&] { player.SetOutputVolume(TVolumeChannel::volLeft, 1); }), RefusedText);
    card->FailCall(TCall::OutSetVolume, 1, Refused);
    EXPECT_EQ(MessageOf([&] { player.SetOutputVolume(TVolumeChannel::volBoth, 1); }), RefusedText);
    EXPECT_EQ(RawVolume(WAVE_MAPPER), 0x40004000u);
}

TEST_F(PlayerControls, VolumeOfADeviceWithOneOrNoVolumeAndByDeviceNumberWhileClosed) {
    player.SetDeviceID(1);
    EXPECT_EQ(MessageOf([&] { player.OutputVolume(TVolumeChannel::volLeft); }), NotSupported);
    EXPECT_EQ(MessageOf([&] { player.SetOutputVolume(TVolumeChannel::volRight, 1); }),
              NotSupported);
    player.SetOutputVolume(TVolumeChannel::volBoth, 0x2345);
    EXPECT_EQ(RawVolume(1), 0x00002345u);
    EXPECT_EQ(RawVolume(WAVE_MAPPER), 0xFFFFFFFFu) << "only the chosen device";
    EXPECT_EQ(player.OutputVolume(TVolumeChannel::volBoth), 0x2345u);

    player.SetDeviceID(2);
    EXPECT_EQ(MessageOf([&] { player.OutputVolume(TVolumeChannel::volBoth); }), NotSupported);
    EXPECT_EQ(MessageOf([&] { player.SetOutputVolume(TVolumeChannel::volBoth, 1); }), NotSupported);
}

TEST_F(PlayerControls, PlayedSamplesAreScaledByTheVolumeSetWhileActive) {
    player.Start();
    player.SetOutputVolume(TVolumeChannel::volLeft, 0x8000);
    EXPECT_EQ(RawVolume(static_cast<std::uintptr_t>(player.Handle())), 0xFFFF8000u);
    card->RunFor(BufferTime);
    player.Stop();
    const auto played = PlayedBytes(card.Card());
    ASSERT_EQ(played.size(), TestBufferSize);
    for (std::size_t i = 0; i < played.size(); i += 4) {
        const auto left = static_cast<std::int16_t>(played[i] | played[i + 1] << 8);
        const auto right = static_cast<std::int16_t>(played[i + 2] | played[i + 3] << 8);
        ASSERT_EQ(left, 20000 * 0x8000 / 0xFFFF) << "frame " << i / 4;
        ASSERT_EQ(right, -12000) << "frame " << i / 4;
    }
}

TEST_F(PlayerControls, RateAndPitchAreSixteenDotSixteenFactorsOfTheOpenDevice) {
    struct TFactor {
        const char* Name;
        float (TWavePlayer::*Get)();
        void (TWavePlayer::*Set)(float);
        MMSystem::MMRESULT (*RawGet)(HWAVEOUT, DWORD*);
        MMSystem::MMRESULT (*RawSet)(HWAVEOUT, DWORD);
        TCall SetCall;
        TCall GetCall;
    };
    const TFactor factors[] = {
        {"Rate", &TWavePlayer::Rate, &TWavePlayer::SetRate, MMSystem::waveOutGetPlaybackRate,
         MMSystem::waveOutSetPlaybackRate, TCall::OutSetPlaybackRate, TCall::OutGetPlaybackRate},
        {"Pitch", &TWavePlayer::Pitch, &TWavePlayer::SetPitch, MMSystem::waveOutGetPitch,
         MMSystem::waveOutSetPitch, TCall::OutSetPitch, TCall::OutGetPitch},
    };
    player.Start();
    for (const TFactor& f : factors) {
        SCOPED_TRACE(f.Name);
        const auto raw = [&] {
            DWORD value = 0;
            EXPECT_EQ(f.RawGet(player.Handle(), &value), 0u);
            return value;
        };
        (player.*f.Set)(1.5f);
        EXPECT_EQ(raw(), 0x00018000u);
        EXPECT_EQ((player.*f.Get)(), 1.5f);
        (player.*f.Set)(0.75f);
        EXPECT_EQ(raw(), 0x0000C000u);
        (player.*f.Set)(2.0f / 3.0f);
        EXPECT_EQ(raw(), 0x0000AAAAu) << "cut off, not rounded";
        (player.*f.Set)(1.0f + 3.0f / 131072.0f);
        EXPECT_EQ(raw(), 0x00010001u);
        (player.*f.Set)(65535.5f);
        EXPECT_EQ(raw(), 0xFFFF8000u);
        f.RawSet(player.Handle(), 0x00028000);
        EXPECT_EQ((player.*f.Get)(), 2.5f);

        for (float bad : {-0.5f, 65536.0f, std::numeric_limits<float>::quiet_NaN()})
            EXPECT_EQ(MessageOf([&] { (player.*f.Set)(bad); }), "Invalid value") << bad;
        EXPECT_EQ(raw(), 0x00028000u);
        card->FailCall(f.SetCall, 1, Refused);
        EXPECT_EQ(MessageOf([&] { (player.*f.Set)(1.0f); }), RefusedText);
        card->FailCall(f.GetCall, 1, Refused);
        EXPECT_EQ(MessageOf([&] { (player.*f.Get)(); }), RefusedText);
        EXPECT_EQ(raw(), 0x00028000u);
    }
    player.Stop();

    player.SetDeviceID(1); // volume only
    player.SetFormat(TWaveFormat::wf22050stereo8);
    for (bool active : {false, true}) {
        if (active)
            player.Start();
        EXPECT_EQ(MessageOf([&] { player.Rate(); }), NotSupported);
        EXPECT_EQ(MessageOf([&] { player.SetRate(1.0f); }), NotSupported);
        EXPECT_EQ(MessageOf([&] { player.Pitch(); }), NotSupported);
        EXPECT_EQ(MessageOf([&] { player.SetPitch(1.0f); }), NotSupported);
    }
}

} // namespace
