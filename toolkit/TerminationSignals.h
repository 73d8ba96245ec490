// SIGTERM, SIGINT, SIGHUP and SIGQUIT (a service manager, Ctrl+C, a closed terminal or session,
// Ctrl+Backslash) turned into an ordinary call on the thread that runs the event loop, so that the
// program can end as it does for the user: transmitter released, windows closed, devices
// stopped, settings written. The program has one, for every way it runs.
//
// The handler itself only writes the signal's number to a pipe; a socket notifier reads it in the
// event loop. One instance at a time; it puts the previous handlers back when it goes.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace toolkit {

class TerminationSignals {
public:
    // Installs the handlers at once: a signal from now on waits for `watch`.
    TerminationSignals();
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // From the next pass of the event loop on, calls `handler` with each signal that arrived,
    // those that came before this call included.
    void watch(std::function<void(int signal)> handler);

private:
    void drain();

    int read_end_ = -1;
    int write_end_ = -1;
    std::function<void(int)> handler_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace toolkit
