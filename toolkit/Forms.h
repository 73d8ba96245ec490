// The application object, the standard error box and the other notices shown to the user.
//
// Exceptions never unwind through Qt's event loop: every place where Qt calls into the program
// (a click, a list change, a key hook) runs the handler through Guarded, which shows whatever
// escapes in the standard error box and lets the program go on. TApplication::notify catches
// what a handler outside Guarded lets through, as a last line.
//
// Tests and the headless mode see the notices through a replaceable sink instead of a modal box.
#pragma once

#include <exception>
#include <functional>
#include <iosfwd>
#include <string>

#include <QApplication>
#include <QString>

class QWidget;

namespace Forms {

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* Receiver, QEvent* Event) override;
};

// Shows the message of E (SysUtils::Exception::Message, otherwise what()) in the standard error
// box. Never throws.
void HandleException(const std::exception& E) noexcept;
// For an exception that is not a std::exception.
void HandleUnknownException() noexcept;

// Runs F; an exception that leaves it is handled as above.
template <class F>
void Guarded(F&& f) noexcept {
    try {
        std::forward<F>(f)();
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleUnknownException();
    }
}

// The standard error box: a modal critical message box titled with the application's name.
void ShowException(const std::string& Message);
// Something the user should know that does not stop the program (a settings key given twice): a
// modal warning box; without its own sink it goes where ShowException's would.
void ShowWarning(const std::string& Message);
// Each line of Message, as "quorim: LINE", for a run without a window.
void PrintLines(std::ostream& Out, const std::string& Message);
// A modal message box with the error icon and an OK button.
void MessageBox(QWidget* Parent, const std::string& Title, const std::string& Text);
// The system beep.
void Beep();

// Runs the event loop until Done says so. Done is asked whenever the loop is about to wait, and
// every PollMs besides, for what changes without an event (a flag a signal handler sets).
void RunUntil(const std::function<bool()>& Done, int PollMs);

// Receivers of the notices; an empty member leaves that notice to the real box or beep.
struct TUserNotices {
    std::function<void(const std::string& Message)> OnException = {};
    std::function<void(const std::string& Title, const std::string& Text)> OnMessageBox = {};
    std::function<void()> OnBeep = {};
    std::function<void(const std::string& Message)> OnWarning = {};
};

// Installs Notices and returns the ones in force before.
TUserNotices SetUserNotices(TUserNotices Notices);

// Installs notices for its own lifetime, then puts the previous ones back.
class TScopedUserNotices {
public:
    explicit TScopedUserNotices(TUserNotices Notices)
        : FPrevious(SetUserNotices(std::move(Notices))) {}
    ~TScopedUserNotices() { SetUserNotices(std::move(FPrevious)); }
    TScopedUserNotices(const TScopedUserNotices&) = delete;
    TScopedUserNotices& operator=(const TScopedUserNotices&) = delete;

private:
    TUserNotices FPrevious;
};

// Registers Tahoma from the fonts that come with Wine (fontconfig does not look in that folder)
// and returns the family the interface should use: "Tahoma" when it is available, otherwise a
// close sans-serif family. Needs the application object; registers only once.
QString LoadInterfaceFont();

} // namespace Forms
