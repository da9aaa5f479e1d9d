// The result tabs of image, line and point scans, built offscreen from result
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
#include <QRegularExpression>
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

/// Point results for \p active of \p channels channels: a two-bin trace, a
/// three-bin lifetime histogram topped by 37, a lag grid of 3 edges.
void Fill(PointScan &scan, uint32_t channels, const std::vector<uint32_t> &active)
{
    scan.channelCount = channels;
    scan.activeChannels = active;
    scan.photonCounts.assign(channels, 0);
    scan.traceTimes = scan.traceCounts = scan.lifetimeHistograms = std::vector<std::vector<double>>(channels);
    for (uint32_t c : active) {
        scan.photonCounts[c] = 10;
        scan.traceTimes[c] = {0.5, 1.5};
        scan.traceCounts[c] = {4, 6, 99};  // the guard bin is not drawn
        scan.lifetimeHistograms[c] = {1e-12, 37, 3};
    }
    scan.lifetimeAxis = {0.5, 1.5, 2.5};
    scan.lagEdges = {2000, 4000, 8000};
    scan.lagAxis = {0.003, 0.006};
    scan.correlations.assign(active.size() * active.size(), {1.5, 0});
}

template <class T = LinePlot> T *At(QWidget *page, int row, int column)
{
    QLayoutItem *item = static_cast<QGridLayout *>(page->layout())->itemAtPosition(row, column);
    return item ? qobject_cast<T *>(item->widget()) : nullptr;
}

/// Colour and width of the first curve: "#66b3da 2".
QString Pen(const LinePlot *plot) { return plot->Pens()[0].color().name() + " " + QString::number(plot->Pens()[0].width()); }

/// "title pen" of the plot at (row, column), "G13 pen" for a correlation, "-" where there is none.
QString PlotAt(QWidget *page, int row, int column)
{
    const LinePlot *plot = At(page, row, column);
    if (!plot)
        return "-";
    const QString title = plot->title().text(), pair = title.section("sub;\">", 1).left(2);
    return (pair.isEmpty() ? title : "G" + pair) + " " + Pen(plot);
}

/// "TabName/LayoutName spacing count rowStretch(0)rowStretch(1)columnStretch(1)" of every tab from \p first,
/// "-" for the stretches of a grid of one row or column.
QStringList Grids(const TestHost &host, size_t first = 0)
{
    QStringList grids;
    for (size_t t = first; t < host.tabs.size(); ++t) {
        auto *g = static_cast<QGridLayout *>(host.tabs[t]->layout());
        const QString stretches = g->rowCount() < 2 || g->columnCount() < 2 ? QString("-") : QStringLiteral("%1%2%3")
                                      .arg(g->rowStretch(0)).arg(g->rowStretch(1)).arg(g->columnStretch(1));
        grids << QStringLiteral("%1/%2 %3 %4 ").arg(host.tabs[t]->objectName(), g->objectName()).arg(g->spacing())
                     .arg(g->count()) + stretches;
    }
    return grids;
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
    // Spacing 6; channel 1 at (0, 0), channel 3 at (0, 1).
    EXPECT_EQ(Grids(host), QStringList({"DataTab/DataGridLayout 6 2 -", "MeanTab/MeanGridLayout 6 2 -",
                                        "VarianceTab/VarianceGridLayout 6 2 -", "BleachTab/BleachGridLayout 6 2 -",
                                        "TauTab/GridLayout 6 2 -"}));
    auto *data = At<pt3ImageViewer>(Tab(0), 0, 1);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(QString::number(data->ColourScheme()) + " " + data->findChild<QLabel *>("Title")->text(), "3 Channel 3 (1/2)");
    // The time course spans the frame start times; the lifetimes' decades reach 10^4 for 5300.
    EXPECT_EQ(PlotAt(Tab(3), 0, 1), "Channel 3 #f6dc1e 2");
    EXPECT_EQ(At(Tab(3), 0, 1)->axisScaleDiv(QwtPlot::xBottom).interval(), QwtInterval(0.25, 1.0));
    EXPECT_EQ(At(Tab(4), 0, 1)->axisScaleDiv(QwtPlot::yLeft).interval(), QwtInterval(0.1, 10000));
    EXPECT_EQ(At(Tab(4), 0, 1)->axisTitle(QwtPlot::xBottom).text(), "Time (ns)");
}

TEST_F(TabsTest, LineScanWithThreeChannels)
{
    LineScan scan;
    scan.Init(host, file);
    Fill(scan, {1, 2, 3}, 1, 37);
    scan.lineStartTimes = {0.001, 0.003};
    scan.CreateTabs();
    // Row 0 full, then row 1 column 0, each channel in its colour.
    const int places[3][2] = {{0, 0}, {0, 1}, {1, 0}};
    const char *const colours[] = {"#66b3da", "#69bd45", "#f6dc1e"};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(At<pt3ImageViewer>(Tab(0), places[c][0], places[c][1])->ColourScheme(), c + 1);
        for (int t = 1; t <= 4; ++t)
            EXPECT_EQ(At(Tab(t), places[c][0], places[c][1])->Pens()[0].color(), QColor(colours[c])) << t;
    }
    EXPECT_EQ(ChannelColour(7).name() + ChannelColour(-1).name(), "#ba519f#000000");
    EXPECT_EQ(At(Tab(1), 0, 1)->Curves()[0]->sample(2), QPointF(3, 3));  // pixel numbers 1..W
    EXPECT_EQ(At(Tab(1), 0, 1)->axisTitle(QwtPlot::yLeft).text() + ", " + At(Tab(2), 0, 1)->axisTitle(QwtPlot::yLeft).text(),
              "Average intensity, Variance");
    EXPECT_EQ(At(Tab(3), 1, 0)->axisScaleDiv(QwtPlot::xBottom).upperBound(), 0.003);
    EXPECT_EQ(Grids(host, 1).replaceInStrings(QRegularExpression(".* "), "").join(','), "101,101,101,101");
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
    Fill(scan, 4, {0, 2});
    scan.CreateTabs();
    scan.CreateCorrelationTab("CorrTab");
    EXPECT_EQ(host.shownTab, "CorrTab");
    EXPECT_EQ(Grids(host).replaceInStrings(QRegularExpression(" \\d(\\d\\d)$"), " x\\1"),
              QStringList({"DataTab/DataGridLayout 6 2 x11", "TauTab/GridLayout 6 2 x11", "CorrTab/CorrGridLayout 6 4 x11"}));
    // Channels 1 and 3 side by side; traces 1 wide without the guard bin, lifetimes 0.1 .. 100 for 37.
    EXPECT_EQ(PlotAt(Tab(0), 0, 0) + ", " + PlotAt(Tab(0), 0, 1), "Channel 1 #66b3da 1, Channel 3 #f6dc1e 1");
    EXPECT_EQ(Pen(At(Tab(1), 0, 0)) + ", " + Pen(At(Tab(1), 0, 1)), "#66b3da 2, #f6dc1e 2");
    EXPECT_EQ(At(Tab(0), 0, 1)->Curves()[0]->dataSize(), 2u);
    EXPECT_EQ(At(Tab(0), 0, 1)->axisScaleDiv(QwtPlot::xBottom).upperBound(), 1.5);
    EXPECT_NE(dynamic_cast<QwtLogScaleEngine *>(At(Tab(1), 0, 1)->axisScaleEngine(QwtPlot::yLeft)), nullptr);
    EXPECT_EQ(At(Tab(1), 0, 1)->axisScaleDiv(QwtPlot::yLeft).interval(), QwtInterval(0.1, 100));
    // G11 G13 / G31 G33, coloured by row position (the G3x row green), logarithmic lags in ms.
    EXPECT_EQ(QStringList({PlotAt(Tab(2), 0, 0), PlotAt(Tab(2), 0, 1), PlotAt(Tab(2), 1, 0), PlotAt(Tab(2), 1, 1)}),
              QStringList({"G11 #66b3da 2", "G13 #66b3da 2", "G31 #69bd45 2", "G33 #69bd45 2"}));
    LinePlot *g = At(Tab(2), 1, 1);
    EXPECT_NE(dynamic_cast<QwtLogScaleEngine *>(g->axisScaleEngine(QwtPlot::xBottom)), nullptr);
    EXPECT_EQ(g->axisScaleDiv(QwtPlot::xBottom).interval(), QwtInterval(0.002, 0.008));
    EXPECT_EQ(g->Curves()[0]->sample(1), QPointF(0.006, 0));  // a tail cut short draws 0
    // One channel: one plot top left in each tab.
    Fill(scan, 4, {1});
    scan.CreateTabs();
    scan.CreateCorrelationTab("CorrTab");
    EXPECT_EQ(Grids(host, 3).join(',').count(" 6 1 -"), 3);
    EXPECT_EQ(PlotAt(Tab(3), 0, 0) + ", " + PlotAt(Tab(5), 0, 0), "Channel 2 #69bd45 1, G22 #66b3da 2");
    // Three channels: rows of two cells while the column runs modulo 3.
    Fill(scan, 3, {0, 1, 2});
    scan.CreateCorrelationTab("CorrTab");
    const int cells[9][2] = {{0, 0}, {0, 1}, {1, 2}, {1, 0}, {2, 1}, {2, 2}, {3, 0}, {3, 1}, {4, 2}};
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(PlotAt(Tab(6), cells[k][0], cells[k][1]),
                  QString("G%1%2 %3 2").arg(k / 3 + 1).arg(k % 3 + 1).arg(ChannelColour(k / 3).name()));
}
