#include "toolkit/Forms.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>
#include <QTimer>

#include "toolkit/SysUtils.h"

namespace Forms {

namespace {

TUserNotices& Notices() {
    static TUserNotices notices;
    return notices;
}

bool HaveWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// Without an application object there is nothing to show a box with.
void ReportToConsole(const std::string& Message) {
    std::fprintf(stderr, "%s\n", Message.c_str());
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleUnknownException();
    }
    return false;
}

void HandleException(const std::exception& E) noexcept {
    // A failure while showing the message must not escape into the event loop either.
    try {
        const auto* exception = dynamic_cast<const SysUtils::Exception*>(&E);
        ShowException(exception != nullptr ? exception->Message() : std::string(E.what()));
    } catch (...) {
        std::fprintf(stderr, "%s\n", E.what());
    }
}

void HandleUnknownException() noexcept {
    try {
        ShowException("Unknown exception");
    } catch (...) {
        std::fprintf(stderr, "Unknown exception\n");
    }
}

void ShowException(const std::string& Message) {
    if (auto sink = Notices().OnException) { // a copy: the sink may replace itself
        sink(Message);
        return;
    }
    if (!HaveWidgets()) {
        ReportToConsole(Message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QGuiApplication::applicationDisplayName(),
                          QString::fromStdString(Message));
}

void ShowWarning(const std::string& Message) {
    if (auto sink = Notices().OnWarning) { // a copy: the sink may replace itself
        sink(Message);
        return;
    }
    if (Notices().OnException || !HaveWidgets()) {
        ShowException(Message);
        return;
    }
    QMessageBox::warning(QApplication::activeWindow(), QGuiApplication::applicationDisplayName(),
                         QString::fromStdString(Message));
}

void PrintLines(std::ostream& Out, const std::string& Message) {
    std::size_t start = 0;
    while (start <= Message.size()) {
        const std::size_t end = std::min(Message.find('\n', start), Message.size());
        Out << "quorim: " << Message.substr(start, end - start) << std::endl;
        start = end + 1;
    }
}

void MessageBox(QWidget* Parent, const std::string& Title, const std::string& Text) {
    if (auto sink = Notices().OnMessageBox) { // a copy: the sink may replace itself
        sink(Title, Text);
        return;
    }
    if (!HaveWidgets()) {
        ReportToConsole(Title + ": " + Text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(Title),
                    QString::fromStdString(Text), QMessageBox::Ok, Parent);
    box.exec();
}

void Beep() {
    if (auto sink = Notices().OnBeep) { // a copy: the sink may replace itself
        sink();
        return;
    }
    if (HaveWidgets())
        QApplication::beep();
}

TUserNotices SetUserNotices(TUserNotices NewNotices) {
    TUserNotices previous = std::move(Notices());
    Notices() = std::move(NewNotices);
    return previous;
}

QString LoadInterfaceFont() {
    static const QString family = [] {
        const QString tahoma = QStringLiteral("Tahoma");
        bool registered = false;
        for (const char* path :
             {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
            QString file = QString::fromLatin1(path);
            if (!QFile::exists(file))
                continue;
            int id = QFontDatabase::addApplicationFont(file);
            if (id >= 0 && QFontDatabase::applicationFontFamilies(id).contains(tahoma))
                registered = true;
        }
        if (registered || QFontDatabase::hasFamily(tahoma))
            return tahoma;
        for (const char* fallback : {"DejaVu Sans", "Liberation Sans", "Noto Sans"})
            if (QFontDatabase::hasFamily(QString::fromLatin1(fallback)))
                return QString::fromLatin1(fallback);
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return family;
}

void RunUntil(const std::function<bool()>& Done, int PollMs) {
    if (Done())
        return;
    QEventLoop loop;
    auto check = [&] {
        if (Done())
            loop.quit();
    };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, check);
    poll.start(PollMs);
    QMetaObject::Connection idle;
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        idle = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, check);
    loop.exec();
    QObject::disconnect(idle);
}

} // namespace Forms
