#include "toolkit/TerminationSignals.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include <QSocketNotifier>

namespace toolkit {
namespace {

constexpr std::array<int, 4> watched_signals{SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// Read by the handler, which may run on any thread: an atomic int is lock-free there.
std::atomic<int> signal_pipe{-1};
std::array<struct sigaction, watched_signals.size()> previous_actions{};

extern "C" void on_signal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal to act on: losing this one changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe.load(), &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals() {
    if (signal_pipe.load() != -1)
        throw std::logic_error("termination signals are already watched");
    int ends[2];
    // Non-blocking: the handler must never wait, and draining stops when the pipe is empty.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make a pipe for the termination signals");
    read_end_ = ends[0];
    write_end_ = ends[1];
    signal_pipe = write_end_;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < watched_signals.size(); ++i)
        sigaction(watched_signals[i], &action, &previous_actions[i]);
}

TerminationSignals::~TerminationSignals() {
    for (std::size_t i = 0; i < watched_signals.size(); ++i)
        sigaction(watched_signals[i], &previous_actions[i], nullptr);
    signal_pipe = -1;
    notifier_.reset();
    ::close(read_end_);
    ::close(write_end_);
}

void TerminationSignals::watch(std::function<void(int signal)> handler) {
    handler_ = std::move(handler);
    if (!notifier_) {
        notifier_ = std::make_unique<QSocketNotifier>(read_end_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                         [this] { drain(); });
    }
}

void TerminationSignals::drain() {
    unsigned char byte;
    while (::read(read_end_, &byte, 1) == 1)
        if (handler_)
            handler_(byte);
}

} // namespace toolkit
