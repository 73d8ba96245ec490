// The supervision page's server: the page itself, the live state over a WebSocket, the overs and
// their recordings, the commands and /metrics, on Qt's HTTP server and the program's event loop.
//
// Who may do what: a visitor who has not logged in sees what [Web] Guest allows; a guest
// account sees the state and the overs; a control account also gives commands and deletes
// overs. A session is a random 128-bit token in an HttpOnly, SameSite=Strict cookie (Secure
// under TLS) that ends after 12 hours or at logout; every change is a POST carrying the
// session's CSRF token. Requests, connections and WebSocket backlogs are bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include "control/Commands.h"
#include "remote/Accounts.h"
#include "remote/ActivityLog.h"
#include "remote/WebSettings.h"

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QWebSocket;
class QTcpServer;

namespace remote {

// What the page shows live, taken from the controller when a client is connected.
struct Live {
    std::string state;
    double levels[2] = {0, 0}; // peak of each channel, 0..1
    double squelchFigure = 0;
    double squelchLevel = 0;
    bool transmitterOn = true;
    bool reportOn = false;
    bool running = false;
    std::string lastFailure; // the sound devices' last failure, empty when none
    double secondsSinceId = -1;
    double uptimeSeconds = 0;
    std::uint64_t archiveBytes = 0;
    std::uint64_t diskFreeBytes = 0;
    // Counters since start.
    std::uint64_t overs = 0;
    double transmitSeconds = 0;
    std::uint64_t kerchunks = 0;
    std::uint64_t lockouts = 0;
    std::uint64_t watchdogTrips = 0;
    std::uint64_t deviceFailures = 0;
    std::uint64_t lostAudioBytes = 0;
    std::uint64_t notSentOvers = 0;
};

// The state as the page and the WebSocket see it.
QByteArray liveJson(const Live& live);
// The Prometheus text of the metrics.
std::string metricsText(const Live& live);

class WebServer : public QObject {
public:
    // Listens at once; throws std::runtime_error naming the address or file when it cannot.
    WebServer(WebSettings settings, std::filesystem::path archiveFolder,
              control::Commands& commands, std::function<Live()> live);
    ~WebServer() override;

    std::uint16_t port() const { return port_; }
    // Told what a log should show: logins refused, lockouts, commands.
    std::function<void(const std::string&)> onLog;
    // What /api/activity shows; none: empty charts.
    const ActivityLog* activityLog = nullptr;

    // Limits, named where they are enforced.
    static constexpr int MaxHeaderBytes = 16 * 1024;
    static constexpr int MaxBodyBytes = 64 * 1024;
    static constexpr int MaxConnections = 32;
    static constexpr int IdleMs = 30'000;
    static constexpr qint64 MaxWebSocketBacklog = 1024 * 1024;
    static constexpr int FailedLoginsBeforeLockout = 5;
    static constexpr int LockoutSeconds = 60;
    static constexpr int SessionHours = 12;

    // Sessions and lockouts run on this clock; tests set it, and the two intervals below, to
    // see hours pass in moments.
    std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
    // A connection with nothing read or written for this long is closed (new connections).
    int idleMs = IdleMs;
    // How often the live state is looked at while a client watches (a change of state reaches
    // the page within this), and how often the meters and clocks alone are sent (a move of the
    // meters reaches the page within this).
    int publishMs = 100;
    int meterMs = 200;

private:
    struct Session {
        std::string name;
        Role role;
        QByteArray csrf;
        std::chrono::steady_clock::time_point expires;
    };
    struct Failures {
        int count = 0;
        int pending = 0; // attempts being checked
        std::chrono::steady_clock::time_point lockedUntil{};
    };
    enum class Access { None, Status, Overs, Control };
    struct Reply;

    void handle(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    Access accessOf(const QHttpServerRequest& request, const Session** session);
    static QByteArray tokenOf(const QByteArray& cookieHeader);
    const Session* sessionOf(const QByteArray& cookieHeader);
    const Session* sessionNamed(const QByteArray& token); // none when unknown or expired
    void closeEndedSessions();
    void login(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void serveOver(const QHttpServerRequest& request, QHttpServerResponder&& responder,
                   const std::string& name);
    Reply overs() const;
    Reply activity() const;
    Reply deleteOver(const std::string& name, const std::string& who);
    void acceptWebSocket();
    void publish();
    void send(QHttpServerResponder& responder, const Reply& reply) const;
    // The archive's recordings by the names its overs.csv lists.
    bool listed(const std::string& name) const;
    void log(const std::string& text);

    WebSettings settings_;
    std::filesystem::path archive_;
    control::Commands& commands_;
    std::function<Live()> live_;
    std::unique_ptr<QHttpServer> http_;
    QTcpServer* listener_ = nullptr; // owned by http_
    std::uint16_t port_ = 0;
    std::map<QByteArray, Session> sessions_;
    std::map<QString, Failures> failures_;
    struct Client {
        std::unique_ptr<QWebSocket> socket;
        QByteArray token; // the session it came with, or empty
    };
    std::vector<Client> clients_;
    QTimer publishTimer_;
    QByteArray lastPublished_;
    Live lastLive_;
    std::chrono::steady_clock::time_point lastPublishedAt_{};
    QThreadPool hashing_; // Argon2id runs here, off the program's thread
};

} // namespace remote
