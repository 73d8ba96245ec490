#include "toolkit/Gauges.h"

#include <QImage>

#include <gtest/gtest.h>

using Gauges::TGauge;

namespace {

TEST(Gauge, ProgressStaysInRange) {
    TGauge gauge;
    gauge.SetMaxValue(128);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(500);
    EXPECT_EQ(gauge.Progress(), 128);
    gauge.SetMaxValue(32768);
    EXPECT_EQ(gauge.Progress(), 128) << "raising the maximum leaves Progress";
    gauge.SetProgress(20000);
    gauge.SetMaxValue(128);
    EXPECT_EQ(gauge.Progress(), 128) << "lowering the maximum lowers Progress";
    gauge.SetMaxValue(-1);
    EXPECT_EQ(gauge.MaxValue(), 0);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_EQ(gauge.PercentDone(), 0) << "an empty range shows nothing";
}

TEST(Gauge, RepaintsOnlyWhenTheWholePercentChanges) {
    TGauge gauge;
    gauge.SetMaxValue(32768);
    int requests = gauge.RepaintRequests();
    gauge.SetProgress(100);
    gauge.SetProgress(327); // 0.998 %
    EXPECT_EQ(gauge.RepaintRequests(), requests);
    gauge.SetProgress(328); // 1.0009 %
    EXPECT_EQ(gauge.RepaintRequests(), requests + 1);
    gauge.SetProgress(400);
    gauge.SetProgress(400);
    EXPECT_EQ(gauge.RepaintRequests(), requests + 1);
    gauge.SetMaxValue(128); // Progress 128, 100 %
    EXPECT_EQ(gauge.RepaintRequests(), requests + 2);
    gauge.SetProgress(0);
    EXPECT_EQ(gauge.RepaintRequests(), requests + 3);
    gauge.SetForeColor(Qt::red);
    EXPECT_EQ(gauge.RepaintRequests(), requests + 4) << "a new colour must be shown";
}

TEST(Gauge, DrawsBarOnWhiteInsideABorder) {
    TGauge gauge;
    gauge.resize(145, 7);
    gauge.SetForeColor(QColor(Qt::darkBlue));
    gauge.SetMaxValue(128);
    gauge.SetProgress(64);
    QImage image = gauge.grab().toImage();
    ASSERT_EQ(image.size(), QSize(145, 7));
    EXPECT_EQ(image.pixelColor(0, 3), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(144, 3), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(10, 3), QColor(Qt::darkBlue));
    EXPECT_EQ(image.pixelColor(71, 3), QColor(Qt::darkBlue));
    EXPECT_EQ(image.pixelColor(73, 3), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(140, 3), QColor(Qt::white));
}

} // namespace
