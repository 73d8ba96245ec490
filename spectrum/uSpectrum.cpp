#include "spectrum/uSpectrum.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineSeries>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QVBoxLayout>
#include <QValueAxis>

#include "analysis/RealFFT.h"
#include "analysis/uProcs.h"
#include "toolkit/Forms.h"
#include "toolkit/Spin.h"
#include "toolkit/SysUtils.h"

namespace uSpectrum {

TfSpectForm* fSpectForm = nullptr;

namespace {

// Design sizes, in pixels at 96 dpi.
constexpr int ClientWidth = 514, ClientHeight = 322;
constexpr int MinWidth = 522, MinHeight = 200;
constexpr int PanelHeight = 58;
constexpr int FontPixels = 11; // Tahoma 8 pt at 96 dpi

constexpr int ScaleMin = 100, ScaleMax = 100000, ScaleStep = 25, ScaleLength = 6;
constexpr double BandWidth = 1000.0; // Hz per item of the range list
constexpr double TrimMarker = -1.0;

// A check box with its caption on the left and the box at the right edge, the whole width
// answering the mouse.
class TLeftTextCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);

        QStyleOptionButton indicator = option;
        indicator.rect =
            QRect(width() - box.width(), (height() - box.height()) / 2, box.width(), box.height());
        painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);

        QStyleOptionButton label = option;
        label.rect = QRect(0, 0, indicator.rect.left(), height());
        painter.drawControl(QStyle::CE_CheckBoxLabel, label);
        if (hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = label.rect;
            painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
        }
    }

    bool hitButton(const QPoint& Pos) const override { return rect().contains(Pos); }
};

QLabel* AddLabel(QWidget* Parent, const char* Text, int Left, int Top) {
    auto* label = new QLabel(QString::fromUtf8(Text), Parent);
    label->move(Left, Top);
    label->adjustSize();
    return label;
}

// A fixed-width number label, right-aligned, never shorter than a line of its font.
QLabel* AddValueLabel(QWidget* Parent, int Left, int Top, int Width, int Height) {
    auto* label = new QLabel(QStringLiteral("0"), Parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(Left, Top, Width, std::max(Height, label->fontMetrics().height()));
    return label;
}

// A round tick step (1, 2 or 5 times a power of ten) giving about five to ten ticks.
double TickStep(double Span) {
    if (!(Span > 0.0) || !std::isfinite(Span))
        return 1.0;
    const double raw = Span / 5.0;
    const double decade = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0})
        if (factor * decade >= raw)
            return factor * decade;
    return 10.0 * decade;
}

// The axis lays out its ticks at each change, so the order keeps their count small: a coarser
// step goes in before a wider range, a narrower range before a finer step.
void SetAxisRange(QValueAxis* Axis, double Min, double Max) {
    const double step = TickStep(Max - Min);
    if (step > Axis->tickInterval()) {
        Axis->setTickInterval(step);
        Axis->setRange(Min, Max);
    } else {
        Axis->setRange(Min, Max);
        Axis->setTickInterval(step);
    }
}

QValueAxis* NewAxis(const QFont& Font) {
    auto* axis = new QValueAxis;
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0.0);
    axis->setLabelFormat(QStringLiteral("%g"));
    axis->setLabelsFont(Font);
    axis->setMinorTickCount(0);
    return axis;
}

} // namespace

TfSpectForm::TfSpectForm(QWidget* Owner)
    : QWidget(Owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                         Qt::WindowCloseButtonHint) {
    setWindowTitle(QString::fromUtf8("Спектр"));
    QFont interfaceFont(Forms::LoadInterfaceFont());
    interfaceFont.setPixelSize(FontPixels);
    setFont(interfaceFont);

    // The chart: one blue line, no decorations, and fixed axes that the program sets itself.
    FChart = new QChart;
    FChart->legend()->hide();
    FChart->setBackgroundRoundness(0);
    FChart->setDropShadowEnabled(false);
    FChart->setBackgroundBrush(palette().window());
    FChart->setPlotAreaBackgroundVisible(false);
    FChart->setAnimationOptions(QChart::NoAnimation);
    FChart->setMargins(QMargins(2, 4, 8, 2));

    Series1 = new QLineSeries;
    // The raster path: no OpenGL context exists offscreen or under a virtual display.
    Series1->setUseOpenGL(false);
    FChart->addSeries(Series1);
    Series1->setPen(QPen(QColor(Qt::blue), 1));
    Series1->setPointsVisible(false);

    FBottomAxis = NewAxis(interfaceFont);
    FLeftAxis = NewAxis(interfaceFont);
    FChart->addAxis(FBottomAxis, Qt::AlignBottom);
    FChart->addAxis(FLeftAxis, Qt::AlignLeft);
    Series1->attachAxis(FBottomAxis);
    Series1->attachAxis(FLeftAxis);
    SetAxisRange(FBottomAxis, 0.0, 1.0);
    SetLeftAxisMax(1.0);

    cMain = new QChartView(FChart, this); // takes the chart
    cMain->setFrameShape(QFrame::NoFrame);
    cMain->setRubberBand(QChartView::NoRubberBand);
    cMain->setMinimumSize(0, 0);

    Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::NoFrame);
    Panel1->setFixedHeight(PanelHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(cMain, 1);
    layout->addWidget(Panel1);

    Label1 = AddLabel(Panel1, "Масштаб по вертикали", 4, 6);

    seScale = new Spin::TSpinEdit(Panel1);
    seScale->setGeometry(135, 2, 70, 22);
    seScale->SetMinValue(ScaleMin);
    seScale->SetMaxValue(ScaleMax);
    seScale->SetIncrement(ScaleStep);
    seScale->SetMaxLength(ScaleLength);
    seScale->SetValue(ScaleMin);

    Label2 = AddLabel(Panel1, "%      Масштаб по горизонтали", 211, 6);

    cbRange = new QComboBox(Panel1);
    cbRange->setEditable(false);
    cbRange->setGeometry(376, 2, 135, 21);
    cbRange->addItem(QStringLiteral("All"));
    cbRange->setCurrentIndex(0);

    CheckBox1 = new TLeftTextCheckBox(QString::fromUtf8("Оптимальный масштаб"), Panel1);
    CheckBox1->setGeometry(4, 32, 201, 17);

    Label3 = AddLabel(Panel1, "Среднее:", 240, 36);
    lblMedium = AddValueLabel(Panel1, 294, 36, 73, 13);
    Label4 = AddLabel(Panel1, "Максимум:", 376, 36);
    lblMaximum = AddValueLabel(Panel1, 435, 36, 73, 13);

    // The spin edit runs its handler through Forms::Guarded itself.
    seScale->OnChange = [this] { seScaleChange(); };
    connect(cbRange, &QComboBox::currentIndexChanged, this,
            [this](int) { Forms::Guarded([this] { cbRangeChange(); }); });
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this](bool) { Forms::Guarded([this] { CheckBox1Click(); }); });

    resize(ClientWidth, ClientHeight);
    // The minimum is a client size, so it also widens the design width by a few pixels.
    setMinimumSize(MinWidth, MinHeight);
    move(0, 0);

    FormCreate();
}

TfSpectForm::~TfSpectForm() {
    if (fSpectForm == this)
        fSpectForm = nullptr;
}

void TfSpectForm::SetBottomAxisAutomatic() {
    FBottomAutomatic = true;
    if (FPoints.isEmpty())
        return;
    const auto [low, high] =
        std::minmax_element(FPoints.cbegin(), FPoints.cend(),
                            [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
    ApplyBottomAxisRange(low->x(), high->x());
}

void TfSpectForm::SetBottomAxisRange(double Min, double Max) {
    FBottomAutomatic = false;
    ApplyBottomAxisRange(Min, Max);
}

void TfSpectForm::ApplyBottomAxisRange(double Min, double Max) {
    SetAxisRange(FBottomAxis, Min, Max);
}

void TfSpectForm::SetLeftAxisMax(double Max) {
    SetAxisRange(FLeftAxis, 0.0, Max);
}

void TfSpectForm::PlotSpectrum(std::span<const double> Samples, std::uint32_t N,
                               std::uint32_t SampleRate) {
    const auto n = static_cast<std::int32_t>(
        std::min<std::uint32_t>(N, std::numeric_limits<std::int32_t>::max()));
    const std::uint32_t bins = N / 2 > 1 ? N / 2 - 1 : 0;

    // More bins than points cannot come from one run; rebuilding keeps every write in bounds.
    if (FPoints.isEmpty() || bins > static_cast<std::uint32_t>(FPoints.size())) {
        FPoints.clear();
        FPoints.reserve(bins);
        for (std::uint32_t k = 1; k <= bins; ++k)
            FPoints.append(QPointF(RealFFT::BinFrequency(SampleRate, n, k),
                                   RealFFT::BinMagnitude(Samples, n, k)));
        Series1->replace(FPoints);
        BuildRangeList();
        return;
    }
    for (std::uint32_t k = 1; k <= bins; ++k)
        FPoints[k - 1].setY(RealFFT::BinMagnitude(Samples, n, k));
    // One replacement of the whole list: one signal and one repaint, where replacing point by
    // point would signal and redraw per point.
    Series1->replace(FPoints);
}

void TfSpectForm::UpdateStatistics(double Fraction) {
    FAverage = 0.0;
    FMaximum = 0.0;
    std::size_t count = 0;
    const double low = FBottomAxis->min(), high = FBottomAxis->max();
    for (const QPointF& point : std::as_const(FPoints)) {
        const double x = point.x(), y = point.y();
        if (x < low || x > high)
            continue;
        if (y > FMaximum || FMaximum == 0.0)
            FMaximum = y;
        ++count;
        if (FRangeValues.size() < count)
            FRangeValues.resize(count);
        FRangeValues[count - 1] = y;
    }

    const auto used = std::span<double>(FRangeValues).first(count);
    uProcs::TrimExtremes(used, static_cast<std::int32_t>(count), Fraction, TrimMarker);
    double sum = 0.0;
    std::size_t kept = 0;
    for (double value : used)
        if (value >= 0.0) {
            sum += value;
            ++kept;
        }
    if (kept >= 1)
        FAverage = sum / static_cast<double>(kept);

    lblMedium->setText(QString::fromStdString(SysUtils::FormatFloat("0.000000", FAverage)));
    lblMaximum->setText(QString::fromStdString(SysUtils::FormatFloat("0.000000", FMaximum)));
}

void TfSpectForm::BuildRangeList() {
    cbRange->setCurrentIndex(0);
    while (cbRange->count() > 1)
        cbRange->removeItem(cbRange->count() - 1);
    std::uint32_t bound = 0;
    for (const QPointF& point : std::as_const(FPoints))
        if (point.x() >= bound) {
            cbRange->addItem(QStringLiteral("%1-%2 Hz").arg(bound).arg(bound + 1000));
            bound += 1000;
        }
    cbRangeChange();
}

void TfSpectForm::FormCreate() {
    FPoints.clear();
    Series1->clear();
    FAverage = 0.0;
    FMaximum = 0.0;
    FRangeValues = {};
}

void TfSpectForm::FormClose() {
    FRangeValues = {};
    deleteLater(); // once the close has completed
    if (fSpectForm == this)
        fSpectForm = nullptr;
}

void TfSpectForm::seScaleChange() {
    // While the user types, the text may stand for a value outside the range (0 would divide by
    // zero, a negative value turn the axis over). Such a value is ignored; leaving the field
    // brings it within the range, and that change arrives here again.
    const int value = seScale->Value();
    if (value < ScaleMin || value > ScaleMax)
        return;
    SetLeftAxisMax(100.0 / value);
}

void TfSpectForm::cbRangeChange() {
    const int index = cbRange->currentIndex();
    if (index <= 0)
        SetBottomAxisAutomatic();
    else
        SetBottomAxisRange((index - 1) * BandWidth, index * BandWidth);
}

void TfSpectForm::CheckBox1Click() {
    if (CheckBox1->isChecked()) {
        seScale->setEnabled(false);
        seScale->SetValue(seScale->MinValue());
        SetLeftAxisMax(FMaximum * 1.5);
    } else {
        seScale->setEnabled(true);
        SetLeftAxisMax(1.0);
    }
}

void TfSpectForm::closeEvent(QCloseEvent* Event) {
    Forms::Guarded([this] { FormClose(); });
    Event->accept();
}

TfSpectForm* CreateSpectForm(QWidget* Owner) {
    if (fSpectForm == nullptr)
        fSpectForm = new TfSpectForm(Owner); // freed by itself when it closes
    fSpectForm->show();
    fSpectForm->raise();
    return fSpectForm;
}

void ShowSpectrum(std::span<const double> Samples, std::uint32_t N, WaveDefs::TWaveFormat Format,
                  std::int32_t Method, double SquelchTrim) {
    if (fSpectForm == nullptr)
        return;
    // The bins are read from a transform of N samples, which Samples must be able to hold.
    if (N > Samples.size())
        return;
    fSpectForm->PlotSpectrum(Samples, N, WaveDefs::Info(Format).SampleRate);
    if (Method == 0)
        fSpectForm->UpdateStatistics(SquelchTrim);
    else if (Method == 1)
        fSpectForm->UpdateStatistics(0.0);
}

} // namespace uSpectrum
