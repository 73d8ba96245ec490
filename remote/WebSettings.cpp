#include "remote/WebSettings.h"

#include <charconv>

#include <QHostAddress>

#include "toolkit/IniFiles.h"
#include "toolkit/SectionReader.h"

namespace remote {
namespace {

// HOST:PORT, or [IPv6]:PORT, with HOST an IP address or localhost.
bool parseListen(const std::string& listen, std::string& host, std::uint16_t& port) {
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string h = listen.substr(0, colon);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    unsigned p = 0;
    const std::string portText = listen.substr(colon + 1);
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), p);
    if (h.empty() || error != std::errc() || end != portText.data() + portText.size() || p == 0 ||
        p > 65535)
        return false;
    if (h != "localhost" && QHostAddress(QString::fromStdString(h)).isNull())
        return false;
    host = h;
    port = static_cast<std::uint16_t>(p);
    return true;
}

} // namespace

bool isLoopback(const std::string& host) {
    if (host == "localhost")
        return true;
    const QHostAddress address(QString::fromStdString(host));
    return !address.isNull() && address.isLoopback();
}

WebSettings readWebSettings(const IniFiles::TIniFile& ini, const std::filesystem::path& iniPath,
                            std::vector<std::string>* notices) {
    WebSettings s;
    std::string listen, accounts;
    settings::SectionReader reader(ini, SectionWeb);
    reader.read({
        settings::text(
            "Listen", listen, [&](const std::string& v) { return parseListen(v, s.host, s.port); },
            "HOST:PORT with HOST an IP address or localhost, such as 127.0.0.1:8073,"),
        settings::path("CertFile", s.certFile),
        settings::path("KeyFile", s.keyFile),
        settings::path("Accounts", accounts),
        settings::choice(
            "Guest", s.guest,
            {{"none", Guest::None}, {"status", Guest::Status}, {"overs", Guest::Overs}}),
        settings::text(
            "MetricsToken", s.metricsToken, [](const std::string& v) { return v.size() >= 16; },
            "a token of at least 16 characters (shorter ones are too easy to guess)"),
    });
    s.accounts =
        accounts.empty() ? iniPath.parent_path() / "web-accounts" : std::filesystem::path(accounts);
    if (s.certFile.empty() != s.keyFile.empty())
        reader.refuse(s.certFile.empty() ? "CertFile" : "KeyFile", "",
                      "with CertFile or KeyFile, the other one too (they go together)");
    if (s.enabled() && !isLoopback(s.host) && !s.tls()) {
        reader.refuse("Listen", listen,
                      "without encryption, only a loopback address (the page would be served in "
                      "the clear on " +
                          s.host +
                          "); set CertFile and KeyFile for TLS, or keep Listen on 127.0.0.1 and "
                          "put a reverse proxy with TLS in front of it");
        s.host.clear();
    }
    if (notices)
        notices->insert(notices->end(), reader.notices().begin(), reader.notices().end());
    reader.throwIfRefused();
    return s;
}

} // namespace remote
