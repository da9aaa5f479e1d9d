// The result tabs of image and line scans, built offscreen from result
// arrays set by the test: pages, grid places, colours, titles and axes.
#include "support/MemoryFile.h"
#include "support/QtAppEnvironment.h"
#include "support/TestHost.h"
#include "scans/ChannelColour.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "widgets/LinePlot.h"
#include "widgets/pt3ImageViewer.h"

#include <QGridLayout>
#include <QLabel>
#include <gtest/gtest.h>
#include <qwt_plot_curve.h>
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
    scan.images.assign(counts.size(), std::vector<uint16_t>(6 * frames, 1));
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
        EXPECT_EQ(Tab(i)->objectName(), names[2 * i]);
        EXPECT_EQ(Tab(i)->layout()->objectName(), names[2 * i + 1]);
        EXPECT_EQ(Tab(i)->layout()->spacing(), 6);
        EXPECT_EQ(Tab(i)->layout()->count(), 2);  // channel 1 at (0, 0), channel 3 at (0, 1)
    }
    EXPECT_EQ(host.shownTab, "TauTab");

    auto *data = At<pt3ImageViewer>(Tab(0), 0, 1);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->ColourScheme(), 3);
    EXPECT_EQ(data->findChild<QLabel *>("Title")->text(), "Channel 3 (1/2)");

    auto *course = At<LinePlot>(Tab(3), 0, 1);
    ASSERT_NE(course, nullptr);
    EXPECT_EQ(course->Pens()[0].color(), QColor("#f6dc1e"));
    EXPECT_EQ(course->Pens()[0].width(), 2);
    EXPECT_EQ(course->title().text(), "Channel 3");
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).lowerBound(), 0.25);
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).upperBound(), 1.0);

    auto *tau = At<LinePlot>(Tab(4), 0, 1);
    ASSERT_NE(tau, nullptr);
    EXPECT_EQ(tau->axisScaleDiv(QwtPlot::yLeft).lowerBound(), 0.1);
    EXPECT_EQ(tau->axisScaleDiv(QwtPlot::yLeft).upperBound(), 10000);
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
