#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QValueAxis>

#include <gtest/gtest.h>

#include "analysis/RealFFT.h"
#include "spectrum/uSpectrum.h"
#include "toolkit/Forms.h"
#include "toolkit/Spin.h"

using uSpectrum::fSpectForm;
using uSpectrum::ShowSpectrum;
using uSpectrum::TfSpectForm;
using WaveDefs::TWaveFormat;

namespace {

constexpr std::int32_t SchemeA = 0, SchemeB = 1;

// The forward transform of N samples: a cosine of Amplitude centred on bin Bin plus uniform
// noise of at most Noise.
std::vector<double> ToneSpectrum(std::uint32_t N, std::uint32_t Bin, double Amplitude,
                                 double Noise = 0.0, unsigned Seed = 1) {
    std::mt19937 gen(Seed);
    std::uniform_real_distribution<double> noise(-Noise, Noise);
    std::vector<double> samples(N);
    for (std::uint32_t j = 0; j < N; ++j)
        samples[j] = Amplitude * std::cos(2.0 * std::numbers::pi * Bin * j / N) +
                     (Noise > 0.0 ? noise(gen) : 0.0);
    RealFFT::RealTransform(samples, static_cast<std::int32_t>(N), false);
    return samples;
}

// A packed spectrum of N samples whose bin k has the magnitude Magnitudes[k - 1].
std::vector<double> Packed(std::uint32_t N, const std::vector<double>& Magnitudes) {
    std::vector<double> data(N, 0.0);
    for (std::size_t i = 0; i < Magnitudes.size(); ++i)
        data[2 * (i + 1)] = Magnitudes[i] * N / 2.0;
    return data;
}

class PaintCounter : public QObject {
public:
    int Count = 0;

protected:
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::Paint)
            ++Count;
        return false;
    }
};

void FlushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class SpectFormTest : public ::testing::Test {
protected:
    void SetUp() override { Open(); }
    void TearDown() override {
        if (fSpectForm != nullptr)
            fSpectForm->close();
        FlushDeletes();
    }

    void Open() {
        Form = uSpectrum::CreateSpectForm(nullptr);
        ASSERT_NE(Form, nullptr);
        ASSERT_EQ(Form, fSpectForm);
    }
    void Reopen() {
        Form->close();
        FlushDeletes();
        Open();
    }

    void Feed(const std::vector<double>& Samples, std::uint32_t N, TWaveFormat Format,
              std::int32_t Method = SchemeB, double Trim = 0.1) {
        ShowSpectrum(Samples, N, Format, Method, Trim);
    }

    QString Item(int Index) const { return Form->cbRange->itemText(Index); }
    QString Medium() const { return Form->lblMedium->text(); }
    QString Max() const { return Form->lblMaximum->text(); }
    double AxisMax() const { return Form->LeftAxis()->max(); }

    TfSpectForm* Form = nullptr;
};

TEST_F(SpectFormTest, OpensEmptyWithItsDesignLayout) {
    EXPECT_EQ(Form->windowTitle(), QString::fromUtf8("Спектр"));
    EXPECT_TRUE(Form->isVisible());
    EXPECT_EQ(Form->pos(), QPoint(0, 0));
    // The minimum client width exceeds the design width, so it wins.
    EXPECT_EQ(Form->size(), QSize(522, 322));
    EXPECT_EQ(Form->minimumSize(), QSize(522, 200));
    EXPECT_TRUE(Form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(Form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(Form->font().pixelSize(), 11);
    EXPECT_EQ(Form->font().family(), Forms::LoadInterfaceFont());

    EXPECT_EQ(Form->Panel1->geometry(), QRect(0, 322 - 58, 522, 58));
    EXPECT_EQ(Form->cMain->geometry(), QRect(0, 0, 522, 322 - 58));
    ASSERT_EQ(Form->cbRange->count(), 1);
    EXPECT_EQ(Item(0), "All");
    EXPECT_FALSE(Form->CheckBox1->isChecked());
    EXPECT_EQ(Medium(), "0");
    EXPECT_EQ(Max(), "0");

    EXPECT_EQ(Form->Series1->count(), 0);
    EXPECT_FALSE(Form->Series1->useOpenGL());
    EXPECT_FALSE(Form->cMain->chart()->legend()->isVisible());
    EXPECT_EQ(Form->LeftAxis()->min(), 0.0);
    EXPECT_EQ(AxisMax(), 1.0);
    EXPECT_TRUE(Form->BottomAxisAutomatic());
    EXPECT_EQ(Form->Average(), 0.0);
    EXPECT_EQ(Form->Maximum(), 0.0);
}

TEST_F(SpectFormTest, EveryCaptionFitsItsControl) {
    Feed(ToneSpectrum(2048, 93, 0.5, 0.1), 2048, TWaveFormat::wf44100mono16);
    struct Caption {
        const QWidget* Control;
        QString Text;
        int Reserved; // room the control needs beside its text
        int NextLeft; // where the next control on the line begins
    };
    const Caption captions[] = {
        {Form->Label1, Form->Label1->text(), 0, Form->seScale->x()},
        {Form->Label2, Form->Label2->text(), 0, Form->cbRange->x()},
        {Form->CheckBox1, Form->CheckBox1->text(), 16, Form->CheckBox1->geometry().right() + 1},
        {Form->Label3, Form->Label3->text(), 0, Form->lblMedium->x()},
        {Form->lblMedium, "0.000000", 0, Form->Label4->x()},
        {Form->Label4, Form->Label4->text(), 0, Form->lblMaximum->x()},
        {Form->lblMaximum, "0.000000", 0, Form->Panel1->width()},
    };
    for (const Caption& c : captions) {
        SCOPED_TRACE(c.Text.toStdString());
        const QFontMetrics metrics(c.Control->font());
        const QRect box = c.Control->geometry();
        EXPECT_GE(box.width(), metrics.horizontalAdvance(c.Text) + c.Reserved);
        EXPECT_GE(box.height(), metrics.height());
        EXPECT_LE(box.right(), c.NextLeft - 1);
        EXPECT_LE(box.bottom(), Form->Panel1->height() - 1);
    }
}

TEST_F(SpectFormTest, RangeListAt44100HzCoversEveryPoint) {
    const auto spectrum = ToneSpectrum(2048, 93, 0.5, 0.05);
    Feed(spectrum, 2048, TWaveFormat::wf44100mono16);

    ASSERT_EQ(Form->Series1->count(), 1023);
    EXPECT_EQ(Form->Series1->at(0).x(), 21.533203125);
    EXPECT_EQ(Form->Series1->at(1022).x(), 22028.466796875);
    EXPECT_NEAR(Form->Series1->at(92).y(), 0.5, 0.01);
    EXPECT_EQ(Form->Series1->at(500).y(), RealFFT::BinMagnitude(spectrum, 2048, 501));

    ASSERT_EQ(Form->cbRange->count(), 24);
    EXPECT_EQ(Item(1), "0-1000 Hz");
    EXPECT_EQ(Item(2), "1000-2000 Hz");
    EXPECT_EQ(Item(23), "22000-23000 Hz");
    EXPECT_EQ(Form->cbRange->currentIndex(), 0);
    EXPECT_TRUE(Form->BottomAxisAutomatic());
    EXPECT_EQ(Form->BottomAxis()->min(), 21.533203125);
    EXPECT_EQ(Form->BottomAxis()->max(), 22028.466796875);
}

TEST_F(SpectFormTest, RangeListFollowsTheBinSpacing) {
    Feed(ToneSpectrum(2048, 200, 0.5), 2048, TWaveFormat::wf11025mono16);
    EXPECT_EQ(Form->Series1->at(1022).x(), 5507.11669921875);
    ASSERT_EQ(Form->cbRange->count(), 7);
    EXPECT_EQ(Item(6), "5000-6000 Hz");

    // Bins 1500 Hz apart: one item per point, and the first band holds no point at all.
    Reopen();
    Feed(ToneSpectrum(64, 3, 0.5), 64, TWaveFormat::wf96000mono8);
    ASSERT_EQ(Form->Series1->count(), 31);
    EXPECT_EQ(Form->Series1->at(30).x(), 46500.0);
    ASSERT_EQ(Form->cbRange->count(), 32);
    EXPECT_EQ(Item(1), "0-1000 Hz");
    EXPECT_EQ(Item(31), "30000-31000 Hz");

    Form->cbRange->setCurrentIndex(1);
    Feed(ToneSpectrum(64, 3, 0.5), 64, TWaveFormat::wf96000mono8);
    EXPECT_EQ(Medium(), "0.000000");
    EXPECT_EQ(Max(), "0.000000");
}

TEST_F(SpectFormTest, BandEdgesCountInBothBands) {
    // 48000 Hz, N = 96: points every 500 Hz, one of them at exactly 1000 Hz.
    std::vector<double> magnitudes(47, 0.05);
    magnitudes[0] = 0.2; // 500 Hz
    magnitudes[1] = 0.9; // 1000 Hz
    magnitudes[2] = 0.3; // 1500 Hz
    magnitudes[3] = 0.6; // 2000 Hz
    const auto spectrum = Packed(96, magnitudes);
    Feed(spectrum, 96, TWaveFormat::wf48000mono16);
    ASSERT_EQ(Form->Series1->at(1).x(), 1000.0);

    Form->cbRange->setCurrentIndex(1);
    EXPECT_EQ(Form->BottomAxis()->min(), 0.0);
    EXPECT_EQ(Form->BottomAxis()->max(), 1000.0);
    Feed(spectrum, 96, TWaveFormat::wf48000mono16);
    EXPECT_EQ(Max(), "0.900000");
    EXPECT_EQ(Medium(), "0.550000");

    Form->cbRange->setCurrentIndex(2);
    Feed(spectrum, 96, TWaveFormat::wf48000mono16);
    EXPECT_EQ(Max(), "0.900000");
    EXPECT_EQ(Medium(), "0.600000");

    Form->cbRange->setCurrentIndex(0);
    EXPECT_TRUE(Form->BottomAxisAutomatic());
    EXPECT_EQ(Form->BottomAxis()->max(), 23500.0);
}

TEST_F(SpectFormTest, SchemeATrimsTheAverageAndSchemeBDoesNot) {
    // 25 points with distinct, unevenly spread magnitudes in no particular order.
    std::vector<double> magnitudes(25);
    for (std::size_t i = 0; i < magnitudes.size(); ++i)
        magnitudes[i] = 0.001 * std::pow(static_cast<double>(i + 1), 2.0);
    std::shuffle(magnitudes.begin(), magnitudes.end(), std::mt19937(7));
    const auto spectrum = Packed(52, magnitudes);

    std::vector<double> sorted = magnitudes;
    std::sort(sorted.begin(), sorted.end());
    const double trimmed = std::accumulate(sorted.begin() + 2, sorted.end() - 2, 0.0) / 21.0;
    const double plain = std::accumulate(sorted.begin(), sorted.end(), 0.0) / 25.0;

    Feed(spectrum, 52, TWaveFormat::wf44100mono16, SchemeA, 0.1);
    EXPECT_NEAR(Form->Average(), trimmed, 1e-12);
    EXPECT_NEAR(Form->Maximum(), 0.625, 1e-12);
    EXPECT_EQ(Max(), "0.625000");
    EXPECT_EQ(Medium(), QString::number(trimmed, 'f', 6));

    Feed(spectrum, 52, TWaveFormat::wf44100mono16, SchemeB, 0.1);
    EXPECT_NEAR(Form->Average(), plain, 1e-12);
    EXPECT_EQ(Medium(), QString::number(plain, 'f', 6));

    // Any other method leaves the statistics alone.
    Feed(Packed(52, std::vector<double>(25, 0.5)), 52, TWaveFormat::wf44100mono16, 2, 0.1);
    EXPECT_NEAR(Form->Average(), plain, 1e-12);
    EXPECT_EQ(Max(), "0.625000");
}

TEST_F(SpectFormTest, StatisticsFollowTheSelectedBandOfARealSignal) {
    // A 0.5 tone at bin 93 (2002.7 Hz) over noise, 44100 Hz, N = 2048.
    const auto spectrum = ToneSpectrum(2048, 93, 0.5, 0.2, 3);
    Feed(spectrum, 2048, TWaveFormat::wf44100mono16);
    Form->cbRange->setCurrentIndex(3); // 2000-3000 Hz
    Feed(spectrum, 2048, TWaveFormat::wf44100mono16);

    double sum = 0.0;
    int count = 0;
    for (std::uint32_t k = 1; k < 1024; ++k) {
        const double f = RealFFT::BinFrequency(44100, 2048, k);
        if (f >= 2000.0 && f <= 3000.0) {
            sum += RealFFT::BinMagnitude(spectrum, 2048, k);
            ++count;
        }
    }
    EXPECT_EQ(count, 47);
    EXPECT_NEAR(Form->Average(), sum / count, 1e-12);
    EXPECT_NEAR(Form->Maximum(), 0.5, 0.02);

    Form->cbRange->setCurrentIndex(1); // 0-1000 Hz: noise only
    Feed(spectrum, 2048, TWaveFormat::wf44100mono16);
    EXPECT_LT(Form->Maximum(), 0.05);
    EXPECT_GT(Form->Maximum(), 0.0);
}

TEST_F(SpectFormTest, LaterHandOversReplaceTheValuesInPlace) {
    Feed(ToneSpectrum(2048, 10, 0.5), 2048, TWaveFormat::wf44100mono16);
    const QList<QPointF> first = Form->Series1->points();
    Form->cbRange->setCurrentIndex(2);
    Form->seScale->SetValue(400);

    QSignalSpy replacedAll(Form->Series1, &QXYSeries::pointsReplaced);
    QSignalSpy replacedOne(Form->Series1, &QXYSeries::pointReplaced);
    QSignalSpy added(Form->Series1, &QXYSeries::pointAdded);
    QSignalSpy removed(Form->Series1, &QXYSeries::pointsRemoved);
    Feed(ToneSpectrum(2048, 20, 0.5), 2048, TWaveFormat::wf44100mono16);
    EXPECT_EQ(replacedAll.count(), 1);
    EXPECT_EQ(replacedOne.count() + added.count() + removed.count(), 0);

    const QList<QPointF> second = Form->Series1->points();
    ASSERT_EQ(second.size(), 1023);
    for (qsizetype p = 0; p < second.size(); ++p)
        ASSERT_EQ(second[p].x(), first[p].x());
    EXPECT_NEAR(second[19].y(), 0.5, 1e-9);
    EXPECT_NEAR(second[9].y(), 0.0, 1e-9);
    EXPECT_EQ(Form->cbRange->currentIndex(), 2);
    EXPECT_EQ(Form->cbRange->count(), 24);
    EXPECT_EQ(AxisMax(), 0.25);

    // Each hand-over repaints the chart once.
    PaintCounter paints;
    Form->cMain->viewport()->installEventFilter(&paints);
    for (int round = 1; round <= 3; ++round) {
        Feed(ToneSpectrum(2048, 20 + round, 0.5, 0.1), 2048, TWaveFormat::wf44100mono16);
        QCoreApplication::processEvents();
        EXPECT_EQ(paints.Count, round);
    }
    Form->cMain->viewport()->removeEventFilter(&paints);

    // A smaller transform replaces only its own first points.
    const QList<QPointF> before = Form->Series1->points();
    Feed(ToneSpectrum(1024, 5, 0.5), 1024, TWaveFormat::wf44100mono16);
    EXPECT_EQ(Form->Series1->count(), 1023);
    EXPECT_NEAR(Form->Series1->at(4).y(), 0.5, 1e-9);
    EXPECT_NEAR(Form->Series1->at(19).y(), 0.0, 1e-9);
    EXPECT_GT(before[800].y(), 0.001);
    EXPECT_EQ(Form->Series1->at(800).y(), before[800].y());

    // Samples too short for the stated size: nothing happens.
    const std::vector<double> tooShort(1000, 1.0);
    Feed(tooShort, 4096, TWaveFormat::wf44100mono16);
    EXPECT_EQ(Form->Series1->count(), 1023);
    EXPECT_NEAR(Form->Series1->at(4).y(), 0.5, 1e-9);

    // A larger transform has more bins than points: the series and its range list are rebuilt.
    Feed(ToneSpectrum(4096, 40, 0.5), 4096, TWaveFormat::wf44100mono16);
    ASSERT_EQ(Form->Series1->count(), 2047);
    EXPECT_EQ(Form->Series1->at(0).x(), 44100.0 / 4096);
    EXPECT_NEAR(Form->Series1->at(39).y(), 0.5, 1e-9);
    EXPECT_EQ(Form->cbRange->currentIndex(), 0);
    EXPECT_EQ(Form->BottomAxis()->max(), 44100.0 * 2047 / 4096);
}

TEST_F(SpectFormTest, OptimalScaleSetsTheAxisOnceFromTheMaximum) {
    Form->seScale->SetValue(400);
    EXPECT_EQ(AxisMax(), 0.25);
    Feed(ToneSpectrum(2048, 50, 0.2), 2048, TWaveFormat::wf44100mono16);
    ASSERT_NEAR(Form->Maximum(), 0.2, 1e-12);

    QTest::mouseClick(Form->CheckBox1, Qt::LeftButton, {}, QPoint(10, 8)); // on the caption
    ASSERT_TRUE(Form->CheckBox1->isChecked());
    EXPECT_NEAR(AxisMax(), 0.3, 1e-12);
    EXPECT_FALSE(Form->seScale->isEnabled());
    EXPECT_EQ(Form->seScale->Value(), 100);

    Feed(ToneSpectrum(2048, 50, 0.6), 2048, TWaveFormat::wf44100mono16);
    EXPECT_NEAR(AxisMax(), 0.3, 1e-12);

    QTest::mouseClick(Form->CheckBox1, Qt::LeftButton, {}, QPoint(195, 8)); // on the box
    ASSERT_FALSE(Form->CheckBox1->isChecked());
    EXPECT_EQ(AxisMax(), 1.0);
    EXPECT_TRUE(Form->seScale->isEnabled());
    EXPECT_EQ(Form->seScale->Value(), 100);

    // Before any hand-over the maximum is 0.0, and so becomes the axis; drawing survives it.
    Reopen();
    QTest::mouseClick(Form->CheckBox1, Qt::LeftButton, {}, QPoint(10, 8));
    EXPECT_EQ(AxisMax(), 0.0);
    Feed(ToneSpectrum(2048, 50, 0.2), 2048, TWaveFormat::wf44100mono16);
    EXPECT_FALSE(Form->grab().isNull());
}

TEST_F(SpectFormTest, ScaleFieldIgnoresValuesOutsideItsRange) {
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form));
    Form->seScale->setFocus();
    const auto type = [this](const char* Text) {
        Form->seScale->selectAll();
        QTest::keyClicks(Form->seScale, Text);
    };

    type("200");
    EXPECT_EQ(AxisMax(), 0.5);
    type("0");
    EXPECT_EQ(AxisMax(), 0.5);
    type("-5"); // "-" on the way is no number and reads as the minimum; -5 is ignored
    EXPECT_EQ(AxisMax(), 1.0);
    type("100000");
    EXPECT_EQ(AxisMax(), 0.001);
    type("50");
    EXPECT_EQ(AxisMax(), 0.001);
    QTest::keyClick(Form->seScale, Qt::Key_Tab); // leaving clamps 50 to 100
    EXPECT_EQ(Form->seScale->Text(), "100");
    EXPECT_EQ(AxisMax(), 1.0);
}

TEST_F(SpectFormTest, ClosingEndsTheHandOversAndTheNextWindowStartsEmpty) {
    EXPECT_EQ(uSpectrum::CreateSpectForm(nullptr), Form); // a single instance
    Feed(ToneSpectrum(2048, 10, 0.5, 0.1), 2048, TWaveFormat::wf44100mono16, SchemeA);
    ASSERT_FALSE(Form->RangeValues().empty());

    QPointer<TfSpectForm> closed(Form);
    Form->close();
    EXPECT_EQ(fSpectForm, nullptr);
    ASSERT_FALSE(closed.isNull()); // freed only once the close has completed
    EXPECT_TRUE(closed->RangeValues().empty());
    Feed(ToneSpectrum(2048, 10, 0.5), 2048, TWaveFormat::wf44100mono16);
    FlushDeletes();
    EXPECT_TRUE(closed.isNull());
    Feed(ToneSpectrum(2048, 10, 0.5), 2048, TWaveFormat::wf44100mono16);

    Open();
    EXPECT_EQ(Form->Series1->count(), 0);
    EXPECT_EQ(Form->cbRange->count(), 1);
    EXPECT_EQ(Medium(), "0");
    EXPECT_EQ(Form->Maximum(), 0.0);
    Feed(ToneSpectrum(2048, 10, 0.5), 2048, TWaveFormat::wf44100mono16);
    EXPECT_EQ(Form->Series1->count(), 1023);
}

// The window as the user sees it in test mode, written when QUORIM_ARTIFACTS names a folder.
TEST_F(SpectFormTest, Screenshot) {
    const char* folder = std::getenv("QUORIM_ARTIFACTS");
    if (folder == nullptr || *folder == '\0')
        GTEST_SKIP() << "QUORIM_ARTIFACTS not set";
    const QDir dir(QString::fromLocal8Bit(folder));
    ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));
    // A 0.3 tone at 2002.7 Hz over noise, as one captured buffer at 44100 Hz gives it.
    const auto spectrum = ToneSpectrum(2048, 93, 0.3, 0.5, 11);
    Feed(spectrum, 2048, TWaveFormat::wf44100mono16, SchemeA, 0.1);
    Form->CheckBox1->setChecked(true);
    QTest::qWait(50);
    EXPECT_TRUE(Form->grab().save(dir.filePath(QStringLiteral("spectrum-window.png"))));

    Form->cbRange->setCurrentIndex(3); // 2000-3000 Hz
    Feed(spectrum, 2048, TWaveFormat::wf44100mono16, SchemeA, 0.1);
    QTest::qWait(50);
    EXPECT_TRUE(Form->grab().save(dir.filePath(QStringLiteral("spectrum-window-band.png"))));
}

} // namespace
