#include "widgets/LinePlot.h"

#include "widgets/LinePlotZoomer.h"

#include <QBrush>
#include <QFont>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <qwt_picker_machine.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_magnifier.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_picker.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_engine.h>
#include <qwt_text.h>

LinePlot::LinePlot(QWidget *parent) : QwtPlot(parent), grid(new QwtPlotGrid), zoomer(nullptr)
{
    setAutoReplot(false);

    grid->enableXMin(true);
    grid->setMajorPen(QPen(Qt::darkGray, 1.0, Qt::DashLine));
    grid->setMinorPen(QPen(Qt::gray, 1.0, Qt::DotLine));
    grid->attach(this);

    SetTitleFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    SetAxisTitleFont(QFont(QStringLiteral("Arial"), 8, QFont::Bold));
    SetAxisFont(QFont(QStringLiteral("Arial"), 7, QFont::Normal));

    setCanvasBackground(QBrush(Qt::white));
    if (auto *plotCanvas = qobject_cast<QwtPlotCanvas *>(canvas()))
        plotCanvas->setLineWidth(0);

    // Left drag: rectangle zoom; middle: one step out; Control + right (and
    // a double click): back to the base. A plain right press is the panner's.
    zoomer = new LinePlotZoomer(canvas());
    zoomer->setRubberBandPen(QPen(Qt::black));
    zoomer->setTrackerPen(QPen(Qt::black));
    zoomer->setTrackerMode(QwtPicker::AlwaysOff);
    zoomer->setMousePattern(QwtEventPattern::MouseSelect2, Qt::RightButton, Qt::ControlModifier);

    auto *panner = new QwtPlotPanner(canvas());
    panner->setMouseButton(Qt::RightButton, Qt::NoModifier);

    // Left and middle together: no single press matches, so only the wheel magnifies.
    auto *magnifier = new QwtPlotMagnifier(canvas());
    magnifier->setMouseButton(static_cast<Qt::MouseButton>(int(Qt::LeftButton) | int(Qt::MiddleButton)), Qt::NoModifier);
    magnifier->setWheelFactor(1.1);

    auto *picker = new QwtPlotPicker(QwtPlot::xBottom, QwtPlot::yLeft, QwtPicker::CrossRubberBand,
                                     QwtPicker::AlwaysOn, canvas());
    picker->setStateMachine(new QwtPickerDragPointMachine);
    picker->setRubberBandPen(QPen(Qt::gray));
    picker->setTrackerPen(QPen(Qt::black));

    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void LinePlot::AddCurve(const double *x, const double *y, int count, const QColor &colour, Qt::PenStyle style,
                        int width)
{
    if (!x || !y || count < 0)
        count = 0;
    pens.emplace_back();
    QPen &pen = pens.back();
    pen.setColor(colour);
    pen.setStyle(style);
    pen.setWidth(width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);

    auto *curve = new QwtPlotCurve(QString());
    curves.push_back(curve);
    curve->setPen(pen);
    curve->setSamples(x, y, count);
    curve->attach(this);
    zoomer->setZoomBase(true);
}

void LinePlot::AddCurve(const std::vector<double> &x, const std::vector<double> &y, const QColor &colour,
                        Qt::PenStyle style, int width)
{
    const size_t count = std::min(x.size(), y.size());
    AddCurve(x.data(), y.data(), static_cast<int>(std::min<size_t>(count, INT32_MAX)), colour, style, width);
}

void LinePlot::SetTitle(const QString &text)
{
    titleText.setText(text, QwtText::AutoText);
    setTitle(titleText);
}

void LinePlot::SetXTitle(const QString &text)
{
    xTitleText.setText(text, QwtText::AutoText);
    setAxisTitle(QwtPlot::xBottom, xTitleText);
}

void LinePlot::SetYTitle(const QString &text)
{
    yTitleText.setText(text, QwtText::AutoText);
    setAxisTitle(QwtPlot::yLeft, yTitleText);
}

void LinePlot::SetXRange(double minimum, double maximum)
{
    setAxisScale(QwtPlot::xBottom, minimum, maximum, 0);
    zoomer->setZoomBase(true);
}

void LinePlot::SetYRange(double minimum, double maximum)
{
    setAxisScale(QwtPlot::yLeft, minimum, maximum, 0);
    zoomer->setZoomBase(true);
}

void LinePlot::SetTitleFont(const QFont &font)
{
    titleText.setFont(font);
    setTitle(titleText);
}

void LinePlot::SetAxisTitleFont(const QFont &font)
{
    xTitleText.setFont(font);
    yTitleText.setFont(font);
    setAxisTitle(QwtPlot::xBottom, xTitleText);
    setAxisTitle(QwtPlot::yLeft, yTitleText);
}

void LinePlot::SetAxisFont(const QFont &font)
{
    setAxisFont(QwtPlot::yLeft, font);
    setAxisFont(QwtPlot::xBottom, font);
}

namespace {
/// Labels of a logarithmic axis: plain numbers near 1 ("0.01", "100"), powers
/// of ten written short further out ("1e-5", "1e6"), so that neighbouring
/// decades stay apart.
class LogScaleDraw : public QwtScaleDraw {
public:
    QwtText label(double value) const override { return LinePlot::LogLabel(value); }
};
} // namespace

QString LinePlot::LogLabel(double value)
{
    if (!(value > 0) || (value >= 0.01 && value < 1e4))
        return QString::number(value, 'g', 4);
    // Decades written as powers of ten: 1e-5, 1e6; anything else in two digits.
    const double decade = std::round(std::log10(value));
    if (std::abs(value / std::pow(10.0, decade) - 1) < 1e-9)
        return QStringLiteral("1e%1").arg(static_cast<int>(decade));
    QString text = QString::number(value, 'e', 1);
    text.replace(QRegularExpression(QStringLiteral("e([-+])0*(\\d)")), QStringLiteral("e\\1\\2"));
    return text.replace(QStringLiteral("e+"), QStringLiteral("e"));
}

void LinePlot::SetLogScale(int axis)
{
    // The plot owns the engine and the scale draw and deletes those they replace.
    setAxisScaleEngine(axis, new QwtLogScaleEngine(10));
    setAxisScaleDraw(axis, new LogScaleDraw);
    // Over many decades a label every second (or third) decade; the minor
    // ticks still mark each one.
    setAxisMaxMajor(axis, 5);
}

bool LinePlot::DecadeRange(const std::vector<double> &values, double &lower, double &upper)
{
    double largest = 0;  // the upper end never comes from a value below 0
    double smallest = HUGE_VAL;
    bool any = false;
    for (double v : values) {
        if (!std::isfinite(v))
            continue;
        any = true;
        largest = std::max(largest, v);
        smallest = std::min(smallest, v);
    }
    if (!any)
        return false;
    // log10 of 0 or less is -inf or NaN: such ends fall back to the floor below.
    const double top = std::pow(10.0, std::ceil(std::log10(largest)));
    const double bottom = std::pow(10.0, std::floor(std::log10(smallest)));
    lower = bottom >= 0.1 ? bottom : 0.1;
    upper = top > lower ? top : lower * 10;
    return true;
}

bool LinePlot::SetDecadeYRange(const std::vector<double> &values)
{
    double lower = 0;
    double upper = 0;
    if (!DecadeRange(values, lower, upper))
        return false;
    SetYRange(lower, upper);
    return true;
}
