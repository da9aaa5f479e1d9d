// The result tabs of a point measurement: traces, lifetime histograms and
// correlation curves, one plot per active channel or per ordered pair of
// active channels.
#include "scans/PointScan.h"

#include "files/pqFile.h"

#include <QLabel>

#include "host/FotonelServices.h"
#include "scans/ChannelColour.h"
#include "scans/TabPage.h"
#include "widgets/LinePlot.h"

#include <QGridLayout>
#include <QObject>
#include <QString>
#include <QWidget>
#include <qwt_plot.h>

namespace {

/// Rows and columns 0 .. N-1 share the space evenly.
void StretchGrid(QGridLayout *grid, std::size_t activeChannels)
{
    for (std::size_t r = 0; r < activeChannels; ++r) {
        grid->setRowStretch(static_cast<int>(r), 1);
        grid->setColumnStretch(static_cast<int>(r), 1);
    }
}

} // namespace

void PointScan::CreateTabs()
{
    if (Refuses("CreateTabs"))
        return;
    CreateDataTab(QStringLiteral("DataTab"));
    CreateLifetimeTab(QStringLiteral("TauTab"));
}

void PointScan::CreateDataTab(const QString &name)
{
    if (Refuses("CreateDataTab"))
        return;
    TabPage data = TabPage::Make(name, QStringLiteral("DataGridLayout"));
    uint32_t k = 0;
    for (uint32_t c : activeChannels) {
        const std::vector<double> &times = ChannelEntry(traceTimes, c);
        auto *plot = new LinePlot(data.page);
        data.grid->addWidget(plot, static_cast<int>(k / 2), static_cast<int>(k % 2), 1, 1);
        ++k;
        // The counts keep a guard bin beyond the last time: the curve has the times' length.
        plot->AddCurve(times, ChannelEntry(traceCounts, c), ChannelColour(static_cast<int>(c)), Qt::SolidLine, 1);
        plot->SetTitle(QObject::tr("Channel %1").arg(c + 1));
        plot->SetXTitle(QObject::tr("Time (s)"));
        plot->SetYTitle(QObject::tr("Nr of photons"));
        // One bin (or none) has no span to show: Qwt's own scale then.
        if (times.size() >= 2 && times.front() < times.back())
            plot->SetXRange(times.front(), times.back());
    }
    StretchGrid(data.grid, activeChannels.size());
    // The page is whole before it is handed over: a host without a window
    // may free it at once.
    mainWindow->AddTab(data.page, QObject::tr("Data"));
    mainWindow->ShowTab(name);
    LetEventsRun();
}

void PointScan::CreateLifetimeTab(const QString &name)
{
    if (Refuses("CreateLifetimeTab"))
        return;
    TabPage tau = TabPage::Make(name, QStringLiteral("GridLayout"));
    uint32_t k = 0;
    if (!file->HasDelays()) {
        // Time tags without syncs carry no delay: a one-bin histogram would only look like a result.
        auto *note = new QLabel(QObject::tr("This T2 file has no delays: no lifetime histogram"), tau.page);
        note->setObjectName(QStringLiteral("NoDelays"));
        note->setAlignment(Qt::AlignCenter);
        tau.grid->addWidget(note, 0, 0);
    } else {
        for (uint32_t c : activeChannels)
            tau.AddLifetimePlot(k++, c, lifetimeAxis, ChannelEntry(lifetimeHistograms, c));
    }
    StretchGrid(tau.grid, activeChannels.size());
    mainWindow->AddTab(tau.page, QObject::tr("Life times"));
    mainWindow->ShowTab(name);
    LetEventsRun();
}

void PointScan::CreateCorrelationTab(const QString &name)
{
    if (Refuses("CreateCorrelationTab"))
        return;
    TabPage corr = TabPage::Make(name, QStringLiteral("CorrGridLayout"));
    const std::size_t N = activeChannels.size();
    const QString xTitle = QStringLiteral(
        "<span style=\"font-style:italic;\"><span style=\"font-family:symbol\">t</span></span> (ms)");
    const QString yTitle = QStringLiteral("<span style=\"font-style:italic;\">G</span>(<span "
                                          "style=\"font-style:italic; font-family:symbol\">t</span>)");
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            const std::size_t k = i * N + j;
            // Rows of two cells while the column runs modulo N: for three
            // channels G11 G12 | . . G13 | G21 . . and so on.
            auto *plot = new LinePlot(corr.page);
            // The colour follows the row position i (the "from" channel's place).
            plot->AddCurve(lagAxis, ChannelEntry(correlations, k), ChannelColour(static_cast<int>(i)), Qt::SolidLine, 2);
            plot->SetLogScale(QwtPlot::xBottom);
            plot->SetTitle(QStringLiteral("<span style=\"font-style:italic;\">G<span "
                                          "style=\"font-family:symbol\"></span><span "
                                          "style=\"vertical-align:sub;\">%1%2</span></span>")
                               .arg(activeChannels[i] + 1)
                               .arg(activeChannels[j] + 1));
            plot->SetXTitle(xTitle);
            plot->SetYTitle(yTitle);
            if (lagEdges.size() >= 2)
                plot->SetXRange(lagEdges.front() / millisecondScale, lagEdges.back() / millisecondScale);
            QWidget *cell = AddErrorsAndFit(plot, k, corr.page);
            corr.grid->addWidget(cell, static_cast<int>(k / 2), static_cast<int>(k % N), 1, 1);
        }
    }
    StretchGrid(corr.grid, N);
    AddFitTable(corr.grid, corr.page);
    mainWindow->AddTab(corr.page, QObject::tr("Correlation"));
    mainWindow->ShowTab(name);
    LetEventsRun();
}
