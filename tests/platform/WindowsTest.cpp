#include "platform/Windows.h"

#include <thread>
#include <vector>

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace Windows;

namespace {

// A hidden window that records what reaches it.
struct TRecordingWindow {
    std::vector<TMessage> Received;
    HWND Wnd = AllocateHWnd([this](TMessage& m) { Received.push_back(m); });
    ~TRecordingWindow() { DeallocateHWnd(Wnd); }
};

void HandleAllPosted() {
    while (PendingMessages() > 0)
        QCoreApplication::processEvents();
}

TEST(NotificationWindows, MessagesPostedFromAnotherThreadArriveInOrder) {
    TRecordingWindow window;
    constexpr int count = 2000;
    std::thread poster([&] {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(PostMessageW(window.Wnd, 0x3C0, static_cast<WPARAM>(i), -i));
    });
    while (static_cast<int>(window.Received.size()) < count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    poster.join();
    HandleAllPosted();
    ASSERT_EQ(window.Received.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(window.Received[i].WParam, static_cast<WPARAM>(i));
        EXPECT_EQ(window.Received[i].LParam, -i);
    }
}

TEST(NotificationWindows, DrainingOneWindowHandlesNothingElseAndCountsWhatItTook) {
    TRecordingWindow a, b;
    PostMessageW(a.Wnd, 1, 10, 0);
    PostMessageW(b.Wnd, 2, 20, 0);
    PostMessageW(a.Wnd, 3, 30, 0);

    MSG msg;
    int drained = 0;
    while (PeekMessageW(&msg, a.Wnd, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
        ++drained;
    }
    EXPECT_EQ(drained, 2);
    ASSERT_EQ(a.Received.size(), 2u);
    EXPECT_EQ(a.Received[0].Msg, 1u);
    EXPECT_EQ(a.Received[1].Msg, 3u);
    EXPECT_TRUE(b.Received.empty());
    EXPECT_EQ(PendingMessages(), 1u);

    // The wake-ups of drained messages find nothing; b's message arrives once.
    HandleAllPosted();
    QCoreApplication::processEvents();
    EXPECT_EQ(a.Received.size(), 2u);
    ASSERT_EQ(b.Received.size(), 1u);
    EXPECT_EQ(b.Received[0].WParam, 20u);
}

TEST(NotificationWindows, PeekWithoutRemovingAndFilterRange) {
    TRecordingWindow window;
    PostMessageW(window.Wnd, 5, 0, 0);
    PostMessageW(window.Wnd, 9, 0, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, window.Wnd, 8, 10, PM_NOREMOVE));
    EXPECT_EQ(msg.message, 9u);
    EXPECT_EQ(PendingMessages(), 2u);
    EXPECT_FALSE(PeekMessageW(&msg, window.Wnd, 11, 20, PM_REMOVE));
    HandleAllPosted();
    ASSERT_EQ(window.Received.size(), 2u);
    EXPECT_EQ(window.Received[0].Msg, 5u);
}

TEST(NotificationWindows, AWindowThatIsGoneRefusesMessagesAndDropsItsQueue) {
    HWND wnd;
    {
        TRecordingWindow window;
        wnd = window.Wnd;
        PostMessageW(wnd, 1, 0, 0);
    }
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_EQ(PostMessageW(wnd, 1, 0, 0), FALSE);
    EXPECT_EQ(PendingMessages(), 0u);
    QCoreApplication::processEvents(); // its stale wake-up, if any, reaches nothing
    MSG msg{wnd, 1, 0, 0};
    EXPECT_EQ(DispatchMessageW(&msg), 0);
}

struct TStepClock final : TClock {
    std::int64_t Now = 0;
    void Sleep(DWORD Ms) override { Now += std::int64_t{Ms} * 1'000'000; }
    std::int64_t NowNs() override { return Now; }
};

TEST(NotificationWindows, SleepAndTheClockRunOnAnInstalledClock) {
    TStepClock clock;
    TClock* previous = SetClock(&clock);
    Windows::Sleep(250);
    EXPECT_EQ(ClockNs(), 250'000'000);
    SetClock(previous);
    EXPECT_NE(ClockNs(), 250'000'000);
}

} // namespace
