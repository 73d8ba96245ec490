// The repeater driven end to end on the simulated card: receiver audio in, what a listener on
// the transmitter would hear out.
#include <cmath>
#include <cstring>

#include <QApplication>

#include <gtest/gtest.h>

#include "spectrum/uSpectrum.h"
#include "tests/app/RepeaterRig.h"
#include "wave/WaveUtils.h"

using namespace RepeaterRig;
using SimCard::Milliseconds;
using SimCard::Seconds;
using WaveDefs::TWaveFormat;

namespace {

constexpr std::uint64_t Frames = 2048; // one buffer of the defaults: 8192 bytes, 16-bit stereo
constexpr std::uint32_t Rate = 44100;

TTimeNs At(std::uint64_t Frame, std::uint32_t R = Rate) {
    return static_cast<TTimeNs>((Frame * Seconds + R - 1) / R);
}

// A carrier over buffers [From, To) of a capture started at time 0, its tone on bin 46.
TReceiver CarrierOverBuffers(std::uint64_t From, std::uint64_t To,
                             std::uint64_t BufferFrames = Frames, std::uint32_t R = Rate) {
    TReceiver receiver;
    receiver.Carrier = {{From * BufferFrames, To * BufferFrames}};
    receiver.ToneHz = R * 46.0 / static_cast<double>(BufferFrames);
    return receiver;
}

std::map<std::string, std::string> Settings(std::map<std::string, std::string> Extra = {}) {
    std::map<std::string, std::string> s{
        {"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf44100stereo16))},
        {"PlayVolume", "65535"}, // the replay then reaches the card unchanged
    };
    for (auto& [k, v] : Extra)
        s[k] = v;
    return s;
}

// The tone the generator makes from its start, for Count samples of a mono format.
std::vector<std::int16_t> Tone(TWaveFormat Mono, double Hz, std::uint16_t Volume,
                               std::size_t Count) {
    WaveUtils::TSineGenerator generator;
    generator.SetFrequency(Hz);
    generator.SetVolume(Volume);
    generator.SetFormat(Mono);
    std::vector<std::int16_t> tone(Count);
    generator.Generate(tone.data(), static_cast<std::uint32_t>(Count * 2));
    return tone;
}

TEST(Repeater, ATransmissionIsReplayedWholeRightAfterTheHoldWithTheToneForExactlyItsSamples) {
    TRig rig(CarrierOverBuffers(20, 60), Settings());
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();

    // 40 buffers of carrier, then the hold: 11 buffers more still count as signal.
    const std::uint64_t recorded = (40 + 11) * Frames;
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].Frames, recorded);
    EXPECT_EQ(tx[0].Start, At(72 * Frames))
        << "playback starts as buffer 71, the first after the hold, is in";
    for (std::uint64_t j = 0; j < recorded; ++j)
        ASSERT_EQ(Sample16(tx[0].Bytes, j, 1), TReceiver::Audio(20 * Frames + j)) << "frame " << j;
    const auto tone = Tone(TWaveFormat::wf44100mono16, 100, 58982, recorded);
    for (std::uint64_t j = 0; j < recorded; ++j)
        ASSERT_EQ(Sample16(tx[0].Bytes, j, 0), tone[j]) << "tone sample " << j;

    const std::vector<std::string> expected{"ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН",
                                            "ОЖИДАНИЕ"};
    ASSERT_EQ(rig.StateTexts(), expected);
    const auto& states = rig.States();
    EXPECT_EQ(states[1].Time, At(21 * Frames));
    EXPECT_EQ(states[2].Time, tx[0].Start);
    EXPECT_EQ(states[3].Time, tx[0].End);
    EXPECT_EQ(states[4].Time, tx[0].End + 500 * Milliseconds) << "the lock";
    EXPECT_TRUE(rig.Form().Recorder->Active());
    EXPECT_FALSE(rig.Form().Recorder->Paused());
    EXPECT_EQ(rig.Form().RecordedBytes, 0u);
}

TEST(Repeater, CaptureResumesAfterTheLockAndTheNextTransmissionIsReplayedToo) {
    TReceiver receiver = CarrierOverBuffers(10, 20);
    receiver.Carrier.push_back({200 * Frames, 230 * Frames});
    TRig rig(receiver, Settings({{"LockTime", "1000"}}));
    rig.Form().btnStartClick();
    rig.RunFor(16 * Seconds);
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_EQ(tx[0].Frames, 21 * Frames);
    // The second recording begins with the first capture buffer after the lock that is all
    // carrier; whatever that buffer is, the replay is the receiver's audio from there on.
    ASSERT_GE(tx[1].Frames, 30 * Frames);
    const std::int16_t first = Sample16(tx[1].Bytes, 0, 1);
    std::uint64_t origin = 190 * Frames;
    while (TReceiver::Audio(origin) != first && origin < 210 * Frames)
        ++origin;
    for (std::uint64_t j = 0; j < tx[1].Frames; ++j)
        ASSERT_EQ(Sample16(tx[1].Bytes, j, 1), TReceiver::Audio(origin + j));
    EXPECT_EQ(rig.StateTexts().size(), 9u);
}

TEST(Repeater, TheRecordingLimitStartsPlaybackAfterBlock216AtTheDefaults) {
    TRig rig(CarrierOverBuffers(5, 100000), Settings({{"Duration", "10"}}));
    rig.Form().btnStartClick();
    rig.RunUntil([&] { return rig.Form().Player->Active(); }, 20 * Seconds);
    EXPECT_EQ(rig.Form().RecordedBytes + 0u, 216u * 4096 - 4 * 4096)
        << "the playback has taken its first four blocks into the ring";
    rig.RunFor(15 * Seconds);
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_GE(tx.size(), 1u);
    EXPECT_EQ(tx[0].Frames,
              216 * Frames); // 884736 bytes of one channel, the first at or over 882000
}

TEST(Repeater, ABlockLongerThanTheLimitCannotBeSet) {
    // A block of 262144 samples would hold more than ten seconds at 22050 Hz: a buffer holds at
    // most one second, so the limit always lies beyond the first block.
    TRig rig(CarrierOverBuffers(2, 1000, 262144, 22050),
             Settings({{"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf22050stereo16))},
                       {"BufferSize", "1048576"},
                       {"Duration", "10"}}));
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_NE(rig.Errors()[0].find("BufferSize=1048576: a buffer may hold at most one second"),
              std::string::npos);
    EXPECT_FALSE(rig.Form().btnStart->isEnabled());
}

TEST(Repeater, TestModeFollowsTheSquelchBufferByBufferAndRecordsNothing) {
    TRig rig(CarrierOverBuffers(5, 10), Settings({{"SquelchDelay", "0"}}));
    rig.Form().btnTestClick();
    ASSERT_NE(uSpectrum::fSpectForm, nullptr);
    rig.RunFor(At(15 * Frames) + 1);
    EXPECT_EQ(rig.StateTexts(), (std::vector<std::string>{
                                    "ОЖИДАНИЕ", "ОЖИДАНИЕ", "ОЖИДАНИЕ", "ОЖИДАНИЕ", "ОЖИДАНИЕ",
                                    "ОЖИДАНИЕ", "ЗАПИСЬ", "ЗАПИСЬ", "ЗАПИСЬ", "ЗАПИСЬ", "ЗАПИСЬ",
                                    "ОЖИДАНИЕ", "ОЖИДАНИЕ", "ОЖИДАНИЕ", "ОЖИДАНИЕ", "ОЖИДАНИЕ"}));
    EXPECT_EQ(rig.Form().RecordedBytes, 0u);
    EXPECT_TRUE(rig.Card().PlayLog().empty());

    // Closing the spectrum window does not end test mode; only Stop does.
    uSpectrum::fSpectForm->close();
    EXPECT_EQ(uSpectrum::fSpectForm, nullptr);
    rig.RunFor(200 * Milliseconds);
    EXPECT_TRUE(rig.Form().TestMode);
    rig.Form().btnStopClick();
    EXPECT_FALSE(rig.Form().TestMode);
    EXPECT_EQ(rig.StateTexts().back(), "НЕАКТИВНО");
}

TEST(Repeater, StopDuringARecordingDiscardsItAndTransmitsNothing) {
    TRig rig(CarrierOverBuffers(5, 1000), Settings());
    rig.Form().btnStartClick();
    rig.RunFor(At(30 * Frames) + 10 * Milliseconds);
    ASSERT_GT(rig.Form().RecordedBytes, 0u);
    rig.Form().btnStopClick();
    EXPECT_EQ(rig.Form().RecordedBytes, 0u);
    EXPECT_TRUE(rig.Form().Blocks->Empty());
    EXPECT_FALSE(rig.Form().Recorder->Active());
    EXPECT_FALSE(rig.Form().Player->Active());
    rig.RunFor(5 * Seconds);
    EXPECT_TRUE(rig.Card().PlayLog().empty());
    EXPECT_EQ(rig.StateTexts().back(), "НЕАКТИВНО");
    EXPECT_TRUE(rig.Form().btnStart->isEnabled());
    EXPECT_FALSE(rig.Form().btnStop->isEnabled());
    EXPECT_EQ(rig.Form().gLevel0->Progress(), 0);
}

TEST(Repeater, StopDuringPlaybackGoesThroughTheWholeLock) {
    TRig rig(CarrierOverBuffers(5, 50), Settings({{"LockTime", "2000"}}));
    rig.Form().btnStartClick();
    rig.RunUntil([&] { return rig.Form().StateText() == "ВОСПРОИЗВЕДЕНИЕ"; }, 10 * Seconds);
    rig.RunFor(300 * Milliseconds);
    const TTimeNs pressed = rig.Card().Now();
    rig.Form().btnStopClick();
    const auto texts = rig.StateTexts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[texts.size() - 3], "ЗАБЛОКИРОВАН");
    EXPECT_EQ(texts.back(), "НЕАКТИВНО");
    EXPECT_EQ(rig.States().back().Time - pressed, 2000 * Milliseconds);
    EXPECT_FALSE(rig.Form().Player->Active());
    EXPECT_FALSE(rig.Form().Recorder->Active());
}

TEST(Repeater, ABadSquelchTextIsReportedAndNothingStarts) {
    TRig rig(CarrierOverBuffers(5, 10), Settings());
    rig.Form().edSquelch->setText("0.5x");
    Forms::Guarded([&] { rig.Form().btnTestClick(); });
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_EQ(rig.Errors()[0], "'0.5x' is not a valid floating point value");
    EXPECT_FALSE(rig.Form().Recorder->Active());
    EXPECT_TRUE(rig.Form().TestMode) << "until the next Stop";
    EXPECT_NE(uSpectrum::fSpectForm, nullptr) << "the spectrum window stays open";
    EXPECT_TRUE(rig.StateTexts().empty());
    uSpectrum::fSpectForm->close();
}

TEST(Repeater, ARefusedCaptureStartIsReportedWithTheServicesText) {
    TRig rig(CarrierOverBuffers(5, 10), Settings());
    rig.Card().FailCall(WaveCore::TCall::InOpen, 1, MMSystem::MMSYSERR_ALLOCATED);
    Forms::Guarded([&] { rig.Form().btnStartClick(); });
    ASSERT_EQ(rig.Errors().size(), 1u);
    EXPECT_EQ(rig.Errors()[0], "The device is already in use.");
    EXPECT_FALSE(rig.Form().Recorder->Active());
    EXPECT_TRUE(rig.Form().btnStart->isEnabled());
}

TEST(Repeater, APlaybackThatCannotOpenStopsCaptureSilentlyAndEmptiesTheRecording) {
    TRig rig(CarrierOverBuffers(5, 10), Settings());
    rig.Card().FailAlways(WaveCore::TCall::OutOpen, MMSystem::MMSYSERR_ALLOCATED);
    rig.Form().btnStartClick();
    rig.RunFor(3 * Seconds);
    EXPECT_TRUE(rig.Errors().empty());
    EXPECT_FALSE(rig.Form().Recorder->Active());
    EXPECT_EQ(rig.Form().RecordedBytes, 0u);
    EXPECT_EQ(rig.StateTexts().back(), "ЗАПИСЬ") << "the window keeps its last state until Stop";
    EXPECT_TRUE(rig.Form().btnStop->isEnabled());
    rig.Form().btnStopClick();
    EXPECT_EQ(rig.StateTexts().back(), "НЕАКТИВНО");
}

TEST(Repeater, AFillThatRaisesEndsThePlaybackLikeItsEndAndCaptureResumes) {
    TRig rig(CarrierOverBuffers(5, 40), Settings());
    int fills = 0;
    auto fill = rig.Form().Player->OnBufferDone;
    rig.Form().Player->OnBufferDone = [&](WaveDefs::TWaveDevice* Sender, void* Buffer,
                                          std::uint32_t& Size) {
        if (++fills == 6)
            throw std::runtime_error("fill failed");
        fill(Sender, Buffer, Size);
    };
    rig.Form().btnStartClick();
    rig.RunFor(6 * Seconds);
    auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_GE(tx.size(), 1u);
    EXPECT_EQ(tx[0].Frames, 2 * Frames) << "the two buffers that finished before the failing fill";
    EXPECT_TRUE(rig.Errors().empty());
    auto texts = rig.StateTexts();
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts[3], "ЗАБЛОКИРОВАН");
    EXPECT_EQ(texts[4], "ОЖИДАНИЕ");

    // Capture resumes with the rest of the recording still listed: the first buffer after the
    // lock (no signal) replays it, from the block after the five the failed run had taken.
    rig.RunFor(6 * Seconds);
    tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_EQ(tx[1].Frames, (35 + 11 - 5) * Frames);
    EXPECT_EQ(Sample16(tx[1].Bytes, 0, 1), TReceiver::Audio(10 * Frames));
    EXPECT_EQ(rig.StateTexts().back(), "ОЖИДАНИЕ");
    EXPECT_TRUE(rig.Form().Recorder->Active());
    EXPECT_FALSE(rig.Form().Recorder->Paused());
}

TEST(Repeater, ARefusedPauseOrFlushAtTheEndOfARecordingIsADeviceFailureAndTransmitsNothing) {
    for (const auto call : {WaveCore::TCall::InStop, WaveCore::TCall::InReset}) {
        SCOPED_TRACE(call == WaveCore::TCall::InStop ? "pause" : "flush");
        TRig rig(CarrierOverBuffers(5, 20), Settings());
        rig.Form().btnStartClick();
        rig.RunUntil([&] { return rig.Form().RecordedBytes > 10 * 2 * Frames; }, 5 * Seconds);
        // The call that would hand the recording over to playback is refused: the repeater
        // stops as after any device failure, and what capture still holds starts no replay.
        rig.Card().FailCall(call, 1, MMSystem::MMSYSERR_NOMEM);
        rig.RunFor(5 * Seconds);
        EXPECT_FALSE(rig.Form().Recorder->Active());
        EXPECT_FALSE(rig.Form().Player->Active());
        EXPECT_TRUE(rig.Card().PlayLog().empty());
        EXPECT_EQ(rig.Form().RecordedBytes, 0u);
        EXPECT_EQ(rig.Errors(), std::vector<std::string>{"Unable to allocate memory."});
        EXPECT_EQ(rig.StateTexts().back(), "НЕАКТИВНО");
        EXPECT_TRUE(rig.Form().btnStart->isEnabled());
    }
}

TEST(Repeater, CaptureThatDoesNotListenAgainAfterTheLockIsReportedAndTheWindowGoesInactive) {
    const std::vector<std::string> told{"ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН",
                                        "НЕАКТИВНО"};
    auto inactive = [](TRig& Rig) {
        EXPECT_FALSE(Rig.Form().Recorder->Active());
        EXPECT_TRUE(Rig.Form().btnStart->isEnabled());
        EXPECT_FALSE(Rig.Form().btnStop->isEnabled());
        EXPECT_EQ(Rig.Form().gLevel0->Progress(), 0);
    };
    {
        SCOPED_TRACE("the resume after the lock is refused");
        TRig rig(CarrierOverBuffers(5, 20), Settings());
        rig.Form().btnStartClick();
        rig.Card().FailCall(WaveCore::TCall::InStart, 1, MMSystem::MMSYSERR_NODRIVER);
        rig.RunFor(5 * Seconds);
        EXPECT_EQ(rig.Errors(), std::vector<std::string>{"No sound driver is present."});
        EXPECT_EQ(rig.StateTexts(), told);
        inactive(rig);
    }
    {
        SCOPED_TRACE("capture closes itself during the playback");
        TRig rig(CarrierOverBuffers(5, 20), Settings());
        // From the playback's start on, no capture buffer can be queued again.
        auto started = rig.Form().Player->OnStart;
        rig.Form().Player->OnStart = [&](WaveDefs::TWaveDevice* Sender) {
            rig.Card().FailAlways(WaveCore::TCall::InAddBuffer, MMSystem::MMSYSERR_NOMEM);
            started(Sender);
        };
        rig.Form().btnStartClick();
        rig.RunUntil([&] { return !rig.Form().Recorder->Active(); }, 5 * Seconds);
        ASSERT_EQ(rig.Form().StateText(), "ВОСПРОИЗВЕДЕНИЕ");
        rig.Card().ClearFaults();
        rig.RunFor(3 * Seconds);
        EXPECT_EQ(rig.Errors(), std::vector<std::string>{
                                    "the capture device failed: Unable to allocate memory."});
        EXPECT_EQ(rig.StateTexts(), told);
        inactive(rig);
    }
}

TEST(Repeater, ADeviceTheSoundSystemLosesStopsTheRepeaterWithItsWordsOnce) {
    {
        SCOPED_TRACE("capture, while waiting");
        TRig rig(CarrierOverBuffers(50, 20), Settings());
        rig.Form().btnStartClick();
        rig.RunFor(200 * Milliseconds);
        rig.Card().LoseStreams(WaveCore::TDirection::Capture, "PortAudio: the card is gone.");
        rig.RunFor(1 * Seconds);
        EXPECT_EQ(rig.Errors(), std::vector<std::string>{
                                    "the capture device failed: PortAudio: the card is gone."});
        EXPECT_EQ(rig.StateTexts(), (std::vector<std::string>{"ОЖИДАНИЕ", "НЕАКТИВНО"}));
        EXPECT_TRUE(rig.Form().btnStart->isEnabled());
    }
    {
        SCOPED_TRACE("playback, during a replay: it stops, the lock runs, then the repeater");
        TRig rig(CarrierOverBuffers(5, 20), Settings());
        rig.Form().btnStartClick();
        ASSERT_TRUE(rig.RunUntil([&] { return rig.Form().Player->Active(); }, 5 * Seconds));
        rig.RunFor(50 * Milliseconds);
        rig.Card().LoseStreams(WaveCore::TDirection::Playback, "PortAudio: the card is gone.");
        rig.RunFor(3 * Seconds);
        EXPECT_EQ(rig.Errors(), std::vector<std::string>{
                                    "the playback device failed: PortAudio: the card is gone."});
        EXPECT_EQ(rig.StateTexts(),
                  (std::vector<std::string>{"ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН",
                                            "НЕАКТИВНО"}));
        EXPECT_FALSE(rig.Form().Recorder->Active());
    }
}

TEST(Repeater, AStopWhoseLastBufferWouldEndTheRecordingTransmitsNothing) {
    // The eleven quiet buffers of the hold after the carrier, and part of a twelfth: the part
    // that Stop hands back would end the recording.
    TRig rig(CarrierOverBuffers(5, 20), Settings());
    rig.Form().btnStartClick();
    rig.RunFor(At(31 * Frames) + 20 * Milliseconds);
    ASSERT_GT(rig.Form().RecordedBytes, 0u);
    ASSERT_EQ(rig.StateTexts().back(), "ЗАПИСЬ");
    rig.Form().btnStopClick();
    rig.RunFor(3 * Seconds);
    EXPECT_TRUE(rig.Card().PlayLog().empty());
    EXPECT_FALSE(rig.Form().Player->Active());
    EXPECT_EQ(rig.Form().RecordedBytes, 0u);
    EXPECT_EQ(rig.StateTexts().back(), "НЕАКТИВНО");
}

TEST(Repeater, AStopClickedAsTheLockBeginsLeavesTheWindowInactiveAfterTheWholeLock) {
    TRig rig(CarrierOverBuffers(5, 20), Settings({{"LockTime", "2000"}}));
    auto stopped = rig.Form().Player->OnStop;
    TTimeNs lockEnd = 0;
    rig.Form().Player->OnStop = [&](WaveDefs::TWaveDevice* Sender) {
        // The click waits in the event queue; the lock handles it while the label repaints.
        QMetaObject::invokeMethod(
            qApp, [&] { rig.Form().btnStopClick(); }, Qt::QueuedConnection);
        stopped(Sender);
        lockEnd = rig.Card().Now();
    };
    rig.Form().btnStartClick();
    rig.RunFor(10 * Seconds);
    const auto& states = rig.States();
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states.back().Text, "НЕАКТИВНО") << "not the waiting state after the lock";
    const TState& blocked = states[states.size() - 2];
    EXPECT_EQ(blocked.Text, "ЗАБЛОКИРОВАН");
    EXPECT_EQ(lockEnd - blocked.Time, 2000 * Milliseconds) << "the lock still runs its time";
    EXPECT_FALSE(rig.Form().Recorder->Active());
    EXPECT_FALSE(rig.Form().Player->Active());
    EXPECT_TRUE(rig.Form().btnStart->isEnabled());
    EXPECT_EQ(Transmissions(rig.Card().PlayLog()).size(), 1u);
}

} // namespace
