// The tone squelch's figures on the FM-link model's discriminator output, buffer by buffer as
// the repeater reads them: how soon it opens on overs with the right tone at 30, 20 and 12 dB
// CNR, whether it holds them whole, and how often it opens on the neighbouring standard tones,
// on overs without a tone and on long stretches of hiss and of toneless speech.
// Usage: ctcss-figures [TONE_HZ [MINUTES]]   (defaults: 100.0 Hz, 30 minutes of each)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "squelch/Ctcss.h"
#include "tests/squelch/FmLink.h"

namespace {

constexpr std::uint32_t rate = fm_link::rate;
constexpr std::size_t frames = 2048; // a buffer of the defaults at 16-bit stereo
constexpr double holdSeconds = 0.5;  // SquelchDelay's default

struct Run {
    std::vector<double> delays; // carrier to the first open buffer's end, per over
    int overs = 0, whole = 0, opens = 0;
};

// Feeds the audio as 16-bit samples, one buffer at a time, and judges each over on the tone.
Run judge(const std::vector<float>& audio, const std::vector<fm_link::Over>& overs, double tone) {
    squelch::ToneSquelch squelch(tone, rate, 15, 9);
    std::vector<std::int16_t> pcm(frames);
    std::vector<bool> open;
    for (std::size_t at = 0; at + frames <= audio.size(); at += frames) {
        for (std::size_t i = 0; i < frames; ++i)
            pcm[i] = static_cast<std::int16_t>(
                std::clamp(std::lround(audio[at + i] * 32768.0), -32768L, 32767L));
        open.push_back(squelch.judge(pcm.data(), frames * 2, WaveDefs::TWaveFormat::wf48000mono16));
    }
    const double buffer = double(frames) / rate;
    Run r;
    for (std::size_t b = 0; b < open.size(); ++b)
        if (open[b] && (b == 0 || !open[b - 1]))
            ++r.opens;
    for (const auto& o : overs) {
        ++r.overs;
        const auto first = static_cast<std::size_t>(o.start / buffer);
        const auto last =
            std::min(open.size(), static_cast<std::size_t>((o.start + o.length) / buffer));
        std::size_t b = first;
        while (b < last && !open[b])
            ++b;
        if (b == last)
            continue;
        r.delays.push_back((double(b) + 1) * buffer - o.start);
        // Whole: open before the speech and never closed longer than the hold until its end.
        bool whole = (double(b) + 1) * buffer <= o.start + fm_link::speechLead + buffer;
        double closed = 0;
        for (std::size_t k = b; k < last; ++k) {
            closed = open[k] ? 0 : closed + buffer;
            if (closed > holdSeconds &&
                double(k) * buffer < o.start + o.length - fm_link::speechTail)
                whole = false;
        }
        r.whole += whole ? 1 : 0;
    }
    return r;
}

std::vector<fm_link::Over> overs(int count, double tone, int neighbour, double& seconds) {
    std::vector<fm_link::Over> list;
    double at = 2;
    for (int i = 0; i < count; ++i) {
        const double length = 2 + (i % 5);
        list.push_back({at, length, true, {}, tone, neighbour});
        at += length + 2.5;
    }
    seconds = at + 1;
    return list;
}

double percentile(std::vector<double> v, double share) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(share * (v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char** argv) {
    const double tone = argc > 1 ? std::atof(argv[1]) : 100.0;
    const double minutes = argc > 2 ? std::atof(argv[2]) : 30;
    std::printf("CTCSS %.1f Hz, buffers of %zu frames at %u Hz\n", tone, frames, rate);
    for (const double cnr : {30.0, 20.0, 12.0}) {
        fm_link::Receiver rx;
        rx.cnrDb = cnr;
        double seconds = 0;
        const auto toned = overs(40, tone, 0, seconds);
        const Run r = judge(fm_link::render(rx, toned, seconds, 31), toned, tone);
        std::printf("%4.0f dB: %d of %d overs whole, detection ms: min %.0f, median %.0f, 90 %% "
                    "%.0f, max %.0f\n",
                    cnr, r.whole, r.overs, 1000 * percentile(r.delays, 0),
                    1000 * percentile(r.delays, 0.5), 1000 * percentile(r.delays, 0.9),
                    1000 * percentile(r.delays, 1));
        for (const int side : {-1, 1}) {
            const auto other = overs(20, tone, side, seconds);
            const Run n = judge(fm_link::render(rx, other, seconds, 32 + side), other, tone);
            std::printf("        neighbour %.1f Hz: %d opens in %d overs\n",
                        fm_link::sentTone(other[0]), n.opens, n.overs);
        }
        const auto plain = overs(20, 0, 0, seconds);
        const Run p = judge(fm_link::render(rx, plain, seconds, 35), plain, tone);
        std::printf("        no tone: %d opens in %d overs\n", p.opens, p.overs);
    }
    fm_link::Receiver rx;
    rx.cnrDb = 20;
    const double seconds = 60 * minutes;
    const Run hiss = judge(fm_link::render(rx, {}, seconds, 41), {}, tone);
    std::printf("%.0f minutes of hiss: %d opens\n", minutes, hiss.opens);
    const std::vector<fm_link::Over> speech{{0.5, seconds - 1, true}};
    const Run talk = judge(fm_link::render(rx, speech, seconds, 42), {}, tone);
    std::printf("%.0f minutes of toneless speech at 20 dB: %d opens\n", minutes, talk.opens);
    return 0;
}
