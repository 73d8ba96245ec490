#include "station/Speech.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <espeak-ng/espeak_ng.h>
#include <stdexcept>
#include <utility>
#include <vector>

namespace station {
namespace {

// The engine's entry points, looked up once in the library. It stays loaded: unloading a
// library with threads and state of its own gains nothing.
struct Engine {
    decltype(&espeak_ng_InitializePath) initializePath = nullptr;
    decltype(&espeak_ng_Initialize) initialize = nullptr;
    decltype(&espeak_ng_InitializeOutput) initializeOutput = nullptr;
    decltype(&espeak_ng_GetSampleRate) sampleRate = nullptr;
    decltype(&espeak_ng_SetVoiceByName) setVoice = nullptr;
    decltype(&espeak_ng_SetParameter) setParameter = nullptr;
    decltype(&espeak_SetSynthCallback) setCallback = nullptr;
    decltype(&espeak_ng_Synthesize) synthesize = nullptr;
    decltype(&espeak_ng_GetStatusCodeMessage) message = nullptr;
    decltype(&espeak_ng_ClearErrorContext) clearContext = nullptr;
    std::string missing; // why it cannot be used
};

constexpr const char* Library = "libespeak-ng.so.1";

const Engine& engine() {
    static const Engine e = [] {
        Engine e;
        void* library = dlopen(Library, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            e.missing = std::string("the speech engine is not installed (") + Library + ")";
            return e;
        }
        auto find = [&](auto& Function, const char* Name) {
            Function =
                reinterpret_cast<std::remove_reference_t<decltype(Function)>>(dlsym(library, Name));
            if (Function == nullptr && e.missing.empty())
                e.missing = std::string("the speech engine ") + Library + " lacks " + Name;
        };
        find(e.initializePath, "espeak_ng_InitializePath");
        find(e.initialize, "espeak_ng_Initialize");
        find(e.initializeOutput, "espeak_ng_InitializeOutput");
        find(e.sampleRate, "espeak_ng_GetSampleRate");
        find(e.setVoice, "espeak_ng_SetVoiceByName");
        find(e.setParameter, "espeak_ng_SetParameter");
        find(e.setCallback, "espeak_SetSynthCallback");
        find(e.synthesize, "espeak_ng_Synthesize");
        find(e.message, "espeak_ng_GetStatusCodeMessage");
        find(e.clearContext, "espeak_ng_ClearErrorContext");
        return e;
    }();
    return e;
}

std::string describe(espeak_ng_STATUS Status) {
    char text[256] = {};
    engine().message(Status, text, sizeof text);
    return text;
}

// Synthesis hands its samples here, with the vector given to espeak_ng_Synthesize.
int collect(short* Samples, int Count, espeak_EVENT* Events) {
    if (Samples == nullptr || Count <= 0 || Events == nullptr || Events->user_data == nullptr)
        return 0;
    auto& into = *static_cast<std::vector<short>*>(Events->user_data);
    into.insert(into.end(), Samples, Samples + Count);
    return 0;
}

// The engine is started once for the process and never stopped: stopping it and starting it
// again deadlocks (eSpeak NG 1.51). It reports why it cannot start every time it is asked.
int startEngine() {
    static const std::pair<int, std::string> started = []() -> std::pair<int, std::string> {
        const Engine& e = engine();
        if (!e.missing.empty())
            return {0, e.missing};
        // No path: the engine's own, or ESPEAK_DATA_PATH.
        e.initializePath(nullptr);
        espeak_ng_ERROR_CONTEXT context = nullptr;
        if (const espeak_ng_STATUS s = e.initialize(&context); s != ENS_OK) {
            e.clearContext(&context);
            return {0, "the speech engine's voice data cannot be read: " + describe(s)};
        }
        if (const espeak_ng_STATUS s = e.initializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
            s != ENS_OK)
            return {0, "the speech engine cannot start: " + describe(s)};
        // A little slower than the engine's 175 words a minute: a radio channel blurs speech.
        e.setParameter(espeakRATE, 150, 0);
        e.setCallback(collect);
        return {e.sampleRate(), ""};
    }();
    if (started.first == 0)
        throw std::runtime_error(started.second);
    return started.first;
}

// The voice the engine speaks with now.
std::string& currentVoice() {
    static std::string voice;
    return voice;
}

void useVoice(const std::string& Language) {
    if (currentVoice() == Language)
        return;
    if (const espeak_ng_STATUS s = engine().setVoice(Language.c_str()); s != ENS_OK)
        throw std::runtime_error("the speech engine has no voice for '" + Language +
                                 "': " + describe(s));
    currentVoice() = Language;
}

} // namespace

Speech::Speech(const std::string& Language) : language_(Language), rate_(startEngine()) {
    useVoice(language_);
}

Pcm Speech::say(const std::string& Text, TWaveFormat Mono, double Amplitude) {
    useVoice(language_);
    std::vector<short> samples;
    const espeak_ng_STATUS s = engine().synthesize(Text.c_str(), Text.size() + 1, 0, POS_CHARACTER,
                                                   0, espeakCHARS_UTF8, nullptr, &samples);
    if (s != ENS_OK)
        throw std::runtime_error("the speech engine failed: " + describe(s));
    int peak = 0;
    for (const short v : samples)
        peak = std::max(peak, std::abs(int{v}));
    if (peak == 0)
        return {};
    // The engine ends with a pause of its own; the keying stops with the last word.
    std::size_t end = samples.size();
    while (end > 0 && std::abs(int{samples[end - 1]}) * 1000 < peak)
        --end;
    std::vector<double> audio(end);
    for (std::size_t i = 0; i < end; ++i)
        audio[i] = samples[i] * Amplitude / peak;
    auto converted = resample(audio, rate_, WaveDefs::Info(Mono).SampleRate);
    // Resampling may overshoot the peak a little; keep the level asked for.
    double top = 0;
    for (const double v : converted)
        top = std::max(top, std::abs(v));
    if (top > Amplitude)
        for (double& v : converted)
            v *= Amplitude / top;
    return toPcm(converted, Mono);
}

} // namespace station
