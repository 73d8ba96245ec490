// Both devices streaming on the simulated card with its fast and its real-time clock: capture
// handed to playback comes out of the card's sink byte for byte, and the threaded path keeps
// the ring order.
#include <cstring>
#include <deque>
#include <vector>

#include <gtest/gtest.h>

#include "platform/SimCard.h"
#include "tests/wave/WaveTestSupport.h"
#include "wave/WavePlay.h"
#include "wave/WaveRec.h"

using namespace WaveTest;
using SimCard::TInstalledCard;
using WaveDefs::TWaveDevice;
using WavePlay::TWavePlayer;
using WaveRec::TWaveRecorder;

namespace {

SimCard::TConfig NumberedInputOn(SimCard::TClockMode Clock) {
    SimCard::TConfig config = NumberedInput();
    config.Clock = Clock;
    return config;
}

// The controller's cycle: record, pause and flush the capture, play the recording back, and
// resume the capture when the playback reports its end.
TEST(WaveStream, RecordingPlayedBackReachesTheSinkByteForByte) {
    TInstalledCard card(NumberedInputOn(SimCard::TClockMode::Fast));
    std::deque<std::vector<std::uint8_t>> recording;
    std::vector<std::uint8_t> captured;
    std::vector<std::uint8_t> filled;
    bool playing = false;
    TWaveRecorder rec;
    TWavePlayer player;
    for (TWaveDevice* device :
         {static_cast<TWaveDevice*>(&rec), static_cast<TWaveDevice*>(&player)}) {
        device->SetFormat(TestFormat);
        device->SetBufferSize(TestBufferSize);
    }
    player.SetBuffers(3);

    rec.OnBufferDone = [&](TWaveDevice*, const void* Buffer, std::uint32_t Size) {
        if (playing)
            return;
        const auto* p = static_cast<const std::uint8_t*>(Buffer);
        recording.emplace_back(p, p + Size);
        captured.insert(captured.end(), p, p + Size);
    };
    player.OnBufferDone = [&](TWaveDevice*, void* Buffer, std::uint32_t& Size) {
        Size = 0;
        if (recording.empty())
            return;
        const auto& block = recording.front();
        std::memcpy(Buffer, block.data(), block.size());
        Size = static_cast<std::uint32_t>(block.size());
        filled.insert(filled.end(), block.begin(), block.end());
        recording.pop_front();
    };
    player.OnStart = [&](TWaveDevice*) { playing = true; };
    player.OnStop = [&](TWaveDevice*) {
        playing = false;
        rec.Resume();
    };

    rec.Start();
    ASSERT_TRUE(card->RunUntil([&] { return recording.size() >= 7; }, SimCard::Seconds));
    const std::size_t full = recording.size();
    Windows::Sleep(3); // into the next buffer
    rec.Pause();
    rec.Flush();
    card->RunFor(0);
    ASSERT_EQ(recording.size(), full + 1);
    EXPECT_LT(recording.back().size(), TestBufferSize);
    EXPECT_TRUE(FramesFrom(captured, FrameAt(captured, 0)));

    player.Start();
    ASSERT_TRUE(card->RunUntil([&] { return !player.Active(); }, 10 * SimCard::Seconds));
    EXPECT_FALSE(rec.Paused());
    EXPECT_EQ(filled, captured);
    EXPECT_EQ(PlayedBytes(card.Card()), captured);

    const std::size_t before = captured.size();
    ASSERT_TRUE(card->RunUntil([&] { return captured.size() > before; }, SimCard::Seconds));
    const std::vector<std::uint8_t> next(captured.begin() + static_cast<std::ptrdiff_t>(before),
                                         captured.end());
    EXPECT_EQ(next.size(), TestBufferSize) << "capture resumes into emptied buffers";
    EXPECT_TRUE(FramesFrom(next, FrameAt(next, 0)));
    EXPECT_GT(FrameAt(next, 0), FrameAt(captured, before / FrameBytes - 1));
    rec.Stop();
}

TEST(WaveStream, RealTimeCaptureKeepsTheRingOrderAndEveryFrame) {
    TInstalledCard card(NumberedInputOn(SimCard::TClockMode::RealTime));
    std::vector<const void*> buffers;
    std::vector<std::uint8_t> captured;
    std::vector<std::uint32_t> sizes;
    bool stopped = false;
    TWaveRecorder rec;
    rec.SetFormat(TestFormat);
    rec.SetBufferSize(2 * TestBufferSize); // 20 ms, eight of them: room for a busy machine
    rec.SetBuffers(8);
    rec.OnBufferDone = [&](TWaveDevice*, const void* Buffer, std::uint32_t Size) {
        buffers.push_back(Buffer);
        sizes.push_back(Size);
        const auto* p = static_cast<const std::uint8_t*>(Buffer);
        captured.insert(captured.end(), p, p + Size);
    };
    rec.OnStop = [&](TWaveDevice*) { stopped = true; };

    rec.Start();
    ASSERT_TRUE(card->RunUntil([&] { return buffers.size() >= 20; }, 3 * SimCard::Seconds));
    rec.Stop();
    EXPECT_TRUE(stopped);
    ASSERT_GE(buffers.size(), 20u);
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(buffers[i], buffers[i % 8]) << "delivery " << i;
        if (i < 20) {
            EXPECT_EQ(sizes[i], 2 * TestBufferSize);
        }
    }
    EXPECT_TRUE(FramesFrom(captured, FrameAt(captured, 0)));
}

TEST(WaveStream, RealTimePlaybackPlaysEveryFilledByteAndStopsByItself) {
    SimCard::TConfig config;
    config.Clock = SimCard::TClockMode::RealTime;
    TInstalledCard card(config);
    std::uint32_t fills = 0;
    bool stopped = false;
    TWavePlayer player;
    player.SetFormat(TestFormat);
    player.SetBufferSize(TestBufferSize);
    player.OnBufferDone = [&](TWaveDevice*, void* Buffer, std::uint32_t& Size) {
        Size = 0;
        if (fills < 5) {
            WriteFrames(static_cast<std::uint8_t*>(Buffer), fills * BufferFrames, BufferFrames);
            Size = TestBufferSize;
        }
        ++fills;
    };
    player.OnStop = [&](TWaveDevice*) { stopped = true; };

    player.Start();
    ASSERT_TRUE(card->RunUntil([&] { return stopped; }, SimCard::Seconds));
    EXPECT_FALSE(player.Active());
    EXPECT_EQ(fills, 6u);
    const auto played = PlayedBytes(card.Card());
    EXPECT_EQ(played.size(), 5 * TestBufferSize);
    EXPECT_TRUE(FramesFrom(played, 0));
}

} // namespace
