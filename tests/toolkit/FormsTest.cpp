#include "toolkit/Forms.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <QFontInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "toolkit/SysUtils.h"

namespace {

TEST(Guarded, ExceptionFromAClickReachesTheSinkAndTheProgramGoesOn) {
    std::vector<std::string> shown;
    Forms::TScopedUserNotices notices(
        {.OnException = [&](const std::string& m) { shown.push_back(m); }});
    QPushButton button("Go");
    button.resize(75, 25);
    button.show();
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        Forms::Guarded([&] {
            ++clicks;
            if (clicks == 1)
                throw SysUtils::Exception("Unable to write to /x/y.ini");
            if (clicks == 2)
                throw std::runtime_error("plain");
            if (clicks == 3)
                throw 42;
        });
    });
    for (int i = 0; i < 4; ++i)
        QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 4);
    EXPECT_EQ(shown, (std::vector<std::string>{"Unable to write to /x/y.ini", "plain",
                                               "Unknown exception"}));
}

TEST(UserNotices, SinkReceivesBoxesAndBeepsAndIsRestored) {
    std::vector<std::string> outer;
    Forms::TScopedUserNotices outerNotices(
        {.OnException = [&](const std::string& m) { outer.push_back(m); }});
    {
        std::vector<std::string> boxes;
        int beeps = 0;
        Forms::TScopedUserNotices notices(
            {.OnMessageBox = [&](const std::string& t,
                                 const std::string& x) { boxes.push_back(t + "|" + x); },
             .OnBeep = [&] { ++beeps; }});
        Forms::MessageBox(nullptr, "Ошибка", "Значением этого поля должно быть");
        Forms::Beep();
        Forms::Beep();
        EXPECT_EQ(boxes, std::vector<std::string>{"Ошибка|Значением этого поля должно быть"});
        EXPECT_EQ(beeps, 2);
    }
    Forms::ShowException("after");
    EXPECT_EQ(outer, std::vector<std::string>{"after"});
}

// Without a sink the real modal box comes up; close it from the event loop it runs.
struct TShownBox {
    QString Title, Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    bool Modal = false;
};

TShownBox CloseNextBox(const std::function<void()>& Show) {
    TShownBox shown;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                shown = {box->windowTitle(), box->text(), box->icon(), box->isModal()};
                box->done(QMessageBox::Ok);
            }
    });
    timer.start(10);
    Show();
    return shown;
}

TEST(UserNotices, WithoutSinkTheStandardErrorBoxIsShown) {
    QString oldName = QGuiApplication::applicationDisplayName();
    QGuiApplication::setApplicationDisplayName("Quorim");
    TShownBox error = CloseNextBox([] { Forms::ShowException("Invalid frequency"); });
    EXPECT_EQ(error.Title, "Quorim");
    EXPECT_EQ(error.Text, "Invalid frequency");
    EXPECT_EQ(error.Icon, QMessageBox::Critical);
    EXPECT_TRUE(error.Modal);
    QGuiApplication::setApplicationDisplayName(oldName);

    TShownBox message = CloseNextBox([] { Forms::MessageBox(nullptr, "Ошибка", "text"); });
    EXPECT_EQ(message.Title, QString::fromUtf8("Ошибка"));
    EXPECT_EQ(message.Text, "text");
    EXPECT_EQ(message.Icon, QMessageBox::Critical);
}

TEST(InterfaceFont, TahomaFromWineFonts) {
    QString family = Forms::LoadInterfaceFont();
    EXPECT_EQ(family, "Tahoma") << "is fonts-wine installed?";
    EXPECT_EQ(QFontInfo(QFont(family)).family(), family);
    EXPECT_EQ(Forms::LoadInterfaceFont(), family);
}

} // namespace
