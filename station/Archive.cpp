#include "station/Archive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sndfile.h>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace station {
namespace fs = std::filesystem;

const char* const Archive::CsvHeader =
    "start,file,length_s,peak_dbfs,rms_dbfs,full_scale_samples,noise_before_db,noise_during_db,"
    "quieting_db,identified,near_full_scale_percent,margin_db,report,dtmf";

namespace {

std::string decimals(const std::optional<double>& V, int Decimals) {
    return V ? station::decimals(*V, Decimals) : std::string();
}

const std::regex& OverName() {
    static const std::regex name(R"((\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d)(-(\d+))?\.wav)");
    return name;
}

// An over's file as the archive wrote it: its start, and its place among overs that started
// in the same second (1 for the first, "-2" and up for the others).
struct OverFile {
    std::string stem;
    unsigned long place;
    std::string name;
    std::uint64_t bytes;
    bool operator<(const OverFile& O) const {
        return std::tie(stem, place) < std::tie(O.stem, O.place);
    }
};

} // namespace

Archive::Archive(std::string Folder, std::uint64_t MaxBytes)
    : folder_(std::move(Folder)), maxBytes_(MaxBytes) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    const fs::path probe = fs::path(folder_) / ".quorim-write-test";
    {
        std::ofstream out(probe);
        if (!out || !(out << "x") || !out.flush())
            throw std::runtime_error("the archive folder " + folder_ + " cannot be written" +
                                     (ec ? ": " + ec.message() : ""));
    }
    fs::remove(probe, ec);
    worker_ = std::thread([this] { run(); });
}

Archive::~Archive() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void Archive::add(Over O) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(O));
    }
    wake_.notify_all();
}

void Archive::flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

std::string Archive::takeProblem() {
    std::lock_guard lock(mutex_);
    return std::exchange(problem_, {});
}

std::string Archive::fileName(std::chrono::system_clock::time_point Start) {
    const std::time_t t = std::chrono::system_clock::to_time_t(Start);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H-%M-%S", &utc);
    return text;
}

void Archive::measureSoon() {
    {
        std::lock_guard lock(mutex_);
        measureDue_ = true;
    }
    wake_.notify_all();
}

void Archive::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || measureDue_ || !queue_.empty(); });
        if (queue_.empty() && measureDue_ && !quit_) {
            measureDue_ = false;
            lock.unlock();
            measure();
            lock.lock();
            continue;
        }
        if (queue_.empty())
            return;
        const Over over = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        std::string failure;
        try {
            write(over);
            enforceCap();
        } catch (const std::exception& e) {
            failure = e.what();
            measure();
        }
        lock.lock();
        busy_ = false;
        // One message for a disk that stays full or unwritable, not one per over.
        if (!failure.empty() && !failedOnce_) {
            failedOnce_ = true;
            problem_ = "an over could not be archived (it was replayed all the same): " + failure;
        }
        if (queue_.empty())
            idle_.notify_all();
    }
}

void Archive::write(const Over& O) {
    const auto& info = WaveDefs::Info(O.mono);
    const std::string stem = fileName(O.start);
    fs::path path = fs::path(folder_) / (stem + ".wav");
    for (int n = 2; fs::exists(path); ++n)
        path = fs::path(folder_) / (stem + "-" + std::to_string(n) + ".wav");

    SF_INFO sf{};
    sf.samplerate = static_cast<int>(info.SampleRate);
    sf.channels = 1;
    sf.format = SF_FORMAT_WAV | (info.BitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &sf);
    if (file == nullptr)
        throw std::runtime_error(path.string() + ": " + sf_strerror(nullptr));
    const sf_count_t written =
        sf_write_raw(file, O.audio.data(), static_cast<sf_count_t>(O.audio.size()));
    const int closed = sf_close(file);
    if (written != static_cast<sf_count_t>(O.audio.size()) || closed != 0) {
        std::error_code ec;
        fs::remove(path, ec);
        throw std::runtime_error(path.string() + ": the disk took only part of it");
    }

    const fs::path csv = fs::path(folder_) / "overs.csv";
    bool fresh = !fs::exists(csv);
    if (!fresh) {
        // A file begun by a version with other columns is kept under its own name, so that no
        // line is read against the wrong header.
        std::string header;
        std::getline(std::ifstream(csv), header);
        if (header != CsvHeader) {
            fs::rename(csv, fs::path(folder_) / ("overs-until-" + stem + ".csv"));
            fresh = true;
        }
    }
    std::ofstream out(csv, std::ios::app);
    if (fresh)
        out << CsvHeader << '\n';
    const OverFigures& f = O.figures;
    out << stem << ',' << path.filename().string() << ',' << decimals(f.seconds, 3) << ','
        << decimals(f.peakDb, 1) << ',' << decimals(f.rmsDb, 1) << ',' << f.fullScale << ','
        << decimals(f.idleDb, 1) << ',' << decimals(f.overDb, 1) << ',' << decimals(f.quietingDb, 1)
        << ',' << (O.identified ? 1 : 0) << ',' << decimals(f.fullScalePercent, 2) << ','
        << decimals(f.marginDb, 1) << ',' << O.report << ',' << O.dtmf << '\n';
    if (!out.flush())
        throw std::runtime_error(csv.string() + " cannot be written");
}

void Archive::enforceCap() {
    std::vector<OverFile> files;
    std::uint64_t total = 0, held = 0; // the overs', and the whole folder's
    for (const auto& entry : fs::directory_iterator(folder_)) {
        if (!entry.is_regular_file())
            continue;
        const std::uint64_t bytes = entry.file_size();
        held += bytes;
        const std::string name = entry.path().filename().string();
        std::smatch parts;
        if (!std::regex_match(name, parts, OverName()))
            continue;
        files.push_back({parts[1],
                         parts[3].matched ? std::strtoul(parts[3].str().c_str(), nullptr, 10) : 1,
                         name, bytes});
        total += bytes;
    }
    // In the order they were written, oldest first; the newest is always kept.
    std::sort(files.begin(), files.end());
    for (std::size_t i = 0; total > maxBytes_ && i + 1 < files.size(); ++i) {
        fs::remove(fs::path(folder_) / files[i].name);
        total -= files[i].bytes;
        held -= files[i].bytes;
    }
    bytes_.store(held, std::memory_order_relaxed);
}

void Archive::measure() {
    std::error_code ec;
    std::uint64_t total = 0;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec))
            total += it->file_size(ec);
    bytes_.store(total, std::memory_order_relaxed);
}

} // namespace station
