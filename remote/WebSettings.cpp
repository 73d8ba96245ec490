#include "remote/WebSettings.h"

#include <charconv>

#include <QHostAddress>

#include "toolkit/IniFiles.h"

namespace remote {

bool isLoopback(const std::string& host) {
    if (host == "localhost")
        return true;
    const QHostAddress address(QString::fromStdString(host));
    return !address.isNull() && address.isLoopback();
}

WebSettings readWebSettings(const IniFiles::TIniFile& Ini, const std::filesystem::path& IniPath) {
    WebSettings s;
    auto fault = [&](const char* Key, const std::string& Why) {
        return WebSettingsError("settings " + IniPath.string() + " [" + SectionWeb + "] " + Key +
                                ": " + Why);
    };
    auto text = [&](const char* Key) { return Ini.ReadString(SectionWeb, Key, ""); };

    const std::string listen = text("Listen");
    s.certFile = text("CertFile");
    s.keyFile = text("KeyFile");
    s.metricsToken = text("MetricsToken");
    const std::string accounts = text("Accounts");
    s.accounts =
        accounts.empty() ? IniPath.parent_path() / "web-accounts" : std::filesystem::path(accounts);
    const std::string guest = text("Guest");
    if (guest.empty() || guest == "none")
        s.guest = Guest::None;
    else if (guest == "status")
        s.guest = Guest::Status;
    else if (guest == "overs")
        s.guest = Guest::Overs;
    else
        throw fault("Guest", "'" + guest + "' is not one of none, status, overs");
    if (s.certFile.empty() != s.keyFile.empty())
        throw fault(s.certFile.empty() ? "CertFile" : "KeyFile",
                    "CertFile and KeyFile go together");
    if (!s.metricsToken.empty() && s.metricsToken.size() < 16)
        throw fault("MetricsToken", "a token shorter than 16 characters is too easy to guess");
    if (listen.empty())
        return s;

    // HOST:PORT, or [IPv6]:PORT.
    const std::size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned port = 0;
    const std::string portText = colon == std::string::npos ? "" : listen.substr(colon + 1);
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (host.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        port == 0 || port > 65535)
        throw fault("Listen", "'" + listen + "' is not HOST:PORT, such as 127.0.0.1:8073");
    if (host != "localhost" && QHostAddress(QString::fromStdString(host)).isNull())
        throw fault("Listen", "'" + host + "' is not an IP address");
    if (!isLoopback(host) && s.certFile.empty())
        throw fault("Listen",
                    "the page would be served without encryption on " + host +
                        "; set CertFile and KeyFile for TLS, or keep Listen on 127.0.0.1 and "
                        "put a reverse proxy with TLS in front of it");
    s.host = host;
    s.port = static_cast<std::uint16_t>(port);
    return s;
}

} // namespace remote
