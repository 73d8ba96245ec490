#include "tests/app/RepeaterRig.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>

#include <QFile>
#include <QTextStream>

#include <gtest/gtest.h>

namespace RepeaterRig {
namespace {

std::uint32_t Hash(std::uint64_t X) {
    X ^= X >> 33;
    X *= 0xff51afd7ed558ccdULL;
    X ^= X >> 33;
    X *= 0xc4ceb9fe1a85ec53ULL;
    X ^= X >> 33;
    return static_cast<std::uint32_t>(X);
}

void Store(std::uint8_t*& Dest, double Value, int Bits) {
    if (Bits == 8) {
        *Dest++ = static_cast<std::uint8_t>(std::clamp(std::lround(Value * 128) + 128, 0L, 255L));
    } else {
        const auto v =
            static_cast<std::int16_t>(std::clamp(std::lround(Value * 32768), -32768L, 32767L));
        std::memcpy(Dest, &v, 2);
        Dest += 2;
    }
}

} // namespace

bool TReceiver::CarrierAt(std::uint64_t Frame) const {
    for (const auto& [from, to] : Carrier)
        if (Frame >= from && Frame < to)
            return true;
    return false;
}

std::int16_t TReceiver::Audio(std::uint64_t Frame) {
    return static_cast<std::int16_t>(Hash(Frame * 2 + 1) & 0xFFFF);
}

SimCard::TCaptureSource TReceiver::Source() const {
    return [r = *this](const MMSystem::WAVEFORMATEX& Format, std::uint64_t First,
                       std::uint32_t Frames, std::uint8_t* Dest) {
        const int bits = Format.wBitsPerSample;
        for (std::uint32_t i = 0; i < Frames; ++i) {
            const std::uint64_t frame = First + i;
            double control;
            if (r.CarrierAt(frame))
                control = r.Tone * std::sin(2 * std::numbers::pi * r.ToneHz *
                                            static_cast<double>(frame) / Format.nSamplesPerSec);
            else
                control = r.Hiss * (static_cast<double>(Hash(frame * 2)) / 4294967295.0 * 2 - 1);
            for (int c = 0; c < Format.nChannels; ++c) {
                if (c == r.ControlChannel) {
                    Store(Dest, control, bits);
                } else if (bits == 8) {
                    *Dest++ = static_cast<std::uint8_t>((Audio(frame) >> 8) + 128);
                } else {
                    const std::int16_t a = Audio(frame);
                    std::memcpy(Dest, &a, 2);
                    Dest += 2;
                }
            }
        }
    };
}

TRig::TRig(TReceiver Receiver, std::map<std::string, std::string> Settings,
           SimCard::TClockMode Clock, SimCard::TConfig Config) {
    FNotices = std::make_unique<Forms::TScopedUserNotices>(Forms::TUserNotices{
        .OnException = [this](const std::string& Message) { FErrors.push_back(Message); },
        .OnMessageBox = [this](const std::string&,
                               const std::string& Text) { FBoxes.push_back(Text); },
        .OnBeep = [] {},
    });
    if (!Settings.empty()) {
        QFile file(QString::fromStdString(IniPath()));
        file.open(QIODevice::WriteOnly);
        QTextStream out(&file);
        const char* main[] = {"ControlChannel", "SoundMode", "Duration", "Method", "SquelchLevel"};
        out << "[Main]\n";
        for (const auto& [key, value] : Settings)
            if (std::find(std::begin(main), std::end(main), key) != std::end(main))
                out << QString::fromStdString(key + "=" + value + "\n");
        out << "[Options]\n";
        for (const auto& [key, value] : Settings)
            if (std::find(std::begin(main), std::end(main), key) == std::end(main) &&
                key.find('/') == std::string::npos)
                out << QString::fromStdString(key + "=" + value + "\n");
        // "Section/Key" names a key of another section; the map keeps a section's keys together.
        std::string section;
        for (const auto& [key, value] : Settings) {
            const auto slash = key.find('/');
            if (slash == std::string::npos)
                continue;
            if (key.substr(0, slash) != section)
                out << QString::fromStdString("[" + (section = key.substr(0, slash)) + "]\n");
            out << QString::fromStdString(key.substr(slash + 1) + "=" + value + "\n");
        }
    }
    Config.Clock = Clock;
    if (!Config.Capture.empty())
        Config.Capture[0].Source = Receiver.Source();
    FCard = std::make_unique<SimCard::TInstalledCard>(Config);
    FForm = std::make_unique<uMain::TfMainForm>(IniPath());
    FForm->OnStateText = [this](const std::string& Text) {
        FStates.push_back({Card().Now(), Text});
    };
}

TRig::~TRig() {
    FForm.reset();
}

std::string TRig::IniPath() const {
    return FDir.filePath("quorim.ini").toStdString();
}

std::vector<std::string> TRig::StateTexts() const {
    std::vector<std::string> texts;
    for (const auto& s : FStates)
        texts.push_back(s.Text);
    return texts;
}

int ModeIndex(WaveDefs::TWaveFormat Format) {
    int index = 0;
    for (int value = 0; value < WaveDefs::WaveFormatCount; ++value) {
        const auto& info = WaveDefs::Info(static_cast<WaveDefs::TWaveFormat>(value));
        if (info.Channels < 2 || info.SampleRate < 20000)
            continue;
        if (static_cast<WaveDefs::TWaveFormat>(value) == Format)
            return index;
        ++index;
    }
    return -1;
}

std::vector<TTransmission> Transmissions(const std::vector<SimCard::TPlayedBlock>& Log) {
    std::vector<TTransmission> result;
    std::uint64_t next = 0;
    for (const auto& block : Log) {
        const std::uint64_t frames = block.Bytes.size() / block.Format.nBlockAlign;
        if (result.empty() || block.Frame != next)
            result.push_back(TTransmission{block.Time, block.Time, 0, {}});
        TTransmission& t = result.back();
        t.Bytes.insert(t.Bytes.end(), block.Bytes.begin(), block.Bytes.end());
        t.Frames += frames;
        next = block.Frame + frames;
        t.End = block.Time + static_cast<TTimeNs>(frames) * SimCard::Seconds /
                                 static_cast<TTimeNs>(block.Format.nSamplesPerSec);
    }
    return result;
}

std::int16_t Sample16(const std::vector<std::uint8_t>& Bytes, std::size_t I, int C) {
    std::int16_t v;
    std::memcpy(&v, Bytes.data() + 4 * I + 2 * static_cast<std::size_t>(C), 2);
    return v;
}

TReceiver CarrierOverBuffers(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Buffers,
                             std::uint32_t Rate, std::uint64_t Frames) {
    TReceiver receiver;
    for (auto [from, to] : Buffers)
        receiver.Carrier.push_back({from * Frames, to * Frames});
    receiver.ToneHz = Rate * 46.0 / static_cast<double>(Frames);
    return receiver;
}

void WriteReceiverWav(const std::string& Path, const TReceiver& Receiver, double Seconds,
                      std::uint32_t Rate) {
    const auto frames = static_cast<std::uint32_t>(Seconds * Rate);
    std::vector<std::uint8_t> bytes(std::size_t{frames} * 4);
    Receiver.Source()(MMSystem::WAVEFORMATEX{1, 2, Rate, Rate * 4, 4, 16, 0}, 0, frames,
                      bytes.data());
    SF_INFO info{};
    info.samplerate = static_cast<int>(Rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(Path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << Path;
    sf_write_raw(file, bytes.data(), static_cast<sf_count_t>(bytes.size()));
    sf_close(file);
}

bool WavHeaderMatchesData(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    const std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
    auto u32 = [&](std::size_t At) {
        std::uint32_t v = 0;
        std::memcpy(&v, bytes.data() + At, 4);
        return v;
    };
    if (bytes.size() < 44 || u32(4) != bytes.size() - 8)
        return false;
    for (std::size_t at = 12; at + 8 <= bytes.size(); at += 8 + u32(at + 4))
        if (std::memcmp(bytes.data() + at, "data", 4) == 0)
            return u32(at + 4) == bytes.size() - at - 8 && u32(at + 4) > 0;
    return false;
}

std::vector<std::int16_t> ReadWav(const std::string& Path, SF_INFO& Info) {
    SNDFILE* file = sf_open(Path.c_str(), SFM_READ, &Info);
    EXPECT_NE(file, nullptr) << Path;
    if (file == nullptr)
        return {};
    std::vector<std::int16_t> samples(static_cast<std::size_t>(Info.frames * Info.channels));
    sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return samples;
}

} // namespace RepeaterRig
