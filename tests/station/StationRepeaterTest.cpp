// The station around the repeater, end to end on the simulated card: what goes on the air
// around each replay, when the PTT line is keyed, and what the lockout and the archive do.
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sndfile.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "station/Station.h"
#include "tests/app/RepeaterRig.h"
#include "tests/station/OnAir.h"
#include "toolkit/IniFiles.h"

using namespace RepeaterRig;
using namespace OnAir;
using SimCard::Milliseconds;
using SimCard::Seconds;
using WaveDefs::TWaveFormat;

namespace {

constexpr std::uint64_t Frames = 2048;
constexpr std::uint32_t Rate = 44100;

TTimeNs At(std::uint64_t Frame) {
    return static_cast<TTimeNs>(Frame * Seconds / Rate);
}

TReceiver Carrier(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Buffers) {
    return CarrierOverBuffers(Buffers, Rate, Frames);
}

std::map<std::string, std::string> Settings(std::map<std::string, std::string> Extra) {
    std::map<std::string, std::string> s{
        {"SoundMode", std::to_string(ModeIndex(TWaveFormat::wf44100stereo16))},
        {"PlayVolume", "65535"},
    };
    s.insert(Extra.begin(), Extra.end());
    return s;
}

std::vector<double> AudioOf(const std::vector<std::int16_t>& Stereo, std::size_t From,
                            std::size_t To) {
    std::vector<double> audio;
    for (std::size_t f = From; f < To; ++f)
        audio.push_back(Stereo[2 * f + 1] / 32768.0);
    return audio;
}

double PitchOf(const std::vector<double>& Audio) {
    int crossings = 0;
    for (std::size_t i = 1; i < Audio.size(); ++i)
        crossings += (Audio[i - 1] < 0) != (Audio[i] < 0);
    return crossings / 2.0 / (static_cast<double>(Audio.size()) / Rate);
}

TEST(Station, IdentifiesInMorseAfterAReplayWhenDueAndOnceAloneAfterTheLastTransmission) {
    QTemporaryDir dir;
    const std::string output = dir.filePath("transmitted.wav").toStdString();
    SimCard::TConfig config;
    config.Playback[0].OutputFile = output;
    // Two overs: the first replay carries the identification, the second (within the
    // interval) only its courtesy tone; the lone identification ends the period.
    TRig rig(Carrier({{20, 60}, {400, 430}}),
             Settings({{"Station/Callsign", "k1abc/p"},
                       {"Station/IdInterval", "30"},
                       {"Station/IdWpm", "25"},
                       {"Station/IdFrequency", "700"},
                       {"Station/CourtesyTone", "1200"},
                       {"Station/CourtesyLength", "150"}}),
             SimCard::TClockMode::Manual, config);
    rig.Form().btnStartClick();
    rig.RunFor(90 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    rig.Form().btnStopClick();
    rig.Card().FinishOutput();

    SF_INFO info{};
    const auto out = ReadWav(output, info);
    const auto spans = Keyed(out);
    ASSERT_EQ(spans.size(), 3u) << "replay + ID + courtesy, replay + courtesy, lone ID";
    const std::size_t over = 51 * Frames;
    const std::size_t courtesy = 150 * Rate / 1000;
    const std::string expected = "-.- .---- .- -... -.-. -..-. .--.";

    // First replay: the recording unchanged, then the identification, then the courtesy tone.
    EXPECT_EQ(spans[0].first, 72 * Frames);
    for (std::size_t j = 0; j < over; ++j)
        ASSERT_EQ(out[2 * (spans[0].first + j) + 1], TReceiver::Audio(20 * Frames + j)) << j;
    const std::size_t idEnd = spans[0].second - courtesy;
    const Morse id = DecodeMorse(AudioOf(out, spans[0].first + over, idEnd), 700, Rate);
    EXPECT_EQ(id.Code, expected);
    EXPECT_NEAR(id.UnitMs, 1200.0 / 25, 0.2) << "PARIS timing";
    EXPECT_NEAR(id.PitchHz, 700, 7);
    EXPECT_NEAR(PitchOf(AudioOf(out, idEnd + 250, spans[0].second - 250)), 1200, 12);
    EXPECT_EQ(out[2 * (idEnd - 1) + 1], 0) << "the identification ends silent, with no click";

    // Second replay: within the interval, no identification.
    // (The capture grid moved with the first replay: the over is whole buffers, 40 or 41.)
    const std::size_t over2 = spans[1].second - spans[1].first - courtesy;
    EXPECT_EQ(over2 % Frames, 0u);
    EXPECT_GE(over2, 40 * Frames);

    // The lone identification, IdInterval after the first, then nothing more.
    const double first = static_cast<double>(spans[0].first) / Rate;
    const double lone = static_cast<double>(spans[2].first) / Rate;
    EXPECT_GE(lone, first + 30 - 0.01);
    EXPECT_LE(lone, first + 30 + 0.2);
    EXPECT_EQ(DecodeMorse(AudioOf(out, spans[2].first, spans[2].second), 700, Rate).Code, expected);
    EXPECT_EQ(rig.StateTexts().back(), "НЕАКТИВНО");

    // Nothing transmitted: no identification, however long the repeater waits.
    TRig quiet(Carrier({}),
               Settings({{"Station/Callsign", "K1ABC"}, {"Station/IdInterval", "10"}}));
    quiet.Form().btnStartClick();
    quiet.RunFor(40 * Seconds);
    EXPECT_TRUE(quiet.Card().PlayLog().empty());
}

TEST(Station, TheCallsignIsReadAsWrittenWhateverCourtesyToneFollowsIt) {
    // A tone straight after the last element, at about the identification's pitch, reads as
    // one more dah ("AB1E" as "AB1A"); a word space keeps it a thing apart.
    QTemporaryDir dir;
    const std::string ini = dir.filePath("quorim.ini").toStdString();
    const std::vector<std::uint8_t> block(4096, 0);
    const std::span<const std::uint8_t> over[] = {block};
    for (const char last : std::string("ETIANM50/")) {
        for (const int courtesy : {800, 1000}) {
            const std::string callsign = std::string("N0CAL") + last;
            SCOPED_TRACE(callsign + " with a courtesy tone at " + std::to_string(courtesy));
            std::ofstream(ini) << "[Station]\nCallsign=" << callsign
                               << "\nCourtesyTone=" << courtesy << "\n";
            station::Station station;
            station.load(IniFiles::TIniFile(ini));
            station.start(TWaveFormat::wf44100mono16, 4096);
            std::vector<double> audio;
            for (const auto& pcm : station.replayStarting(over, false, 1).after)
                for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
                    audio.push_back(static_cast<std::int16_t>(pcm[i] | pcm[i + 1] << 8) / 32768.0);
            const std::string text = MorseText(DecodeMorse(audio, 800, Rate).Code);
            EXPECT_EQ(text, callsign + " T") << "the callsign, a word space, the tone";
        }
    }
}

TEST(Station, AVoiceIdentificationFromAFileIsSentInsteadOfTheMorse) {
    // Half a second of 440 Hz at 8 kHz, stereo: mixed to mono and converted to 44.1 kHz.
    QTemporaryDir dir;
    const std::string voice = dir.filePath("id.wav").toStdString();
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open(voice.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        std::vector<float> frames;
        for (int i = 0; i < 4000; ++i) {
            const auto v =
                static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * i / 8000));
            frames.insert(frames.end(), {v, v});
        }
        sf_writef_float(file, frames.data(), 4000);
        sf_close(file);
    }
    TRig rig(Carrier({{20, 60}}),
             Settings({{"Station/Callsign", "K1ABC"}, {"Station/IdFile", voice}}));
    rig.Form().btnStartClick();
    rig.RunFor(10 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    const std::size_t over = 51 * Frames;
    ASSERT_NEAR(static_cast<double>(tx[0].Frames - over), 22050, 6);
    std::vector<double> id;
    for (std::size_t j = over; j < tx[0].Frames; ++j)
        id.push_back(Sample16(tx[0].Bytes, j, 1) / 32768.0);
    EXPECT_NEAR(PitchOf(id), 440, 3);
}

TEST(Station, LockoutGivesAStuckCarrierOneTransmissionAndListensAgainOnceItDrops) {
    // A carrier that stays for ten minutes, then a short over after it has dropped.
    const std::uint64_t tenMinutes = 600 * Rate / Frames;
    TRig rig(Carrier({{20, tenMinutes}, {tenMinutes + 100, tenMinutes + 150}}),
             Settings({{"Duration", "10"}, {"Station/TimeoutLockout", "1"}}));
    std::vector<std::pair<TTimeNs, std::string>> notices;
    rig.Form().OnNotice = [&](const std::string& Text) {
        notices.push_back({rig.Card().Now(), Text});
    };
    rig.Form().btnStartClick();
    rig.RunFor(620 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_LT(tx[0].Start, 11 * Seconds);
    EXPECT_GT(tx[1].Start, 600 * Seconds);
    // The over after the carrier dropped, whole (the capture grid moved with the replay).
    EXPECT_GE(tx[1].Frames, (50 + 10) * Frames);
    // The log shows the lockout: blocked from the first replay until the carrier drops.
    const auto& states = rig.States();
    ASSERT_GE(states.size(), 5u);
    EXPECT_EQ(states[3].Text, "ЗАБЛОКИРОВАН");
    EXPECT_EQ(states[4].Text, "ОЖИДАНИЕ");
    EXPECT_GE(states[4].Time, At(tenMinutes * Frames));
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].second, "transmit lockout: the signal outlasted Duration; nothing is "
                                 "recorded until it drops");
    EXPECT_EQ(notices[1].second, "transmit lockout ended: the signal has dropped");
    EXPECT_EQ(notices[1].first, states[4].Time);
}

// A PTT line that notes each change on the card's clock.
struct FakeLine : station::PttLine {
    std::vector<std::pair<SimCard::TTimeNs, bool>>* Log;
    bool* Fail;
    void set(bool On) override {
        if (*Fail && On)
            throw station::PttError("the PTT line of /dev/fake cannot be set: I/O error");
        Log->push_back({Windows::ClockNs(), On});
    }
};

TEST(Station, PttLeadsTheFirstSampleTrailsTheLastAndIsReleasedOnEveryWayOut) {
    std::vector<std::pair<SimCard::TTimeNs, bool>> log;
    bool fail = false;
    // A rig whose PTT line, of whatever type, is the fake one.
    auto withFakeLine = [&](TReceiver Receiver, std::map<std::string, std::string> Extra) {
        auto rig = std::make_unique<TRig>(std::move(Receiver), Settings(std::move(Extra)));
        rig->Form().Station->openLine = [&](const station::Settings&) {
            auto line = std::make_unique<FakeLine>();
            line->Log = &log;
            line->Fail = &fail;
            return line;
        };
        return rig;
    };
    auto rig = withFakeLine(Carrier({{20, 60}, {200, 260}, {400, 460}, {700, 760}}),
                            {{"Station/PttType", "serial-rts"},
                             {"Station/PttDevice", "/dev/fake"},
                             {"Station/PttLead", "100"},
                             {"Station/PttTail", "200"}});
    rig->Form().btnStartClick();
    rig->RunFor(8 * Seconds);
    auto tx = Transmissions(rig->Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    const std::size_t lead = 100 * Rate / 1000;
    EXPECT_EQ(tx[0].Frames, lead + 51 * Frames) << "the lead is played as silence, keyed";
    for (std::size_t j = 0; j < lead; ++j)
        ASSERT_EQ(Sample16(tx[0].Bytes, j, 1), 0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].second);
    EXPECT_LE(log[0].first, tx[0].Start) << "keyed before the lead plays";
    EXPECT_FALSE(log[1].second);
    EXPECT_GE(log[1].first, tx[0].End + 200 * Milliseconds);
    EXPECT_LE(log[1].first, tx[0].End + 300 * Milliseconds);

    // Stop during the second replay releases it at once.
    ASSERT_TRUE(rig->RunUntil([&] { return rig->Form().Player->Active(); }, 20 * Seconds));
    rig->RunFor(500 * Milliseconds);
    ASSERT_TRUE(log.back().second);
    rig->Form().btnStopClick();
    EXPECT_FALSE(log.back().second);

    // A playback device the sound system loses during a replay: released, and the repeater
    // stops with the device's words.
    rig->Form().btnStartClick();
    ASSERT_TRUE(rig->RunUntil([&] { return rig->Form().Player->Active(); }, 30 * Seconds));
    rig->RunFor(500 * Milliseconds);
    ASSERT_TRUE(log.back().second);
    rig->Card().LoseStreams(WaveCore::TDirection::Playback, "PortAudio: the card is gone.");
    rig->RunFor(3 * Seconds);
    EXPECT_FALSE(log.back().second);
    EXPECT_EQ(rig->Errors(),
              std::vector<std::string>{"the playback device failed: PortAudio: the card is gone."});

    // A playback device that cannot open: the line is keyed only once a playback has started.
    rig->Card().ClearFaults();
    const std::size_t before = log.size(), played = rig->Card().PlayLog().size();
    rig->Form().btnStartClick();
    rig->Card().FailAlways(WaveCore::TCall::OutOpen, MMSystem::MMSYSERR_ALLOCATED);
    rig->RunFor(25 * Seconds);
    rig->Card().ClearFaults();
    ASSERT_EQ(log.size(), before) << "never keyed for a replay that did not start";
    EXPECT_FALSE(log.back().second);
    EXPECT_TRUE(rig->Card().PlayLog().size() == played) << "nothing played";

    // Shutdown during a replay releases it too.
    rig.reset();
    rig = withFakeLine(Carrier({{20, 60}}),
                       {{"Station/PttType", "gpio"}, {"Station/PttDevice", "gpiochip0"}});
    rig->Form().btnStartClick();
    ASSERT_TRUE(rig->RunUntil([&] { return rig->Form().Player->Active(); }, 20 * Seconds));
    rig->RunFor(500 * Milliseconds);
    ASSERT_TRUE(log.back().second);
    rig->DestroyForm();
    EXPECT_FALSE(log.back().second);

    // A line that cannot be keyed: the repeater stops with the line's words, nothing played.
    fail = true;
    log.clear();
    rig.reset();
    rig = withFakeLine(Carrier({{20, 60}}),
                       {{"Station/PttType", "cm108"}, {"Station/PttDevice", "/dev/fake"}});
    rig->Form().btnStartClick();
    rig->RunFor(8 * Seconds);
    EXPECT_TRUE(rig->Card().PlayLog().empty());
    ASSERT_EQ(rig->Errors().size(), 1u);
    EXPECT_NE(rig->Errors()[0].find("/dev/fake cannot be set"), std::string::npos);
    EXPECT_EQ(rig->StateTexts().back(), "НЕАКТИВНО");

    // A capture pause refused at the end of an over: the line is never keyed, and the repeater
    // stops with the device's words.
    fail = false;
    log.clear();
    rig.reset();
    rig = withFakeLine(Carrier({{20, 60}}),
                       {{"Station/PttType", "cm108"}, {"Station/PttDevice", "/dev/fake"}});
    rig->Form().btnStartClick();
    ASSERT_TRUE(
        rig->RunUntil([&] { return rig->Form().RecordedBytes > 10 * 2 * Frames; }, 5 * Seconds));
    rig->Card().FailCall(WaveCore::TCall::InStop, 1, MMSystem::MMSYSERR_NOMEM);
    rig->RunFor(5 * Seconds);
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const auto& e) { return e.second; }))
        << "never keyed";
    EXPECT_TRUE(rig->Card().PlayLog().empty());
    EXPECT_EQ(rig->Errors(), std::vector<std::string>{"Unable to allocate memory."});
    EXPECT_EQ(rig->StateTexts().back(), "НЕАКТИВНО");

    // A playback that never ends (the controller misbehaving): the watchdog releases the line
    // once the longest transmission the settings allow has passed (Duration 10 s, a buffer, no
    // lead, tail or additions, and 2 s), stops the playback and the repeater.
    log.clear();
    rig.reset();
    rig = withFakeLine(
        Carrier({{20, 60}}),
        {{"Duration", "10"}, {"Station/PttType", "cm108"}, {"Station/PttDevice", "/dev/fake"}});
    auto& player = *rig->Form().Player;
    player.OnBufferDone = [&, played = player.OnBufferDone](WaveDefs::TWaveDevice* Sender,
                                                            void* Buffer, std::uint32_t& Size) {
        const std::uint32_t room = Size;
        played(Sender, Buffer, Size);
        if (Size == 0) {
            std::memset(Buffer, 0x11, room);
            Size = room;
        }
    };
    rig->Form().btnStartClick();
    rig->RunFor(30 * Seconds);
    ASSERT_EQ(log.size(), 2u);
    ASSERT_TRUE(log[0].second);
    EXPECT_FALSE(log[1].second);
    const TTimeNs allowed = 12 * Seconds + At(Frames);
    EXPECT_GT(log[1].first - log[0].first, allowed);
    EXPECT_LE(log[1].first - log[0].first, allowed + At(Frames)) << "within a buffer of it";
    EXPECT_FALSE(rig->Form().Player->Active());
    tx = Transmissions(rig->Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_LE(tx[0].End - tx[0].Start, allowed + 5 * At(Frames)) << "the tone ends with it";
    ASSERT_EQ(rig->Errors().size(), 1u);
    EXPECT_EQ(rig->Errors()[0].rfind("the transmit watchdog released the transmitter: the "
                                     "transmission outlasted 12.0 s",
                                     0),
              0u)
        << rig->Errors()[0];
    EXPECT_EQ(rig->StateTexts().back(), "НЕАКТИВНО");
    EXPECT_EQ(rig->Form().Station->watchdogTrips(), 1u);

    // A line that cannot be opened refuses Start.
    rig->Form().Station->openLine =
        [](const station::Settings&) -> std::unique_ptr<station::PttLine> {
        throw station::PttError("the PTT serial port /dev/fake cannot be opened: No such file");
    };
    EXPECT_THROW(rig->Form().btnStartClick(), station::PttError);
    EXPECT_FALSE(rig->Form().Recorder->Active());
}

} // namespace
