#include "scans/TabPage.h"

#include "scans/ChannelColour.h"
#include "widgets/LinePlot.h"

#include <QGridLayout>
#include <QObject>
#include <QWidget>
#include <qwt_plot.h>

TabPage TabPage::Make(const QString &pageName, const QString &layoutName)
{
    auto *page = new QWidget;
    page->setObjectName(pageName);
    auto *grid = new QGridLayout(page);
    grid->setObjectName(layoutName);
    grid->setSpacing(6);
    return {page, grid};
}

void TabPage::AddLifetimePlot(uint32_t k, uint32_t channel, const std::vector<double> &axis,
                              const std::vector<double> &histogram) const
{
    auto *plot = new LinePlot(page);
    grid->addWidget(plot, static_cast<int>(k / 2), static_cast<int>(k % 2), 1, 1);
    plot->AddCurve(axis, histogram, ChannelColour(static_cast<int>(channel)), Qt::SolidLine, 2);
    plot->SetLogScale(QwtPlot::yLeft);
    // Whole decades; empty bins hold 1e-12 and stay below the lower end of 0.1.
    plot->SetDecadeYRange(histogram);
    plot->SetTitle(QObject::tr("Channel %1").arg(channel + 1));
    plot->SetXTitle(QObject::tr("Time (ns)"));
    plot->SetYTitle(QObject::tr("Photon counts"));
}
