// Writes a receiver recording of the FM-link model, to try the squelch and --calibrate offline.
// Usage: make-fm-link OUT.wav discriminator|speaker|speaker8 CNR_DB SECONDS SEED
//                     [START:LENGTH[:k]]...
// (each over: start and length in seconds; ":k" for a kerchunk without speech)
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tests/squelch/FmLink.h"

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: make-fm-link OUT.wav discriminator|speaker|speaker8 CNR_DB "
                             "SECONDS SEED [START:LENGTH[:k]]...\n");
        return 2;
    }
    const std::string output = argv[2];
    fm_link::Receiver receiver;
    receiver.output =
        output == "discriminator" ? fm_link::Output::discriminator : fm_link::Output::speaker;
    receiver.voicePoles = output == "speaker8" ? 8 : 4;
    receiver.cnrDb = std::atof(argv[3]);
    std::vector<fm_link::Over> overs;
    for (int i = 6; i < argc; ++i) {
        fm_link::Over over;
        char kind = 0;
        if (std::sscanf(argv[i], "%lf:%lf:%c", &over.start, &over.length, &kind) < 2) {
            std::fprintf(stderr, "make-fm-link: '%s' is not START:LENGTH\n", argv[i]);
            return 2;
        }
        over.speech = kind != 'k';
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
