// The PortAudio backend against a real sound server, through the classic service calls: the
// devices it finds, the errors it reports, and audio that reaches the server and comes from it
// sample for sample.
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/MMSystem.h"
#include "platform/PaBackend.h"
#include "tests/rig/RigSupport.h"

using namespace MMSystem;
using namespace RigSupport;

namespace {

constexpr std::uint32_t Rate = 48000;

WAVEFORMATEX Stereo(std::uint32_t SampleRate, WORD Bits) {
    const auto align = static_cast<WORD>(2 * Bits / 8);
    return WAVEFORMATEX{WAVE_FORMAT_PCM, 2, SampleRate, SampleRate * align, align, Bits, 0};
}

std::u16string ErrorText(MMRESULT Code) {
    WCHAR text[MAXERRORLENGTH]{};
    waveInGetErrorTextW(Code, text, MAXERRORLENGTH);
    return text;
}

// A notification window with a ring of buffers, as a device has.
struct TBuffers {
    std::vector<UINT> Messages;
    std::function<void(UINT)> OnMessage;
    Windows::HWND Wnd = Windows::AllocateHWnd([this](Windows::TMessage& m) {
        Messages.push_back(m.Msg);
        if (OnMessage)
            OnMessage(m.Msg);
    });
    std::vector<std::vector<char>> Blocks;
    std::vector<WAVEHDR> Headers;
    std::size_t Next = 0; // the buffer the next notification is about

    TBuffers(std::size_t Count, DWORD Size)
        : Blocks(Count, std::vector<char>(Size)), Headers(Count) {
        for (std::size_t i = 0; i < Count; ++i)
            Headers[i] = WAVEHDR{Blocks[i].data(), Size, 0, 0, 0, 0, nullptr, 0};
    }
    ~TBuffers() { Windows::DeallocateHWnd(Wnd); }
    DWORD_PTR Callback() const { return static_cast<DWORD_PTR>(Wnd); }
    bool Got(UINT Msg) const {
        return std::find(Messages.begin(), Messages.end(), Msg) != Messages.end();
    }
};

// Capture into a growing record of everything the buffers brought back.
struct TRawCapture {
    TBuffers Buffers;
    HWAVEIN Handle{};
    std::vector<std::uint8_t> Recorded;
    bool Requeue = true;

    TRawCapture(std::size_t Count, DWORD Size) : Buffers(Count, Size) {
        Buffers.OnMessage = [this](UINT Msg) {
            if (Msg != MM_WIM_DATA)
                return;
            WAVEHDR& h = Buffers.Headers[Buffers.Next];
            Buffers.Next = (Buffers.Next + 1) % Buffers.Headers.size();
            Recorded.insert(Recorded.end(), h.lpData, h.lpData + h.dwBytesRecorded);
            if (Requeue)
                waveInAddBuffer(Handle, &h, sizeof h);
        };
    }
    MMRESULT Open(UINT Device, const WAVEFORMATEX& Format) {
        MMRESULT r = waveInOpen(&Handle, Device, &Format, Buffers.Callback(), 0,
                                CALLBACK_WINDOW | WAVE_ALLOWSYNC);
        if (r != MMSYSERR_NOERROR)
            return r;
        for (auto& h : Buffers.Headers) {
            if ((r = waveInPrepareHeader(Handle, &h, sizeof h)) != MMSYSERR_NOERROR ||
                (r = waveInAddBuffer(Handle, &h, sizeof h)) != MMSYSERR_NOERROR)
                return r;
        }
        return waveInStart(Handle);
    }
    void Close() {
        waveInStop(Handle);
        PumpUntil([&] { return Windows::PendingMessages() == 0; }, 1000);
        Requeue = false;
        waveInReset(Handle);
        for (auto& h : Buffers.Headers)
            waveInUnprepareHeader(Handle, &h, sizeof h);
        ASSERT_EQ(waveInClose(Handle), MMSYSERR_NOERROR);
        EXPECT_TRUE(PumpUntil([&] { return Buffers.Got(MM_WIM_CLOSE); }, 2000));
    }
};

// Playback of one block of bytes through a ring of buffers, refilled as each comes back.
struct TRawPlayback {
    TBuffers Buffers;
    HWAVEOUT Handle{};
    const std::vector<std::uint8_t>* Data = nullptr;
    std::size_t Offset = 0;
    std::size_t Written = 0;
    std::size_t Done = 0;

    TRawPlayback(std::size_t Count, DWORD Size) : Buffers(Count, Size) {
        Buffers.OnMessage = [this](UINT Msg) {
            if (Msg != MM_WOM_DONE)
                return;
            ++Done;
            WAVEHDR& h = Buffers.Headers[Buffers.Next];
            Buffers.Next = (Buffers.Next + 1) % Buffers.Headers.size();
            if (Data != nullptr)
                Fill(h);
        };
    }
    MMRESULT Open(UINT Device, const WAVEFORMATEX& Format) {
        MMRESULT r = waveOutOpen(&Handle, Device, &Format, Buffers.Callback(), 0,
                                 CALLBACK_WINDOW | WAVE_ALLOWSYNC);
        if (r != MMSYSERR_NOERROR)
            return r;
        for (auto& h : Buffers.Headers)
            if ((r = waveOutPrepareHeader(Handle, &h, sizeof h)) != MMSYSERR_NOERROR)
                return r;
        return MMSYSERR_NOERROR;
    }
    void Play(const std::vector<std::uint8_t>& Bytes) {
        Data = &Bytes;
        for (auto& h : Buffers.Headers)
            Fill(h);
    }
    void Fill(WAVEHDR& H) {
        const std::size_t n =
            std::min<std::size_t>(Buffers.Blocks[0].size(), Data->size() - Offset);
        if (n == 0)
            return;
        std::memcpy(H.lpData, Data->data() + Offset, n);
        H.dwBufferLength = static_cast<DWORD>(n);
        Offset += n;
        ASSERT_EQ(waveOutWrite(Handle, &H, sizeof H), MMSYSERR_NOERROR);
        ++Written;
    }
    bool Finished() const { return Data != nullptr && Offset == Data->size() && Done == Written; }
    void Close() {
        waveOutReset(Handle);
        for (auto& h : Buffers.Headers)
            waveOutUnprepareHeader(Handle, &h, sizeof h);
        ASSERT_EQ(waveOutClose(Handle), MMSYSERR_NOERROR);
        EXPECT_TRUE(PumpUntil([&] { return Buffers.Got(MM_WOM_CLOSE); }, 2000));
    }
};

std::vector<std::uint8_t> Bytes(const std::vector<std::int16_t>& Samples) {
    std::vector<std::uint8_t> bytes(2 * Samples.size());
    std::memcpy(bytes.data(), Samples.data(), bytes.size());
    return bytes;
}

class PortAudioRig : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string reason = SkipReason(); !reason.empty())
            GTEST_SKIP() << reason;
        FPortAudio = std::make_unique<PaBackend::TInstalledPortAudio>();
    }
    std::unique_ptr<PaBackend::TInstalledPortAudio> FPortAudio;
};

// 8-bit or 16-bit: what travels at 8 bits is compared at 8-bit precision.
class PortAudioRigWidth : public PortAudioRig, public ::testing::WithParamInterface<WORD> {
protected:
    // The reference as it arrives after the trip at the tested width.
    static std::vector<std::int16_t> AtWidth(const std::vector<std::int16_t>& Reference) {
        if (GetParam() == 16)
            return Reference;
        const std::vector<std::uint8_t> narrow = To8Bit(Reference);
        return From8Bit(narrow.data(), narrow.size());
    }
};

TEST_F(PortAudioRig, ListsTheServersDevicesWithWhatPortAudioSaysTheySupport) {
    const int rx = CaptureDevice(u"rx_cap");
    const int txMonitor = CaptureDevice(u"tx_mon");
    const int tx = PlaybackDevice(u"tx_play");
    ASSERT_GE(rx, 0);
    ASSERT_GE(txMonitor, 0);
    ASSERT_GE(tx, 0);

    WAVEINCAPSW in{};
    ASSERT_EQ(waveInGetDevCapsW(static_cast<UINT>(rx), &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(in.dwFormats, WAVE_FORMAT_ALL_STANDARD);
    EXPECT_EQ(in.wChannels, 2);
    WAVEOUTCAPSW out{};
    ASSERT_EQ(waveOutGetDevCapsW(static_cast<UINT>(tx), &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(out.dwFormats, WAVE_FORMAT_ALL_STANDARD);
    EXPECT_EQ(out.dwSupport, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME);

    // Every PCM of the server claims inputs and outputs, but the server has no source named tx:
    // asked, PortAudio says no format works, and the flags say so.
    const int txAsInput = CaptureDevice(u"tx_play");
    ASSERT_GE(txAsInput, 0);
    ASSERT_EQ(waveInGetDevCapsW(static_cast<UINT>(txAsInput), &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(in.dwFormats, 0u);

    // The mapper is PortAudio's default device.
    ASSERT_EQ(waveInGetDevCapsW(WAVE_MAPPER, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(in.szPname), u"default");
    ASSERT_EQ(waveOutGetDevCapsW(WAVE_MAPPER, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(out.szPname), u"default");
    EXPECT_EQ(FPortAudio->Backend().PortAudioDevice(WaveCore::TDirection::Capture, WAVE_MAPPER),
              FPortAudio->Backend().PortAudioDevice(WaveCore::TDirection::Capture,
                                                    static_cast<UINT>(CaptureDevice(u"default"))));
}

TEST_F(PortAudioRig, AnOpenThatPortAudioRefusesFailsWithPortAudiosWords) {
    const int txAsInput = CaptureDevice(u"tx_play");
    ASSERT_GE(txAsInput, 0);
    TRawCapture capture(2, 4800);
    const MMRESULT r = capture.Open(static_cast<UINT>(txAsInput), Stereo(Rate, 16));
    ASSERT_NE(r, MMSYSERR_NOERROR);
    EXPECT_NE(ErrorText(r).find(u"PortAudio: "), std::u16string::npos);
    EXPECT_FALSE(capture.Buffers.Got(MM_WIM_OPEN));
}

TEST_P(PortAudioRigWidth, CapturesAFilePlayedIntoRxSampleForSample) {
    const std::vector<std::int16_t> reference = Noise(Rate, 0, 11);
    WriteWav(RigPath("noise.wav"), reference, Rate);
    const int rx = CaptureDevice(u"rx_cap");
    ASSERT_GE(rx, 0);

    TRawCapture capture(8, 4800);
    ASSERT_EQ(capture.Open(static_cast<UINT>(rx), Stereo(Rate, GetParam())), MMSYSERR_NOERROR);
    PumpFor(200);
    ASSERT_EQ(RigSupport::Run("paplay", {"-d", "rx", RigPath("noise.wav")}, 10000), 0);
    // The noise has left paplay; 300 ms more of capture holds the way through the server,
    // however late the machine delivers it.
    const std::size_t captured = capture.Recorded.size();
    ASSERT_TRUE(PumpUntil(
        [&] { return capture.Recorded.size() >= captured + 3 * Rate / 10 * 2 * GetParam() / 8; },
        5000));
    capture.Close();

    const std::vector<std::int16_t> recorded =
        GetParam() == 16 ? From16Bit(capture.Recorded.data(), capture.Recorded.size() / 2)
                         : From8Bit(capture.Recorded.data(), capture.Recorded.size());
    const std::vector<std::int16_t> expected = AtWidth(reference);
    const long at = FindExact(recorded, expected);
    ASSERT_GE(at, 0) << "the played noise is not in the capture";
    ASSERT_GE(recorded.size(), 2 * static_cast<std::size_t>(at) + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), recorded.begin() + 2 * at));
    const PaBackend::TStatistics s = FPortAudio->Backend().Statistics();
    EXPECT_EQ(s.LostCaptureBytes, 0u);
    EXPECT_EQ(s.Overflows, 0u);
}

TEST_P(PortAudioRigWidth, PlaysIntoTxSampleForSampleToTheLastBeforeItReportsTheClose) {
    const std::vector<std::int16_t> reference = Noise(Rate, 1, 23);
    const std::vector<std::uint8_t> bytes = GetParam() == 16 ? Bytes(reference) : To8Bit(reference);
    const int tx = PlaybackDevice(u"tx_play");
    ASSERT_GE(tx, 0);

    TRecording recording("tx.monitor", RigPath("tx.raw"));
    ASSERT_TRUE(recording.WaitRunning(5000));
    TRawPlayback playback(4, GetParam() == 16 ? 9600 : 4800); // 50 ms each
    ASSERT_EQ(playback.Open(static_cast<UINT>(tx), Stereo(Rate, GetParam())), MMSYSERR_NOERROR);
    playback.Play(bytes);
    ASSERT_TRUE(PumpUntil([&] { return playback.Finished(); }, 10000));
    // Closed the moment the last buffer is done: nothing may be cut off.
    playback.Close();
    ASSERT_TRUE(recording.RecordMore(0.2, 5000));
    const std::vector<std::int16_t> recorded = recording.Finish();

    const std::vector<std::int16_t> expected = AtWidth(reference);
    const long at = FindExact(recorded, expected);
    ASSERT_GE(at, 0) << "the played noise is not in the recording";
    ASSERT_GE(recorded.size(), 2 * static_cast<std::size_t>(at) + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), recorded.begin() + 2 * at));
    EXPECT_EQ(FPortAudio->Backend().Statistics().Underflows, 0u);
}

INSTANTIATE_TEST_SUITE_P(Widths, PortAudioRigWidth, ::testing::Values(WORD{8}, WORD{16}),
                         [](const auto& Info) { return std::to_string(Info.param) + "bit"; });

TEST_F(PortAudioRig, AfterAResetABufferIsDoneOnlyOnceTheStreamHasTakenIt) {
    const int tx = PlaybackDevice(u"tx_play");
    ASSERT_GE(tx, 0);
    const std::vector<std::uint8_t> tone = Bytes(Chirp(Rate / 5, Rate, 440, 440, 0.3, 0));
    TRawPlayback playback(3, static_cast<DWORD>(tone.size()));
    ASSERT_EQ(playback.Open(static_cast<UINT>(tx), Stereo(Rate, 16)), MMSYSERR_NOERROR);
    for (auto& h : playback.Buffers.Headers) {
        std::memcpy(h.lpData, tone.data(), tone.size());
        ASSERT_EQ(waveOutWrite(playback.Handle, &h, sizeof h), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(PumpUntil([&] { return playback.Done >= 1; }, 5000));
    // Mid-way through the second buffer: what was handed out but not yet heard is forgotten.
    PumpFor(100);
    ASSERT_EQ(waveOutReset(playback.Handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(PumpUntil([&] { return playback.Done == 3; }, 1000));

    // 20 ms of audio is done only once the stream has taken it, which paces at the card's rate.
    WAVEHDR& h = playback.Buffers.Headers[0];
    h.dwBufferLength = Rate / 50 * 4;
    const auto written = std::chrono::steady_clock::now();
    ASSERT_EQ(waveOutWrite(playback.Handle, &h, sizeof h), MMSYSERR_NOERROR);
    ASSERT_TRUE(PumpUntil([&] { return playback.Done == 4; }, 5000));
    // Done at once would take well under a millisecond; paced, half the buffer at least.
    EXPECT_GE(std::chrono::steady_clock::now() - written, std::chrono::milliseconds(5));
    playback.Close();
}

} // namespace
