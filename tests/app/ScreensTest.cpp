// What the user sees: every text fits its control, and, when QUORIM_ARTIFACTS names a folder,
// screenshots of the window in each state and of the spectrum window fed by the simulated card.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include "spectrum/uSpectrum.h"
#include "tests/app/RepeaterRig.h"

using namespace RepeaterRig;
using SimCard::Milliseconds;
using SimCard::Seconds;

namespace {

constexpr std::uint64_t Frames = 2048;

TReceiver Transmission() {
    TReceiver receiver;
    receiver.ToneHz = 44100 * 46.0 / Frames;
    receiver.Carrier = {{20 * Frames, 60 * Frames}, {600 * Frames, 700 * Frames}};
    return receiver;
}

std::map<std::string, std::string> Settings() {
    return {{"SoundMode", "3"}, {"PlayVolume", "65535"}, {"LockTime", "3000"}};
}

int TextWidth(const QWidget* W, const QString& Text) {
    return QFontMetrics(W->font()).horizontalAdvance(Text);
}

TEST(Screens, EveryTextFitsItsControlInEveryState) {
    TRig rig(Transmission(), Settings());
    auto& f = rig.Form();
    for (QLabel* label : f.findChildren<QLabel*>()) {
        if (label == f.lblState)
            continue;
        EXPECT_LE(TextWidth(label, label->text()), label->width()) << label->text().toStdString();
        // Nor does it reach the control beside it.
        EXPECT_LE(label->geometry().right(), label->x() < 144 ? 143 : 294)
            << label->text().toStdString();
    }
    for (const char* state : {"НЕАКТИВНО", "ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН"})
        EXPECT_LE(TextWidth(f.lblState, QString::fromUtf8(state)), f.lblState->width()) << state;
    // A list shows its longest item beside the drop-down arrow.
    for (QComboBox* list : {f.cbChannel, f.cbMode, f.cbMethod}) {
        for (int i = 0; i < list->count(); ++i)
            EXPECT_LE(TextWidth(list, list->itemText(i)) + 24, list->width())
                << list->itemText(i).toStdString();
    }
    const QFontMetrics metrics(f.font());
    EXPECT_LE(metrics.height(), 14) << "an 11-pixel font in 13-pixel labels";
}

// Saves the window as the screen shows it (with a window system) or as it paints itself.
void Shoot(QWidget* Window, const QString& Name) {
    QApplication::processEvents();
    QTest::qWait(30);
    const QDir dir(QString::fromLocal8Bit(std::getenv("QUORIM_ARTIFACTS")));
    QPixmap shot;
    if (QGuiApplication::platformName() == "xcb") {
        const QRect frame = Window->frameGeometry();
        shot = Window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    } else {
        shot = Window->grab();
    }
    EXPECT_TRUE(shot.save(dir.filePath(Name))) << Name.toStdString();
}

TEST(Screens, ScreenshotsOfEachStateAndOfTheSpectrumInTestMode) {
    const char* folder = std::getenv("QUORIM_ARTIFACTS");
    if (folder == nullptr || *folder == '\0')
        GTEST_SKIP() << "QUORIM_ARTIFACTS not set";
    ASSERT_TRUE(QDir().mkpath(QString::fromLocal8Bit(folder)));
    TRig rig(Transmission(), Settings());
    auto& f = rig.Form();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    Shoot(&f, "main-inactive.png");

    // The lock blocks inside the playback's stop, so the blocked state is shot from there.
    auto stop = f.Player->OnStop;
    f.Player->OnStop = [&](WaveDefs::TWaveDevice* Sender) {
        f.lblState->setText("ЗАБЛОКИРОВАН");
        Shoot(&f, "main-blocked.png");
        stop(Sender);
    };
    f.btnStartClick();
    rig.RunFor(500 * Milliseconds);
    Shoot(&f, "main-waiting.png");
    rig.RunUntil([&] { return f.StateText() == "ЗАПИСЬ"; }, 5 * Seconds);
    rig.RunFor(300 * Milliseconds);
    Shoot(&f, "main-recording.png");
    rig.RunUntil([&] { return f.StateText() == "ВОСПРОИЗВЕДЕНИЕ"; }, 5 * Seconds);
    rig.RunFor(300 * Milliseconds);
    Shoot(&f, "main-playback.png");
    rig.RunUntil([&] { return !f.Player->Active(); }, 10 * Seconds);
    f.btnStopClick();

    // Test mode: the spectrum of the control channel, first hiss, then the carrier's tone.
    f.SquelchHold = f.SquelchDelay;
    f.btnTestClick();
    ASSERT_NE(uSpectrum::fSpectForm, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(uSpectrum::fSpectForm));
    rig.RunFor(300 * Milliseconds);
    Shoot(uSpectrum::fSpectForm, "spectrum-hiss.png");
    rig.RunUntil([&] { return f.StateText() == "ЗАПИСЬ"; }, 30 * Seconds);
    rig.RunFor(200 * Milliseconds);
    Shoot(uSpectrum::fSpectForm, "spectrum-carrier.png");
    Shoot(&f, "main-test.png");
    f.btnStopClick();
}

} // namespace
