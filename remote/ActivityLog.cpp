#include "remote/ActivityLog.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include <QJsonArray>

namespace remote {
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t KeptHours = 30 * 24;

// One line: HOUR OVERS TRANSMIT-SECONDS KERCHUNKS LOCKOUTS WATCHDOG-TRIPS NOT-SENT.
std::string line(std::int64_t hour, const ActivityCounts& c) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld %llu %.3f %llu %llu %llu %llu\n",
                  static_cast<long long>(hour), static_cast<unsigned long long>(c.overs),
                  c.transmitSeconds, static_cast<unsigned long long>(c.kerchunks),
                  static_cast<unsigned long long>(c.lockouts),
                  static_cast<unsigned long long>(c.watchdogTrips),
                  static_cast<unsigned long long>(c.notSent));
    return text;
}

void add(ActivityCounts& into, const ActivityCounts& c) {
    into.overs += c.overs;
    into.transmitSeconds += c.transmitSeconds;
    into.kerchunks += c.kerchunks;
    into.lockouts += c.lockouts;
    into.watchdogTrips += c.watchdogTrips;
    into.notSent += c.notSent;
}

} // namespace

fs::path ActivityLog::fileFor(const fs::path& iniPath) {
    fs::path file = iniPath;
    file.replace_extension(".activity");
    return file;
}

ActivityLog::ActivityLog(fs::path file, Clock now) : file_(std::move(file)), now_(std::move(now)) {
    std::ifstream in(file_);
    if (!in)
        return;
    const std::int64_t oldest = hourNow() - KeptHours;
    std::size_t lines = 0;
    for (std::string text; std::getline(in, text);) {
        ++lines;
        std::istringstream s(text);
        std::int64_t hour = 0;
        ActivityCounts c;
        if (s >> hour >> c.overs >> c.transmitSeconds >> c.kerchunks >> c.lockouts >>
                c.watchdogTrips >> c.notSent &&
            hour > oldest)
            add(hours_[hour], c);
    }
    if (lines > hours_.size())
        compact();
}

std::int64_t ActivityLog::hourNow() const {
    return std::chrono::duration_cast<std::chrono::hours>(now_().time_since_epoch()).count();
}

void ActivityLog::compact() {
    const std::string temporary = file_.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto& [hour, c] : hours_)
            out << line(hour, c);
        if (!out.flush()) {
            problem_ = file_.string() + " cannot be written";
            return;
        }
    }
    std::error_code ec;
    fs::rename(temporary, file_, ec);
    if (ec)
        problem_ = file_.string() + " cannot be written: " + ec.message();
}

void ActivityLog::observe(const ActivityCounts& t) {
    // A total below the last one seen belongs to a new count (a restarted station): all of it
    // is new.
    auto grown = [](auto total, auto seen) { return total >= seen ? total - seen : total; };
    const ActivityCounts d{grown(t.overs, seen_.overs),
                           grown(t.transmitSeconds, seen_.transmitSeconds),
                           grown(t.kerchunks, seen_.kerchunks),
                           grown(t.lockouts, seen_.lockouts),
                           grown(t.watchdogTrips, seen_.watchdogTrips),
                           grown(t.notSent, seen_.notSent)};
    seen_ = t;
    if (d.overs == 0 && d.transmitSeconds < 0.0005 && d.kerchunks == 0 && d.lockouts == 0 &&
        d.watchdogTrips == 0 && d.notSent == 0)
        return;
    const std::int64_t hour = hourNow();
    add(hours_[hour], d);
    while (!hours_.empty() && hours_.begin()->first <= hour - KeptHours)
        hours_.erase(hours_.begin());
    std::ofstream out(file_, std::ios::app);
    out << line(hour, d);
    if (!out.flush())
        problem_ = file_.string() + " cannot be written";
}

QJsonObject ActivityLog::summary() const {
    const std::int64_t hour = hourNow();
    QJsonArray hours, days, sent, kerchunks, lockouts, trips, notSent;
    for (std::int64_t h = hour - 23; h <= hour; ++h) {
        const auto it = hours_.find(h);
        hours.append(static_cast<double>(it == hours_.end() ? 0 : it->second.overs));
    }
    for (std::int64_t d = 29; d >= 0; --d) {
        ActivityCounts day;
        for (auto it = hours_.lower_bound(hour - d * 24 - 23);
             it != hours_.end() && it->first <= hour - d * 24; ++it)
            add(day, it->second);
        days.append(static_cast<double>(day.overs));
        sent.append(day.transmitSeconds);
        kerchunks.append(static_cast<double>(day.kerchunks));
        lockouts.append(static_cast<double>(day.lockouts));
        trips.append(static_cast<double>(day.watchdogTrips));
        notSent.append(static_cast<double>(day.notSent));
    }
    return {{"hours", hours},         {"days", days},         {"sentSeconds", sent},
            {"kerchunks", kerchunks}, {"lockouts", lockouts}, {"watchdogTrips", trips},
            {"notSent", notSent}};
}

} // namespace remote
