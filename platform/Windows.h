// The window system as the audio devices see it: hidden notification windows whose posted
// messages are handled in order on the thread that owns them, draining one window's queue
// without handling anything else, and the blocking sleep. Qt runs the main loop; a window is a
// QObject that receives one wake-up event per posted message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace Windows {

using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Window handles are numbers, never pointers, so that a message posted to a window that has
// gone away is refused instead of reaching freed memory.
enum class HWND : std::uintptr_t {};

struct MSG {
    HWND hwnd{};
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// What a window method receives; it sets Result.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

using TWndMethod = std::function<void(TMessage&)>;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

// Creates a hidden window on the calling thread whose messages go to Method.
HWND AllocateHWnd(TWndMethod Method);
// Destroys the window; messages still queued for it are discarded.
void DeallocateHWnd(HWND Wnd);
bool IsWindow(HWND Wnd);
// Messages posted to any window and not yet handled.
std::size_t PendingMessages();

// Queues a message for the window. Callable from any thread. FALSE when the window is gone.
BOOL PostMessageW(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
// Takes the oldest message queued for Wnd (a window must be given; filter range 0..0 or Min..Max
// on the message value). Handles nothing else.
BOOL PeekMessageW(MSG* Msg, HWND Wnd, UINT FilterMin, UINT FilterMax, UINT RemoveMsg);
BOOL TranslateMessage(const MSG* Msg);
LRESULT DispatchMessageW(const MSG* Msg);
LRESULT DefWindowProcW(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);

// Blocks the calling thread. A simulated clock may take the wait over (see SetClock).
void Sleep(DWORD Milliseconds);
// Lets the application handle every message that is pending now, once.
void ProcessMessages();
// Monotonic clock in nanoseconds, the one Sleep runs on.
std::int64_t ClockNs();

// A clock that takes part in waits: the simulated sound card installs one so that Sleep moves
// simulated time instead of the wall clock.
class TClock {
public:
    virtual ~TClock() = default;
    virtual void Sleep(DWORD Milliseconds) = 0;
    virtual std::int64_t NowNs() = 0;
};

// Installs Clock (nullptr restores the wall clock); returns the previous one.
TClock* SetClock(TClock* Clock);

} // namespace Windows
