// The result tabs of image and line scans: one view per active channel in a
// two-column grid, the k-th active channel at row k / 2, column k % 2.
#include "scans/RasterScan.h"

#include "host/FotonelServices.h"
#include "scans/ChannelColour.h"
#include "scans/TabPage.h"
#include "widgets/LinePlot.h"
#include "widgets/pt3ImageViewer.h"

#include <QGridLayout>
#include <QObject>
#include <QWidget>
#include <qwt_plot.h>

namespace {

/// Row stretch for the rows that two channels fill, column stretch for both
/// columns (only the first without any channel).
void StretchGrid(QGridLayout *grid, uint32_t activeChannels)
{
    for (uint32_t r = 0; r < activeChannels / 2; ++r)
        grid->setRowStretch(static_cast<int>(r), 1);
    grid->setColumnStretch(0, 1);
    if (activeChannels > 0)
        grid->setColumnStretch(1, 1);
}

/// A curve of one channel with its titles; the x axis fixed to the span of
/// \p x when it has one.
LinePlot *ChannelPlot(QWidget *page, uint32_t channel, const std::vector<double> &x, const std::vector<double> &y,
                      const QString &xTitle, const QString &yTitle)
{
    auto *plot = new LinePlot(page);
    plot->AddCurve(x, y, ChannelColour(static_cast<int>(channel)), Qt::SolidLine, 2);
    plot->SetTitle(QObject::tr("Channel %1").arg(channel + 1));
    plot->SetXTitle(xTitle);
    plot->SetYTitle(yTitle);
    const size_t count = std::min(x.size(), y.size());
    if (count >= 2 && x[0] < x[count - 1])
        plot->SetXRange(x[0], x[count - 1]);
    return plot;
}

/// A viewer of \p frames frames of the channel's W x H pictures, titled with the channel.
template <class T, class Allocator>
pt3ImageViewer *ChannelViewer(QWidget *page, uint32_t channel, uint32_t width, uint32_t height, uint32_t frames,
                              const std::vector<T, Allocator> &stack)
{
    // The channel number is the colour scheme: 1 cyan, 2 green, 3 yellow, 4 magenta.
    auto *viewer = new pt3ImageViewer(page, static_cast<int>(channel + 1));
    // A stack shorter than its geometry (a failed reconstruction) shows the
    // frames it holds completely.
    const size_t frameSize = static_cast<size_t>(width) * height;
    const size_t whole = frameSize ? stack.size() / frameSize : 0;
    viewer->SetImages(width, height, static_cast<uint32_t>(std::min<size_t>(frames, whole)), stack.data());
    viewer->SetTitle(QObject::tr("Channel %1").arg(channel + 1));
    return viewer;
}

} // namespace

void RasterScan::CreateTabs()
{
    if (Refuses("CreateTabs"))
        return;
    TabPage data = TabPage::Make(QStringLiteral("DataTab"), QStringLiteral("DataGridLayout"));
    TabPage mean = TabPage::Make(QStringLiteral("MeanTab"), QStringLiteral("MeanGridLayout"));
    TabPage variance = TabPage::Make(QStringLiteral("VarianceTab"), QStringLiteral("VarianceGridLayout"));
    TabPage bleach = TabPage::Make(QStringLiteral("BleachTab"), QStringLiteral("BleachGridLayout"));

    const bool profiles = ProfilesAsPlots();
    const std::vector<double> &times = TimeCourseTimes();
    std::vector<double> pixelNumbers(imageWidth);
    for (uint32_t x = 0; x < imageWidth; ++x)
        pixelNumbers[x] = x + 1.0;
    const QString average = QObject::tr("Average intensity");

    uint32_t k = 0;
    for (uint32_t c = 0; c < photonCounts.size(); ++c) {
        if (photonCounts[c] == 0)
            continue;
        const int row = static_cast<int>(k / 2);
        const int column = static_cast<int>(k % 2);
        ++k;
        data.grid->addWidget(ChannelViewer(data.page, c, imageWidth, imageHeight, numberOfFrames, ChannelEntry(images, c)),
                             row, column, 1, 1);
        if (profiles) {
            const QString pixel = QObject::tr("Pixel nr");
            mean.grid->addWidget(ChannelPlot(mean.page, c, pixelNumbers, ChannelEntry(meanImages, c), pixel, average), row,
                                 column, 1, 1);
            variance.grid->addWidget(ChannelPlot(variance.page, c, pixelNumbers, ChannelEntry(varianceImages, c), pixel,
                                                 QObject::tr("Variance")),
                                     row, column, 1, 1);
        } else {
            mean.grid->addWidget(ChannelViewer(mean.page, c, imageWidth, imageHeight, 1, ChannelEntry(meanImages, c)), row,
                                 column, 1, 1);
            variance.grid->addWidget(
                ChannelViewer(variance.page, c, imageWidth, imageHeight, 1, ChannelEntry(varianceImages, c)), row, column, 1,
                1);
        }
        bleach.grid->addWidget(
            ChannelPlot(bleach.page, c, times, ChannelEntry(timeCourse, c), QObject::tr("Time (s)"), average), row, column,
            1, 1);
    }
    if (profiles) {
        StretchGrid(mean.grid, activeChannelCount);
        StretchGrid(variance.grid, activeChannelCount);
        StretchGrid(bleach.grid, activeChannelCount);
    }

    // Each page is whole before it is handed over: a host without a window
    // may free it at once.
    mainWindow->AddTab(data.page, QObject::tr("Data"));
    mainWindow->AddTab(mean.page, QObject::tr("Mean"));
    mainWindow->AddTab(variance.page, QObject::tr("Variance"));
    mainWindow->AddTab(bleach.page, QObject::tr("Time course"));

    CreateLifetimeTab(QStringLiteral("TauTab"));
    LetEventsRun();
}

void RasterScan::CreateLifetimeTab(const QString &name)
{
    if (Refuses("CreateLifetimeTab"))
        return;
    TabPage tau = TabPage::Make(name, QStringLiteral("GridLayout"));
    uint32_t k = 0;
    for (uint32_t c = 0; c < photonCounts.size(); ++c) {
        if (photonCounts[c] == 0)
            continue;
        tau.AddLifetimePlot(k++, c, lifetimeAxis, ChannelEntry(lifetimeHistograms, c));
    }
    StretchGrid(tau.grid, activeChannelCount);

    mainWindow->AddTab(tau.page, QObject::tr("Life times"));
    mainWindow->ShowTab(name);
    LetEventsRun();
}
