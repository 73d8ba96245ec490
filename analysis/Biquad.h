// Second-order filter sections (the audio cookbook's low- and high-pass, direct form I) and
// Butterworth filters made of them: the band limits ahead of the tone detectors, and the FM-link
// model's filters.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace analysis {

struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    double operator()(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    void clear() { x1 = x2 = y1 = y2 = 0; }
    // Its power gain at hz, at the sample rate it was made for.
    double gain2(double hz, double rate) const {
        const std::complex<double> z = std::polar(1.0, -2 * std::numbers::pi * hz / rate);
        return std::norm((b0 + b1 * z + b2 * z * z) / (1.0 + a1 * z + a2 * z * z));
    }
};

// A low- or high-pass section with its corner at hz and quality q (1/sqrt 2: Butterworth).
inline Biquad section(bool highPass, double hz, double q, double rate) {
    const double w = 2 * std::numbers::pi * hz / rate;
    const double alpha = std::sin(w) / (2 * q);
    const double c = std::cos(w);
    const double a0 = 1 + alpha;
    Biquad b;
    b.b0 = (highPass ? (1 + c) : (1 - c)) / 2 / a0;
    b.b1 = (highPass ? -(1 + c) : (1 - c)) / a0;
    b.b2 = b.b0;
    b.a1 = -2 * c / a0;
    b.a2 = (1 - alpha) / a0;
    return b;
}

// A Butterworth filter of an even order as a cascade of second-order sections.
class Butterworth {
public:
    Butterworth(bool highPass, double hz, int order, double rate) {
        for (int i = 0; i < order / 2; ++i)
            sections_.push_back(
                section(highPass, hz,
                        1 / (2 * std::cos(std::numbers::pi * (2 * i + 1) / (2.0 * order))), rate));
    }
    double operator()(double x) {
        for (auto& s : sections_)
            x = s(x);
        return x;
    }

private:
    std::vector<Biquad> sections_;
};

} // namespace analysis
