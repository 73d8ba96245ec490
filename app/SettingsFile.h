// Which settings file a run uses when the command line names none.
//
// A build tree or a portable copy keeps quorim.ini beside the executable, as it always has. An
// installed program cannot write its own folder, so its settings go to the user's configuration
// folder instead ($XDG_CONFIG_HOME/quorim/quorim.ini). A file already beside the executable is
// always kept, so that an existing station keeps its settings.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace settings_file {

struct Environment {
    std::filesystem::path executable; // absolute
    std::string configHome;           // $XDG_CONFIG_HOME; ignored unless absolute
    std::string home;                 // $HOME
    // Whether this process may create files in the folder.
    std::function<bool(const std::filesystem::path&)> writable;

    // The running program, its environment and access(2).
    static Environment ofThisProcess();
};

std::filesystem::path defaultPath(const Environment& environment);

// defaultPath, creating the configuration folder when the file goes there (the settings writer
// creates the file, not its folder).
std::filesystem::path prepareDefault(const Environment& environment);

} // namespace settings_file
