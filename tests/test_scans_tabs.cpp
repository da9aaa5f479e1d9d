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
#include <QWidget>
#include <gtest/gtest.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_engine.h>

namespace {

constexpr uint32_t W = 3;
constexpr uint32_t H = 2;

/// Fills the result arrays of \p scan for the channels with photons in \p counts.
void FillResults(RasterScan &scan, const std::vector<uint32_t> &counts, uint32_t frames, double histogramTop)
{
    scan.imageWidth = W;
    scan.imageHeight = H;
    scan.numberOfFrames = frames;
    scan.numberOfChannels = static_cast<uint32_t>(counts.size());
    scan.photonCounts = counts;
    scan.activeChannelCount = 0;
    const size_t n = counts.size();
    scan.images.assign(n, {});
    scan.meanImages.assign(n, {});
    scan.varianceImages.assign(n, {});
    scan.timeCourse.assign(n, {});
    scan.lifetimeHistograms.assign(n, {});
    scan.lifetimeAxis = {0.5, 1.5, 2.5, 3.5};
    for (size_t c = 0; c < n; ++c) {
        if (counts[c] == 0)
            continue;
        ++scan.activeChannelCount;
        scan.images[c].resize(W * H * frames);
        for (size_t i = 0; i < scan.images[c].size(); ++i)
            scan.images[c][i] = static_cast<uint16_t>(i + c);
        scan.meanImages[c] = {1, 2, 3, 4, 5, 6};
        scan.varianceImages[c] = {6, 5, 4, 3, 2, 1};
        scan.timeCourse[c].assign(scan.imageHeight, 2.0);
        scan.lifetimeHistograms[c] = {1e-12, histogramTop, 12, 1e-12};
    }
}

/// The view at (row, column) of a tab's grid, or null.
template <class T> T *At(QWidget *page, int row, int column)
{
    auto *grid = qobject_cast<QGridLayout *>(page->layout());
    if (!grid)
        return nullptr;
    QLayoutItem *item = grid->itemAtPosition(row, column);
    return item ? qobject_cast<T *>(item->widget()) : nullptr;
}

class TabsTest : public ::testing::Test {
protected:
    void Attach(RasterScan &scan) { scan.Init(host, file); }
    QWidget *Tab(int i) { return host.tabs.at(static_cast<size_t>(i)).get(); }

    TestHost host;
    MemoryFile file{host, {}};
};

} // namespace

TEST(ChannelColour, ByIndexModuloFour)
{
    const struct {
        int index;
        const char *colour;
    } cases[] = {{0, "#66b3da"}, {1, "#69bd45"}, {2, "#f6dc1e"}, {3, "#ba519f"},
                 {4, "#66b3da"}, {6, "#f6dc1e"}, {-1, "#000000"}};
    for (const auto &c : cases)
        EXPECT_EQ(ChannelColour(c.index), QColor(c.colour)) << c.index;
}

TEST_F(TabsTest, ImageScanWithChannelsOneAndThree)
{
    ImageScan scan;
    Attach(scan);
    FillResults(scan, {5, 0, 7, 0}, 4, 5300);
    scan.frameStartTimes = {0.25, 0.5, 0.75, 1.0};
    scan.timeCourse[0] = {4, 3, 2, 1};
    scan.timeCourse[2] = {1, 2, 3, 4};
    scan.CreateTabs();

    EXPECT_EQ(host.tabLabels, QStringList({"Data", "Mean", "Variance", "Time course", "Life times"}));
    const char *const pages[] = {"DataTab", "MeanTab", "VarianceTab", "BleachTab", "TauTab"};
    const char *const layouts[] = {"DataGridLayout", "MeanGridLayout", "VarianceGridLayout", "BleachGridLayout",
                                   "GridLayout"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Tab(i)->objectName(), pages[i]);
        ASSERT_NE(Tab(i)->layout(), nullptr);
        EXPECT_EQ(Tab(i)->layout()->objectName(), layouts[i]);
        EXPECT_EQ(Tab(i)->layout()->spacing(), 6);
        // Channel 3 is the second active channel: row 0, column 1; row 1 stays empty.
        EXPECT_EQ(qobject_cast<QGridLayout *>(Tab(i)->layout())->itemAtPosition(1, 0), nullptr);
    }
    EXPECT_EQ(host.shownTab, "TauTab");
    EXPECT_GT(host.eventsProcessed, 0);

    // Data: the whole stack in the channel's colour scheme, titled with its frame.
    auto *data = At<pt3ImageViewer>(Tab(0), 0, 1);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->ColourScheme(), 3);
    EXPECT_EQ(data->Frames(), 4u);
    EXPECT_EQ(data->Width(), W);
    EXPECT_EQ(data->findChild<QLabel *>("Title")->text(), "Channel 3 (1/4)");
    EXPECT_EQ(At<pt3ImageViewer>(Tab(0), 0, 0)->ColourScheme(), 1);
    // Mean and variance: one picture each.
    auto *mean = At<pt3ImageViewer>(Tab(1), 0, 0);
    ASSERT_NE(mean, nullptr);
    EXPECT_EQ(mean->Frames(), 1u);
    EXPECT_EQ(mean->findChild<QLabel *>("Title")->text(), "Channel 1");
    EXPECT_EQ(mean->Bytes().back(), 255);
    EXPECT_EQ(At<pt3ImageViewer>(Tab(2), 0, 1)->Bytes().front(), 255);

    // Time course of channel 3: yellow, width 2, over the frame start times.
    auto *course = At<LinePlot>(Tab(3), 0, 1);
    ASSERT_NE(course, nullptr);
    ASSERT_EQ(course->Curves().size(), 1u);
    EXPECT_EQ(course->Pens()[0].color(), QColor("#f6dc1e"));
    EXPECT_EQ(course->Pens()[0].width(), 2);
    EXPECT_EQ(course->Pens()[0].style(), Qt::SolidLine);
    EXPECT_EQ(course->Curves()[0]->sample(3), QPointF(1.0, 4));
    EXPECT_EQ(course->title().text(), "Channel 3");
    EXPECT_EQ(course->axisTitle(QwtPlot::xBottom).text(), "Time (s)");
    EXPECT_EQ(course->axisTitle(QwtPlot::yLeft).text(), "Average intensity");
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).lowerBound(), 0.25);
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).upperBound(), 1.0);
    EXPECT_EQ(At<LinePlot>(Tab(3), 0, 0)->Pens()[0].color(), QColor("#66b3da"));

    // Lifetimes: log counts in whole decades, 0.1 up to 10000 for a top bin of 5300.
    auto *tau = At<LinePlot>(Tab(4), 0, 1);
    ASSERT_NE(tau, nullptr);
    EXPECT_NE(dynamic_cast<QwtLogScaleEngine *>(tau->axisScaleEngine(QwtPlot::yLeft)), nullptr);
    EXPECT_EQ(dynamic_cast<QwtLogScaleEngine *>(tau->axisScaleEngine(QwtPlot::xBottom)), nullptr);
    EXPECT_EQ(tau->axisScaleDiv(QwtPlot::yLeft).lowerBound(), 0.1);
    EXPECT_EQ(tau->axisScaleDiv(QwtPlot::yLeft).upperBound(), 10000);
    EXPECT_EQ(tau->Curves()[0]->dataSize(), 4u);
    EXPECT_EQ(tau->Pens()[0].color(), QColor("#f6dc1e"));
    EXPECT_EQ(tau->axisTitle(QwtPlot::xBottom).text(), "Time (ns)");
    EXPECT_EQ(tau->axisTitle(QwtPlot::yLeft).text(), "Photon counts");
    // Image tabs keep Qt's stretch; the lifetime tab stretches both columns.
    auto *tauGrid = qobject_cast<QGridLayout *>(Tab(4)->layout());
    EXPECT_EQ(tauGrid->rowStretch(0), 1);
    EXPECT_EQ(tauGrid->columnStretch(1), 1);
    EXPECT_EQ(qobject_cast<QGridLayout *>(Tab(3)->layout())->columnStretch(1), 0);
}

TEST_F(TabsTest, LineScanWithThreeChannels)
{
    LineScan scan;
    Attach(scan);
    FillResults(scan, {1, 2, 3}, 1, 37);
    scan.lineStartTimes = {0.001, 0.003};
    scan.CreateTabs();
    ASSERT_EQ(host.tabs.size(), 5u);

    // Row 0 full, row 1 column 0; each channel in its colour.
    const int places[3][2] = {{0, 0}, {0, 1}, {1, 0}};
    for (int c = 0; c < 3; ++c) {
        const int row = places[c][0];
        const int column = places[c][1];
        auto *kymograph = At<pt3ImageViewer>(Tab(0), row, column);
        ASSERT_NE(kymograph, nullptr) << c;
        EXPECT_EQ(kymograph->ColourScheme(), c + 1);
        EXPECT_EQ(kymograph->Height(), H);
        for (int t = 1; t <= 4; ++t) {
            auto *plot = At<LinePlot>(Tab(t), row, column);
            ASSERT_NE(plot, nullptr) << t << " " << c;
            EXPECT_EQ(plot->Pens()[0].color(), ChannelColour(c)) << t;
            EXPECT_EQ(plot->title().text(), QString("Channel %1").arg(c + 1));
        }
    }
    EXPECT_EQ(qobject_cast<QGridLayout *>(Tab(1)->layout())->itemAtPosition(1, 1), nullptr);

    // Profiles along the line: pixel numbers 1..W.
    auto *mean = At<LinePlot>(Tab(1), 0, 1);
    EXPECT_EQ(mean->Curves()[0]->dataSize(), W);
    EXPECT_EQ(mean->Curves()[0]->sample(0), QPointF(1, 1));
    EXPECT_EQ(mean->Curves()[0]->sample(2), QPointF(3, 3));
    EXPECT_EQ(mean->axisTitle(QwtPlot::xBottom).text(), "Pixel nr");
    EXPECT_EQ(mean->axisScaleDiv(QwtPlot::xBottom).upperBound(), W);
    auto *course = At<LinePlot>(Tab(3), 1, 0);
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).lowerBound(), 0.001);
    EXPECT_EQ(course->axisScaleDiv(QwtPlot::xBottom).upperBound(), 0.003);
    EXPECT_EQ(At<LinePlot>(Tab(4), 1, 0)->axisScaleDiv(QwtPlot::yLeft).upperBound(), 100);

    // Line scan curve tabs stretch the rows two channels fill and both columns.
    for (int t = 1; t <= 4; ++t) {
        auto *grid = qobject_cast<QGridLayout *>(Tab(t)->layout());
        EXPECT_EQ(grid->rowStretch(0), 1) << t;
        EXPECT_EQ(grid->rowStretch(1), 0) << t;
        EXPECT_EQ(grid->columnStretch(0), 1) << t;
        EXPECT_EQ(grid->columnStretch(1), 1) << t;
    }
    EXPECT_EQ(qobject_cast<QGridLayout *>(Tab(0)->layout())->rowStretch(0), 0);

    // Re-binning adds another lifetime tab and shows it.
    host.shownTab.clear();
    scan.CreateLifetimeTab("TauTab");
    EXPECT_EQ(host.tabLabels.count("Life times"), 2);
    EXPECT_EQ(host.shownTab, "TauTab");
}

TEST_F(TabsTest, WithoutActiveChannelsOrResults)
{
    ImageScan empty;
    Attach(empty);
    FillResults(empty, {0, 0}, 2, 1);
    empty.CreateTabs();
    ASSERT_EQ(host.tabs.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Tab(i)->layout()->count(), 0) << i;
    auto *grid = qobject_cast<QGridLayout *>(Tab(4)->layout());
    EXPECT_EQ(grid->columnStretch(0), 1);
    EXPECT_EQ(grid->columnStretch(1), 0);

    // An active channel whose arrays are empty (a failed reconstruction)
    // gets its views, with nothing in them.
    host.tabs.clear();
    host.tabLabels.clear();
    LineScan failed;
    Attach(failed);
    FillResults(failed, {4}, 1, 1);
    failed.images[0].clear();
    failed.lifetimeHistograms[0].clear();
    failed.lineStartTimes.clear();
    failed.CreateTabs();
    ASSERT_EQ(host.tabs.size(), 5u);
    EXPECT_EQ(At<pt3ImageViewer>(Tab(0), 0, 0)->Frames(), 0u);
    EXPECT_EQ(At<LinePlot>(Tab(3), 0, 0)->Curves()[0]->dataSize(), 0u);
    EXPECT_EQ(At<LinePlot>(Tab(4), 0, 0)->Curves()[0]->dataSize(), 0u);

    // Without a file and window nothing is built.
    host.tabs.clear();
    ImageScan detached;
    detached.CreateTabs();
    EXPECT_TRUE(host.tabs.empty());
}
