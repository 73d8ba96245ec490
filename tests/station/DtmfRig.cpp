// Quorim's DTMF receiver side by side with multimon-ng's on the same audio from the FM-link
// model: digits found and false digits for 200 random sequences at each receiver output and
// carrier-to-noise ratio, and the talk-off over a long stretch of speech with hiss between
// overs. Usage: dtmf-rig [SEQUENCES [TALK_OFF_MINUTES]] (defaults 200 and 30), or
// dtmf-rig --tolerance for the off-frequency, twist and duration figures.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "tests/station/DtmfAudio.h"

namespace {

// multimon-ng's digits in audio at fm_link::rate, given to it as it wants it: 22050 Hz, 16 bit.
std::string multimon(const std::vector<float>& Audio) {
    const std::vector<double> in(Audio.begin(), Audio.end());
    const std::vector<double> at = station::resample(in, fm_link::rate, 22050);
    const auto path =
        std::filesystem::temp_directory_path() / ("dtmf-rig-" + std::to_string(getpid()) + ".raw");
    {
        std::ofstream raw(path, std::ios::binary);
        for (const double v : at) {
            const auto s = static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767));
            raw.write(reinterpret_cast<const char*>(&s), 2);
        }
    }
    const std::string command =
        "multimon-ng -q -c -a DTMF -t raw '" + path.string() + "' 2>/dev/null";
    std::string digits;
    if (FILE* p = popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p) != nullptr)
            if (std::string l = line; l.starts_with("DTMF: ") && l.size() > 6)
                digits += l[6];
        pclose(p);
    } else {
        std::fprintf(stderr, "dtmf-rig: multimon-ng cannot be run\n");
    }
    std::filesystem::remove(path);
    return digits;
}

} // namespace

// Each digit once per stretch, keyed with T, and how many of the 16 the receiver takes.
void tolerance() {
    struct Variant {
        const char* name;
        dtmf_audio::Tone t;
    };
    const Variant variants[] = {
        {"standard", {}},
        {"both +1.5 %", {1.015, 1.015}},
        {"both -1.5 %", {0.985, 0.985}},
        {"low +1.5 % high -1.5 %", {1.015, 0.985}},
        {"low -1.5 % high +1.5 %", {0.985, 1.015}},
        {"both +3.5 %", {1.035, 1.035}},
        {"both -3.5 %", {0.965, 0.965}},
        {"low +3.5 %", {1.035, 1}},
        {"low -3.5 %", {0.965, 1}},
        {"high +3.5 %", {1, 1.035}},
        {"high -3.5 %", {1, 0.965}},
        {"twist +8 dB", {1, 1, 8}},
        {"twist -4 dB", {1, 1, -4}},
        {"30 ms tone", {1, 1, 0, -10, 30, 50}},
        {"40 ms tone", {1, 1, 0, -10, 40, 50}},
    };
    using fm_link::Output;
    for (const Output output : {Output::speaker, Output::discriminator}) {
        for (const Variant& v : variants) {
            std::size_t taken = 0, wrong = 0;
            for (std::uint64_t seed = 1; seed <= 4; ++seed) {
                const auto audio =
                    dtmf_audio::overs({"0123456789*#ABCD"}, {output, 4, 30}, v.t, seed);
                const auto s = dtmf_audio::score("0123456789*#ABCD",
                                                 dtmf_audio::heard(audio, fm_link::rate, 16));
                taken += s.found;
                wrong += s.falseDigits;
            }
            std::printf("| %s | %s | %zu of 64 | %zu |\n",
                        output == Output::speaker ? "speaker" : "discriminator", v.name, taken,
                        wrong);
        }
    }
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--tolerance") {
        tolerance();
        return 0;
    }
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const double minutes = argc > 2 ? std::atof(argv[2]) : 30;
    using fm_link::Output;
    struct Case {
        const char* name;
        fm_link::Receiver r;
    };
    const Case cases[] = {
        {"speaker 30 dB", {Output::speaker, 4, 30}},
        {"speaker 20 dB", {Output::speaker, 4, 20}},
        {"speaker 15 dB", {Output::speaker, 4, 15}},
        {"discriminator 30 dB", {Output::discriminator, 4, 30}},
        {"discriminator 20 dB", {Output::discriminator, 4, 20}},
        {"discriminator 15 dB", {Output::discriminator, 4, 15}},
        {"discriminator 10 dB", {Output::discriminator, 4, 10}},
        {"speaker 10 dB", {Output::speaker, 4, 10}},
    };
    std::printf("| audio | digits sent | Quorim found | Quorim false | multimon-ng found | "
                "multimon-ng false |\n|---|---|---|---|---|---|\n");
    std::uint64_t seed = 1;
    for (const Case& c : cases) {
        const auto sequences = dtmf_audio::randomSequences(count, seed);
        const auto audio = dtmf_audio::overs(sequences, c.r, {}, seed++);
        const std::string sent = dtmf_audio::joined(sequences);
        const auto ours = dtmf_audio::score(sent, dtmf_audio::heard(audio, fm_link::rate, 16));
        const auto theirs = dtmf_audio::score(sent, multimon(audio));
        std::printf("| %s | %zu | %zu | %zu | %zu | %zu |\n", c.name, ours.sent, ours.found,
                    ours.falseDigits, theirs.found, theirs.falseDigits);
        std::fflush(stdout);
    }
    // Talk-off: overs of speech of 5 to 40 s with 2 s of hiss between them.
    for (const Output output : {Output::speaker, Output::discriminator}) {
        std::vector<fm_link::Over> list;
        double at = 1;
        std::uint64_t n = 0;
        while (at < minutes * 60) {
            const double length = 5 + static_cast<double>((n * 7919) % 36);
            list.push_back({at, length, true, {}});
            at += length + 2;
            ++n;
        }
        const auto audio = fm_link::render({output, 4, 20}, list, at + 1, 99);
        const auto ours = dtmf_audio::heard(audio, fm_link::rate, 16);
        const auto theirs = multimon(audio);
        std::printf("| talk-off, %.0f min of speech, %s 20 dB | 0 | - | %zu | - | %zu |\n", at / 60,
                    output == Output::speaker ? "speaker" : "discriminator", ours.size(),
                    theirs.size());
        std::fflush(stdout);
    }
    return 0;
}
