// The service's guarantees, checked through the classic calls on the simulated card.
#include "platform/WaveCore.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include "platform/MMSystem.h"
#include "platform/SimCard.h"

using namespace MMSystem;
using SimCard::Milliseconds;
using SimCard::TClockMode;
using SimCard::TConfig;
using SimCard::TInstalledCard;
using WaveCore::TCall;
using Windows::WPARAM;

namespace {

// 16-bit stereo at 1000 Hz keeps the arithmetic readable: one frame per millisecond.
constexpr WAVEFORMATEX Format16{WAVE_FORMAT_PCM, 2, 1000, 4000, 4, 16, 0};

// A source whose left sample is the low 16 bits of the frame number and right its complement,
// so a lost, doubled or shifted frame shows.
void FrameNumbers(const WAVEFORMATEX&, std::uint64_t First, std::uint32_t Frames,
                  std::uint8_t* Dest) {
    for (std::uint32_t i = 0; i < Frames; ++i) {
        const auto v = static_cast<std::uint16_t>(First + i);
        const auto w = static_cast<std::uint16_t>(~v);
        std::memcpy(Dest + 4 * i, &v, 2);
        std::memcpy(Dest + 4 * i + 2, &w, 2);
    }
}

std::uint16_t FrameAt(const char* Data, std::size_t Frame) {
    std::uint16_t v;
    std::memcpy(&v, Data + 4 * Frame, 2);
    return v;
}

struct TNotice {
    UINT Msg;
    WPARAM Handle;
};

// A notification window that records what the service posts, and the buffers it owns.
struct TClient {
    std::vector<TNotice> Notices;
    Windows::HWND Wnd = Windows::AllocateHWnd([this](Windows::TMessage& m) {
        Notices.push_back({m.Msg, m.WParam});
    });
    std::vector<std::vector<char>> Blocks;
    std::vector<WAVEHDR> Headers;

    TClient(std::size_t Count, DWORD Size)
        : Blocks(Count, std::vector<char>(Size)), Headers(Count) {
        for (std::size_t i = 0; i < Count; ++i)
            Headers[i] = WAVEHDR{Blocks[i].data(), Size, 0, 0, 0, 0, nullptr, 0};
    }
    ~TClient() { Windows::DeallocateHWnd(Wnd); }
    DWORD_PTR Callback() const { return static_cast<DWORD_PTR>(Wnd); }
    std::vector<UINT> Messages() const {
        std::vector<UINT> m;
        for (const auto& n : Notices)
            m.push_back(n.Msg);
        return m;
    }
};

void HandlePosted() {
    while (Windows::PendingMessages() > 0)
        QCoreApplication::processEvents();
}

TConfig CardWith(TClockMode Clock) {
    TConfig config;
    config.Clock = Clock;
    config.Capture[0].Source = FrameNumbers;
    return config;
}

struct TCapture {
    TClient Client;
    HWAVEIN Handle{};
    explicit TCapture(std::size_t Count, DWORD Size) : Client(Count, Size) {}
    MMRESULT Open(UINT Device = WAVE_MAPPER) {
        return waveInOpen(&Handle, Device, &Format16, Client.Callback(), 0,
                          CALLBACK_WINDOW | WAVE_ALLOWSYNC);
    }
    void QueueAll() {
        for (auto& h : Client.Headers) {
            ASSERT_EQ(waveInPrepareHeader(Handle, &h, sizeof h), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInAddBuffer(Handle, &h, sizeof h), MMSYSERR_NOERROR);
        }
    }
    void CloseAll() {
        waveInReset(Handle);
        for (auto& h : Client.Headers)
            waveInUnprepareHeader(Handle, &h, sizeof h);
        ASSERT_EQ(waveInClose(Handle), MMSYSERR_NOERROR);
    }
};

TEST(ServiceCapture, BuffersComeBackFullInQueueOrderBetweenOpenAndClose) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(3, 400); // 100 frames each
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    ASSERT_EQ(waveInStart(capture.Handle), MMSYSERR_NOERROR);

    card->Advance(250 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(capture.Client.Messages(),
              (std::vector<UINT>{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_DATA}));
    for (int i = 0; i < 2; ++i) {
        const WAVEHDR& h = capture.Client.Headers[i];
        EXPECT_EQ(h.dwBytesRecorded, 400u);
        EXPECT_EQ(h.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
        EXPECT_EQ(FrameAt(h.lpData, 0), 100 * i);
        EXPECT_EQ(FrameAt(h.lpData, 99), 100 * i + 99);
    }
    EXPECT_NE(capture.Client.Headers[2].dwFlags & WHDR_INQUEUE, 0u);

    capture.CloseAll();
    HandlePosted();
    const auto messages = capture.Client.Messages();
    EXPECT_EQ(messages.back(), MM_WIM_CLOSE);
    EXPECT_EQ(messages.size(), 5u); // the reset returned the third buffer before the close
}

TEST(ServiceCapture, StopReturnsThePartlyFilledBufferWithItsExactBytesAndKeepsTheRest) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(3, 400);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    waveInStart(capture.Handle);
    card->Advance(137 * Milliseconds); // one full buffer and 37 frames of the next
    ASSERT_EQ(waveInStop(capture.Handle), MMSYSERR_NOERROR);
    HandlePosted();
    EXPECT_EQ(capture.Client.Headers[1].dwBytesRecorded, 37u * 4);
    EXPECT_EQ(FrameAt(capture.Client.Headers[1].lpData, 36), 136);
    EXPECT_NE(capture.Client.Headers[2].dwFlags & WHDR_INQUEUE, 0u);
    EXPECT_EQ(capture.Client.Headers[2].dwBytesRecorded, 0u);

    // Stopped, the input runs on and is lost; a restart fills from the new moment.
    card->Advance(500 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(capture.Client.Notices.size(), 3u);
    waveInStart(capture.Handle);
    card->Advance(100 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(FrameAt(capture.Client.Headers[2].lpData, 0), 637);
    capture.CloseAll();
}

TEST(ServiceCapture, AudioArrivingWithNoBufferQueuedIsLostAndTheNextBufferStartsNow) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(1, 400);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    waveInStart(capture.Handle);
    card->Advance(300 * Milliseconds);
    WAVEHDR& h = capture.Client.Headers[0];
    EXPECT_EQ(FrameAt(h.lpData, 0), 0);
    waveInAddBuffer(capture.Handle, &h, sizeof h);
    card->Advance(100 * Milliseconds);
    EXPECT_EQ(FrameAt(h.lpData, 0), 300);
    capture.CloseAll();
}

TEST(ServiceCapture, ResetReturnsEveryQueuedBufferInOrderAndCloseRefusesWhileAnyIsQueued) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(4, 400);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    waveInStart(capture.Handle);
    card->Advance(50 * Milliseconds);
    EXPECT_EQ(waveInClose(capture.Handle), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(capture.Handle), MMSYSERR_NOERROR);
    for (const auto& header : capture.Client.Headers)
        EXPECT_EQ(header.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_EQ(capture.Client.Headers[0].dwBytesRecorded, 200u);
    EXPECT_EQ(capture.Client.Headers[1].dwBytesRecorded, 0u);
    HandlePosted();
    EXPECT_EQ(capture.Client.Notices.size(), 5u);
    for (const auto& notice : capture.Client.Notices)
        EXPECT_EQ(notice.Handle, static_cast<WPARAM>(capture.Handle));
    capture.CloseAll();
}

TEST(ServiceCapture, ALostStreamReturnsItsBuffersAndRefusesNewOnesInTheSoundSystemsWords) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(3, 400);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    waveInStart(capture.Handle);
    card->Advance(150 * Milliseconds);
    card->LoseStreams(WaveCore::TDirection::Capture, "PortAudio: the card is gone.");
    HandlePosted();
    EXPECT_EQ(capture.Client.Messages(),
              (std::vector<UINT>{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_DATA}));
    EXPECT_EQ(capture.Client.Headers[1].dwBytesRecorded, 200u); // what it held
    EXPECT_EQ(capture.Client.Headers[2].dwBytesRecorded, 0u);

    WAVEHDR& h = capture.Client.Headers[0];
    const MMRESULT refused = waveInAddBuffer(capture.Handle, &h, sizeof h);
    WCHAR text[MAXERRORLENGTH]{};
    waveInGetErrorTextW(refused, text, MAXERRORLENGTH);
    EXPECT_EQ(std::u16string(text), u"PortAudio: the card is gone.");
    EXPECT_EQ(waveInStart(capture.Handle), refused);
    card->Advance(500 * Milliseconds); // and nothing more arrives
    HandlePosted();
    EXPECT_EQ(capture.Client.Notices.size(), 4u);
    capture.CloseAll();
}

TEST(ServiceCalls, RefuseWhatTheyCannotServeWithTheirCodes) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(1, 400);
    WAVEFORMATEX bad = Format16;
    bad.wBitsPerSample = 24;
    EXPECT_EQ(waveInOpen(&capture.Handle, 0, &bad, capture.Client.Callback(), 0, CALLBACK_WINDOW),
              WAVERR_BADFORMAT);
    EXPECT_EQ(capture.Open(7), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&capture.Handle, 0, &Format16, capture.Client.Callback(), 0, 0x00030000),
              MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveInStart(HWAVEIN{12345}), MMSYSERR_INVALHANDLE);

    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    WAVEHDR& h = capture.Client.Headers[0];
    EXPECT_EQ(waveInAddBuffer(capture.Handle, &h, sizeof h), WAVERR_UNPREPARED);
    waveInPrepareHeader(capture.Handle, &h, sizeof h);
    waveInAddBuffer(capture.Handle, &h, sizeof h);
    EXPECT_EQ(waveInAddBuffer(capture.Handle, &h, sizeof h), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(capture.Handle, &h, sizeof h), WAVERR_STILLPLAYING);
    // A playback handle is not a capture handle.
    EXPECT_EQ(waveOutPause(HWAVEOUT{static_cast<std::uintptr_t>(capture.Handle)}),
              MMSYSERR_INVALHANDLE);
    capture.CloseAll();
    EXPECT_EQ(waveInClose(capture.Handle), MMSYSERR_INVALHANDLE);
}

TEST(ServiceCalls, ErrorTextsServeEveryCodeAndDetailedBackendCodes) {
    WCHAR text[MAXERRORLENGTH];
    for (MMRESULT code : {MMSYSERR_NOMEM, WAVERR_BADFORMAT, MMSYSERR_BADDEVICEID}) {
        ASSERT_EQ(waveInGetErrorTextW(code, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
        EXPECT_GT(std::u16string(text).size(), 10u);
    }
    EXPECT_EQ(waveInGetErrorTextW(999, text, MAXERRORLENGTH), MMSYSERR_BADERRNUM);
    const MMRESULT detailed =
        WaveCore::TWaveCore::Instance().ErrorWithDetail(MMSYSERR_ERROR, "(Device unavailable)");
    ASSERT_EQ(waveInGetErrorTextW(detailed, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
    EXPECT_NE(std::u16string(text).find(u"Device unavailable"), std::u16string::npos);
    EXPECT_EQ(
        WaveCore::TWaveCore::Instance().ErrorWithDetail(MMSYSERR_ERROR, "(Device unavailable)"),
        detailed);
    WCHAR small[6];
    ASSERT_EQ(waveInGetErrorTextW(MMSYSERR_NOMEM, small, 6), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(small).size(), 5u);
}

TEST(ServiceCalls, AnInjectedFaultFailsTheKthUseOnlyAndDoesNothing) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TCapture capture(3, 400);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    for (auto& h : capture.Client.Headers)
        waveInPrepareHeader(capture.Handle, &h, sizeof h);
    card->FailCall(TCall::InAddBuffer, 2, MMSYSERR_NOMEM);
    auto& h = capture.Client.Headers;
    EXPECT_EQ(waveInAddBuffer(capture.Handle, &h[0], sizeof h[0]), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(capture.Handle, &h[1], sizeof h[1]), MMSYSERR_NOMEM);
    EXPECT_EQ(h[1].dwFlags & WHDR_INQUEUE, 0u);
    EXPECT_EQ(waveInAddBuffer(capture.Handle, &h[2], sizeof h[2]), MMSYSERR_NOERROR);
    EXPECT_EQ(card->Uses(TCall::InAddBuffer), 3u);
    card->FailAlways(TCall::InGetDevCaps, MMSYSERR_NODRIVER);
    WAVEINCAPSW caps;
    EXPECT_EQ(waveInGetDevCapsW(0, &caps, sizeof caps), MMSYSERR_NODRIVER);
    card->ClearFaults();
    EXPECT_EQ(waveInGetDevCapsW(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    capture.CloseAll();
}

TEST(ServiceCalls, CapabilitiesNameTheDevicesAndAMapperStandsInWhenThereIsNone) {
    TConfig config;
    config.Capture[0].Name = "A receiver with a rather long name beyond the field";
    config.Capture[0].Formats = WAVE_FORMAT_4S16;
    config.Playback.clear();
    TInstalledCard card(config);
    WAVEINCAPSW in;
    ASSERT_EQ(waveInGetDevCapsW(WAVE_MAPPER, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(in.szPname), u"A receiver with a rather long n");
    EXPECT_EQ(in.dwFormats, WAVE_FORMAT_4S16);

    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    WAVEOUTCAPSW out;
    ASSERT_EQ(waveOutGetDevCapsW(WAVE_MAPPER, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(out.dwFormats, WAVE_FORMAT_ALL_STANDARD);
    EXPECT_EQ(waveOutGetDevCapsW(0, &out, sizeof out), MMSYSERR_BADDEVICEID);
    TClient client(1, 400);
    HWAVEOUT handle{};
    EXPECT_EQ(waveOutOpen(&handle, WAVE_MAPPER, &Format16, client.Callback(), 0, CALLBACK_WINDOW),
              MMSYSERR_BADDEVICEID);
}

// ---- playback

struct TPlayback {
    TClient Client;
    HWAVEOUT Handle{};
    TPlayback(std::size_t Count, DWORD Size) : Client(Count, Size) {
        for (std::size_t i = 0; i < Count; ++i)
            for (DWORD f = 0; f < Size / 4; ++f) {
                const auto v = static_cast<std::uint16_t>(1000 * (i + 1) + f);
                std::memcpy(Client.Blocks[i].data() + 4 * f, &v, 2);
                const auto w = static_cast<std::uint16_t>(-static_cast<int>(v));
                std::memcpy(Client.Blocks[i].data() + 4 * f + 2, &w, 2);
            }
    }
    MMRESULT Open() {
        return waveOutOpen(&Handle, 0, &Format16, Client.Callback(), 0,
                           CALLBACK_WINDOW | WAVE_ALLOWSYNC);
    }
    MMRESULT Write(std::size_t I) {
        WAVEHDR& h = Client.Headers[I];
        if ((h.dwFlags & WHDR_PREPARED) == 0)
            waveOutPrepareHeader(Handle, &h, sizeof h);
        return waveOutWrite(Handle, &h, sizeof h);
    }
    void Close() {
        waveOutReset(Handle);
        for (auto& h : Client.Headers)
            waveOutUnprepareHeader(Handle, &h, sizeof h);
        ASSERT_EQ(waveOutClose(Handle), MMSYSERR_NOERROR);
    }
};

TEST(ServicePlayback, EachBufferPlaysExactlyItsLengthBackToBackFromTheWrite) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TPlayback play(3, 400);
    ASSERT_EQ(play.Open(), MMSYSERR_NOERROR);
    card->Advance(20 * Milliseconds);
    play.Client.Headers[1].dwBufferLength = 200; // a short buffer plays only its length
    for (std::size_t i = 0; i < 3; ++i)
        ASSERT_EQ(play.Write(i), MMSYSERR_NOERROR);
    card->Advance(149 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(play.Client.Notices.size(), 2u); // open, first done at 120 ms; second due at 170
    card->Advance(1 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(play.Client.Notices.size(), 3u);
    card->Advance(100 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(play.Client.Messages(),
              (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_DONE}));

    const auto log = card->PlayLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].Time, 20 * Milliseconds);
    EXPECT_EQ(log[1].Time, 120 * Milliseconds);
    EXPECT_EQ(log[2].Time, 170 * Milliseconds);
    EXPECT_EQ(log[1].Bytes.size(), 200u);
    EXPECT_EQ(std::vector<char>(log[0].Bytes.begin(), log[0].Bytes.end()), play.Client.Blocks[0]);

    // Idle again: the next write starts at its own time.
    card->Advance(30 * Milliseconds);
    play.Client.Headers[0].dwFlags &= ~WHDR_DONE;
    play.Write(0);
    card->Advance(100 * Milliseconds);
    EXPECT_EQ(card->PlayLog().back().Time, 300 * Milliseconds);
    play.Close();
}

TEST(ServicePlayback, PauseKeepsTheQueueAndResumesWhereItStopped) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TPlayback play(2, 400);
    ASSERT_EQ(play.Open(), MMSYSERR_NOERROR);
    play.Write(0);
    play.Write(1);
    card->Advance(40 * Milliseconds);
    ASSERT_EQ(waveOutPause(play.Handle), MMSYSERR_NOERROR);
    card->Advance(1000 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(play.Client.Notices.size(), 1u);
    ASSERT_EQ(waveOutRestart(play.Handle), MMSYSERR_NOERROR);
    card->Advance(60 * Milliseconds);
    HandlePosted();
    EXPECT_EQ(play.Client.Notices.size(), 2u);
    const auto log = card->PlayLog();
    ASSERT_EQ(log.size(), 2u); // the first buffer in two stretches around the pause
    EXPECT_EQ(log[0].Bytes.size() + log[1].Bytes.size(), 400u);
    EXPECT_EQ(log[1].Time, 1040 * Milliseconds);
    play.Close();
}

TEST(ServicePlayback, ResetReturnsEveryWrittenBufferUnplayed) {
    TInstalledCard card(CardWith(TClockMode::Manual));
    TPlayback play(3, 400);
    ASSERT_EQ(play.Open(), MMSYSERR_NOERROR);
    for (std::size_t i = 0; i < 3; ++i)
        play.Write(i);
    card->Advance(50 * Milliseconds);
    ASSERT_EQ(waveOutReset(play.Handle), MMSYSERR_NOERROR);
    for (const auto& h : play.Client.Headers)
        EXPECT_EQ(h.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    HandlePosted();
    EXPECT_EQ(play.Client.Notices.size(), 4u);
    const auto log = card->PlayLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Bytes.size(), 200u);
    card->Advance(1000 * Milliseconds);
    EXPECT_EQ(card->PlayLog().size(), 1u);
    play.Close();
}

std::int16_t Sample(const std::vector<std::uint8_t>& Bytes, std::size_t Index) {
    std::int16_t v;
    std::memcpy(&v, Bytes.data() + 2 * Index, 2);
    return v;
}

TEST(ServicePlayback, VolumeIsOneValueLeftLowRightHighAndScalesThePlayedSamples) {
    TConfig config = CardWith(TClockMode::Manual);
    config.Playback.resize(2);
    config.Playback[1].Support = WAVECAPS_VOLUME; // one volume for both channels
    TInstalledCard card(config);
    DWORD volume = 0;
    ASSERT_EQ(waveOutGetVolume(HWAVEOUT{0}, &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0xFFFFFFFFu);
    ASSERT_EQ(waveOutSetVolume(HWAVEOUT{0}, 0x8000FFFF), MMSYSERR_NOERROR);

    TPlayback play(1, 400);
    ASSERT_EQ(play.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutGetVolume(play.Handle, &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x8000FFFFu);
    play.Write(0);
    card->Advance(100 * Milliseconds);
    const auto log = card->PlayLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(Sample(log[0].Bytes, 0), 1000);                  // left at full volume
    EXPECT_EQ(Sample(log[0].Bytes, 1), -1000 * 32768 / 65535); // right at half
    play.Close();

    ASSERT_EQ(waveOutSetVolume(HWAVEOUT{1}, 0x0000FFFF), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutGetVolume(HWAVEOUT{2}, &volume), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetPitch(HWAVEOUT{0}, &volume), MMSYSERR_INVALHANDLE);
}

// ---- the clocks

TEST(ServiceClocks, TheFastClockRunsAsSoonAsTheMainLoopWouldWait) {
    TInstalledCard card(CardWith(TClockMode::Fast));
    TCapture capture(2, 4000); // one second each
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    waveInStart(capture.Handle);
    // Nothing but the main loop is running: each buffer is handed back and queued again.
    int delivered = 0;
    for (int spins = 0; delivered < 60 && spins < 100000; ++spins) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        for (auto& h : capture.Client.Headers)
            if ((h.dwFlags & WHDR_DONE) != 0) {
                ++delivered;
                waveInAddBuffer(capture.Handle, &h, sizeof h);
            }
    }
    EXPECT_EQ(delivered, 60);
    EXPECT_GE(card->Now(), 60 * SimCard::Seconds);
    capture.CloseAll();
}

TEST(ServiceClocks, SleepMovesSimulatedTimeOnTheManualAndFastClocks) {
    for (TClockMode mode : {TClockMode::Manual, TClockMode::Fast}) {
        TInstalledCard card(CardWith(mode));
        const auto before = card->Now();
        Windows::Sleep(500);
        EXPECT_EQ(card->Now() - before, 500 * Milliseconds);
        EXPECT_EQ(Windows::ClockNs(), card->Now());
    }
}

TEST(ServiceClocks, TheRealTimeClockDeliversOnItsOwnThreadAtTheWallClocksPace) {
    TInstalledCard card(CardWith(TClockMode::RealTime));
    // 50 ms each; a deep ring, so that a test machine busy for a moment loses nothing.
    constexpr std::size_t Ring = 8;
    TCapture capture(Ring, 200);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    capture.QueueAll();
    waveInStart(capture.Handle);
    int expected = -1;
    bool inOrder = true;
    int delivered = 0;
    while (delivered < 6) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        for (std::size_t i = 0; i < Ring; ++i) {
            auto& h = capture.Client.Headers[static_cast<std::size_t>(delivered) % Ring];
            if ((h.dwFlags & WHDR_DONE) == 0)
                break;
            inOrder = inOrder && (expected < 0 || FrameAt(h.lpData, 0) == expected);
            expected = static_cast<std::uint16_t>(FrameAt(h.lpData, 49) + 1);
            ++delivered;
            waveInAddBuffer(capture.Handle, &h, sizeof h);
        }
    }
    EXPECT_TRUE(inOrder);
    EXPECT_GE(card->Now(), 300 * Milliseconds);
    EXPECT_LT(card->Now(), 3000 * Milliseconds);
    capture.CloseAll();
}

// Opens, queues, resets and closes many times while buffers complete on the card's thread: every
// queued buffer must come back exactly once, and the sanitizers watch for races and leaks.
TEST(ServiceClocks, StressOpenQueueResetCloseWhileTheBackendThreadCompletes) {
    TInstalledCard card(CardWith(TClockMode::RealTime));
    for (int round = 0; round < 60; ++round) {
        TCapture capture(4, 40); // 10 ms buffers: several complete during a round
        TPlayback play(4, 40);
        ASSERT_EQ(capture.Open(0), MMSYSERR_NOERROR);
        ASSERT_EQ(play.Open(), MMSYSERR_NOERROR);
        capture.QueueAll();
        waveInStart(capture.Handle);
        for (std::size_t i = 0; i < 4; ++i)
            play.Write(i);
        QCoreApplication::processEvents(QEventLoop::AllEvents, round % 7);
        capture.CloseAll();
        play.Close();
        HandlePosted();
        for (TClient* client : {&capture.Client, &play.Client}) {
            const auto m = client->Messages();
            ASSERT_EQ(m.size(), 6u) << "round " << round;
            EXPECT_EQ(m.front() & 0xFFF, client == &capture.Client ? MM_WIM_OPEN : MM_WOM_OPEN);
            EXPECT_EQ(m.back(), client == &capture.Client ? MM_WIM_CLOSE : MM_WOM_CLOSE);
        }
    }
}

} // namespace
