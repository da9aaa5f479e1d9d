// The result tabs of image and line scans, built offscreen from result
// arrays set by the test: pages, grid places, colours, titles and axes.
#include "support/MemoryFile.h"
#include "support/QtAppEnvironment.h"
#include "support/TestHost.h"
#include "scans/ChannelColour.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "widgets/LinePlot.h"
#include "widgets/pt3ImageViewer.h"

#include <QGridLayout>
#include <QLabel>
#include <gtest/gtest.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_engine.h>
#include <qwt_scale_div.h>

namespace {

/// Results of 3 x 2 pixels for the channels with photons in \p counts.
void Fill(RasterScan &scan, const std::vector<uint32_t> &counts, uint32_t frames, double topBin)
{
    scan.imageWidth = 3;
    scan.imageHeight = 2;
    scan.numberOfFrames = frames;
    scan.photonCounts = counts;
    scan.activeChannelCount = static_cast<uint32_t>(counts.size() - std::count(counts.begin(), counts.end(), 0u));
    scan.lifetimeAxis = {0.5, 1.5, 2.5};
    scan.images.assign(counts.size(), LargeArray<uint16_t>(6 * frames, 1));
    scan.meanImages.assign(counts.size(), {1, 2, 3, 4, 5, 6});
    scan.varianceImages = scan.meanImages;
    scan.timeCourse.assign(counts.size(), {2, 3});
    scan.lifetimeHistograms.assign(counts.size(), {1e-12, topBin, 12});
}

template <class T> T *At(QWidget *page, int row, int column)
{
    QLayoutItem *item = static_cast<QGridLayout *>(page->layout())->itemAtPosition(row, column);
    return item ? qobject_cast<T *>(item->widget()) : nullptr;
}

/// Point results for \p active of \p channels channels: a two-bin trace, a
/// three-bin lifetime histogram topped by \p topBin, a lag grid of 3 edges.
void Fill(PointScan &scan, uint32_t channels, const std::vector<uint32_t> &active, double topBin)
{
    scan.channelCount = channels;
    scan.activeChannels = active;
    scan.photonCounts.assign(channels, 0);
    scan.traceTimes.assign(channels, {});
    scan.traceCounts.assign(channels, {});
    scan.lifetimeHistograms.assign(channels, {});
    for (uint32_t c : active) {
        scan.photonCounts[c] = 10;
        scan.traceTimes[c] = {0.5, 1.5};
        scan.traceCounts[c] = {4, 6, 99};  // the guard bin is not drawn
        scan.lifetimeHistograms[c] = {1e-12, topBin, 3};
    }
    scan.lifetimeAxis = {0.5, 1.5, 2.5};
    scan.lagEdges = {2000, 4000, 8000};
    scan.lagAxis = {0.003, 0.006};
    scan.correlations.assign(active.size() * active.size(), {1.5, 0});
}

/// Colour and width of the first curve: "#66b3da 2".
QString Pen(const LinePlot *plot)
{
    return plot->Pens()[0].color().name() + " " + QString::number(plot->Pens()[0].width());
}

QString Subscript(const LinePlot *plot)
{
    const QString title = plot->title().text();
    const int at = title.indexOf("sub;\">") + 6;
    return title.mid(at, 2);
}

class TabsTest : public ::testing::Test {
protected:
    QWidget *Tab(int i) { return host.tabs.at(static_cast<size_t>(i)).get(); }
    TestHost host;
    MemoryFile file{host, {}};
};

} // namespace

TEST_F(TabsTest, ImageScanWithChannelsOneAndThree)
{
    ImageScan scan;
    scan.Init(host, file);
    Fill(scan, {5, 0, 7, 0}, 2, 5300);
    scan.frameStartTimes = {0.25, 1.0};
    scan.CreateTabs();

    EXPECT_EQ(host.tabLabels, QStringList({"Data", "Mean", "Variance", "Time course", "Life times"}));
    const QStringList names = {"DataTab", "DataGridLayout", "MeanTab", "MeanGridLayout", "VarianceTab",
                               "VarianceGridLayout", "BleachTab", "BleachGridLayout", "TauTab", "GridLayout"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Tab(i)->objectName() + Tab(i)->layout()->objectName(), names[2 * i] + names[2 * i + 1]);
        // Spacing 6; channel 1 at (0, 0), channel 3 at (0, 1).
        EXPECT_EQ(Tab(i)->layout()->spacing() * 10 + Tab(i)->layout()->count(), 62) << i;
    }
    EXPECT_EQ(host.shownTab, "TauTab");

    auto *data = At<pt3ImageViewer>(Tab(0), 0, 1);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->ColourScheme(), 3);
    EXPECT_EQ(data->findChild<QLabel *>("Title")->text(), "Channel 3 (1/2)");

    // The time course spans the frame start times; the lifetimes' decades reach 10^4.
    auto *course = At<LinePlot>(Tab(3), 0, 1);
    auto *tau = At<LinePlot>(Tab(4), 0, 1);
    ASSERT_TRUE(course && tau);
    EXPECT_EQ(Pen(course) + " " + course->title().text(), "#f6dc1e 2 Channel 3");
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).interval(), QwtInterval(0.25, 1.0));
    EXPECT_EQ(tau->axisScaleDiv(QwtPlot::yLeft).interval(), QwtInterval(0.1, 10000));
    EXPECT_EQ(tau->axisTitle(QwtPlot::xBottom).text(), "Time (ns)");
}

TEST_F(TabsTest, LineScanWithThreeChannels)
{
    LineScan scan;
    scan.Init(host, file);
    Fill(scan, {1, 2, 3}, 1, 37);
    scan.lineStartTimes = {0.001, 0.003};
    scan.CreateTabs();
    ASSERT_EQ(host.tabs.size(), 5u);
    // Row 0 full, then row 1 column 0, each channel in its colour.
    const int places[3][2] = {{0, 0}, {0, 1}, {1, 0}};
    const char *const colours[] = {"#66b3da", "#69bd45", "#f6dc1e"};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(At<pt3ImageViewer>(Tab(0), places[c][0], places[c][1])->ColourScheme(), c + 1);
        for (int t = 1; t <= 4; ++t)
            EXPECT_EQ(At<LinePlot>(Tab(t), places[c][0], places[c][1])->Pens()[0].color(), QColor(colours[c]));
    }
    EXPECT_EQ(ChannelColour(7), QColor("#ba519f"));
    EXPECT_EQ(ChannelColour(-1), QColor("#000000"));
    auto *mean = At<LinePlot>(Tab(1), 0, 1);
    EXPECT_EQ(mean->Curves()[0]->sample(2), QPointF(3, 3));  // pixel numbers 1..W
    EXPECT_EQ(At<LinePlot>(Tab(3), 1, 0)->axisScaleDiv(QwtPlot::xBottom).upperBound(), 0.003);
    EXPECT_EQ(At<LinePlot>(Tab(4), 1, 0)->axisScaleDiv(QwtPlot::yLeft).upperBound(), 100);
    for (int t = 1; t <= 4; ++t) {
        auto *grid = static_cast<QGridLayout *>(Tab(t)->layout());
        EXPECT_EQ(grid->rowStretch(0) * 100 + grid->rowStretch(1) * 10 + grid->columnStretch(1), 101) << t;
    }
    // Re-binning adds another lifetime tab and shows it; no channel, no views.
    scan.CreateLifetimeTab("TauTab");
    EXPECT_EQ(host.tabLabels.count("Life times"), 2);
    Fill(scan, {0, 0}, 1, 37);
    scan.CreateTabs();
    EXPECT_EQ(Tab(10)->layout()->count(), 0);
}

TEST_F(TabsTest, PointScanTabs)
{
    PointScan scan;
    scan.Init(host, file);
    Fill(scan, 4, {0, 2}, 37);
    scan.CreateTabs();
    scan.CreateCorrelationTab("CorrTab");
    EXPECT_EQ(host.tabLabels, QStringList({"Data", "Life times", "Correlation"}));
    EXPECT_EQ(host.shownTab, "CorrTab");
    const QStringList names = {"DataTab", "DataGridLayout", "TauTab", "GridLayout", "CorrTab", "CorrGridLayout"};
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(Tab(t)->objectName() + Tab(t)->layout()->objectName(), names[2 * t] + names[2 * t + 1]);
        auto *grid = static_cast<QGridLayout *>(Tab(t)->layout());
        EXPECT_EQ(grid->spacing() * 100 + grid->rowStretch(1) * 10 + grid->columnStretch(1), 611) << t;
    }
    // Channels 1 and 3 side by side in light blue and yellow; traces 1 wide without the guard bin.
    for (int column = 0; column < 2; ++column) {
        auto *trace = At<LinePlot>(Tab(0), 0, column);
        auto *tau = At<LinePlot>(Tab(1), 0, column);
        ASSERT_TRUE(trace && tau);
        EXPECT_EQ(trace->title().text(), QString("Channel %1").arg(2 * column + 1));
        EXPECT_EQ(Pen(trace), column ? "#f6dc1e 1" : "#66b3da 1");
        EXPECT_EQ(Pen(tau), column ? "#f6dc1e 2" : "#66b3da 2");
        EXPECT_EQ(trace->Curves()[0]->dataSize(), 2u);
        EXPECT_EQ(trace->axisScaleDiv(QwtPlot::xBottom).upperBound(), 1.5);
        EXPECT_NE(dynamic_cast<QwtLogScaleEngine *>(tau->axisScaleEngine(QwtPlot::yLeft)), nullptr);
        EXPECT_EQ(tau->axisScaleDiv(QwtPlot::yLeft).lowerBound() * 1000 + tau->axisScaleDiv(QwtPlot::yLeft).upperBound(),
                  200);  // 0.1 .. 100 for a largest count of 37
    }
    // G11 G13 / G31 G33, coloured by row position (the G3x row green), logarithmic lags in ms.
    const char *const pairs[4] = {"11", "13", "31", "33"};
    for (int k = 0; k < 4; ++k) {
        auto *g = At<LinePlot>(Tab(2), k / 2, k % 2);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(Subscript(g), pairs[k]);
        EXPECT_EQ(Pen(g), k < 2 ? "#66b3da 2" : "#69bd45 2");
        EXPECT_NE(dynamic_cast<QwtLogScaleEngine *>(g->axisScaleEngine(QwtPlot::xBottom)), nullptr);
        EXPECT_EQ(g->axisScaleDiv(QwtPlot::xBottom).interval(), QwtInterval(0.002, 0.008));
        EXPECT_EQ(g->Curves()[0]->sample(1), QPointF(0.006, 0));  // a tail cut short draws 0
    }

    // One channel: one plot top left in each tab; a largest count of 5300 reaches 10^4.
    Fill(scan, 4, {1}, 5300);
    scan.CreateTabs();
    scan.CreateCorrelationTab("CorrTab");
    for (int t = 3; t < 6; ++t)
        EXPECT_EQ(Tab(t)->layout()->count() * 10 + (At<LinePlot>(Tab(t), 0, 0) != nullptr), 11);
    EXPECT_EQ(At<LinePlot>(Tab(4), 0, 0)->axisScaleDiv(QwtPlot::yLeft).upperBound(), 10000);
    EXPECT_EQ(Subscript(At<LinePlot>(Tab(5), 0, 0)), "22");

    // Three channels: rows of two cells while the column runs modulo 3.
    Fill(scan, 3, {0, 1, 2}, 37);
    scan.CreateCorrelationTab("CorrTab");
    const int cells[9][2] = {{0, 0}, {0, 1}, {1, 2}, {1, 0}, {2, 1}, {2, 2}, {3, 0}, {3, 1}, {4, 2}};
    for (int k = 0; k < 9; ++k) {
        auto *g = At<LinePlot>(Tab(6), cells[k][0], cells[k][1]);
        ASSERT_NE(g, nullptr) << k;
        EXPECT_EQ(Subscript(g), QString("%1%2").arg(k / 3 + 1).arg(k % 3 + 1));
        EXPECT_EQ(g->Pens()[0].color(), ChannelColour(k / 3));
    }
}
