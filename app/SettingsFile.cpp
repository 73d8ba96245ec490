#include "app/SettingsFile.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <unistd.h>

#include <QCoreApplication>

namespace settings_file {
namespace {

namespace fs = std::filesystem;

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// /usr holds what the package manager installed: even root, for whom access(2) says every
// folder is writable, must not put settings there.
bool isSystemFolder(const fs::path& folder) {
    const fs::path usr("/usr");
    const auto [end, unused] = std::mismatch(usr.begin(), usr.end(), folder.begin(), folder.end());
    return end == usr.end();
}

fs::path besideExecutable(const Environment& environment) {
    fs::path file = environment.executable;
    return file.replace_extension(".ini");
}

std::optional<fs::path> configFolder(const Environment& environment) {
    if (!environment.configHome.empty() && fs::path(environment.configHome).is_absolute())
        return fs::path(environment.configHome);
    if (!environment.home.empty())
        return fs::path(environment.home) / ".config";
    return std::nullopt;
}

} // namespace

Environment Environment::ofThisProcess() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error && QCoreApplication::instance() != nullptr)
        executable = QCoreApplication::applicationFilePath().toStdString();
    return {
        .executable = executable,
        .configHome = variable("XDG_CONFIG_HOME"),
        .home = variable("HOME"),
        .writable = [](const fs::path& folder) { return access(folder.c_str(), W_OK | X_OK) == 0; },
    };
}

fs::path defaultPath(const Environment& environment) {
    const fs::path beside = besideExecutable(environment);
    const fs::path folder = beside.parent_path();
    std::error_code error;
    if (fs::exists(beside, error) || (environment.writable(folder) && !isSystemFolder(folder)))
        return beside;
    if (const auto config = configFolder(environment))
        return *config / "quorim" / "quorim.ini";
    return beside; // nowhere better: the write will say it failed
}

fs::path prepareDefault(const Environment& environment) {
    fs::path file = defaultPath(environment);
    std::error_code ignored; // a folder that cannot be made shows as a failed write of the file
    fs::create_directories(file.parent_path(), ignored);
    return file;
}

} // namespace settings_file
