// The device base on a minimal device whose open and close are notifications it posts itself.
#include <cstring>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "platform/SimCard.h"
#include "toolkit/SysUtils.h"
#include "wave/WaveDevice.h"

using namespace WaveDefs;
using namespace MMSystem;

namespace {

class TTestDevice final : public TWaveDevice {
public:
    int BufferDoneCalls = 0;

    TTestDevice() { CompleteConstruction(waveOutGetNumDevs()); }
    ~TTestDevice() override { Stop(); }

    void SetDeviceID(UINT Value) override {
        if (Value == FDeviceID)
            return;
        WAVEOUTCAPSW caps;
        if (MMRESULT r = waveOutGetDevCapsW(Value, &caps, sizeof caps))
            throw SysUtils::Exception(ErrorText(r));
        FFormats = CapsToFormats(caps.dwFormats);
        FDeviceID = Value;
        SelectDefaultFormat();
    }
    TWaveFormats GetSupportedFormats() override { return FFormats; }
    void Start() override {
        Windows::PostMessageW(Window(), MM_WOM_OPEN, 0, 0);
        WaitActive();
    }
    void Stop() override {
        if (!FActive)
            return;
        Windows::PostMessageW(Window(), MM_WOM_CLOSE, 0, 0);
        WaitInactive();
    }
    void Pause() override { DoPause(); }
    void Resume() override { DoResume(); }
    void Post(UINT Msg) { Windows::PostMessageW(Window(), Msg, 0, 0); }
    int Drain() { return ProcessDeviceMessages(); }
    using TWaveDevice::ErrorText;
    using TWaveDevice::Headers;

protected:
    void DoBufferDone() override { ++BufferDoneCalls; }

private:
    TWaveFormats FFormats;
};

SimCard::TConfig TwoOutputs() {
    SimCard::TConfig config;
    config.Playback.resize(2);
    config.Playback[0].Formats = WAVE_FORMAT_4S16 | WAVE_FORMAT_1M08 | WAVE_FORMAT_96S16;
    config.Playback[1].Formats = WAVE_FORMAT_4S16 | WAVE_FORMAT_48S16;
    return config;
}

std::string MessageOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const SysUtils::Exception& e) {
        return e.Message();
    }
    return "";
}

const std::string BufferSizeMessage =
    "BufferSize value must be between 256 bytes for each channel and 2147483648 bytes total, "
    "and must be multiply by sum of sample sizes for all channels";

TEST(DeviceBase, ConstructionSelectsTheMappersLowestFormatAndTwoBuffers) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    EXPECT_EQ(device.DeviceID(), WAVE_MAPPER);
    EXPECT_EQ(device.Format(), TWaveFormat::wf11025mono8);
    EXPECT_EQ(device.Buffers(), 2);
    EXPECT_EQ(device.BufferSize(), 8192u);
    EXPECT_FALSE(device.Active());
    EXPECT_EQ(device.SamplesPerSec(), 11025u);
    EXPECT_EQ(device.BitsPerSample(), 8);
    for (const auto& h : device.Headers())
        EXPECT_EQ(h.dwBufferLength, 8192u);

    // Choosing another device resets the format to its lowest, though the old one fits too.
    device.SetFormat(TWaveFormat::wf44100stereo16);
    device.SetDeviceID(1);
    EXPECT_EQ(device.Format(), TWaveFormat::wf44100stereo16);
    device.SetFormat(TWaveFormat::wf48000stereo16);
    device.SetDeviceID(0);
    EXPECT_EQ(device.Format(), TWaveFormat::wf11025mono8);
}

TEST(DeviceBase, EverySetterRefusesAnActiveDeviceAndChangesNothing) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    device.SetFormat(TWaveFormat::wf44100stereo16);
    device.Start();
    ASSERT_TRUE(device.Active());
    const std::string refused = "Not allowed in active state";
    EXPECT_EQ(MessageOf([&] { device.SetFormat(TWaveFormat::wf96000stereo16); }), refused);
    EXPECT_EQ(MessageOf([&] { device.SetBuffers(4); }), refused);
    EXPECT_EQ(MessageOf([&] { device.SetBufferSize(4096); }), refused);
    EXPECT_EQ(device.Format(), TWaveFormat::wf44100stereo16);
    EXPECT_EQ(device.Buffers(), 2);
    EXPECT_EQ(device.BufferSize(), 8192u);
    device.Stop();
    EXPECT_FALSE(device.Active());
}

TEST(DeviceBase, BufferCountBelowTwoIsRefusedAndTheSameCountKeepsTheBuffers) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    std::memcpy(device.Headers()[1].lpData, "kept", 4);
    const char* block = device.Headers()[1].lpData;
    for (std::uint8_t count : {0, 1})
        EXPECT_EQ(MessageOf([&] { device.SetBuffers(count); }),
                  "Minimal BufferCount value is \"2\"");
    device.SetBuffers(2);
    EXPECT_EQ(device.Headers()[1].lpData, block);
    EXPECT_EQ(std::memcmp(block, "kept", 4), 0);
    device.SetBuffers(255);
    EXPECT_EQ(device.Buffers(), 255);
    for (const auto& h : device.Headers())
        EXPECT_EQ(h.dwBufferLength, 8192u);
}

TEST(DeviceBase, TheBufferSizeRuleHoldsAtItsBoundsForTheFormatInForce) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    device.SetFormat(TWaveFormat::wf44100stereo16);
    EXPECT_EQ(MessageOf([&] { device.SetBufferSize(510); }), BufferSizeMessage);
    EXPECT_EQ(MessageOf([&] { device.SetBufferSize(514); }), BufferSizeMessage);
    EXPECT_EQ(MessageOf([&] { device.SetBufferSize(0x80000004u); }), BufferSizeMessage);
    EXPECT_EQ(device.BufferSize(), 8192u);
    std::memcpy(device.Headers()[0].lpData, "contents", 8);
    device.SetBufferSize(512);
    EXPECT_EQ(device.BufferSize(), 512u);
    for (const auto& h : device.Headers())
        EXPECT_EQ(h.dwBufferLength, 512u);
    EXPECT_EQ(std::memcmp(device.Headers()[0].lpData, "contents", 8), 0);

    device.SetFormat(TWaveFormat::wf11025mono8);
    EXPECT_EQ(MessageOf([&] { device.SetBufferSize(255); }), BufferSizeMessage);
    device.SetBufferSize(257);
    // A format change does not re-check the size, but setting it again does.
    device.SetFormat(TWaveFormat::wf44100stereo16);
    EXPECT_EQ(device.BufferSize(), 257u);
    EXPECT_EQ(MessageOf([&] { device.SetBufferSize(257); }), BufferSizeMessage);
}

TEST(DeviceBase, UnknownOrUnsupportedFormatsAreRefused) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    EXPECT_EQ(MessageOf([&] { device.SetFormat(TWaveFormat::wfUnknown); }),
              "This format not supported");
    EXPECT_EQ(MessageOf([&] { device.SetFormat(TWaveFormat::wf22050stereo8); }),
              "This format not supported");
    EXPECT_EQ(device.Format(), TWaveFormat::wf11025mono8);
}

TEST(DeviceBase, BufferNoticesAreIgnoredUnlessActiveWhileOpenAndCloseAlwaysCount) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    TTestDevice other;
    int starts = 0, stops = 0;
    device.OnStart = [&](TWaveDevice* sender) {
        EXPECT_EQ(sender, &device);
        ++starts;
        throw SysUtils::Exception("dropped");
    };
    device.OnStop = [&](TWaveDevice*) {
        ++stops;
        throw std::runtime_error("dropped too");
    };
    device.Post(MM_WOM_DONE);
    device.Post(MM_WIM_DATA);
    other.Post(MM_WOM_DONE);
    EXPECT_EQ(device.Drain(), 2);
    EXPECT_EQ(device.BufferDoneCalls, 0);

    device.Post(MM_WIM_OPEN); // either direction's open counts
    device.Post(MM_WOM_DONE);
    EXPECT_EQ(device.Drain(), 2);
    EXPECT_TRUE(device.Active());
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(device.BufferDoneCalls, 1);
    device.Post(MM_WIM_CLOSE);
    EXPECT_EQ(device.Drain(), 1);
    EXPECT_FALSE(device.Active());
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(other.BufferDoneCalls, 0);
    EXPECT_EQ(other.Drain(), 1);
}

TEST(DeviceBase, PauseAndResumeFlagsSurviveARaisingHandler) {
    SimCard::TInstalledCard card(TwoOutputs());
    TTestDevice device;
    device.OnPause = [](TWaveDevice*) { throw SysUtils::Exception("x"); };
    device.Pause();
    EXPECT_TRUE(device.Paused());
    device.Resume();
    EXPECT_FALSE(device.Paused());
}

TEST(DeviceBase, CapsToFormatsSwapsTheMiddleOfEachGroupAndIgnoresOtherFlags) {
    EXPECT_EQ(TWaveDevice::CapsToFormats(0x00008).Mask(), 1u << 4);
    EXPECT_EQ(TWaveDevice::CapsToFormats(0x00002).Mask(), 1u << 3);
    EXPECT_EQ(TWaveDevice::CapsToFormats(0x00004).Mask(), 1u << 2);
    EXPECT_EQ(TWaveDevice::CapsToFormats(0x20000).Mask(), 1u << 19);
    EXPECT_EQ(TWaveDevice::CapsToFormats(0xFFF00000).Mask(), 0u);
    EXPECT_EQ(TWaveDevice::CapsToFormats(WAVE_FORMAT_ALL_STANDARD).Mask(), 0x1FFFFEu);
    for (int value = 1; value < WaveFormatCount; ++value) {
        const auto format = static_cast<TWaveFormat>(value);
        const WaveFormatInfo& info = Info(format);
        const TWaveFormats set = TWaveDevice::CapsToFormats(FormatCapsFlags[value]);
        EXPECT_TRUE(set.Contains(format));
        EXPECT_EQ(set.Mask(), 1u << value);
        // The flag names the same rate, width and channel count.
        const int group = info.SampleRate == 11025   ? 0
                          : info.SampleRate == 22050 ? 1
                          : info.SampleRate == 44100 ? 2
                          : info.SampleRate == 48000 ? 3
                                                     : 4;
        const unsigned bit = (info.Channels == 2 ? 1 : 0) + (info.BitsPerSample == 16 ? 2 : 0);
        EXPECT_EQ(FormatCapsFlags[value], 1u << (4 * group + bit));
    }
}

TEST(DeviceBase, TheFormatRecordIsDerivedFromTheFormat) {
    SimCard::TInstalledCard card;
    TTestDevice device;
    device.SetFormat(TWaveFormat::wf44100stereo16);
    EXPECT_EQ(device.SamplesPerSec(), 44100u);
    EXPECT_EQ(device.BitsPerSample(), 16);
    device.SetFormat(TWaveFormat::wf11025mono8);
    EXPECT_EQ(device.SamplesPerSec(), 11025u);
    EXPECT_EQ(device.ErrorText(MMSYSERR_NOMEM), "Unable to allocate memory.");
    EXPECT_EQ(device.ErrorText(0xDEAD), "Unknown error");
}

TEST(DeviceBase, AFailedDeviceSelectionFailsTheConstructionCleanly) {
    SimCard::TInstalledCard card;
    card->FailAlways(WaveCore::TCall::OutGetDevCaps, MMSYSERR_NODRIVER);
    EXPECT_THROW(TTestDevice device, SysUtils::Exception);
    EXPECT_EQ(Windows::PendingMessages(), 0u);
}

} // namespace
