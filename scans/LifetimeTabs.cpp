// The Phasor and Lifetime tabs of a lifetime analysis.
#include "scans/RSD.h"

#include "files/pqFile.h"
#include "host/FotonelServices.h"
#include "scans/ChannelColour.h"
#include "scans/Lifetimes.h"
#include "scans/PhasorSelection.h"
#include "widgets/LifetimeMap.h"
#include "widgets/LinePlot.h"
#include "widgets/PhasorPlot.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QObject>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// The 2-D histogram of the phasor plot: cells over g in [-0.05, 1.05], s in [-0.05, 0.65].
constexpr int kBinsG = 220, kBinsS = 140;
constexpr double kGMin = -0.05, kGMax = 1.05, kSMin = -0.05, kSMax = 0.65;

/// The 5th and 95th percentiles of the finite values of \p v (0 and 1 without any).
std::pair<double, double> Range(const std::vector<float> &v)
{
    std::vector<float> finite;
    for (float x : v)
        if (std::isfinite(x))
            finite.push_back(x);
    if (finite.empty())
        return {0, 1};
    std::sort(finite.begin(), finite.end());
    const double low = finite[finite.size() / 20], high = finite[finite.size() - 1 - finite.size() / 20];
    return {low, high > low ? high : low + 1};
}

/// The circle of \p plot.
flim::PhasorCursor CursorOf(const PhasorPlot &plot)
{
    return {plot.CursorG(), plot.CursorS(), plot.CursorRadius()};
}

/// Shows on \p plot and \p residuals the decay \p decay with its fit \p fit.
void ShowDecay(LinePlot &plot, LinePlot &residuals, const flim::Decay &decay, const flim::DecayFitResult &fit,
               const QColor &colour)
{
    plot.detachItems(QwtPlotItem::Rtti_PlotCurve, true);
    residuals.detachItems(QwtPlotItem::Rtti_PlotCurve, true);
    std::vector<double> t(decay.counts.size()), counts(decay.counts.size());
    for (std::size_t k = 0; k < t.size(); ++k) {
        t[k] = (k + 0.5) * decay.binWidth;
        counts[k] = std::max(decay.counts[k], 1e-1);
    }
    plot.AddCurve(t, counts, colour);
    if (fit.ok) {
        plot.AddCurve(t, fit.model, Qt::black);
        residuals.AddCurve(t, fit.residuals, Qt::darkGray);
        plot.SetTitle(QObject::tr("tau %1 ns, reduced chi square %2")
                          .arg(fit.tauAmplitude, 0, 'g', 4)
                          .arg(fit.reducedChiSquare, 0, 'g', 4));
    } else {
        plot.SetTitle(QString::fromStdString(fit.error));
    }
    plot.replot();
    residuals.replot();
}

/// The summed decay of the pixels under the phasor cursor, fitted with the
/// settings of the analysis each time the cursor moves, and the button that
/// saves that fit beside the other lifetime files.
QWidget *SelectionDecay(const std::shared_ptr<const LifetimeResults> &results, std::size_t index, PhasorPlot &phasorPlot,
                        FotonelServices *host, const QString &exportBase, QWidget *parent)
{
    auto *column = new QWidget(parent);
    auto *stack = new QVBoxLayout(column);
    auto *plot = new LinePlot(column);
    plot->setObjectName(QStringLiteral("selectionDecay"));
    plot->SetLogScale(QwtPlot::yLeft);
    auto *residuals = new LinePlot(column);
    residuals->SetXTitle(QObject::tr("delay (ns)"));
    residuals->SetYTitle(QObject::tr("weighted residuals"));
    auto *save = new QPushButton(QObject::tr("Save Selection Fit"), column);
    save->setObjectName(QStringLiteral("saveSelectionFit"));
    stack->addWidget(plot, 3);
    stack->addWidget(residuals, 1);
    stack->addWidget(save);
    // The tab shares the results, the per-pixel decays among them, with the analysis.
    const auto update = [plot, residuals, &phasorPlot, results, index]() {
        const LifetimeChannel &c = results->channels[index];
        const PhasorSelection selection = SelectAndFit(*results, c, CursorOf(phasorPlot));
        ShowDecay(*plot, *residuals, selection.decay, selection.fit, ChannelColour(static_cast<int>(c.channel)));
    };
    QObject::connect(&phasorPlot, &PhasorPlot::CursorMoved, column, [update](double, double, double) { update(); });
    QObject::connect(save, &QPushButton::clicked, column, [&phasorPlot, results, index, host, exportBase]() {
        WriteSelectionFit(*host, exportBase, *results, results->channels[index], CursorOf(phasorPlot));
    });
    update();
    return column;
}

QWidget *PhasorPage(const std::shared_ptr<const LifetimeResults> &results, std::size_t index, FotonelServices *host,
                   const QString &exportBase)
{
    const LifetimeResults &r = *results;
    const LifetimeChannel &c = r.channels[index];
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("PhasorTab"));
    auto *layout = new QHBoxLayout(page);
    auto *plot = new PhasorPlot(page);
    std::vector<double> counts(static_cast<std::size_t>(kBinsG) * kBinsS, 0.0);
    for (std::size_t i = 0; i < c.phasor.g.size(); ++i) {
        if (!std::isfinite(c.phasor.g[i]))
            continue;
        const int gi = static_cast<int>((c.phasor.g[i] - kGMin) / (kGMax - kGMin) * kBinsG);
        const int si = static_cast<int>((c.phasor.s[i] - kSMin) / (kSMax - kSMin) * kBinsS);
        if (gi >= 0 && gi < kBinsG && si >= 0 && si < kBinsS)
            counts[static_cast<std::size_t>(si) * kBinsG + static_cast<std::size_t>(gi)] += 1;
    }
    plot->SetHistogram(counts, kBinsG, kBinsS, kGMin, kGMax, kSMin, kSMax);
    // Ticks on the semicircle at 0.5, 1, 2, 4 and 8 ns at this repetition rate and harmonic.
    std::vector<std::pair<QString, QPointF>> ticks;
    for (double tau : {0.5, 1.0, 2.0, 4.0, 8.0}) {
        const double x = r.nOmega * tau;
        ticks.push_back({QStringLiteral("%1 ns").arg(tau), QPointF(1 / (1 + x * x), x / (1 + x * x))});
    }
    plot->SetLifetimeTicks(ticks);
    plot->setTitle(QObject::tr("Phasors, channel %1 (%2)").arg(c.channel + 1).arg(r.CalibrationText()));
    auto *image = new LifetimeMap(page);
    image->setObjectName(QStringLiteral("phasorSelection"));
    std::vector<float> intensity(c.phasor.photons.begin(), c.phasor.photons.end());
    const double top = intensity.empty() ? 1 : *std::max_element(intensity.begin(), intensity.end());
    image->SetData(r.width, r.height, intensity, c.phasor.photons, 0, std::max(1.0, top), QObject::tr("photons"));
    QObject::connect(plot, &PhasorPlot::CursorMoved, image, [image, plot, results, index](double, double, double) {
        image->SetHighlight(flim::PixelsInside(results->channels[index].phasor, CursorOf(*plot)));
    });
    image->SetHighlight(flim::PixelsInside(c.phasor, CursorOf(*plot)));
    layout->addWidget(plot, 1);
    layout->addWidget(image, 1);
    if (HasSelectionDecays(c))
        layout->addWidget(SelectionDecay(results, index, *plot, host, exportBase, page), 1);
    return page;
}

QWidget *LifetimePage(const LifetimeResults &r, const LifetimeChannel &c)
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("LifetimeTab"));
    auto *grid = new QGridLayout(page);
    const bool fitted = !c.tauFit.empty();
    const std::vector<float> &tau = fitted ? c.tauFit : c.phasor.tauPhase;
    const std::pair<double, double> range = Range(tau);
    auto *map = new LifetimeMap(page);
    map->setObjectName(QStringLiteral("lifetimeMap"));
    std::vector<uint32_t> photons = c.phasor.photons;
    if (photons.size() != tau.size())
        photons.assign(tau.size(), 1);
    map->SetData(r.width, r.height, tau, photons, range.first, range.second, QStringLiteral("ns"));
    grid->addWidget(map, 0, 0, 2, 1);

    // Histogram of the map's lifetimes.
    const int bins = 100;
    std::vector<double> axis(bins), counts(bins, 0.0);
    const double width = (range.second - range.first) / bins;
    for (int k = 0; k < bins; ++k)
        axis[static_cast<std::size_t>(k)] = range.first + (k + 0.5) * width;
    for (float v : tau)
        if (std::isfinite(v)) {
            const int k = static_cast<int>((v - range.first) / width);
            if (k >= 0 && k < bins)
                counts[static_cast<std::size_t>(k)] += 1;
        }
    auto *histogram = new LinePlot(page);
    histogram->AddCurve(axis, counts, ChannelColour(static_cast<int>(c.channel)));
    histogram->SetTitle(fitted ? QObject::tr("Fitted lifetimes") : QObject::tr("Phase lifetimes"));
    histogram->SetXTitle(QObject::tr("tau (ns)"));
    grid->addWidget(histogram, 0, 1);

    if (c.fit.ok) {
        // The decay with its fit and, below, the weighted residuals.
        std::vector<double> t(c.decay.counts.size()), decay(c.decay.counts.size());
        for (std::size_t k = 0; k < t.size(); ++k) {
            t[k] = (k + 0.5) * c.decay.binWidth;
            decay[k] = std::max(c.decay.counts[k], 1e-1);
        }
        auto *plot = new LinePlot(page);
        plot->AddCurve(t, decay, ChannelColour(static_cast<int>(c.channel)));
        plot->AddCurve(t, c.fit.model, Qt::black);
        plot->SetLogScale(QwtPlot::yLeft);
        plot->SetTitle(QObject::tr("Decay and fit, reduced chi square %1").arg(c.fit.reducedChiSquare, 0, 'g', 4));
        auto *residuals = new LinePlot(page);
        residuals->AddCurve(t, c.fit.residuals, Qt::darkGray);
        residuals->SetXTitle(QObject::tr("delay (ns)"));
        residuals->SetYTitle(QObject::tr("weighted residuals"));
        auto *column = new QWidget(page);
        auto *stack = new QVBoxLayout(column);
        stack->addWidget(plot, 3);
        stack->addWidget(residuals, 1);
        grid->addWidget(column, 1, 1);
    }
    return page;
}

} // namespace

void RSD::CreateLifetimeTabs()
{
    if (!lifetimes || !mainWindow)
        return;
    const LifetimeResults &r = *lifetimes;
    for (std::size_t i = 0; i < r.channels.size(); ++i) {
        const LifetimeChannel &c = r.channels[i];
        if (r.phasors)
            mainWindow->AddTab(PhasorPage(lifetimes, i, mainWindow, file->exportBase), QObject::tr("Phasor ch%1").arg(c.channel + 1));
        if (r.phasors || !c.tauFit.empty())
            mainWindow->AddTab(LifetimePage(r, c), QObject::tr("Lifetime ch%1").arg(c.channel + 1));
    }
    mainWindow->ShowTab(QStringLiteral("PhasorTab"));
}
