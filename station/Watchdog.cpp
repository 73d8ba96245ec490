#include "station/Watchdog.h"

#include <chrono>

#include <QTimer>

#include "platform/Windows.h"

namespace station {
namespace {

std::int64_t wallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Often enough that a wedged playback, which plays no more buffers to ask on, is caught within a
// fraction of the grace the watchdog leaves.
constexpr int PollMs = 100;

} // namespace

TransmitWatchdog::TransmitWatchdog(std::function<void()> release) : release_(std::move(release)) {}

TransmitWatchdog::~TransmitWatchdog() {
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void TransmitWatchdog::arm(std::int64_t limitNs) {
    armed_ = true;
    startNs_ = Windows::ClockNs();
    limitNs_ = limitNs;
    {
        const std::lock_guard lock(mutex_);
        tripped_ = false;
        wallDeadlineNs_ = wallNs() + limitNs + backstopGraceNs;
        if (!thread_.joinable())
            thread_ = std::thread([this] { backstop(); });
    }
    wake_.notify_all();
    if (!poll_) {
        poll_ = std::make_unique<QTimer>();
        QObject::connect(poll_.get(), &QTimer::timeout, [this] {
            if (overdue() && onOverdue)
                onOverdue();
        });
    }
    poll_->start(PollMs);
}

void TransmitWatchdog::extend(std::int64_t ns) {
    if (!armed_)
        return;
    limitNs_ += ns;
    {
        const std::lock_guard lock(mutex_);
        if (wallDeadlineNs_ != 0)
            wallDeadlineNs_ += ns;
    }
    wake_.notify_all();
}

void TransmitWatchdog::disarm() {
    armed_ = false;
    if (poll_)
        poll_->stop();
    {
        const std::lock_guard lock(mutex_);
        wallDeadlineNs_ = 0;
        tripped_ = false;
    }
    wake_.notify_all();
}

bool TransmitWatchdog::overdue() const {
    if (!armed_)
        return false;
    if (Windows::ClockNs() - startNs_ > limitNs_)
        return true;
    const std::lock_guard lock(mutex_);
    return tripped_;
}

void TransmitWatchdog::backstop() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (wallDeadlineNs_ == 0 || tripped_) {
            wake_.wait(lock);
            continue;
        }
        const std::int64_t left = wallDeadlineNs_ - wallNs();
        if (left > 0) {
            wake_.wait_for(lock, std::chrono::nanoseconds(left));
            continue;
        }
        tripped_ = true;
        lock.unlock();
        release_();
        lock.lock();
    }
}

} // namespace station
