// The station's state file beside its settings file (its name with ".state" for ".ini"): what the
// station decided while running and keeps across restarts, which the settings file cannot hold
// (it is rewritten on every exit). One key=value line each: the transmitter switch, the last
// time-based code taken. A change is written atomically, a temporary file renamed over the old
// one, keeping the other lines, so that no reader ever sees half a file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace control {

std::filesystem::path stateFileFor(const std::filesystem::path& iniPath);

// The file's lines; none for a missing file. Throws std::runtime_error naming the file when it
// cannot be read.
std::vector<std::string> readState(const std::filesystem::path& file);
// The value of Key's line ("key=value"), if there is one.
std::optional<std::string> stateValue(const std::vector<std::string>& lines,
                                      const std::string& key);
// Sets Key's line to Value, keeping the others. Throws std::runtime_error naming the file and why
// when it cannot; the file is as it was then.
void storeState(const std::filesystem::path& file, const std::string& key,
                const std::string& value);

} // namespace control
