// The transmit watchdog: a transmission that outlasts the longest one the settings allow is
// ended, whatever state the controller believes it is in. Every repeater controller has one, so
// that a bug, a wedged sound server or a stuck playback never leaves the transmitter keyed.
//
// Two clocks watch the same deadline. The program's clock (the simulated card's, in tests and
// offline runs) is asked on every played buffer and by a timer on the event loop; that is where
// the repeater is stopped in order. A thread of its own waits on the wall clock a little longer
// and releases the line by itself, should the program's thread be stuck.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QTimer;

namespace station {

class TransmitWatchdog {
public:
    // Release is called on the watchdog's own thread when the program's thread has not ended an
    // overdue transmission in time: it must be safe to call from there.
    explicit TransmitWatchdog(std::function<void()> release);
    ~TransmitWatchdog();
    TransmitWatchdog(const TransmitWatchdog&) = delete;
    TransmitWatchdog& operator=(const TransmitWatchdog&) = delete;

    // The transmission starts now and may last LimitNs.
    void arm(std::int64_t limitNs);
    // What it may last grows by Ns (audio that was not known when it started).
    void extend(std::int64_t ns);
    void disarm();
    bool armed() const { return armed_; }
    // Armed and past the deadline on the program's clock, or released by the backstop.
    bool overdue() const;
    std::int64_t limitNs() const { return limitNs_; }

    // Called on the program's thread from the event loop's timer when a transmission is overdue.
    std::function<void()> onOverdue;

    // How much longer than the deadline the backstop thread waits, on the wall clock.
    static constexpr std::int64_t backstopGraceNs = 1'000'000'000;

private:
    void backstop();

    std::function<void()> release_;
    bool armed_ = false;
    std::int64_t startNs_ = 0;
    std::int64_t limitNs_ = 0;
    std::unique_ptr<QTimer> poll_;

    // Shared with the backstop thread.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::int64_t wallDeadlineNs_ = 0; // 0: not armed
    bool tripped_ = false;
    bool quit_ = false;
    std::thread thread_;
};

} // namespace station
