// The report after each replay, end to end: the program repeats receiver recordings of the
// FM-link model, and what it says about each over is checked against the recording itself and
// read back from what it transmitted.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <regex>
#include <sndfile.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "analysis/RealFFT.h"
#include "station/Speech.h"
#include "tests/app/RepeaterRig.h"
#include "tests/squelch/FmLink.h"
#include "tests/station/OnAir.h"
#include "tests/support/QuorimProcess.h"

namespace {

constexpr double Rate = fm_link::rate;
constexpr std::int32_t Buffer = 2048; // frames: 8192-byte buffers of 16-bit stereo

// Three overs of 4 s: as sent, with the audio 30 dB too hot, and 26 dB too low. The control
// channel is the receiver's as it was; the model's speech comes out at about -41 dBFS RMS.
struct Planned {
    double start;
    double gain;
    const char* level;
};
constexpr Planned Overs[] = {{3, 1.0, "OK"}, {20, 30.0, "CL"}, {37, 0.05, "LO"}};
constexpr double OverSeconds = 4, Seconds = 52;

std::vector<std::int16_t> ReadStereo(const std::string& Path) {
    SF_INFO info{};
    return RepeaterRig::ReadWav(Path, info);
}

// The receiver's recording at a CNR, with each over's audio channel (right) scaled as planned.
std::vector<std::int16_t> MakeInput(const std::string& Path, double CnrDb) {
    QStringList arguments{QString::fromStdString(Path), "discriminator", QString::number(CnrDb),
                          QString::number(Seconds), "17"};
    for (const auto& o : Overs)
        arguments << QString("%1:%2").arg(o.start).arg(OverSeconds);
    QProcess make;
    make.start(MAKE_FM_LINK, arguments);
    EXPECT_TRUE(make.waitForFinished(120000));
    auto stereo = ReadStereo(Path);
    for (const auto& o : Overs)
        for (auto f = static_cast<std::size_t>(o.start * Rate);
             f < static_cast<std::size_t>((o.start + OverSeconds) * Rate); ++f)
            stereo[2 * f + 1] = static_cast<std::int16_t>(
                std::clamp(std::lround(stereo[2 * f + 1] * o.gain), -32768L, 32767L));
    SF_INFO info{};
    info.samplerate = static_cast<int>(Rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(Path.c_str(), SFM_WRITE, &info);
    EXPECT_EQ(sf_write_short(file, stereo.data(), std::ssize(stereo)), std::ssize(stereo));
    sf_close(file);
    return stereo;
}

double Median(std::vector<double> V) {
    std::nth_element(V.begin(), V.begin() + std::ssize(V) / 2, V.end());
    return V[V.size() / 2];
}

// The quieting as the recording has it: the noise band's mean magnitude (5-6 kHz) per buffer of
// the control channel, idle hiss against each carrier's middle.
std::vector<double> QuietingOf(const std::vector<std::int16_t>& Stereo) {
    auto band = [&](std::size_t From) {
        std::vector<double> x(Buffer);
        for (std::int32_t i = 0; i < Buffer; ++i)
            x[static_cast<std::size_t>(i)] =
                Stereo[2 * (From + static_cast<std::size_t>(i))] / 32768.0;
        RealFFT::RealTransform(x, Buffer, false);
        double sum = 0;
        int bins = 0;
        for (std::uint32_t k = 1; k < Buffer / 2; ++k) {
            const double f = RealFFT::BinFrequency(static_cast<std::uint32_t>(Rate), Buffer, k);
            if (f > 5000 && f <= 6000) {
                sum += RealFFT::BinMagnitude(x, Buffer, k);
                ++bins;
            }
        }
        return sum / bins;
    };
    auto within = [](double T, double From, double To) { return T >= From && T < To; };
    std::vector<double> idle;
    for (std::size_t f = 0; f + Buffer < Stereo.size() / 2; f += Buffer) {
        const double t = static_cast<double>(f) / Rate;
        if (std::none_of(std::begin(Overs), std::end(Overs), [&](const Planned& o) {
                return within(t, o.start - 0.5, o.start + OverSeconds + 0.5);
            }))
            idle.push_back(band(f));
    }
    std::vector<double> quieting;
    for (const auto& o : Overs) {
        std::vector<double> carrier;
        for (auto f = static_cast<std::size_t>((o.start + 0.3) * Rate);
             f + Buffer < static_cast<std::size_t>((o.start + OverSeconds - 0.3) * Rate);
             f += Buffer)
            carrier.push_back(band(f));
        quieting.push_back(20 * std::log10(Median(idle) / Median(carrier)));
    }
    return quieting;
}

struct Reported {
    double seconds = 0;
    double quietingDb = 0;
    std::string code;
};

struct Outcome {
    int status = -1;
    std::string errors;
    std::vector<Reported> overs; // from the per-over lines on standard error
    std::vector<std::int16_t> output;
    std::string log; // standard output
};

Outcome Repeat(const QTemporaryDir& Dir, const std::string& Input, const std::string& Station,
               const QProcessEnvironment& Environment = QProcessEnvironment::systemEnvironment()) {
    const std::string ini = Dir.filePath("report.ini").toStdString();
    const std::string output = Dir.filePath("tx.wav").toStdString();
    std::ofstream(ini) << "[Main]\nSoundMode=5\nSquelchLevel=0.0035\n[Options]\nPlayVolume=65535\n"
                       << Station << (Station.empty() ? "" : "ReportLow=-50\nReportHigh=-33\n");
    const auto quorim =
        quorim_process::run({"--headless", "--input", QString::fromStdString(Input), "--output",
                             QString::fromStdString(output), "--ini", QString::fromStdString(ini)},
                            60000, Environment);
    Outcome run{quorim.status, quorim.errors, {}, ReadStereo(output), quorim.out};
    const std::regex line(R"(quorim: over ([0-9.]+) s: .*, quieting (-?[0-9.]+) dB: (.*))");
    for (std::sregex_iterator m(run.errors.begin(), run.errors.end(), line), end; m != end; ++m)
        run.overs.push_back({std::stod((*m)[1]), std::stod((*m)[2]), (*m)[3]});
    return run;
}

// A replay with its report: the control channel's tone from the replay's first sample to the
// report's last, and nothing else on the air. Returns the report's audio.
std::vector<std::vector<double>> Reports(const Outcome& R) {
    const auto tone = OnAir::Keyed(R.output, 0);
    EXPECT_EQ(tone.size(), R.overs.size()) << "one keyed transmission per over";
    std::vector<std::vector<double>> reports;
    const std::size_t frames = R.output.size() / 2;
    for (std::size_t i = 0; i < std::min(tone.size(), R.overs.size()); ++i) {
        // What the audio channel carries between the transmissions before and after (the
        // tone's first sample is its sine's zero).
        std::size_t first = i > 0 ? tone[i - 1].second : 0;
        std::size_t end = i + 1 < tone.size() ? tone[i + 1].first - 1 : frames;
        while (first < end && R.output[2 * first + 1] == 0)
            ++first;
        while (end > first && R.output[2 * end - 1] == 0)
            --end;
        EXPECT_LE(tone[i].first - first, 1u) << "keyed from the replay's first sample";
        // The report's last element fades out over its last few samples, which round to zero.
        EXPECT_LE(tone[i].second - end, 48u) << "and no longer than the report";
        EXPECT_GE(tone[i].second, end);
        const auto from = first + static_cast<std::size_t>(std::lround(R.overs[i].seconds * Rate));
        reports.emplace_back();
        for (std::size_t f = from; f < tone[i].second; ++f)
            reports.back().push_back(R.output[2 * f + 1] / 32768.0);
    }
    return reports;
}

// Log energies of 20 bands (150 Hz to 4 kHz) per 10 ms, each frame less its mean: what the words
// are, whatever their loudness.
std::vector<std::vector<double>> Features(const std::vector<double>& Audio) {
    constexpr std::int32_t N = 1024;
    std::vector<std::vector<double>> frames;
    for (std::size_t at = 0; at + N <= Audio.size(); at += 480) {
        std::vector<double> x(Audio.begin() + static_cast<std::ptrdiff_t>(at),
                              Audio.begin() + static_cast<std::ptrdiff_t>(at + N));
        RealFFT::RealTransform(x, N, false);
        std::vector<double> bands(20, 1e-9);
        for (std::uint32_t k = 1; k < N / 2; ++k) {
            const double f = RealFFT::BinFrequency(static_cast<std::uint32_t>(Rate), N, k);
            const auto b = static_cast<int>((f - 150) / (3850.0 / 20));
            if (b >= 0 && b < 20)
                bands[static_cast<std::size_t>(b)] += std::pow(RealFFT::BinMagnitude(x, N, k), 2);
        }
        double mean = 0;
        for (double& b : bands)
            mean += (b = std::log(b)) / 20;
        for (double& b : bands)
            b -= mean;
        frames.push_back(bands);
    }
    return frames;
}

// How well Word matches its best stretch of Speech (dynamic time warping, per frame of Word).
double MatchCost(const std::vector<std::vector<double>>& Word,
                 const std::vector<std::vector<double>>& Speech) {
    const std::size_t m = Word.size(), n = Speech.size();
    auto d = [&](std::size_t i, std::size_t j) {
        double s = 0;
        for (std::size_t b = 0; b < Word[i].size(); ++b)
            s += std::pow(Word[i][b] - Speech[j][b], 2);
        return std::sqrt(s);
    };
    std::vector<double> previous(n), current(n);
    for (std::size_t j = 0; j < n; ++j)
        previous[j] = d(0, j);
    for (std::size_t i = 1; i < m; ++i) {
        current[0] = previous[0] + d(i, 0);
        for (std::size_t j = 1; j < n; ++j)
            current[j] = d(i, j) + std::min({previous[j - 1], previous[j], current[j - 1]});
        std::swap(previous, current);
    }
    return *std::min_element(previous.begin(), previous.end()) / static_cast<double>(m);
}

TEST(StationReport, EachOverIsToldItsQuietingAndLevelInMorseOrWordsKeyedWithTheReplay) {
    QTemporaryDir dir;
    // Morse: at 25 dB, with the speech engine's data missing.
    const std::string strong = dir.filePath("rx25.wav").toStdString();
    const auto strongInput = MakeInput(strong, 25);
    auto noVoice = QProcessEnvironment::systemEnvironment();
    QDir(dir.path()).mkdir("nothing");
    noVoice.insert("ESPEAK_DATA_PATH", dir.filePath("nothing"));
    const Outcome morse = Repeat(dir, strong, "[Station]\nReport=voice\nIdWpm=30\n", noVoice);
    ASSERT_EQ(morse.status, 0) << morse.errors;
    EXPECT_NE(morse.errors.find("the speech engine's voice data cannot be read"),
              std::string::npos);
    const std::string fallback = "the report after each replay is sent in Morse";
    EXPECT_EQ(morse.errors.find(fallback), morse.errors.rfind(fallback)) << "said once";

    // Words: at 15 dB, archived too.
    const std::string weak = dir.filePath("rx15.wav").toStdString();
    const auto weakInput = MakeInput(weak, 15);
    const std::string archive = dir.filePath("archive").toStdString();
    const Outcome voice =
        Repeat(dir, weak, "[Station]\nReport=voice\nArchiveFolder=" + archive + "\n");
    ASSERT_EQ(voice.status, 0) << voice.errors;

    const auto expected = std::vector{QuietingOf(strongInput), QuietingOf(weakInput)};
    EXPECT_GT(expected[0][0] - expected[1][0], 5) << "the two links differ in quieting";
    // The state log keeps its form: the report adds nothing there.
    const std::regex state(R"((\d+\.\d{3} \S+\n)+)");
    EXPECT_TRUE(std::regex_match(voice.log, state)) << voice.log;
    const Outcome* runs[] = {&morse, &voice};
    for (std::size_t r = 0; r < 2; ++r) {
        ASSERT_EQ(runs[r]->overs.size(), std::size(Overs)) << runs[r]->errors;
        for (std::size_t i = 0; i < std::size(Overs); ++i) {
            EXPECT_NEAR(runs[r]->overs[i].quietingDb, expected[r][i], 3) << r << " over " << i;
            EXPECT_EQ(runs[r]->overs[i].code,
                      "Q" + std::to_string(std::lround(runs[r]->overs[i].quietingDb)) + " L " +
                          Overs[i].level);
        }
    }

    // The Morse decoded back says what the log says.
    const auto morseReports = Reports(morse);
    for (std::size_t i = 0; i < morseReports.size(); ++i)
        EXPECT_EQ(OnAir::MorseText(OnAir::DecodeMorse(morseReports[i], 800, Rate).Code),
                  morse.overs[i].code);

    // The words: of a sane length and level, and holding the number as the voice says it.
    const auto spoken = Reports(voice);
    ASSERT_EQ(spoken.size(), std::size(Overs));
    station::Speech speech("ru");
    auto features = [&](long Number) {
        const auto pcm =
            speech.say(std::to_string(Number), WaveDefs::TWaveFormat::wf48000mono16, 0.3);
        std::vector<double> audio(pcm.size() / 2);
        for (std::size_t i = 0; i < audio.size(); ++i)
            audio[i] = static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8) / 32768.0;
        return Features(audio);
    };
    for (std::size_t i = 0; i < spoken.size(); ++i) {
        const auto& words = spoken[i];
        const double seconds = static_cast<double>(words.size()) / Rate;
        EXPECT_GT(seconds, 2.0);
        EXPECT_LT(seconds, 6.0);
        double peak = 0, sum = 0;
        for (const double v : words) {
            peak = std::max(peak, std::abs(v));
            sum += v * v;
        }
        EXPECT_NEAR(20 * std::log10(peak), 20 * std::log10(0.3), 0.5) << "peaks at IdVolume";
        EXPECT_GT(20 * std::log10(std::sqrt(sum / static_cast<double>(words.size()))), -45);
        const long number = std::lround(voice.overs[i].quietingDb);
        const auto heard = Features(words);
        const double cost = MatchCost(features(number), heard);
        for (const long other : {number + 1, number + 10, number + 30})
            EXPECT_LT(cost, MatchCost(features(other), heard))
                << "over " << i << ": " << number << " matched no better than " << other;
    }

    // The archive's lines carry the same figures and the report.
    std::ifstream csv(archive + "/overs.csv");
    std::vector<std::string> lines;
    for (std::string l; std::getline(csv, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 1 + std::size(Overs));
    for (std::size_t i = 0; i < std::size(Overs); ++i)
        EXPECT_TRUE(lines[i + 1].ends_with(',' + voice.overs[i].code + ',')) << lines[i + 1];

    // No report: the output is what it is without a [Station] section, to the bit.
    const Outcome none = Repeat(dir, weak, "[Station]\nReport=none\n");
    const Outcome without = Repeat(dir, weak, "");
    EXPECT_TRUE(none.errors.find("quorim: over") == std::string::npos);
    EXPECT_FALSE(none.output.empty());
    EXPECT_TRUE(none.output == without.output);
}

} // namespace
