// The program itself, run as its user runs it: its exit status, the headless log on standard
// output and the messages on standard error.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

class QProcess;

namespace quorim_process {

// The program under test, as the build made it.
QString binary();

struct Outcome {
    bool finished = false; // it ended within the time given
    bool crashed = false;
    int status = -1; // its exit status, when it ended normally
    std::string out, errors;
    // Each "SECONDS STATE" line of the headless log, in order.
    std::vector<std::pair<double, std::string>> states;
};

// Runs the program to its end (a failure of the test when it takes longer than TimeoutMs).
Outcome run(const QStringList& Arguments, int TimeoutMs = 60000,
            const QProcessEnvironment& Environment = QProcessEnvironment::systemEnvironment());

// A run to watch while it lasts: wait for what it prints or for its signal handlers, then send
// it a signal. One still running when this goes away is killed.
class Running {
public:
    explicit Running(const QStringList& Arguments);
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    // Waits until standard output has printed Text; false when it had not within TimeoutMs.
    bool waitForOutput(const QByteArray& Text, int TimeoutMs);
    // Waits until the process catches each of the signals; false when it did not in time.
    bool waitCatching(const std::vector<int>& Signals, int TimeoutMs);
    void signal(int Signal);
    // Waits for its end and tells what it said.
    Outcome finish(int TimeoutMs);

private:
    std::unique_ptr<QProcess> process;
    QByteArray out;
};

} // namespace quorim_process
