#include "station/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "wave/WaveUtils.h"

namespace station {
namespace {

double dB(double Ratio) {
    return Ratio > 0 ? 20.0 * std::log10(Ratio) : -200.0;
}

// Whole decibels as a caller hears them: never below zero, at most two digits.
long wholeDb(double Db) {
    return std::clamp(std::lround(Db), 0L, 99L);
}

// "децибел" after 1, 21, 5-20…; "децибела" after 2-4, 22-24…
std::string decibelsRu(long N) {
    const long last = N % 10, lastTwo = N % 100;
    const bool few = last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14);
    return std::to_string(N) + (few ? " децибела" : " децибел");
}

std::string decibelsEn(long N) {
    return std::to_string(N) + (N == 1 ? " decibel" : " decibels");
}

} // namespace

OverFigures measureAudio(std::span<const std::uint8_t> Audio, TWaveFormat Mono) {
    const auto& info = WaveDefs::Info(Mono);
    const std::size_t width = info.SampleSize();
    const double full = WaveUtils::FullScale(Mono);
    OverFigures f;
    double peak = 0;
    long double sum = 0;
    std::uint64_t near = 0;
    const std::size_t n = width == 0 ? 0 : Audio.size() / width;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t raw = WaveUtils::ReadSample(Audio.data() + i * width, Mono);
        const double v = raw - info.ZeroLevel;
        peak = std::max(peak, std::abs(v));
        sum += v * v;
        if (v <= -full || v >= full - 1)
            ++f.fullScale;
        if (std::abs(v) >= NearFullScale * full)
            ++near;
    }
    f.seconds = n == 0 ? 0 : static_cast<double>(n) / info.SampleRate;
    f.peakDb = dB(peak / full);
    f.rmsDb = n == 0 ? -200 : dB(std::sqrt(static_cast<double>(sum / n)) / full);
    f.fullScalePercent = n == 0 ? 0 : 100.0 * static_cast<double>(near) / static_cast<double>(n);
    return f;
}

Level levelOf(const OverFigures& Figures, const Settings& S) {
    if (Figures.fullScalePercent >= ClippedPercent)
        return Level::Clipped;
    if (Figures.rmsDb < S.reportLowDb)
        return Level::Low;
    if (Figures.rmsDb > S.reportHighDb)
        return Level::Loud;
    return Level::Good;
}

std::string reportWords(const OverFigures& Figures, Level L, const std::string& Language) {
    const bool ru = Language != "en";
    std::string text;
    if (Figures.quietingDb) {
        const long n = wholeDb(*Figures.quietingDb);
        text += ru ? "Шумоподавление " + decibelsRu(n) + ". " : "Quieting " + decibelsEn(n) + ". ";
    } else if (Figures.marginDb) {
        const long n = wholeDb(*Figures.marginDb);
        text += ru ? "Запас " + decibelsRu(n) + ". " : "Margin " + decibelsEn(n) + ". ";
    }
    static constexpr const char* Ru[] = {"Уровень низкий.", "Уровень хороший.", "Уровень высокий.",
                                         "Перегрузка."};
    static constexpr const char* En[] = {"Audio low.", "Audio good.", "Audio loud.",
                                         "Audio clipped."};
    return text + (ru ? Ru : En)[static_cast<int>(L)];
}

std::string reportCode(const OverFigures& Figures, Level L) {
    std::string code;
    if (Figures.quietingDb)
        code = "Q" + std::to_string(wholeDb(*Figures.quietingDb)) + " ";
    else if (Figures.marginDb)
        code = "M" + std::to_string(wholeDb(*Figures.marginDb)) + " ";
    static constexpr const char* Levels[] = {"LO", "OK", "HI", "CL"};
    return code + "L " + Levels[static_cast<int>(L)];
}

std::string decimals(double V, int Decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", Decimals, V);
    return text;
}

std::string reportLine(const OverFigures& Figures, Level L) {
    std::string line = "over " + decimals(Figures.seconds, 2) + " s: peak " +
                       decimals(Figures.peakDb, 1) + " dBFS, RMS " + decimals(Figures.rmsDb, 1) +
                       " dBFS, near full scale " + decimals(Figures.fullScalePercent, 2) + " %";
    if (Figures.quietingDb)
        line += ", quieting " + decimals(*Figures.quietingDb, 1) + " dB";
    if (Figures.marginDb)
        line += ", margin " + decimals(*Figures.marginDb, 1) + " dB";
    return line + ": " + reportCode(Figures, L);
}

void SquelchFigures::reset() {
    idleCount_ = idleNext_ = 0;
    dropOver();
}

void SquelchFigures::add(bool Raw, double Figure) {
    const double db = dB(Figure);
    if (!Raw) {
        // A channel at digital silence (a receiver's own squelch closed, a muted input) has no
        // hiss to quiet: counted, it would report a quieting of -126 dB.
        if (Figure <= 0)
            return;
        idle_[idleNext_] = db;
        idleNext_ = (idleNext_ + 1) % IdleBuffers;
        idleCount_ = std::min(idleCount_ + 1, IdleBuffers);
        return;
    }
    // The idle figure is the one from before the carrier came.
    if (overCount_ == 0)
        idleAtOverStart_ = idleMedian();
    const double bin = std::clamp((db - LowestDb) / BinDb, 0.0, double(Bins - 1));
    ++over_[static_cast<std::size_t>(bin)];
    ++overCount_;
}

void SquelchFigures::takeOver(OverFigures& Figures, const Squelch& S) {
    if (overCount_ > 0 && S.scheme != squelch::Scheme::none) {
        std::uint64_t below = 0;
        std::size_t bin = 0;
        while (bin + 1 < Bins && (below += over_[bin]) * 2 < overCount_)
            ++bin;
        Figures.overDb = LowestDb + (static_cast<double>(bin) + 0.5) * BinDb;
        if (S.scheme == squelch::Scheme::noiseBand) {
            Figures.idleDb = idleAtOverStart_;
            if (Figures.idleDb)
                Figures.quietingDb = *Figures.idleDb - *Figures.overDb;
        } else {
            Figures.marginDb = dB(S.level) - *Figures.overDb;
        }
    }
    dropOver();
}

void SquelchFigures::dropOver() {
    if (overCount_ > 0)
        over_.fill(0);
    overCount_ = 0;
    idleAtOverStart_.reset();
}

std::optional<double> SquelchFigures::idleMedian() const {
    if (idleCount_ < MinIdleBuffers)
        return std::nullopt;
    std::array<double, IdleBuffers> sorted{};
    std::copy_n(idle_.begin(), idleCount_, sorted.begin());
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(idleCount_ / 2);
    std::nth_element(sorted.begin(), middle,
                     sorted.begin() + static_cast<std::ptrdiff_t>(idleCount_));
    return *middle;
}

} // namespace station
