// What the station did, hour by hour, for the page's activity charts: overs, transmit time,
// kerchunks, lockouts, watchdog trips and overs not sent. It lives in a small file beside the
// settings file, so that a restart does not empty the charts; each change is appended as one
// line, and the file is compacted to one line per hour of the last 30 days when it is opened.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <QJsonObject>

namespace remote {

struct ActivityCounts {
    std::uint64_t overs = 0;
    double transmitSeconds = 0;
    std::uint64_t kerchunks = 0;
    std::uint64_t lockouts = 0;
    std::uint64_t watchdogTrips = 0;
    std::uint64_t notSent = 0;
};

class ActivityLog {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // The file that goes with a settings file: its name with ".activity" for ".ini".
    static std::filesystem::path fileFor(const std::filesystem::path& iniPath);

    // Reads what the file holds of the last 30 days; a missing file holds nothing.
    explicit ActivityLog(std::filesystem::path file, Clock now = std::chrono::system_clock::now);

    // Given the totals since the program started: what grew since the last call is added to
    // the current hour and appended to the file.
    void observe(const ActivityCounts& totals);

    // {"hours": overs in each of the last 24 hours, "days": overs in each of the last 30 days,
    //  "sentSeconds", "kerchunks", "lockouts", "watchdogTrips", "notSent": per day}, oldest first.
    QJsonObject summary() const;

    // Why the file could not be read or written; empty when all went well.
    const std::string& problem() const { return problem_; }

private:
    std::int64_t hourNow() const;
    void compact();

    std::filesystem::path file_;
    Clock now_;
    std::map<std::int64_t, ActivityCounts> hours_; // by hours since the epoch, UTC
    ActivityCounts seen_;                          // the totals observed last
    std::string problem_;
};

} // namespace remote
