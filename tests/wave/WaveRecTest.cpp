// The capture device on the simulated card, manual clock: the input carries frame numbers, so
// every delivered byte can be checked against the frame it must hold.
#include "wave/WaveRec.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/SimCard.h"
#include "tests/wave/WaveTestSupport.h"

using namespace WaveRec;
using namespace WaveTest;
using MMSystem::WAVE_MAPPER;
using SimCard::TInstalledCard;
using WaveCore::TCall;
using WaveDefs::TWaveFormat;

namespace {

constexpr MMSystem::MMRESULT Refused = MMSystem::MMSYSERR_NOMEM;
const std::string RefusedText = "Unable to allocate memory.";

class TProbeRecorder final : public TWaveRecorder {
public:
    std::uintptr_t Handle() const { return FHandle; }
    bool Stopping() const { return FStopping; }
    using TWaveDevice::Headers;
};

struct TDelivery {
    const void* Buffer;
    std::vector<std::uint8_t> Bytes;
};

class Recorder : public ::testing::Test {
protected:
    void SetUp() override {
        rec.SetFormat(TestFormat);
        rec.SetBufferSize(TestBufferSize);
        rec.OnStart = [this](WaveDefs::TWaveDevice*) { events.push_back("start"); };
        rec.OnStop = [this](WaveDefs::TWaveDevice*) { events.push_back("stop"); };
        rec.OnPause = [this](WaveDefs::TWaveDevice*) { events.push_back("pause"); };
        rec.OnResume = [this](WaveDefs::TWaveDevice*) { events.push_back("resume"); };
        rec.OnBufferDone = [this](WaveDefs::TWaveDevice*, const void* Buffer, std::uint32_t Size) {
            events.push_back("data");
            const auto* p = static_cast<const std::uint8_t*>(Buffer);
            data.push_back({Buffer, {p, p + Size}});
            if (hook)
                hook(data.size());
        };
    }

    // The buffer at ring position Index.
    const void* Block(std::size_t Index) { return rec.Headers()[Index].lpData; }

    // The device goes first, while what its handlers touch still exists.
    TInstalledCard card{NumberedInput()};
    std::vector<std::string> events;
    std::vector<TDelivery> data;
    // Runs inside the buffer handler, with the number of the delivery.
    std::function<void(std::size_t)> hook;
    TProbeRecorder rec;
};

using Events = std::vector<std::string>;

TEST_F(Recorder, RingAlternatesItsTwoBuffersAndDeliversEveryFrameOnceInOrder) {
    rec.Start();
    EXPECT_TRUE(rec.Active());
    EXPECT_EQ(events, Events{"start"});
    card->RunFor(6 * BufferTime);
    ASSERT_EQ(data.size(), 6u);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i].Buffer, Block(i % 2)) << "delivery " << i;
        EXPECT_EQ(data[i].Bytes.size(), TestBufferSize);
        EXPECT_TRUE(FramesFrom(data[i].Bytes, static_cast<std::uint32_t>(i * BufferFrames)))
            << "delivery " << i;
    }
    EXPECT_NE(Block(0), Block(1));
    rec.Stop();
    EXPECT_EQ(data.size(), 6u) << "a stop on a buffer boundary has nothing more to deliver";
}

TEST_F(Recorder, PauseDeliversThePartlyFilledBufferAndResumeFillsTheNextOne) {
    rec.Start();
    card->RunFor(2 * BufferTime + BufferTime / 2);
    rec.Pause();
    EXPECT_TRUE(rec.Paused());
    card->RunFor(3 * BufferTime); // the input runs on, unrecorded
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[2].Buffer, Block(0));
    EXPECT_EQ(data[2].Bytes.size(), TestBufferSize / 2);
    EXPECT_TRUE(FramesFrom(data[2].Bytes, 2 * BufferFrames));

    rec.Resume();
    EXPECT_FALSE(rec.Paused());
    card->RunFor(2 * BufferTime);
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(data[3].Buffer, Block(1));
    EXPECT_EQ(data[4].Buffer, Block(0));
    const std::uint32_t resumed = 11 * BufferFrames / 2; // 55 ms
    EXPECT_TRUE(FramesFrom(data[3].Bytes, resumed));
    EXPECT_TRUE(FramesFrom(data[4].Bytes, resumed + BufferFrames));
    EXPECT_EQ(events, (Events{"start", "data", "data", "pause", "data", "resume", "data", "data"}));
}

TEST_F(Recorder, FlushActsOnlyWhilePausedAndReturnsTheQueuedBuffersEmpty) {
    rec.Start();
    card->RunFor(BufferTime / 2);
    rec.Flush();
    EXPECT_EQ(card->Uses(TCall::InReset), 0u);
    card->RunFor(2 * BufferTime);
    ASSERT_EQ(data.size(), 2u);

    rec.Pause();
    rec.Flush();
    EXPECT_EQ(card->Uses(TCall::InReset), 1u);
    EXPECT_TRUE(rec.Paused());
    card->RunFor(0);
    ASSERT_EQ(data.size(), 3u) << "only the partly filled buffer holds data";
    EXPECT_EQ(data[2].Bytes.size(), TestBufferSize / 2);
    EXPECT_TRUE(FramesFrom(data[2].Bytes, 2 * BufferFrames));

    rec.Resume();
    card->RunFor(2 * BufferTime);
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(data[3].Buffer, Block(0)) << "the flush put the ring back in queue order";
    EXPECT_EQ(data[4].Buffer, Block(1));
    EXPECT_TRUE(FramesFrom(data[3].Bytes, 5 * BufferFrames / 2));
    EXPECT_TRUE(FramesFrom(data[4].Bytes, 7 * BufferFrames / 2));
    EXPECT_EQ(events, (Events{"start", "data", "data", "pause", "data", "resume", "data", "data"}));
}

TEST_F(Recorder, StopDeliversThePartlyFilledBufferThenReportsBeforeItReturns) {
    rec.Start();
    card->RunFor(2 * BufferTime + BufferTime / 4);
    rec.Stop();
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(events, (Events{"start", "data", "data", "data", "stop"}));
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[2].Buffer, Block(0));
    EXPECT_TRUE(FramesFrom(data[2].Bytes, 2 * BufferFrames));
    EXPECT_EQ(data[2].Bytes.size(), TestBufferSize / 4);
    card->RunFor(2 * BufferTime);
    EXPECT_EQ(data.size(), 3u);

    rec.Stop(); // closed: nothing
    rec.Pause();
    rec.Resume();
    EXPECT_EQ(events.size(), 5u);
}

TEST_F(Recorder, StopWhilePausedClosesAndClearsPaused) {
    rec.Start();
    card->RunFor(BufferTime / 2);
    rec.Pause();
    rec.Stop();
    EXPECT_FALSE(rec.Active());
    EXPECT_FALSE(rec.Paused());
    EXPECT_EQ(events, (Events{"start", "pause", "data", "stop"}));
    EXPECT_TRUE(FramesFrom(data.at(0).Bytes, 0));
}

// The handler is busy with one buffer while time moves on and the next one fills partly; its
// Stop must neither deliver the busy buffer a second time nor report before it has closed.
TEST_F(Recorder, StopInsideTheHandlerDeliversNothingMoreAndReportsBeforeItReturns) {
    hook = [this](std::size_t N) {
        if (N != 2)
            return;
        card->Advance(BufferTime / 2);
        rec.Stop();
        events.push_back("stop returned");
    };
    rec.Start();
    card->RunFor(4 * BufferTime);
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(events, (Events{"start", "data", "data", "stop", "stop returned"}));
    ASSERT_EQ(data.size(), 2u);
    EXPECT_TRUE(FramesFrom(data[1].Bytes, BufferFrames));
}

TEST_F(Recorder, HandlerThatRaisesStopsTheCaptureSilently) {
    hook = [this](std::size_t N) {
        if (N == 2) {
            card->Advance(BufferTime / 2);
            throw SysUtils::Exception("handler failed");
        }
    };
    rec.Start();
    card->RunFor(4 * BufferTime);
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(events, (Events{"start", "data", "data", "stop"}));
}

TEST_F(Recorder, RefusedRequeueingStopsTheCapture) {
    rec.Start();
    card->FailCall(TCall::InAddBuffer, 1, Refused);
    card->RunFor(4 * BufferTime);
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(events, (Events{"start", "data", "stop"}));
}

TEST_F(Recorder, RefusedPauseResumeOrFlushRaisesTheErrorTextAndChangesNothing) {
    rec.Start();
    card->FailCall(TCall::InStop, 1, Refused);
    EXPECT_EQ(MessageOf([&] { rec.Pause(); }), RefusedText);
    EXPECT_FALSE(rec.Paused());
    card->RunFor(BufferTime);
    EXPECT_EQ(data.size(), 1u) << "capture goes on";

    rec.Pause();
    card->FailCall(TCall::InStart, 1, Refused);
    EXPECT_EQ(MessageOf([&] { rec.Resume(); }), RefusedText);
    EXPECT_TRUE(rec.Paused());
    card->FailCall(TCall::InReset, 1, Refused);
    EXPECT_EQ(MessageOf([&] { rec.Flush(); }), RefusedText);
    EXPECT_TRUE(rec.Paused());
    EXPECT_TRUE(rec.Active());
    EXPECT_EQ(events, (Events{"start", "data", "pause"}));
    EXPECT_THROW(
        {
            card->FailCall(TCall::InReset, 1, Refused);
            rec.Flush();
        },
        EWaveRecException);
}

// A refused close leaves the device open and stopping; the next Stop tries the close again, and
// the buffer the first attempt returned is delivered once.
TEST_F(Recorder, StopAfterARefusedCloseTriesTheCloseAgain) {
    rec.Start();
    card->RunFor(BufferTime + BufferTime / 2);
    card->FailCall(TCall::InClose, 1, Refused);
    EXPECT_EQ(MessageOf([&] { rec.Stop(); }), RefusedText);
    EXPECT_TRUE(rec.Active());
    EXPECT_TRUE(rec.Stopping());
    const unsigned opens = card->Uses(TCall::InOpen);
    rec.Start();
    rec.Pause();
    EXPECT_EQ(card->Uses(TCall::InOpen), opens);
    EXPECT_FALSE(rec.Paused());

    card->RunFor(BufferTime); // the main loop handles what the first attempt returned
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1].Bytes.size(), TestBufferSize / 2);
    rec.Stop();
    EXPECT_FALSE(rec.Active());
    EXPECT_FALSE(rec.Stopping());
    EXPECT_EQ(events, (Events{"start", "data", "data", "stop"}));

    rec.Start(); // usable again
    card->RunFor(BufferTime);
    EXPECT_EQ(data.size(), 3u);
    EXPECT_TRUE(FramesFrom(data[2].Bytes, 5 * BufferFrames / 2));
}

struct TStartFault {
    const char* Name;
    TCall Call;
    unsigned K;
};

void PrintTo(const TStartFault& Fault, std::ostream* Out) {
    *Out << Fault.Name << " refused";
}

class RecorderStartFault : public Recorder, public ::testing::WithParamInterface<TStartFault> {};

// Whatever step of Start is refused, nothing stays queued, prepared or open, and the undone
// open reports nothing later; the next Start works.
TEST_P(RecorderStartFault, LeavesTheDeviceClosedWithNothingBehind) {
    card->RunFor(3 * BufferTime);
    card->FailCall(GetParam().Call, GetParam().K, Refused);
    EXPECT_EQ(MessageOf([&] { rec.Start(); }), RefusedText);
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(rec.Handle(), 0u);
    EXPECT_EQ(Windows::PendingMessages(), 0u);
    for (const auto& header : rec.Headers())
        EXPECT_EQ(header.dwFlags & (MMSystem::WHDR_INQUEUE | MMSystem::WHDR_PREPARED), 0u);
    card->RunFor(2 * BufferTime);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(data.empty());

    card->ClearFaults();
    rec.Start();
    card->RunFor(BufferTime);
    EXPECT_EQ(events, (Events{"start", "data"}));
    EXPECT_TRUE(FramesFrom(data.at(0).Bytes, 5 * BufferFrames));
}

INSTANTIATE_TEST_SUITE_P(EveryStep, RecorderStartFault,
                         ::testing::Values(TStartFault{"Open", TCall::InOpen, 1},
                                           TStartFault{"FirstPrepare", TCall::InPrepareHeader, 1},
                                           TStartFault{"SecondPrepare", TCall::InPrepareHeader, 2},
                                           TStartFault{"FirstQueueing", TCall::InAddBuffer, 1},
                                           TStartFault{"SecondQueueing", TCall::InAddBuffer, 2},
                                           TStartFault{"Start", TCall::InStart, 1}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

SimCard::TConfig ThreeInputs() {
    SimCard::TConfig config;
    config.Capture.resize(3);
    config.Capture[0].Name = std::string(40, 'x');
    config.Capture[0].Channels = 1;
    config.Capture[1].Name = "Второй приёмник";
    config.Capture[1].Formats = MMSystem::WAVE_FORMAT_48S16 | MMSystem::WAVE_FORMAT_4S16;
    config.Capture[2].Formats = 0;
    return config;
}

TEST(RecorderDevice, ConstructionSelectsTheMapperAndReadsItsCapabilities) {
    TInstalledCard card(ThreeInputs());
    TWaveRecorder rec;
    EXPECT_EQ(rec.DeviceID(), WAVE_MAPPER);
    EXPECT_EQ(rec.DeviceCount(), 3u);
    EXPECT_EQ(rec.DeviceInfo().ProductName, std::string(31, 'x'));
    EXPECT_EQ(rec.DeviceInfo().Channels, 1u);
    EXPECT_EQ(rec.DeviceInfo().Formats.Mask(), 0x1FFFFEu);
    EXPECT_EQ(rec.Format(), TWaveFormat::wf11025mono8);
    EXPECT_EQ(rec.Buffers(), 2u);
}

TEST(RecorderDevice, SelectingADeviceReadsItsCapabilitiesAndResetsTheFormat) {
    TInstalledCard card(ThreeInputs());
    TWaveRecorder rec;
    rec.SetDeviceID(1);
    const TRecDeviceInfo& info = rec.DeviceInfo();
    EXPECT_EQ(info.ManufacturerID, 0x7151u);
    EXPECT_EQ(info.ProductID, 2u);
    EXPECT_EQ(info.DriverVersion, 0x0100u);
    EXPECT_EQ(info.ProductName, "Второй приёмник");
    EXPECT_EQ(info.Channels, 2u);
    EXPECT_TRUE(info.Formats.Contains(TWaveFormat::wf44100stereo16));
    EXPECT_TRUE(info.Formats.Contains(TWaveFormat::wf48000stereo16));
    EXPECT_EQ(rec.Format(), TWaveFormat::wf44100stereo16);

    const unsigned reads = card->Uses(TCall::InGetDevCaps);
    rec.SetFormat(TWaveFormat::wf48000stereo16);
    rec.SetDeviceID(1);
    EXPECT_EQ(card->Uses(TCall::InGetDevCaps), reads) << "the current device is not read again";
    EXPECT_EQ(rec.Format(), TWaveFormat::wf48000stereo16);
}

TEST(RecorderDevice, RefusedDeviceSelectionChangesNothing) {
    TInstalledCard card(ThreeInputs());
    TWaveRecorder rec;
    rec.SetDeviceID(1);
    rec.SetFormat(TWaveFormat::wf48000stereo16);
    const auto unchanged = [&] {
        EXPECT_EQ(rec.DeviceID(), 1u);
        EXPECT_EQ(rec.DeviceInfo().ProductName, "Второй приёмник");
        EXPECT_EQ(rec.Format(), TWaveFormat::wf48000stereo16);
    };

    EXPECT_EQ(MessageOf([&] { rec.SetDeviceID(3); }),
              "DeviceID value (3) does not match devices count (3)");
    unchanged();
    EXPECT_EQ(MessageOf([&] { rec.SetDeviceID(2); }),
              "Device does not support any known audio format");
    unchanged();
    card->FailCall(TCall::InGetDevCaps, 1, Refused);
    EXPECT_EQ(MessageOf([&] { rec.SetDeviceID(0); }), RefusedText);
    unchanged();
    rec.Start();
    EXPECT_THROW(rec.SetDeviceID(0), EWaveRecException);
    EXPECT_EQ(MessageOf([&] { rec.SetDeviceID(0); }), "Not allowed in active state");
    rec.Stop();
    unchanged();
    rec.SetDeviceID(WAVE_MAPPER);
    EXPECT_EQ(rec.DeviceID(), WAVE_MAPPER);
}

TEST(RecorderDevice, ConstructionFailsWhenTheMapperKnowsNoFormat) {
    SimCard::TConfig config;
    config.Capture[0].Formats = 0;
    TInstalledCard card(config);
    EXPECT_EQ(MessageOf([] { TWaveRecorder rec; }),
              "Device does not support any known audio format");
}

TEST(RecorderDevice, StartWithoutCaptureDevicesRaisesWithoutCallingTheService) {
    SimCard::TConfig config;
    config.Capture.clear();
    TInstalledCard card(config);
    TWaveRecorder rec;
    EXPECT_EQ(rec.DeviceCount(), 0u);
    EXPECT_THROW(rec.Start(), EWaveRecException);
    EXPECT_EQ(MessageOf([&] { rec.Start(); }), "No recording device found");
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(card->Uses(TCall::InOpen), 0u);
}

} // namespace
