#include "remote/WebServer.h"

#include <cstdio>
#include <fstream>
#include <sodium.h>
#include <sstream>
#include <tuple>

#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

namespace remote {
namespace fs = std::filesystem;
using Status = QHttpServerResponder::StatusCode;

namespace {

constexpr const char* ChartJs = "/usr/share/javascript/chart.js/chart.min.js";
constexpr const char* CookieName = "quorim_session";

// Watches one connection below the HTTP server: header and body sizes, and idleness. Its slot
// runs before the server's on every read (it is connected first), and what it refuses never
// reaches the server.
class ConnectionGuard : public QObject {
public:
    ConnectionGuard(QTcpSocket* socket, int idleMs) : QObject(socket), socket_(socket) {
        idle_.setSingleShot(true);
        idle_.setInterval(idleMs);
        connect(&idle_, &QTimer::timeout, socket, [socket] { socket->disconnectFromHost(); });
        connect(socket, &QTcpSocket::readyRead, this, [this] { inspect(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { idle_.start(); });
        idle_.start();
    }

private:
    void refuse(const char* statusLine) {
        socket_->readAll();
        passthrough_ = true;
        socket_->write(QByteArray("HTTP/1.1 ") + statusLine +
                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket_->disconnectFromHost();
    }

    void inspect() {
        idle_.start();
        if (passthrough_)
            return;
        QByteArray data = socket_->peek(socket_->bytesAvailable());
        qsizetype at = 0;
        while (at < data.size()) {
            if (bodyLeft_ > 0) {
                const qint64 take = std::min<qint64>(bodyLeft_, data.size() - at);
                bodyLeft_ -= take;
                at += take;
                continue;
            }
            const qsizetype end = data.indexOf("\r\n\r\n", at);
            const qsizetype upto = end < 0 ? data.size() : end + 4;
            header_ += data.mid(at, upto - at);
            at = upto;
            if (header_.size() > WebServer::MaxHeaderBytes)
                return refuse("431 Request Header Fields Too Large");
            // The end marker may span two reads.
            const qsizetype done = header_.indexOf("\r\n\r\n");
            if (done < 0)
                continue;
            const QByteArray lower = header_.toLower();
            header_.clear();
            if (lower.contains("\r\nupgrade: websocket")) {
                passthrough_ = true; // frames from here on; the WebSocket bounds its backlog
                return;
            }
            if (lower.contains("\r\ntransfer-encoding:"))
                return refuse("411 Length Required");
            const qsizetype cl = lower.indexOf("\r\ncontent-length:");
            if (cl >= 0) {
                const qsizetype eol = lower.indexOf("\r\n", cl + 2);
                bool ok = false;
                const qint64 length = lower.mid(cl + 17, eol - cl - 17).trimmed().toLongLong(&ok);
                if (!ok || length < 0)
                    return refuse("400 Bad Request");
                if (length > WebServer::MaxBodyBytes)
                    return refuse("413 Content Too Large");
                bodyLeft_ = length;
            }
        }
    }

    QTcpSocket* socket_;
    QTimer idle_;
    QByteArray header_;
    qint64 bodyLeft_ = 0;
    bool passthrough_ = false;
};

// Counts the open connections; one past the limit is answered 503 and closed.
template <class Base>
class Listener : public Base {
public:
    using Base::Base;
    int open = 0;
    const int* idleMs = nullptr;

protected:
    void incomingConnection(qintptr handle) override {
        if (open >= WebServer::MaxConnections) {
            auto* socket = new QTcpSocket(this);
            socket->setSocketDescriptor(handle);
            socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                          "Connection: close\r\n\r\n");
            socket->disconnectFromHost();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(1000, socket, &QObject::deleteLater);
            return;
        }
        if constexpr (std::is_same_v<Base, QTcpServer>) {
            auto* socket = new QTcpSocket(this);
            if (!socket->setSocketDescriptor(handle)) {
                delete socket;
                return;
            }
            watch(socket);
            this->addPendingConnection(socket);
        } else {
            Base::incomingConnection(handle);
        }
    }

public:
    void watch(QTcpSocket* socket) {
        ++open;
        new ConnectionGuard(socket, *idleMs);
        QObject::connect(socket, &QObject::destroyed, this, [this] { --open; });
    }
};

QByteArray hex(const unsigned char* data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).toHex();
}

QByteArray randomToken() {
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    return hex(bytes, sizeof bytes);
}

// A form's body (application/x-www-form-urlencoded), where '+' stands for a space.
QUrlQuery formOf(const QHttpServerRequest& request) {
    QByteArray body = request.body();
    body.replace('+', "%20");
    return QUrlQuery(QString::fromUtf8(body));
}

bool equalTokens(const QByteArray& a, const QByteArray& b) {
    return a.size() == b.size() &&
           sodium_memcmp(a.constData(), b.constData(), static_cast<std::size_t>(a.size())) == 0;
}

// A recording served from byte First to Last, read as the socket takes it.
class FileRange : public QIODevice {
public:
    FileRange(const QString& path, qint64 first, qint64 length) : file_(path), left_(length) {
        if (file_.open(QIODevice::ReadOnly) && file_.seek(first))
            open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return left_ <= 0; }
    qint64 bytesAvailable() const override { return left_ + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 max) override {
        const qint64 n = file_.read(data, std::min(max, left_));
        if (n > 0)
            left_ -= n;
        return n < 0 ? -1 : n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QFile file_;
    qint64 left_;
};

std::vector<std::vector<std::string>> csvRows(const fs::path& csv) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line); // the header
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream s(line);
        for (std::string f; std::getline(s, f, ',');)
            fields.push_back(f);
        if (line.ends_with(','))
            fields.emplace_back();
        if (fields.size() >= 13)
            rows.push_back(std::move(fields));
    }
    return rows;
}

} // namespace

struct WebServer::Reply {
    Status status = Status::Ok;
    QByteArray type = "application/json";
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    qint64 length = -1; // the Content-Length of a HEAD's answer, which carries no body

    static Reply json(const QJsonObject& o, Status s = Status::Ok) {
        return {s, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact), {}};
    }
    static Reply error(Status s, const QString& why) { return json({{"error", why}}, s); }
};

QByteArray liveJson(const Live& l) {
    QJsonObject o{
        {"state", QString::fromStdString(l.state)},
        {"levels", QJsonArray{l.levels[0], l.levels[1]}},
        {"squelchFigure", l.squelchFigure},
        {"squelchLevel", l.squelchLevel},
        {"transmitter", l.transmitterOn},
        {"report", l.reportOn},
        {"running", l.running},
        {"lastFailure", QString::fromStdString(l.lastFailure)},
        {"secondsSinceId", l.secondsSinceId},
        {"uptime", l.uptimeSeconds},
        {"archiveBytes", static_cast<double>(l.archiveBytes)},
        {"diskFreeBytes", static_cast<double>(l.diskFreeBytes)},
        {"overs", static_cast<double>(l.overs)},
        {"transmitSeconds", l.transmitSeconds},
        {"kerchunks", static_cast<double>(l.kerchunks)},
        {"lockouts", static_cast<double>(l.lockouts)},
        {"watchdogTrips", static_cast<double>(l.watchdogTrips)},
        {"deviceFailures", static_cast<double>(l.deviceFailures)},
        {"lostAudioBytes", static_cast<double>(l.lostAudioBytes)},
        {"notSent", static_cast<double>(l.notSentOvers)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::string metricsText(const Live& l) {
    std::string out;
    auto metric = [&](const char* name, const char* type, const char* help, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
               name + " " + number + "\n";
    };
    metric("quorim_overs_total", "counter", "Overs replayed.", static_cast<double>(l.overs));
    metric("quorim_transmit_seconds_total", "counter", "Time the transmitter was keyed.",
           l.transmitSeconds);
    metric("quorim_kerchunks_total", "counter", "Overs left out as too short.",
           static_cast<double>(l.kerchunks));
    metric("quorim_lockouts_total", "counter", "Transmit lockouts after a stuck carrier.",
           static_cast<double>(l.lockouts));
    metric("quorim_watchdog_trips_total", "counter", "Transmissions the watchdog ended.",
           static_cast<double>(l.watchdogTrips));
    metric("quorim_device_failures_total", "counter", "Sound devices that failed.",
           static_cast<double>(l.deviceFailures));
    metric("quorim_lost_audio_bytes_total", "counter", "Captured audio that found no buffer.",
           static_cast<double>(l.lostAudioBytes));
    metric("quorim_not_sent_overs_total", "counter",
           "Overs archived while the transmitter was off.", static_cast<double>(l.notSentOvers));
    metric("quorim_running", "gauge", "1 while the repeater runs.", l.running ? 1 : 0);
    metric("quorim_transmitter_enabled", "gauge", "1 while the transmitter switch is on.",
           l.transmitterOn ? 1 : 0);
    metric("quorim_squelch_figure", "gauge", "The last buffer's squelch figure.", l.squelchFigure);
    metric("quorim_squelch_level", "gauge", "The squelch level the figure is judged against.",
           l.squelchLevel);
    metric("quorim_archive_bytes", "gauge", "Bytes the archive of overs holds.",
           static_cast<double>(l.archiveBytes));
    metric("quorim_uptime_seconds", "gauge", "Seconds since the program started.", l.uptimeSeconds);
    static const char* const states[] = {"НЕАКТИВНО", "ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ",
                                         "ЗАБЛОКИРОВАН"};
    static const char* const labels[] = {"inactive", "waiting", "recording", "playback", "blocked"};
    out += "# HELP quorim_state 1 for the state the repeater is in.\n# TYPE quorim_state gauge\n";
    for (int i = 0; i < 5; ++i)
        out += std::string("quorim_state{state=\"") + labels[i] + "\"} " +
               (l.state == states[i] ? "1" : "0") + "\n";
    return out;
}

WebServer::WebServer(WebSettings settings, fs::path archiveFolder, control::Commands& commands,
                     std::function<Live()> live)
    : settings_(std::move(settings)), archive_(std::move(archiveFolder)), commands_(commands),
      live_(std::move(live)), http_(std::make_unique<QHttpServer>()) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
    hashing_.setMaxThreadCount(1);
    const QHostAddress address(settings_.host == "localhost"
                                   ? QString("127.0.0.1")
                                   : QString::fromStdString(settings_.host));
    if (settings_.tls()) {
        QFile cert(QString::fromStdString(settings_.certFile));
        QFile key(QString::fromStdString(settings_.keyFile));
        if (!cert.open(QIODevice::ReadOnly))
            throw std::runtime_error("[Web] CertFile " + settings_.certFile + " cannot be read");
        if (!key.open(QIODevice::ReadOnly))
            throw std::runtime_error("[Web] KeyFile " + settings_.keyFile + " cannot be read");
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(&cert, QSsl::Pem));
        QSslKey privateKey(&key, QSsl::Rsa, QSsl::Pem);
        if (privateKey.isNull()) {
            key.seek(0);
            privateKey = QSslKey(&key, QSsl::Ec, QSsl::Pem);
        }
        if (tls.localCertificate().isNull() || privateKey.isNull())
            throw std::runtime_error("[Web] CertFile or KeyFile is not a PEM certificate and key");
        tls.setPrivateKey(privateKey);
        auto* server = new Listener<QSslServer>(http_.get());
        server->idleMs = &idleMs;
        server->setSslConfiguration(tls);
        QObject::connect(server, &QSslServer::startedEncryptionHandshake, server,
                         [server](QSslSocket* socket) { server->watch(socket); });
        listener_ = server;
    } else {
        auto* server = new Listener<QTcpServer>(http_.get());
        server->idleMs = &idleMs;
        listener_ = server;
    }
    if (!listener_->listen(address, settings_.port))
        throw std::runtime_error("the page cannot listen on " + settings_.host + ":" +
                                 std::to_string(settings_.port) + ": " +
                                 listener_->errorString().toStdString());
    port_ = listener_->serverPort();
    http_->bind(listener_);
    // Qt hands an upgrade to the WebSocket server only once a route has taken the request; the
    // route answers a plain request itself and leaves an upgrade alone.
    http_->route("/live",
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
                         send(responder, Reply::error(Status::BadRequest, "a WebSocket only"));
                 });
    http_->setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            handle(request, std::move(responder));
        });
    QObject::connect(http_.get(), &QAbstractHttpServer::newWebSocketConnection, this,
                     [this] { acceptWebSocket(); });
    QObject::connect(&publishTimer_, &QTimer::timeout, this, [this] { publish(); });
}

WebServer::~WebServer() {
    publishTimer_.stop();
    hashing_.waitForDone();
    clients_.clear();
}

void WebServer::log(const std::string& text) {
    if (onLog)
        onLog(text);
}

void WebServer::send(QHttpServerResponder& responder, const Reply& r) const {
    responder.writeStatusLine(r.status);
    responder.writeHeader("Content-Type", r.type);
    responder.writeHeader("Content-Length",
                          QByteArray::number(r.length >= 0 ? r.length : r.body.size()));
    responder.writeHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("X-Frame-Options", "DENY");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    responder.writeHeader("Cache-Control", "no-store");
    for (const auto& [name, value] : r.headers)
        responder.writeHeader(name, value);
    responder.writeBody(r.body);
}

QByteArray WebServer::tokenOf(const QByteArray& cookies) {
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray c = part.trimmed();
        if (c.startsWith(QByteArray(CookieName) + "="))
            return c.mid(static_cast<qsizetype>(std::strlen(CookieName)) + 1);
    }
    return {};
}

const WebServer::Session* WebServer::sessionOf(const QByteArray& cookies) {
    return sessionNamed(tokenOf(cookies));
}

const WebServer::Session* WebServer::sessionNamed(const QByteArray& token) {
    const auto it = sessions_.find(token);
    if (it == sessions_.end())
        return nullptr;
    if (it->second.expires <= now()) {
        sessions_.erase(it);
        return nullptr;
    }
    return &it->second;
}

WebServer::Access WebServer::accessOf(const QHttpServerRequest& request, const Session** session) {
    *session = sessionOf(request.value("Cookie"));
    if (*session)
        return (*session)->role == Role::Control ? Access::Control : Access::Overs;
    return settings_.guest == Guest::Overs    ? Access::Overs
           : settings_.guest == Guest::Status ? Access::Status
                                              : Access::None;
}

void WebServer::handle(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    using Method = QHttpServerRequest::Method;
    const QString path = request.url().path();
    const bool get = request.method() == Method::Get || request.method() == Method::Head;
    const bool post = request.method() == Method::Post;
    const bool head = request.method() == Method::Head;
    const Session* session = nullptr;
    const Access access = accessOf(request, &session);
    auto reply = [&](const Reply& r) {
        if (!head)
            return send(responder, r);
        Reply headers = r;
        headers.length = r.body.size();
        headers.body.clear();
        send(responder, headers);
    };
    auto deny = [&] {
        reply(Reply::error(session ? Status::Forbidden : Status::Unauthorized,
                           session ? "not allowed for this account" : "log in first"));
    };
    auto resource = [&](const char* file, const char* type) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return reply(Reply::error(Status::NotFound, "not here"));
        reply({Status::Ok, type, f.readAll(), {}});
    };

    if (get && (path == "/" || path == "/index.html"))
        return resource(":/remote/page/index.html", "text/html; charset=utf-8");
    if (get && path == "/app.js")
        return resource(":/remote/page/app.js", "text/javascript; charset=utf-8");
    if (get && path == "/style.css")
        return resource(":/remote/page/style.css", "text/css; charset=utf-8");
    if (get && path == "/chart.js")
        return resource(ChartJs, "text/javascript; charset=utf-8");

    if (post && path == "/login")
        return login(request, std::move(responder));

    // Everything else that changes state needs a session and its CSRF token.
    if (post) {
        if (!session)
            return deny();
        if (!equalTokens(request.value("X-CSRF-Token"), session->csrf))
            return reply(Reply::error(Status::Forbidden, "the CSRF token is missing or wrong"));
        const QUrlQuery form = formOf(request);
        if (path == "/logout") {
            const std::string name = session->name;
            std::erase_if(sessions_, [&](const auto& s) { return &s.second == session; });
            log("web: " + name + " logged out");
            closeEndedSessions();
            return reply({Status::Ok,
                          "application/json",
                          "{}",
                          {{"Set-Cookie", QByteArray(CookieName) +
                                              "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"}}});
        }
        if (access != Access::Control)
            return deny();
        if (path == "/api/command") {
            const auto command =
                control::commandNamed(form.queryItemValue("command").toStdString());
            if (!command)
                return reply(Reply::error(Status::BadRequest, "no such command"));
            const control::Result r = commands_.run(*command, "web:" + session->name);
            publish();
            return reply(Reply::json({{"done", r.done}, {"text", QString::fromStdString(r.text)}},
                                     r.done ? Status::Ok : Status::Conflict));
        }
        if (path == "/api/overs/delete")
            return reply(deleteOver(form.queryItemValue("name").toStdString(), session->name));
        return reply(Reply::error(Status::NotFound, "no such action"));
    }
    if (!get)
        return reply({Status::MethodNotAllowed,
                      "application/json",
                      "{\"error\":\"GET or POST\"}",
                      {{"Allow", "GET, HEAD, POST"}}});

    if (path == "/api/session") {
        QJsonObject o{{"guest", access == Access::None     ? "none"
                                : access == Access::Status ? "status"
                                                           : "overs"}};
        if (session) {
            o["name"] = QString::fromStdString(session->name);
            o["role"] = roleName(session->role);
            o["csrf"] = QString::fromLatin1(session->csrf);
        }
        return reply(Reply::json(o));
    }
    if (path == "/metrics") {
        const QByteArray bearer = request.value("Authorization");
        const bool token =
            !settings_.metricsToken.empty() &&
            equalTokens(bearer, QByteArray("Bearer ") + settings_.metricsToken.c_str());
        if (access == Access::None && !token)
            return deny();
        return reply({Status::Ok,
                      "text/plain; version=0.0.4; charset=utf-8",
                      QByteArray::fromStdString(metricsText(live_())),
                      {}});
    }
    if (path == "/api/status") {
        if (access == Access::None)
            return deny();
        return reply({Status::Ok, "application/json", liveJson(live_()), {}});
    }
    if (path == "/api/overs" || path == "/api/activity" || path.startsWith("/overs/")) {
        if (access < Access::Overs)
            return deny();
        if (path == "/api/overs")
            return reply(overs());
        if (path == "/api/activity")
            return reply(activity());
        return serveOver(request, std::move(responder), path.mid(7).toStdString());
    }
    reply(Reply::error(Status::NotFound, "not here"));
}

void WebServer::login(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    const QString from = request.remoteAddress().toString();
    Failures& f = failures_[from];
    // Attempts still being checked count too: a burst sent at once is no way past the lockout.
    if (f.lockedUntil > now() || f.count + f.pending >= FailedLoginsBeforeLockout) {
        send(responder, Reply::error(Status::TooManyRequests,
                                     "too many failed logins; try again in a minute"));
        return;
    }
    ++f.pending;
    std::erase_if(sessions_, [&](const auto& s) { return s.second.expires <= now(); });
    const QUrlQuery form = formOf(request);
    const std::string name = form.queryItemValue("name", QUrl::FullyDecoded).toStdString();
    const std::string password = form.queryItemValue("password", QUrl::FullyDecoded).toStdString();
    std::vector<Account> accounts;
    try {
        accounts = loadAccounts(settings_.accounts);
    } catch (const std::exception& e) {
        log(std::string("web: ") + e.what());
    }
    // Argon2id takes a good part of a second: off the program's thread, then back.
    auto pending = std::make_shared<QHttpServerResponder>(std::move(responder));
    hashing_.start([this, pending, accounts, name, password, from] {
        const auto role = verify(accounts, name, password);
        QMetaObject::invokeMethod(
            this,
            [this, pending, role, name, from] {
                Failures& f = failures_[from];
                --f.pending;
                if (!role) {
                    log("web: login refused for '" + name + "' from " + from.toStdString());
                    if (++f.count >= FailedLoginsBeforeLockout) {
                        f.count = 0;
                        f.lockedUntil = now() + std::chrono::seconds(LockoutSeconds);
                        log("web: " + from.toStdString() + " locked out for " +
                            std::to_string(LockoutSeconds) + " s after " +
                            std::to_string(FailedLoginsBeforeLockout) + " failed logins");
                    }
                    send(*pending, Reply::error(Status::Unauthorized, "wrong name or password"));
                    return;
                }
                if (f.pending == 0)
                    failures_.erase(from);
                else
                    f.count = 0;
                const QByteArray token = randomToken();
                Session s{name, *role, randomToken(), now() + std::chrono::hours(SessionHours)};
                const QByteArray csrf = s.csrf;
                sessions_[token] = std::move(s);
                log("web: " + name + " logged in (" + roleName(*role) + ") from " +
                    from.toStdString());
                QByteArray cookie = QByteArray(CookieName) + "=" + token +
                                    "; Path=/; Max-Age=" + QByteArray::number(SessionHours * 3600) +
                                    "; HttpOnly; SameSite=Strict";
                if (settings_.tls())
                    cookie += "; Secure";
                Reply r = Reply::json({{"name", QString::fromStdString(name)},
                                       {"role", roleName(*role)},
                                       {"csrf", QString::fromLatin1(csrf)}});
                r.headers.push_back({"Set-Cookie", cookie});
                send(*pending, r);
            },
            Qt::QueuedConnection);
    });
}

bool WebServer::listed(const std::string& name) const {
    if (archive_.empty() || name.empty() || name.find('/') != std::string::npos ||
        name.find("..") != std::string::npos)
        return false;
    for (const auto& row : csvRows(archive_ / "overs.csv"))
        if (row[1] == name)
            return true;
    return false;
}

WebServer::Reply WebServer::overs() const {
    QJsonArray list;
    const auto rows = archive_.empty() ? decltype(csvRows({})){} : csvRows(archive_ / "overs.csv");
    std::error_code ec;
    for (std::size_t i = rows.size(); i-- > 0 && list.size() < 100;) {
        const auto& r = rows[i];
        if (!fs::is_regular_file(archive_ / r[1], ec))
            continue;
        list.append(QJsonObject{{"start", QString::fromStdString(r[0])},
                                {"file", QString::fromStdString(r[1])},
                                {"length", QString::fromStdString(r[2]).toDouble()},
                                {"rms", QString::fromStdString(r[4])},
                                {"quieting", QString::fromStdString(r[8])},
                                {"report", QString::fromStdString(r[12])}});
    }
    return Reply::json({{"overs", list}});
}

WebServer::Reply WebServer::activity() const {
    if (activityLog)
        return Reply::json(activityLog->summary());
    return Reply::json(
        ActivityLog(fs::path(), [] { return std::chrono::system_clock::now(); }).summary());
}

WebServer::Reply WebServer::deleteOver(const std::string& name, const std::string& who) {
    if (!listed(name))
        return Reply::error(Status::NotFound, "no such over");
    std::error_code ec;
    fs::remove(archive_ / name, ec);
    if (ec)
        return Reply::error(Status::InternalServerError, QString::fromStdString(ec.message()));
    log("web: over " + name + " deleted by " + who);
    return Reply::json({{"deleted", QString::fromStdString(name)}});
}

void WebServer::serveOver(const QHttpServerRequest& request, QHttpServerResponder&& responder,
                          const std::string& name) {
    std::error_code ec;
    const fs::path file = archive_ / name;
    // Only what the archive lists, and only a plain file inside it (no link out of it).
    if (!listed(name) || fs::is_symlink(file, ec) || !fs::is_regular_file(file, ec))
        return send(responder, Reply::error(Status::NotFound, "no such over"));
    const qint64 size = static_cast<qint64>(fs::file_size(file, ec));
    qint64 first = 0, last = size - 1;
    const QByteArray range = request.value("Range");
    const bool partial = range.startsWith("bytes=") && !range.contains(',');
    if (partial) {
        const QByteArray rangeSet = range.mid(6);
        const qsizetype dash = rangeSet.indexOf('-');
        bool okFirst = true, okLast = true;
        if (dash == 0) { // the last N bytes
            const qint64 n = rangeSet.mid(1).toLongLong(&okLast);
            first = std::max<qint64>(0, size - n);
        } else {
            first = rangeSet.left(dash).toLongLong(&okFirst);
            if (dash + 1 < rangeSet.size())
                last = std::min(size - 1, rangeSet.mid(dash + 1).toLongLong(&okLast));
        }
        if (dash < 0 || !okFirst || !okLast || first > last || first >= size) {
            Reply r = Reply::error(Status::RequestRangeNotSatisfiable, "range not satisfiable");
            r.headers.push_back({"Content-Range", "bytes */" + QByteArray::number(size)});
            return send(responder, r);
        }
    }
    const qint64 length = last - first + 1;
    const QByteArray contentRange = "bytes " + QByteArray::number(first) + "-" +
                                    QByteArray::number(last) + "/" + QByteArray::number(size);
    if (request.method() == QHttpServerRequest::Method::Head) {
        Reply r{partial ? Status::PartialContent : Status::Ok, "audio/wav", {}, {}, length};
        r.headers.push_back({"Accept-Ranges", "bytes"});
        if (partial)
            r.headers.push_back({"Content-Range", contentRange});
        return send(responder, r);
    }
    auto* body = new FileRange(QString::fromStdString(file.string()), first, length);
    const QByteArray disposition = request.query().hasQueryItem("download")
                                       ? QByteArray("attachment; filename=\"") + name.c_str() + "\""
                                       : QByteArray("inline");
    const QByteArray csp = "default-src 'self'; frame-ancestors 'none'";
    const QByteArray contentLength = QByteArray::number(length);
    // The responder reads the device as the socket drains, and deletes it at the end.
    if (partial)
        responder.write(body,
                        {{"Content-Type", "audio/wav"},
                         {"Content-Length", contentLength},
                         {"Content-Range", contentRange},
                         {"Accept-Ranges", "bytes"},
                         {"Content-Disposition", disposition},
                         {"Content-Security-Policy", csp},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Cache-Control", "no-store"}},
                        Status::PartialContent);
    else
        responder.write(body,
                        {{"Content-Type", "audio/wav"},
                         {"Content-Length", contentLength},
                         {"Accept-Ranges", "bytes"},
                         {"Content-Disposition", disposition},
                         {"Content-Security-Policy", csp},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Cache-Control", "no-store"}},
                        Status::Ok);
}

void WebServer::acceptWebSocket() {
    while (http_->hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> ws = http_->nextPendingWebSocketConnection();
        const QNetworkRequest handshake = ws->request();
        const QByteArray token = tokenOf(handshake.rawHeader("Cookie"));
        const Session* session = sessionNamed(token);
        const bool allowed = session != nullptr || settings_.guest != Guest::None;
        // A page of another site may not open it, cookie or not.
        const QString origin = ws->origin();
        const QString host = QString::fromUtf8(handshake.rawHeader("Host"));
        const bool sameOrigin = origin.isEmpty() || origin.endsWith("://" + host);
        if (!allowed || !sameOrigin || handshake.url().path() != "/live") {
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated, "not allowed");
            continue;
        }
        QWebSocket* raw = ws.get();
        raw->sendTextMessage(QString::fromUtf8(liveJson(live_())));
        clients_.push_back({std::move(ws), session ? token : QByteArray()});
        publishTimer_.start(publishMs);
    }
}

void WebServer::publish() {
    // Release whatever the disconnected handler left to deleteLater.
    std::erase_if(clients_, [](const auto& c) {
        return c.socket->state() != QAbstractSocket::ConnectedState &&
               c.socket->state() != QAbstractSocket::ConnectingState;
    });
    closeEndedSessions();
    if (clients_.empty()) {
        publishTimer_.stop(); // nothing is asked of the controller with no one watching
        return;
    }
    // A change of state, switch, failure or count goes out at once; the meters, the squelch
    // figure and the clocks, which move all the time, a few times a second: each message costs
    // the repeater's thread, and the browser's.
    const Live live = live_();
    const auto atOnce = [](const Live& l) {
        return std::tie(l.state, l.transmitterOn, l.reportOn, l.running, l.lastFailure, l.overs,
                        l.kerchunks, l.lockouts, l.watchdogTrips, l.deviceFailures, l.notSentOvers);
    };
    const auto sinceLast = std::chrono::steady_clock::now() - lastPublishedAt_;
    // Half a look's slack: a timer that fires a little early must not put the meters off by a
    // whole look.
    if (atOnce(live) == atOnce(lastLive_) &&
        sinceLast < std::chrono::milliseconds(meterMs - publishMs / 2))
        return;
    const QByteArray state = liveJson(live);
    if (state == lastPublished_)
        return;
    lastPublished_ = state;
    lastLive_ = live;
    lastPublishedAt_ = std::chrono::steady_clock::now();
    for (auto& c : clients_) {
        if (c.socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (c.socket->bytesToWrite() > MaxWebSocketBacklog) {
            log("web: a live client that does not read was dropped");
            c.socket->abort();
            continue;
        }
        c.socket->sendTextMessage(QString::fromUtf8(state));
    }
}

void WebServer::closeEndedSessions() {
    // A live client that came with a session sees no more once it ends (logout, 12 hours); one
    // that came as a visitor keeps what Guest allows.
    for (auto& c : clients_)
        if (!c.token.isEmpty() && c.socket->state() == QAbstractSocket::ConnectedState &&
            sessionNamed(c.token) == nullptr && settings_.guest == Guest::None)
            c.socket->close(QWebSocketProtocol::CloseCodePolicyViolated, "the session ended");
}

} // namespace remote
