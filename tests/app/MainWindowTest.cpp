// The main window through real key presses, clicks and focus changes.
#include <QApplication>
#include <QFontInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/app/RepeaterRig.h"

using namespace RepeaterRig;
using WaveDefs::TWaveFormat;

namespace {

std::map<std::string, std::string> Mode(TWaveFormat Format) {
    return {{"SoundMode", std::to_string(ModeIndex(Format))}};
}

// A shown, active window whose squelch field has the focus.
struct TShownRig : TRig {
    int Beeps = 0;
    std::unique_ptr<Forms::TScopedUserNotices> Notices;

    explicit TShownRig(
        std::map<std::string, std::string> Settings = Mode(TWaveFormat::wf44100stereo16))
        : TRig(TReceiver{}, std::move(Settings)) {
        Notices = std::make_unique<Forms::TScopedUserNotices>(Forms::TUserNotices{
            .OnException = [this](const std::string& M) { Messages.push_back(M); },
            .OnMessageBox = [this](const std::string& T,
                                   const std::string& M) { Messages.push_back(T + ": " + M); },
            .OnBeep = [this] { ++Beeps; },
        });
        Form().show();
        QApplication::setActiveWindow(&Form());
        EXPECT_TRUE(QTest::qWaitForWindowActive(&Form()));
        Form().edSquelch->setFocus();
        QApplication::processEvents();
    }
    void Type(const char* Text) { QTest::keyClicks(Form().edSquelch, Text); }
    void LeaveSquelch() {
        QTest::keyClick(Form().edSquelch, Qt::Key_Tab);
        QApplication::processEvents();
    }
    std::vector<std::string> Messages;
};

const std::string SquelchMessage =
    "Ошибка: Значением этого поля должно быть вещественное число больше нуля и меньше единицы!";

TEST(MainWindow, HasItsCaptionFixedSizeFontsAndControlsWhereTheyBelong) {
    TRig rig(TReceiver{}, Mode(TWaveFormat::wf44100stereo16));
    auto& f = rig.Form();
    EXPECT_EQ(f.windowTitle(), "Quorim v0.11b");
    EXPECT_EQ(f.size(), QSize(295, 231));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(f.font().pixelSize(), 11);
    EXPECT_TRUE(f.lblState->font().bold());
    EXPECT_EQ(f.cbChannel->geometry(), QRect(144, 5, 145, 21));
    EXPECT_EQ(f.seTime->geometry(), QRect(144, 59, 73, 22));
    EXPECT_EQ(f.edSquelch->geometry(), QRect(144, 114, 145, 21));
    EXPECT_EQ(f.gLevel1->geometry(), QRect(144, 184, 145, 7));
    EXPECT_EQ(f.btnStop->geometry(), QRect(214, 203, 75, 25));
    EXPECT_EQ(f.Label8->text(), "Squech");
    EXPECT_EQ(f.cbMethod->itemText(1), "Схема \"B\"");
    EXPECT_EQ(f.cbMode->count(), 8);
    EXPECT_EQ(f.cbMode->itemText(0), "22050 Hz 8 bit stereo");
    EXPECT_EQ(f.cbMode->itemText(7), "96000 Hz 16 bit stereo");
    EXPECT_EQ(f.cbMode->currentText(), "44100 Hz 16 bit stereo");

    // Tab order: Start, Stop, channel, mode, duration, method, Test, squelch.
    std::vector<QWidget*> chain{f.btnStart};
    for (QWidget* w = f.btnStart->nextInFocusChain(); w != f.btnStart && chain.size() < 8;
         w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->parentWidget() == &f)
            chain.push_back(w);
    const std::vector<QWidget*> expected{f.btnStart, f.btnStop,  f.cbChannel, f.cbMode,
                                         f.seTime,   f.cbMethod, f.btnTest,   f.edSquelch};
    EXPECT_EQ(chain, expected);
}

TEST(MainWindow, TheSquelchFieldTakesOnlyDigitsAndThePointAndBeepsAtTheRest) {
    TShownRig rig;
    rig.Form().edSquelch->clear();
    rig.Type("0.5a,");
    EXPECT_EQ(rig.Form().edSquelch->text(), "0.5");
    EXPECT_EQ(rig.Beeps, 2);
    QTest::keyClick(rig.Form().edSquelch, Qt::Key_Backspace);
    EXPECT_EQ(rig.Form().edSquelch->text(), "0.5") << "Backspace types a character, and is refused";
    EXPECT_EQ(rig.Beeps, 3);
    QTest::keyClick(rig.Form().edSquelch, Qt::Key_Home);
    QTest::keyClick(rig.Form().edSquelch, Qt::Key_Delete);
    EXPECT_EQ(rig.Form().edSquelch->text(), ".5") << "Delete types nothing and works";
    EXPECT_EQ(rig.Beeps, 3);
    QKeyEvent cyrillic(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("Ж"));
    QApplication::sendEvent(rig.Form().edSquelch, &cyrillic);
    EXPECT_EQ(rig.Form().edSquelch->text(), ".5");
    EXPECT_EQ(rig.Beeps, 4);
    // Texts of several characters pass one character at a time: an emoji's two halves, a
    // composed "7x", and an input method's commit.
    QKeyEvent emoji(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("😀"));
    QApplication::sendEvent(rig.Form().edSquelch, &emoji);
    EXPECT_EQ(rig.Form().edSquelch->text(), ".5");
    EXPECT_EQ(rig.Beeps, 6);
    QTest::keyClick(rig.Form().edSquelch, Qt::Key_End);
    QKeyEvent composed(QEvent::KeyPress, 0, Qt::NoModifier, "7x");
    QApplication::sendEvent(rig.Form().edSquelch, &composed);
    EXPECT_EQ(rig.Form().edSquelch->text(), ".57");
    EXPECT_EQ(rig.Beeps, 7);
    QInputMethodEvent committed;
    committed.setCommitString("8ф");
    QApplication::sendEvent(rig.Form().edSquelch, &committed);
    EXPECT_EQ(rig.Form().edSquelch->text(), ".578");
    EXPECT_EQ(rig.Beeps, 8);
    EXPECT_FALSE(rig.Form().edSquelch->acceptDrops());
}

TEST(MainWindow, LeavingTheSquelchFieldChecksTheOpenRangeAndTakesTheFocusBack) {
    struct TCase {
        const char* Text;
        bool Complains;
    };
    for (const TCase c : {TCase{"0.5", false}, TCase{"0", true}, TCase{"1", true}, TCase{"", true},
                          TCase{"0.999", false}, TCase{"1.5", true}}) {
        SCOPED_TRACE(c.Text);
        TShownRig rig;
        rig.Form().edSquelch->setText(c.Text);
        rig.LeaveSquelch();
        EXPECT_EQ(rig.Messages.size(), c.Complains ? 1u : 0u);
        if (c.Complains) {
            EXPECT_EQ(rig.Messages[0], SquelchMessage);
            EXPECT_TRUE(rig.Form().edSquelch->hasFocus());
        } else {
            EXPECT_FALSE(rig.Form().edSquelch->hasFocus());
        }
        EXPECT_EQ(rig.Form().edSquelch->text(), c.Text) << "the text stays as typed";
    }
}

TEST(MainWindow, AButtonPressedToLeaveABadSquelchIsNeitherLeftDownNorClicked) {
    TShownRig rig;
    auto& f = rig.Form();
    f.edSquelch->setText("0");
    QTest::mousePress(f.btnStart, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(rig.Messages, std::vector<std::string>{SquelchMessage});
    EXPECT_TRUE(f.edSquelch->hasFocus());
    EXPECT_FALSE(f.btnStart->isDown());
    QTest::mouseRelease(f.btnStart, Qt::LeftButton);
    EXPECT_FALSE(f.Recorder->Active());

    // Press and release may both come before the check has run: still no click.
    QTest::mouseClick(f.btnTest, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(rig.Messages.size(), 2u);
    EXPECT_TRUE(f.edSquelch->hasFocus());
    EXPECT_FALSE(f.btnTest->isDown());
    EXPECT_FALSE(f.Recorder->Active());
    EXPECT_FALSE(f.TestMode);
}

TEST(MainWindow, TheDurationFieldIsClampedWhenLeftAndReadsItsMinimumWhenNotANumber) {
    TShownRig rig;
    auto* se = rig.Form().seTime;
    se->setFocus();
    se->findChild<QLineEdit*>()->selectAll();
    QTest::keyClicks(se, "9999");
    EXPECT_EQ(se->Text(), "999") << "at most three characters";
    rig.Form().cbChannel->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(se->Value(), 300);
    se->findChild<QLineEdit*>()->setText("abc");
    rig.Form().ReadControls();
    EXPECT_EQ(rig.Form().Duration, 10);
}

TEST(MainWindow, ControlsAreEnabledWhileStoppedAndOnlyStopWhileRunning) {
    TShownRig rig;
    auto& f = rig.Form();
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_TRUE(f.btnTest->isEnabled());
    EXPECT_FALSE(f.btnStop->isEnabled());
    QTest::mouseClick(f.btnStart, Qt::LeftButton);
    EXPECT_TRUE(f.Recorder->Active());
    for (QWidget* w : std::initializer_list<QWidget*>{f.cbChannel, f.cbMode, f.seTime, f.cbMethod,
                                                      f.edSquelch, f.btnTest, f.btnStart})
        EXPECT_FALSE(w->isEnabled());
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_EQ(f.lblState->text(), "ОЖИДАНИЕ");
    QTest::mouseClick(f.btnStop, Qt::LeftButton);
    EXPECT_FALSE(f.Recorder->Active());
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnStop->isEnabled());
    EXPECT_EQ(f.lblState->text(), "НЕАКТИВНО");
}

TEST(MainWindow, AModeChangeSetsTheDevicesTheToneAndTheMetersScale) {
    TShownRig rig;
    auto& f = rig.Form();
    f.gLevel0->SetProgress(30000);
    f.cbMode->setCurrentIndex(ModeIndex(TWaveFormat::wf48000stereo8));
    f.cbModeChange();
    EXPECT_EQ(f.Recorder->Format(), TWaveFormat::wf48000stereo8);
    EXPECT_EQ(f.Player->Format(), TWaveFormat::wf48000stereo8);
    EXPECT_EQ(f.Generator->Format(), TWaveFormat::wf48000mono8);
    EXPECT_EQ(f.gLevel0->MaxValue(), 128);
    EXPECT_EQ(f.gLevel1->MaxValue(), 128);
    EXPECT_EQ(f.gLevel0->Progress(), 128) << "a shown level above the new maximum is lowered to it";

    // While a device runs the format stays; Start and Test are refused.
    f.btnStartClick();
    f.cbMode->setCurrentIndex(ModeIndex(TWaveFormat::wf96000stereo16));
    f.cbModeChange();
    EXPECT_EQ(f.Recorder->Format(), TWaveFormat::wf48000stereo8);
    EXPECT_FALSE(f.btnStart->isEnabled());
    f.btnStopClick();
}

TEST(MainWindow, AListWithoutSelectionIsRepairedToTheFirstItem) {
    TShownRig rig;
    rig.Form().cbMethod->setCurrentIndex(-1);
    rig.Form().cbChannelChange(rig.Form().cbMethod);
    EXPECT_EQ(rig.Form().cbMethod->currentIndex(), 0);
}

} // namespace
