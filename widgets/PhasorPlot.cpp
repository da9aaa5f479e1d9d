#include "widgets/PhasorPlot.h"

#include <qwt_color_map.h>
#include <qwt_matrix_raster_data.h>
#include <qwt_picker_machine.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_marker.h>
#include <qwt_plot_picker.h>
#include <qwt_plot_shapeitem.h>
#include <qwt_plot_spectrogram.h>
#include <qwt_symbol.h>

#include <QPainterPath>
#include <algorithm>
#include <cmath>

PhasorPlot::PhasorPlot(QWidget *parent) : QwtPlot(parent)
{
    setObjectName(QStringLiteral("phasorPlot"));
    setCanvasBackground(Qt::white);
    setAxisTitle(xBottom, tr("g"));
    setAxisTitle(yLeft, tr("s"));
    setAxisScale(xBottom, -0.05, 1.05);
    setAxisScale(yLeft, -0.05, 0.65);

    histogram = new QwtPlotSpectrogram;
    auto *colours = new QwtLinearColorMap(QColor(255, 255, 255), QColor(120, 0, 0));
    colours->addColorStop(0.02, QColor(200, 220, 255));
    colours->addColorStop(0.3, QColor(40, 120, 230));
    colours->addColorStop(0.7, QColor(240, 200, 40));
    histogram->setColorMap(colours);
    histogram->attach(this);

    // The universal semicircle: (g - 1/2)² + s² = 1/4, s ≥ 0.
    std::vector<double> g, s;
    for (int k = 0; k <= 180; ++k) {
        const double a = M_PI * k / 180;
        g.push_back(0.5 + 0.5 * std::cos(a));
        s.push_back(0.5 * std::sin(a));
    }
    auto *circle = new QwtPlotCurve(tr("semicircle"));
    circle->setSamples(g.data(), s.data(), static_cast<int>(g.size()));
    circle->setPen(QPen(Qt::black, 1));
    circle->setRenderHint(QwtPlotItem::RenderAntialiased);
    circle->attach(this);

    cursor = new QwtPlotShapeItem(tr("cursor"));
    cursor->setPen(QPen(QColor(220, 0, 180), 2));
    cursor->attach(this);
    SetCursor(cursorG, cursorS, cursorRadius);

    picker = new QwtPlotPicker(xBottom, yLeft, QwtPicker::NoRubberBand, QwtPicker::AlwaysOff, canvas());
    picker->setStateMachine(new QwtPickerClickPointMachine);
    connect(picker, qOverload<const QPointF &>(&QwtPlotPicker::selected), this, [this](const QPointF &p) {
        SetCursor(p.x(), p.y(), cursorRadius);
        emit CursorMoved(cursorG, cursorS, cursorRadius);
    });
}

void PhasorPlot::SetHistogram(const std::vector<double> &counts, int binsG, int binsS, double gMin, double gMax,
                              double sMin, double sMax)
{
    auto *data = new QwtMatrixRasterData;
    data->setValueMatrix(QVector<double>(counts.begin(), counts.end()), binsG);
    data->setInterval(Qt::XAxis, QwtInterval(gMin, gMax));
    data->setInterval(Qt::YAxis, QwtInterval(sMin, sMax));
    const double top = counts.empty() ? 1 : std::max(1.0, *std::max_element(counts.begin(), counts.end()));
    data->setInterval(Qt::ZAxis, QwtInterval(0, top));
    (void)binsS;
    histogram->setData(data);
    replot();
}

void PhasorPlot::SetLifetimeTicks(const std::vector<std::pair<QString, QPointF>> &ticks)
{
    for (const auto &t : ticks) {
        auto *marker = new QwtPlotMarker;
        marker->setValue(t.second);
        marker->setSymbol(new QwtSymbol(QwtSymbol::Ellipse, QBrush(Qt::black), QPen(Qt::black), QSize(5, 5)));
        marker->setLabel(QwtText(t.first));
        marker->setLabelAlignment(Qt::AlignTop | Qt::AlignHCenter);
        marker->attach(this);
    }
    replot();
}

void PhasorPlot::SetCursor(double g, double s, double radius)
{
    cursorG = g;
    cursorS = s;
    cursorRadius = radius;
    QPainterPath path;
    path.addEllipse(QPointF(g, s), radius, radius);
    cursor->setShape(path);
    replot();
}
