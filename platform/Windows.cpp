#include "platform/Windows.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace Windows {
namespace {

QEvent::Type WakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// Receives one wake-up per posted message and handles the window's oldest message then. A
// wake-up that finds the queue already drained (by PeekMessageW) does nothing.
class TWindowObject final : public QObject {
public:
    explicit TWindowObject(HWND Wnd) : FWnd(Wnd) {}

    bool event(QEvent* Event) override {
        if (Event->type() != WakeEventType())
            return QObject::event(Event);
        MSG msg;
        if (PeekMessageW(&msg, FWnd, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return true;
    }

private:
    HWND FWnd;
};

struct TWindowRecord {
    TWndMethod Method;
    std::deque<MSG> Queue;
    std::unique_ptr<TWindowObject> Object;
};

// One lock for the registry and every window's queue: posting is short and rare (a few hundred
// messages a second at most).
struct TRegistry {
    std::mutex Lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<TWindowRecord>> Windows;
    std::uintptr_t NextHandle = 1;
};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

std::shared_ptr<TWindowRecord> Find(HWND Wnd) {
    auto& reg = Registry();
    std::lock_guard lock(reg.Lock);
    auto it = reg.Windows.find(static_cast<std::uintptr_t>(Wnd));
    return it == reg.Windows.end() ? nullptr : it->second;
}

class TWallClock final : public TClock {
public:
    void Sleep(DWORD Milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
    }
    std::int64_t NowNs() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - FOrigin)
            .count();
    }

private:
    std::chrono::steady_clock::time_point FOrigin = std::chrono::steady_clock::now();
};

TWallClock& WallClock() {
    static TWallClock clock;
    return clock;
}

TClock* CurrentClock = nullptr;

} // namespace

HWND AllocateHWnd(TWndMethod Method) {
    auto& reg = Registry();
    auto record = std::make_shared<TWindowRecord>();
    record->Method = std::move(Method);
    HWND wnd;
    {
        std::lock_guard lock(reg.Lock);
        wnd = HWND{reg.NextHandle++};
    }
    record->Object = std::make_unique<TWindowObject>(wnd);
    std::lock_guard lock(reg.Lock);
    reg.Windows.emplace(static_cast<std::uintptr_t>(wnd), std::move(record));
    return wnd;
}

void DeallocateHWnd(HWND Wnd) {
    std::shared_ptr<TWindowRecord> record;
    {
        auto& reg = Registry();
        std::lock_guard lock(reg.Lock);
        auto it = reg.Windows.find(static_cast<std::uintptr_t>(Wnd));
        if (it == reg.Windows.end())
            return;
        record = std::move(it->second);
        reg.Windows.erase(it);
    }
    // Deleting the object drops its pending wake-ups; nobody can post to it any more.
    record->Object.reset();
}

bool IsWindow(HWND Wnd) {
    return Find(Wnd) != nullptr;
}

std::size_t PendingMessages() {
    auto& reg = Registry();
    std::lock_guard lock(reg.Lock);
    std::size_t count = 0;
    for (const auto& [handle, record] : reg.Windows)
        count += record->Queue.size();
    return count;
}

BOOL PostMessageW(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto& reg = Registry();
    std::lock_guard lock(reg.Lock);
    auto it = reg.Windows.find(static_cast<std::uintptr_t>(Wnd));
    if (it == reg.Windows.end())
        return FALSE;
    it->second->Queue.push_back(MSG{Wnd, Msg, WParam, LParam});
    // Under the lock, so the object cannot be deleted between the lookup and the post.
    QCoreApplication::postEvent(it->second->Object.get(), new QEvent(WakeEventType()));
    return TRUE;
}

BOOL PeekMessageW(MSG* Msg, HWND Wnd, UINT FilterMin, UINT FilterMax, UINT RemoveMsg) {
    if (Msg == nullptr)
        return FALSE;
    auto& reg = Registry();
    std::lock_guard lock(reg.Lock);
    auto it = reg.Windows.find(static_cast<std::uintptr_t>(Wnd));
    if (it == reg.Windows.end())
        return FALSE;
    auto& queue = it->second->Queue;
    const bool anyMessage = FilterMin == 0 && FilterMax == 0;
    for (auto m = queue.begin(); m != queue.end(); ++m) {
        if (anyMessage || (m->message >= FilterMin && m->message <= FilterMax)) {
            *Msg = *m;
            if ((RemoveMsg & PM_REMOVE) != 0)
                queue.erase(m);
            return TRUE;
        }
    }
    return FALSE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* Msg) {
    if (Msg == nullptr)
        return 0;
    auto record = Find(Msg->hwnd);
    if (!record || !record->Method)
        return 0;
    TMessage message{Msg->message, Msg->wParam, Msg->lParam, 0};
    record->Method(message);
    return message.Result;
}

LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

void Sleep(DWORD Milliseconds) {
    if (CurrentClock != nullptr)
        CurrentClock->Sleep(Milliseconds);
    else
        WallClock().Sleep(Milliseconds);
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::int64_t ClockNs() {
    return CurrentClock != nullptr ? CurrentClock->NowNs() : WallClock().NowNs();
}

TClock* SetClock(TClock* Clock) {
    TClock* previous = CurrentClock;
    CurrentClock = Clock;
    return previous;
}

} // namespace Windows
