// The archive of overs: each replayed recording as a WAV file named by its start time, and a
// line about it in overs.csv, written by a worker thread so that a slow or full disk never
// holds up the audio. The oldest recordings go first when the folder passes its size cap.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "station/Audio.h"
#include "station/Report.h"

namespace station {

struct Over {
    std::chrono::system_clock::time_point start;
    Pcm audio;
    TWaveFormat mono = TWaveFormat::wfUnknown;
    // Its length, level and squelch figures.
    OverFigures figures;
    std::string report; // the report's code, when one was sent
    bool identified = false;
    std::string dtmf; // the DTMF digits heard in it (a command's code left out)
};

class Archive {
public:
    // Makes the folder when missing and checks that it takes files; throws std::runtime_error
    // with the reason when it does not.
    Archive(std::string Folder, std::uint64_t MaxBytes);
    // Writes what is queued, then stops the worker.
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    void add(Over O);
    // Blocks until everything queued so far is written (or has failed).
    void flush();
    // The first failure since the last call, once; empty when none.
    std::string takeProblem();
    // What the folder holds, in bytes, as the worker last measured it (at the start, after each
    // over and when asked): a large folder is never walked on the caller's thread.
    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    void measureSoon();

    static std::string fileName(std::chrono::system_clock::time_point Start);
    static const char* const CsvHeader;

private:
    void run();
    void write(const Over& O);
    // Both leave the folder's size in bytes_: the cap walks the folder anyway.
    void enforceCap();
    void measure();

    std::string folder_;
    std::uint64_t maxBytes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Over> queue_;
    bool busy_ = false;
    bool quit_ = false;
    bool measureDue_ = true;
    std::atomic<std::uint64_t> bytes_{0};
    bool failedOnce_ = false;
    std::string problem_;
    std::thread worker_;
};

} // namespace station
