// Spoken words through the eSpeak NG engine, loaded when first needed so that the station runs,
// with Morse instead, on a machine without it.
#pragma once

#include <string>

#include "station/Audio.h"

namespace station {

class Speech {
public:
    // Loads the engine, once for the process, and the voice for Language ("ru", "en"). Throws
    // std::runtime_error saying what is missing: the library, its voice data or the voice.
    // The engine keeps its state in the library: use it from one thread.
    explicit Speech(const std::string& Language);

    // Text spoken in Mono, its loudest sample at Amplitude (1: full scale), without the
    // engine's trailing silence. Throws std::runtime_error when the engine fails.
    Pcm say(const std::string& Text, TWaveFormat Mono, double Amplitude);

private:
    std::string language_;
    int rate_ = 0;
};

} // namespace station
