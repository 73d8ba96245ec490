// Spoken words through the eSpeak NG engine, loaded when first needed so that the station runs,
// with Morse instead, on a machine without it.
#pragma once

#include <string>

#include "Audio.h"

namespace station {

class Speech {
public:
    // Loads the engine and the voice for Language ("ru", "en"). Throws std::runtime_error
    // saying what is missing: the library or its voice data. One Speech at a time: the engine
    // keeps its state in the library.
    explicit Speech(const std::string& Language);
    ~Speech();
    Speech(const Speech&) = delete;
    Speech& operator=(const Speech&) = delete;

    // Text spoken in Mono, its loudest sample at Amplitude (1: full scale), without the
    // engine's trailing silence. Throws std::runtime_error when the engine fails.
    Pcm say(const std::string& Text, TWaveFormat Mono, double Amplitude);

private:
    int rate_ = 0;
};

} // namespace station
