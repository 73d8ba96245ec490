#include "toolkit/Spin.h"

#include <memory>

#include <QLineEdit>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "toolkit/Forms.h"
#include "toolkit/SysUtils.h"

using Spin::TSpinEdit;

namespace {

// A spin edit set up as the duration field, beside a second control to move the focus to.
class SpinEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        FWindow = std::make_unique<QWidget>();
        FSpin = new TSpinEdit(FWindow.get());
        FSpin->setGeometry(0, 0, 73, 22);
        FOther = new QLineEdit(FWindow.get());
        FOther->setGeometry(0, 30, 73, 22);
        FSpin->SetMinValue(10);
        FSpin->SetMaxValue(300);
        FSpin->SetMaxLength(3);
        FSpin->SetValue(30);
        FWindow->show();
        FWindow->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(FWindow.get()));
        FSpin->setFocus();
        ASSERT_TRUE(FSpin->hasFocus());
    }

    void Type(const QString& Text) {
        FSpin->selectAll();
        QTest::keyClicks(FSpin, Text);
    }

    void Leave() {
        QTest::keyClick(FSpin, Qt::Key_Tab);
        ASSERT_TRUE(FOther->hasFocus());
    }

    void Enter() {
        FSpin->setFocus();
        ASSERT_TRUE(FSpin->hasFocus());
    }

    std::unique_ptr<QWidget> FWindow;
    TSpinEdit* FSpin = nullptr;
    QLineEdit* FOther = nullptr;
};

TEST_F(SpinEditTest, LeavingTheFieldClampsTheTypedValue) {
    Type("999");
    EXPECT_EQ(FSpin->Text(), "999");
    EXPECT_EQ(FSpin->Value(), 999) << "reading does not clamp";
    Leave();
    EXPECT_EQ(FSpin->Text(), "300");
    EXPECT_EQ(FSpin->Value(), 300);

    Enter();
    Type("5");
    Leave();
    EXPECT_EQ(FSpin->Text(), "10");

    Enter();
    Type("077");
    Leave();
    EXPECT_EQ(FSpin->Text(), "77") << "the text is rewritten in its plain form";
}

TEST_F(SpinEditTest, TextThatIsNotAnIntegerReadsAsMinValue) {
    Type("abc");
    EXPECT_EQ(FSpin->Text(), "abc") << "any text can be typed";
    EXPECT_EQ(FSpin->Value(), 10);
    Type("-");
    EXPECT_EQ(FSpin->Value(), 10);
    FSpin->selectAll();
    QTest::keyClick(FSpin, Qt::Key_Backspace);
    EXPECT_EQ(FSpin->Text(), "");
    EXPECT_EQ(FSpin->Value(), 10);
    Leave();
    EXPECT_EQ(FSpin->Text(), "10");
}

TEST_F(SpinEditTest, MaxLengthLimitsWhatCanBeTyped) {
    Type("12345");
    EXPECT_EQ(FSpin->Text(), "123");
    // A longer text set by the program stays whole and can still be shortened.
    FSpin->SetMaxValue(100000);
    FSpin->SetValue(100000);
    EXPECT_EQ(FSpin->Text(), "100000");
    QTest::keyClick(FSpin, Qt::Key_End);
    QTest::keyClick(FSpin, Qt::Key_Backspace);
    EXPECT_EQ(FSpin->Text(), "10000");
    QTest::keyClick(FSpin, Qt::Key_1);
    EXPECT_EQ(FSpin->Text(), "10000");
}

TEST_F(SpinEditTest, StepsByIncrementWithinTheRange) {
    FSpin->SetIncrement(25);
    FSpin->SetValue(290);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->Value(), 300);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->Value(), 300);
    FSpin->SetValue(-50);
    EXPECT_EQ(FSpin->Value(), 10) << "SetValue clamps";
    QTest::keyClick(FSpin, Qt::Key_Down);
    EXPECT_EQ(FSpin->Value(), 10);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->Value(), 35);
    Type("x");
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->Value(), 35) << "a non-number steps from MinValue";
}

TEST_F(SpinEditTest, OnChangeFiresOnEveryTextChange) {
    int changes = 0;
    FSpin->OnChange = [&] { ++changes; };
    Type("12");
    EXPECT_EQ(changes, 2);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(changes, 3);
    FSpin->SetValue(13);
    EXPECT_EQ(changes, 3) << "same text, no event";
    FSpin->SetValue(200);
    EXPECT_EQ(changes, 4);
    Leave();
    EXPECT_EQ(changes, 4) << "nothing to clamp";
    Enter();
    Type("0");
    Leave();
    EXPECT_EQ(changes, 6) << "typed, then rewritten to 10";
}

TEST_F(SpinEditTest, ExceptionFromOnChangeIsShownAndTypingGoesOn) {
    std::vector<std::string> shown;
    Forms::TScopedUserNotices notices(
        {.OnException = [&](const std::string& m) { shown.push_back(m); }});
    FSpin->OnChange = [] { throw SysUtils::Exception("Invalid frequency"); };
    Type("45");
    EXPECT_EQ(shown, (std::vector<std::string>{"Invalid frequency", "Invalid frequency"}));
    EXPECT_EQ(FSpin->Text(), "45");
}

TEST_F(SpinEditTest, RangeStaysOrdered) {
    FSpin->SetMinValue(400);
    EXPECT_EQ(FSpin->MaxValue(), 400);
    FSpin->SetMaxValue(5);
    EXPECT_EQ(FSpin->MinValue(), 5);
    FSpin->SetValue(1);
    EXPECT_EQ(FSpin->Value(), 5);
}

} // namespace
