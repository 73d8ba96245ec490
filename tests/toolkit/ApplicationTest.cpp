// The application object's last line of defence, in a program of its own because the shared test
// main creates a plain QApplication.
#include <cstdlib>
#include <string>
#include <vector>

#include <QEvent>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "toolkit/Forms.h"
#include "toolkit/SysUtils.h"

namespace {

class TThrowingObject : public QObject {
public:
    bool event(QEvent* Event) override {
        if (Event->type() == QEvent::User)
            throw SysUtils::Exception("from an event handler");
        return QObject::event(Event);
    }
};

TEST(Application, CatchesExceptionsThatLeaveEventHandlers) {
    std::vector<std::string> shown;
    Forms::TScopedUserNotices notices(
        {.OnException = [&](const std::string& m) { shown.push_back(m); }});
    TThrowingObject object;
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&object, &event));

    bool later = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("from the event loop"); });
    QTimer::singleShot(5, [&] { later = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return later; }));
    EXPECT_EQ(shown, (std::vector<std::string>{"from an event handler", "from the event loop"}));
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    Forms::TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
