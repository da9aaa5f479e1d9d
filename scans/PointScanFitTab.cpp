// What the correlation tab shows of the error bars and fits: error bars on
// every curve, the fitted model over it, the weighted residuals in a small
// plot under it, and a table of the results.
#include "scans/PointScan.h"

#include "widgets/LinePlot.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QScrollBar>
#include <QObject>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWidget>
#include <qwt_interval_symbol.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_intervalcurve.h>
#include <qwt_samples.h>

QWidget *PointScan::AddErrorsAndFit(LinePlot *plot, std::size_t k, QWidget *page) const
{
    const QColor colour = plot->Curves().empty() ? QColor(Qt::black) : plot->Curves().front()->pen().color();
    if (k < correlationErrors.size() && k < correlations.size()) {
        QVector<QwtIntervalSample> bars;
        const std::vector<double> &G = correlations[k], &sigma = correlationErrors[k];
        for (std::size_t b = 0; b < lagAxis.size() && b < G.size() && b < sigma.size(); ++b)
            if (sigma[b] > 0)
                bars.append(QwtIntervalSample(lagAxis[b], G[b] - sigma[b], G[b] + sigma[b]));
        auto *curve = new QwtPlotIntervalCurve(QObject::tr("sigma"));
        curve->setStyle(QwtPlotIntervalCurve::NoCurve);
        auto *symbol = new QwtIntervalSymbol(QwtIntervalSymbol::Bar);
        symbol->setWidth(3);
        symbol->setPen(QPen(colour.darker(130), 1));
        curve->setSymbol(symbol);
        curve->setSamples(bars);
        curve->attach(plot);
    }
    if (k >= fits.size() || !fits[k].ok)
        return plot;

    const fcs::FitResult &fit = fits[k];
    const auto first = static_cast<std::ptrdiff_t>(fit.first), end = static_cast<std::ptrdiff_t>(fit.last) + 1;
    const std::vector<double> lags(lagAxis.begin() + first, lagAxis.begin() + end);
    plot->AddCurve(lags, std::vector<double>(fit.modelCurve.begin() + first, fit.modelCurve.begin() + end), Qt::black,
                   Qt::SolidLine, 1);
    plot->replot();

    // The residuals share the lag axis: a quarter of the cell under the curve.
    auto *cell = new QWidget(page);
    auto *column = new QVBoxLayout(cell);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    plot->setParent(cell);
    auto *residuals = new LinePlot(cell);
    residuals->setObjectName(QStringLiteral("residuals"));
    residuals->AddCurve(lags, std::vector<double>(fit.residuals.begin() + first, fit.residuals.begin() + end), colour,
                        Qt::SolidLine, 1);
    residuals->AddCurve(std::vector<double>{lags.front(), lags.back()}, std::vector<double>{0, 0}, Qt::gray, Qt::DashLine, 1);
    residuals->SetLogScale(QwtPlot::xBottom);
    residuals->SetXRange(lagEdges.front() / millisecondScale, lagEdges.back() / millisecondScale);
    residuals->SetYTitle(fit.weighted ? QObject::tr("res./σ") : QObject::tr("res."));
    // A strip under the curve: the curve keeps most of the cell.
    residuals->setMinimumHeight(45);
    residuals->setMaximumHeight(80);
    column->addWidget(plot, 4);
    column->addWidget(residuals, 1);
    return cell;
}

void PointScan::AddFitTable(QGridLayout *grid, QWidget *page) const
{
    const std::size_t N = activeChannels.size();
    if (fits.empty() || fits.size() != N * N)
        return;
    const fcs::Model model = fitSettings.model;
    std::vector<std::size_t> shown;
    for (std::size_t p = 0; p < fcs::ParameterCount; ++p)
        if (fcs::ModelUses(model, p))
            shown.push_back(p);
    QStringList headers = {QObject::tr("Pair"), QObject::tr("Model")};
    for (std::size_t p : shown) {
        const QString unit = QString::fromLatin1(fcs::ParameterUnit(p));
        headers << (unit.isEmpty() ? QString::fromLatin1(fcs::ParameterName(p))
                                   : QStringLiteral("%1 (%2)").arg(QString::fromLatin1(fcs::ParameterName(p)), unit))
                << QStringLiteral("±");
    }
    headers << QObject::tr("Reduced χ²") << QObject::tr("Points") << QObject::tr("Weights");
    auto *table = new QTableWidget(static_cast<int>(N * N), headers.size(), page);
    table->setObjectName(QStringLiteral("fitTable"));
    table->setHorizontalHeaderLabels(headers);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->setVisible(false);
    for (std::size_t k = 0; k < N * N; ++k) {
        const int row = static_cast<int>(k);
        int column = 0;
        const auto put = [&](const QString &text) { table->setItem(row, column++, new QTableWidgetItem(text)); };
        put(QStringLiteral("G%1%2").arg(activeChannels[k / N] + 1).arg(activeChannels[k % N] + 1));
        const fcs::FitResult &fit = fits[k];
        if (!fit.ok) {
            put(QString::fromStdString(fit.error));
            table->setSpan(row, 1, 1, headers.size() - 1);
            continue;
        }
        put(QString::fromLatin1(fcs::ModelName(fit.model)));
        for (std::size_t p : shown) {
            put(QString::number(fit.value[p]));
            put(fit.free[p] ? QString::number(fcs::LargerError(fit, p)) : QObject::tr("fixed"));
        }
        put(QString::number(fit.reducedChiSquare));
        put(QString::number(fit.points));
        put(fit.weighted ? QObject::tr("1/σ², %1 segments").arg(errorSegments) : QObject::tr("uniform"));
    }
    table->resizeColumnsToContents();
    // Two rows in view, the plots keep the room; more scroll.
    const int rows = std::min(2, static_cast<int>(N * N));
    table->setFixedHeight(table->horizontalHeader()->sizeHint().height() + 4 + table->rowHeight(0) * rows
                          + table->horizontalScrollBar()->sizeHint().height());
    grid->addWidget(table, grid->rowCount(), 0, 1, std::max(2, static_cast<int>(N)));
}
