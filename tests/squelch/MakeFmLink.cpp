// Writes a receiver recording of the FM-link model, to try the squelch and --calibrate offline.
// Usage: make-fm-link OUT.wav discriminator|speaker[+DB]|speaker8[+DB]|speaker-hp8[+DB] CNR_DB
//                     SECONDS SEED [START:LENGTH[:k][@TONE[-|+]]]...
// (speaker8: the speaker output's voice filter with an 8-pole 3 kHz low-pass; speaker-hp8: with
// an 8-pole 300 Hz high-pass, which takes the CTCSS tones away; "+DB": the speaker output's volume
// turned up by DB decibels; each over: start and length in seconds; ":k" for a kerchunk without
// speech; "@TONE" a CTCSS tone in hertz at 500 Hz deviation, "-" or "+" after it for the standard
// tone below or above)
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tests/squelch/FmLink.h"

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: make-fm-link OUT.wav "
                             "discriminator|speaker[+DB]|speaker8[+DB]|speaker-hp8[+DB] CNR_DB "
                             "SECONDS SEED [START:LENGTH[:k][@TONE[-|+]]]...\n");
        return 2;
    }
    const std::string name = argv[2];
    const std::string output = name.substr(0, name.find('+'));
    fm_link::Receiver receiver;
    receiver.output =
        output == "discriminator" ? fm_link::Output::discriminator : fm_link::Output::speaker;
    receiver.voicePoles = output == "speaker8" ? 8 : 4;
    receiver.subAudiblePoles = output == "speaker-hp8" ? 8 : 2;
    if (output != name)
        receiver.volumeDb = std::atof(name.c_str() + output.size() + 1);
    receiver.cnrDb = std::atof(argv[3]);
    std::vector<fm_link::Over> overs;
    for (int i = 6; i < argc; ++i) {
        fm_link::Over over;
        char kind = 0;
        const std::string text = argv[i];
        const std::string times = text.substr(0, text.find('@'));
        if (std::sscanf(times.c_str(), "%lf:%lf:%c", &over.start, &over.length, &kind) < 2) {
            std::fprintf(stderr, "make-fm-link: '%s' is not START:LENGTH\n", argv[i]);
            return 2;
        }
        over.speech = kind != 'k';
        if (const auto at = text.find('@'); at != std::string::npos) {
            const std::string tone = text.substr(at + 1);
            over.toneHz = std::atof(tone.c_str());
            over.neighbour = tone.ends_with('-') ? -1 : tone.ends_with('+') ? 1 : 0;
        }
        overs.push_back(over);
    }
    try {
        fm_link::writeWav(argv[1], fm_link::render(receiver, overs, std::atof(argv[4]),
                                                   std::strtoull(argv[5], nullptr, 10)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make-fm-link: %s\n", e.what());
        return 1;
    }
    return 0;
}
