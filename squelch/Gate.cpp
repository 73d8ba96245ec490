#include "squelch/Gate.h"

#include <algorithm>
#include <cstdio>

#include "squelch/Meter.h"

namespace squelch {

void Gate::notice(const std::string& text) {
    if (onNotice)
        onNotice(text);
}

bool Gate::judge(bool raw, const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono,
                 bool schemeA) {
    const auto& info = WaveDefs::Info(mono);
    const double bytesPerMs = info.SampleRate * info.SampleSize() / 1000.0;
    lastMs_ = bytesPerMs > 0 ? size / bytesPerMs : 0;
    const bool silent = isSilent(data, size, mono);
    if (silent) {
        silentMs_ += lastMs_;
        if (!dead_ && silentMs_ > deadInputMs) {
            dead_ = true;
            notice("no audio on the control channel: every sample has been at the zero level "
                   "for over 5 s");
            if (onDeadInput)
                onDeadInput(true);
        }
    } else {
        silentMs_ = 0;
        if (dead_) {
            dead_ = false;
            notice("audio on the control channel again");
            if (onDeadInput)
                onDeadInput(false);
        }
    }
    if (silent && schemeA && settings.silenceIsNoSignal)
        raw = false;
    lastRaw_ = raw;
    return raw;
}

void Gate::recorded(std::size_t index) {
    if (index == 0) {
        overMs_ = 0;
        signalBlocks_ = 0;
        signalMs_ = 0;
    }
    overMs_ += lastMs_;
    if (lastRaw_) {
        signalBlocks_ = index + 1;
        signalMs_ = overMs_;
    }
}

std::size_t Gate::replayed(std::size_t blocks) {
    if (signalMs_ < settings.minOverMs) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "an over with %.3f s of signal is shorter than MinOver (%u ms): not replayed",
                      signalMs_ / 1000, static_cast<unsigned>(settings.minOverMs));
        notice(text);
        return 0;
    }
    if (!settings.trimTail)
        return blocks;
    if (signalBlocks_ == 0)
        notice("an over of the hold alone, without a signal buffer, was not replayed");
    return std::min(signalBlocks_, blocks);
}

} // namespace squelch
