// The program itself on receiver recordings: a silent control channel and refused [Squelch]
// values, headless.
#include <sndfile.h>
#include <sstream>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "FmLink.h"

namespace {

struct Outcome {
    int status = -1;
    std::vector<std::pair<double, std::string>> states; // the headless log
    std::string out;
    std::string errors;
};

Outcome quorim(const QStringList& arguments) {
    QProcess process;
    process.start(QUORIM_BINARY, arguments);
    EXPECT_TRUE(process.waitForFinished(300000));
    Outcome run{process.exitCode(),
                {},
                process.readAllStandardOutput().toStdString(),
                process.readAllStandardError().toStdString()};
    std::istringstream out(run.out);
    double seconds;
    std::string text;
    while (out >> seconds >> text)
        run.states.emplace_back(seconds, text);
    return run;
}

std::string write(const QTemporaryDir& dir, const char* name, const std::string& text) {
    QFile file(dir.filePath(name));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text.c_str());
    return file.fileName().toStdString();
}

std::string readAll(const std::string& path) {
    QFile file(QString::fromStdString(path));
    file.open(QIODevice::ReadOnly);
    return file.readAll().toStdString();
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(SquelchHeadless, ASilentInputIsReportedOnceAndRefusedSquelchValuesAreNamedAndKept) {
    QTemporaryDir dir;
    const std::string silent = dir.filePath("silent.wav").toStdString();
    fm_link::writeWav(silent, std::vector<float>(7 * fm_link::rate, 0.0f));
    const std::string ini = write(dir, "quorim.ini", "[Main]\nSoundMode=5\n");
    const Outcome run = quorim({"--headless", "--input", QString::fromStdString(silent), "--ini",
                                QString::fromStdString(ini)});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(count(run.errors, "quorim: no audio on the control channel"), 1u) << run.errors;
    // Without SilenceIsNoSignal the silence reads as a quiet carrier, as it always has.
    ASSERT_EQ(run.states.size(), 3u) << run.out;
    EXPECT_EQ(run.states[2].second, "ЗАПИСЬ");

    const std::string bad = write(dir, "bad.ini",
                                  "[Main]\nSoundMode=5\n[Squelch]\nTrimTail=2\nMinOver=abc\n"
                                  "SilenceIsNoSignal=1\n");
    const Outcome refused = quorim({"--headless", "--input", QString::fromStdString(silent),
                                    "--ini", QString::fromStdString(bad)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("[Squelch] TrimTail=2 is not allowed: 0 (off) or 1 (on)"),
              std::string::npos)
        << refused.errors;
    EXPECT_NE(refused.errors.find(
                  "[Squelch] MinOver=abc is not allowed: whole milliseconds from 0 (off) to 10000"),
              std::string::npos)
        << refused.errors;
    EXPECT_NE(readAll(bad).find("[Squelch]\nTrimTail=2\nMinOver=abc\nSilenceIsNoSignal=1\n"),
              std::string::npos)
        << "never written back";
}

} // namespace
