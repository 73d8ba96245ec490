#include "tests/support/QuorimProcess.h"

#include <csignal>
#include <sstream>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

namespace quorim_process {
namespace {

Outcome outcomeOf(QProcess& Process, bool Finished, const QByteArray& Out) {
    Outcome run;
    run.finished = Finished;
    run.crashed = Finished && Process.exitStatus() != QProcess::NormalExit;
    run.status = Finished && !run.crashed ? Process.exitCode() : -1;
    run.out = Out.toStdString();
    run.errors = Process.readAllStandardError().toStdString();
    std::istringstream lines(run.out);
    double seconds;
    std::string text;
    while (lines >> seconds >> text)
        run.states.emplace_back(seconds, text);
    return run;
}

// The signals a process catches, from its status in /proc.
std::uint64_t caughtSignals(qint64 Pid) {
    QFile status(QString("/proc/%1/status").arg(Pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("SigCgt:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16);
    return 0;
}

} // namespace

QString binary() {
    return QUORIM_BINARY;
}

Outcome run(const QStringList& Arguments, int TimeoutMs, const QProcessEnvironment& Environment) {
    QProcess process;
    process.setProcessEnvironment(Environment);
    process.start(binary(), Arguments);
    const bool finished = process.waitForFinished(TimeoutMs);
    EXPECT_TRUE(finished) << "quorim " << Arguments.join(' ').toStdString() << " did not end in "
                          << TimeoutMs << " ms";
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    return outcomeOf(process, finished, process.readAllStandardOutput());
}

Running::Running(const QStringList& Arguments) : process(std::make_unique<QProcess>()) {
    process->start(binary(), Arguments);
    EXPECT_TRUE(process->waitForStarted(10000));
}

Running::~Running() {
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

bool Running::waitForOutput(const QByteArray& Text, int TimeoutMs) {
    QElapsedTimer waited;
    waited.start();
    out += process->readAllStandardOutput();
    while (!out.contains(Text) && waited.elapsed() < TimeoutMs &&
           process->waitForReadyRead(static_cast<int>(TimeoutMs - waited.elapsed())))
        out += process->readAllStandardOutput();
    return out.contains(Text);
}

bool Running::waitCatching(const std::vector<int>& Signals, int TimeoutMs) {
    std::uint64_t wanted = 0;
    for (const int s : Signals)
        wanted |= std::uint64_t{1} << (s - 1);
    QElapsedTimer waited;
    waited.start();
    while ((caughtSignals(process->processId()) & wanted) != wanted && waited.elapsed() < TimeoutMs)
        QThread::msleep(20);
    return (caughtSignals(process->processId()) & wanted) == wanted;
}

void Running::signal(int Signal) {
    ::kill(static_cast<pid_t>(process->processId()), Signal);
}

Outcome Running::finish(int TimeoutMs) {
    // A process that ended while its output was awaited has already finished.
    const bool finished =
        process->state() == QProcess::NotRunning || process->waitForFinished(TimeoutMs);
    EXPECT_TRUE(finished) << "quorim did not end in " << TimeoutMs << " ms";
    return outcomeOf(*process, finished, out + process->readAllStandardOutput());
}

} // namespace quorim_process
