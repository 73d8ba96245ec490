// What the station adds around the repeater's squelch, buffer by buffer: a replay without the
// receiver's squelch tail, kerchunks left unreplayed, and a watch on a control channel gone
// digitally silent. The controller tells it each raw decision and each recorded block, and asks
// it how much of an over to replay; with the settings at their defaults it changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "squelch/Settings.h"
#include "wave/WaveDefs.h"

namespace squelch {

// How long the control channel must stay at the zero level before it is reported.
inline constexpr double deadInputMs = 5000;

class Gate {
public:
    Settings settings;
    // A line for the log: an over left out, the control channel silent or heard again.
    std::function<void(const std::string& text)> onNotice;
    // The control channel has been silent longer than deadInputMs (true), or is heard again.
    std::function<void(bool dead)> onDeadInput;

    // Every analysed buffer of the control channel with its scheme's raw decision, before the
    // hold; returns the raw decision the hold is to see.
    bool judge(bool raw, const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono,
               bool schemeA);
    // The decision of every source for the buffer judged last, which TrimTail and MinOver count.
    bool combined(bool raw) {
        lastRaw_ = raw;
        return raw;
    }
    // The buffer judged last was recorded as block Index of the over; 0 begins a new over.
    void recorded(std::size_t index);
    // The squelch closed on an over of Blocks blocks: how many of them, from the first, to
    // replay; 0 for none.
    std::size_t replayed(std::size_t blocks);
    // The over's blocks up to its last signal buffer: what follows is the receiver's tail.
    std::size_t signalBlocks() const { return signalBlocks_; }

private:
    void notice(const std::string& text);

    bool lastRaw_ = false;
    double lastMs_ = 0;
    double silentMs_ = 0;
    bool dead_ = false;
    // The over being recorded: its length, and the blocks and length up to its last signal.
    double overMs_ = 0;
    std::size_t signalBlocks_ = 0;
    double signalMs_ = 0;
};

} // namespace squelch
