// The [Web] section of the settings file: where the supervision page listens, its TLS files, its
// accounts and what a visitor who has not logged in may see. Read once at start-up and never
// written back. Without Listen nothing listens.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace IniFiles {
class TIniFile;
}

namespace remote {

// What a visitor who has not logged in may see: nothing, the live state, or the overs as well.
enum class Guest { None, Status, Overs };

struct WebSettings {
    std::string host; // empty: the page is off
    std::uint16_t port = 0;
    std::string certFile, keyFile;
    std::filesystem::path accounts;
    Guest guest = Guest::None;
    std::string metricsToken; // empty: /metrics by session or Guest only

    bool enabled() const { return !host.empty(); }
    bool tls() const { return !certFile.empty(); }
};

inline constexpr const char* SectionWeb = "Web";

// Through the settings reader: a value that cannot be used raises SysUtils::Exception with
// every refusal in the reader's form; keys given twice or unknown go to Notices. IniPath
// places the default accounts file beside the settings.
WebSettings readWebSettings(const IniFiles::TIniFile& ini, const std::filesystem::path& iniPath,
                            std::vector<std::string>* notices = nullptr);

bool isLoopback(const std::string& host);

} // namespace remote
