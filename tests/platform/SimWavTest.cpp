// The simulated card's WAV input and output.
#include <cstring>
#include <sndfile.h>
#include <vector>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "platform/MMSystem.h"
#include "platform/SimCard.h"

using namespace MMSystem;
using SimCard::Milliseconds;

namespace {

std::string WriteWav(const QString& Path, int Rate, int Channels, int Format,
                     const std::vector<short>& Samples) {
    SF_INFO info{};
    info.samplerate = Rate;
    info.channels = Channels;
    info.format = SF_FORMAT_WAV | Format;
    SNDFILE* file = sf_open(Path.toStdString().c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    sf_write_short(file, Samples.data(), static_cast<sf_count_t>(Samples.size()));
    sf_close(file);
    return Path.toStdString();
}

// Captures Frames frames from device 0 in Format at the card's current time.
std::vector<std::uint8_t> Capture(SimCard::TSimCard& Card, const WAVEFORMATEX& Format,
                                  DWORD Frames) {
    std::vector<char> block(Frames * Format.nBlockAlign);
    WAVEHDR header{block.data(), static_cast<DWORD>(block.size()), 0, 0, 0, 0, nullptr, 0};
    HWAVEIN handle{};
    EXPECT_EQ(waveInOpen(&handle, 0, &Format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    waveInPrepareHeader(handle, &header, sizeof header);
    waveInAddBuffer(handle, &header, sizeof header);
    waveInStart(handle);
    Card.Advance(static_cast<SimCard::TTimeNs>(Frames) * SimCard::Seconds / Format.nSamplesPerSec);
    EXPECT_NE(header.dwFlags & WHDR_DONE, 0u);
    waveInReset(handle);
    waveInUnprepareHeader(handle, &header, sizeof header);
    waveInClose(handle);
    return {block.begin(), block.end()};
}

std::int16_t At16(const std::vector<std::uint8_t>& Bytes, std::size_t Index) {
    std::int16_t v;
    std::memcpy(&v, Bytes.data() + 2 * Index, 2);
    return v;
}

TEST(SimulatedCardFiles, AMonoFileFeedsBothChannelsExactlyAndThenTheZeroLevel) {
    QTemporaryDir dir;
    std::vector<short> samples(300);
    for (int i = 0; i < 300; ++i)
        samples[i] = static_cast<short>(i * 100 - 15000);
    SimCard::TConfig config;
    config.Capture[0].InputFile =
        WriteWav(dir.filePath("in.wav"), 1000, 1, SF_FORMAT_PCM_16, samples);
    SimCard::TInstalledCard card(config);

    const WAVEFORMATEX stereo16{WAVE_FORMAT_PCM, 2, 1000, 4000, 4, 16, 0};
    const auto first = Capture(card.Card(), stereo16, 200);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(At16(first, 2 * i), samples[i]) << i;
        ASSERT_EQ(At16(first, 2 * i + 1), samples[i]) << i;
    }
    EXPECT_FALSE(card->InputExhausted());
    const WAVEFORMATEX mono8{WAVE_FORMAT_PCM, 1, 1000, 1000, 1, 8, 0};
    const auto second = Capture(card.Card(), mono8, 200); // frames 200..399 of the timeline
    EXPECT_EQ(second[0], static_cast<std::uint8_t>(128 + (samples[200] + 128) / 256));
    EXPECT_EQ(second[150], 128); // after the end: the zero level
    EXPECT_TRUE(card->InputExhausted());
}

TEST(SimulatedCardFiles, AnotherRateIsResampledOnTheSameTimeline) {
    QTemporaryDir dir;
    std::vector<short> ramp(2000);
    for (int i = 0; i < 2000; ++i)
        ramp[i] = static_cast<short>(i * 10);
    SimCard::TConfig config;
    config.Capture[0].InputFile = WriteWav(dir.filePath("in.wav"), 1000, 1, SF_FORMAT_PCM_16, ramp);
    SimCard::TInstalledCard card(config);
    const WAVEFORMATEX mono16{WAVE_FORMAT_PCM, 1, 2000, 4000, 2, 16, 0};
    const auto got = Capture(card.Card(), mono16, 100);
    EXPECT_EQ(At16(got, 10), 50); // frame 10 at 2000 Hz is frame 5 of the file
    EXPECT_EQ(At16(got, 11), 55); // and halfway to the next
}

TEST(SimulatedCardFiles, AnUnreadableInputFileIsReportedWithItsName) {
    SimCard::TConfig config;
    config.Capture[0].InputFile = "/nonexistent/receiver.wav";
    try {
        SimCard::TSimCard card(config);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/receiver.wav"), std::string::npos);
    }
}

TEST(SimulatedCardFiles, TheOutputFileHoldsWhatPlayedAtItsTimeAndTheZeroLevelElsewhere) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("out.wav").toStdString();
    {
        SimCard::TConfig config;
        config.Playback[0].OutputFile = path;
        config.Playback[0].KeepLog = false;
        SimCard::TInstalledCard card(config);
        const WAVEFORMATEX stereo8{WAVE_FORMAT_PCM, 2, 1000, 2000, 2, 8, 0};
        HWAVEOUT handle{};
        ASSERT_EQ(waveOutOpen(&handle, 0, &stereo8, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        std::vector<char> a(100, 50), b(60, static_cast<char>(200));
        WAVEHDR ha{a.data(), 100, 0, 0, 0, 0, nullptr, 0}, hb{b.data(), 60, 0, 0, 0, 0, nullptr, 0};
        waveOutPrepareHeader(handle, &ha, sizeof ha);
        waveOutPrepareHeader(handle, &hb, sizeof hb);
        card->Advance(100 * Milliseconds);
        waveOutWrite(handle, &ha, sizeof ha); // frames 100..149
        card->Advance(400 * Milliseconds);
        waveOutWrite(handle, &hb, sizeof hb); // frames 500..529
        card->Advance(300 * Milliseconds);
        EXPECT_TRUE(card->PlayLog().empty());
        waveOutUnprepareHeader(handle, &ha, sizeof ha);
        waveOutUnprepareHeader(handle, &hb, sizeof hb);
        waveOutClose(handle);
    } // the card finishes its file when it goes, at 800 ms

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.samplerate, 1000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_U8);
    EXPECT_EQ(info.frames, 800);
    std::vector<std::uint8_t> raw(1600);
    EXPECT_EQ(sf_read_raw(file, raw.data(), 1600), 1600);
    sf_close(file);
    EXPECT_EQ(raw[2 * 99], 128);
    EXPECT_EQ(raw[2 * 100], 50);
    EXPECT_EQ(raw[2 * 149 + 1], 50);
    EXPECT_EQ(raw[2 * 150], 128);
    EXPECT_EQ(raw[2 * 500], 200);
    EXPECT_EQ(raw[2 * 529], 200);
    EXPECT_EQ(raw[2 * 530], 128);
    EXPECT_EQ(raw[2 * 799 + 1], 128);
}

} // namespace
