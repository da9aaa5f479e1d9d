#pragma once
/*!
 * \brief The one plot of the program: curves on a white canvas with a grid,
 * Arial titles, and a fixed set of mouse bindings.
 *
 * Mouse: left drag zooms into a rectangle, middle click zooms one step out,
 * a double click or Control + right click returns to the zoom base, a plain
 * right drag pans, the wheel magnifies every axis by 1.1 per notch, and a
 * cross with the position read-out follows the pointer.
 *
 * The zoom base is the state a double click returns to: AddCurve, SetXRange
 * and SetYRange replot and take the ranges then shown as the new base. Only
 * the bottom and left axes are used. Auto replot is off: the plot repaints
 * when its base is set and on ordinary widget repaints.
 *
 * Typical use by a result tab:
 *
 *     auto *plot = new LinePlot(page);
 *     plot->AddCurve(axis, counts, colour, Qt::SolidLine, 2);
 *     plot->SetLogScale(QwtPlot::yLeft);
 *     plot->SetDecadeYRange(counts);
 *     plot->SetTitle(tr("Channel %1").arg(c + 1));
 */
#include <QColor>
#include <QPen>
#include <QString>
#include <qwt_plot.h>
#include <qwt_text.h>
#include <vector>

class LinePlotZoomer;
class QwtPlotCurve;
class QwtPlotGrid;

class LinePlot : public QwtPlot {
    Q_OBJECT

public:
    explicit LinePlot(QWidget *parent = nullptr);

    /*!
     * \brief Appends a curve through the first \p count points of \p x and
     * \p y (Qwt keeps its own copy) drawn with a round-capped pen of
     * \p colour, \p style and \p width, then resets the zoom base. A count
     * of 0 adds an empty curve.
     */
    void AddCurve(const double *x, const double *y, int count, const QColor &colour,
                  Qt::PenStyle style = Qt::SolidLine, int width = 1);
    /// The same through the points both vectors have.
    void AddCurve(const std::vector<double> &x, const std::vector<double> &y, const QColor &colour,
                  Qt::PenStyle style = Qt::SolidLine, int width = 1);

    /// Plot title; plain or rich text (HTML spans), told apart by Qwt.
    void SetTitle(const QString &text);
    /// Title of the bottom axis; plain or rich text.
    void SetXTitle(const QString &text);
    /// Title of the left axis; plain or rich text.
    void SetYTitle(const QString &text);
    /// Fixes the bottom axis to [minimum, maximum] with automatic steps; resets the zoom base.
    void SetXRange(double minimum, double maximum);
    /// Fixes the left axis to [minimum, maximum] with automatic steps; resets the zoom base.
    void SetYRange(double minimum, double maximum);
    void SetTitleFont(const QFont &font);
    /// Font of both axis titles.
    void SetAxisTitleFont(const QFont &font);
    /// Font of the scale labels of both axes.
    void SetAxisFont(const QFont &font);

    /// Gives \p axis (QwtPlot::xBottom or QwtPlot::yLeft) a base-10
    /// logarithmic scale with at most five labelled decades and short labels.
    void SetLogScale(int axis);
    /// The label of \p value on a logarithmic axis: 0.01, 1, 1000, 1e-5, 1e6.
    static QString LogLabel(double value);
    /*!
     * \brief Whole decades around counts for a logarithmic axis: \p upper is
     * 10^ceil(log10 of the largest value), \p lower 10^floor(log10 of the
     * smallest), raised to 0.1 when below it (empty histogram bins hold a
     * tiny positive value and fall below the visible range). \p upper is at
     * least one decade above \p lower, so data without a count above 0.1
     * still get a range the right way up. False, nothing set, without
     * values.
     */
    static bool DecadeRange(const std::vector<double> &values, double &lower, double &upper);
    /// SetYRange with the DecadeRange of \p values; false (range left alone) without values.
    bool SetDecadeYRange(const std::vector<double> &values);

    const std::vector<QwtPlotCurve *> &Curves() const { return curves; }
    const std::vector<QPen> &Pens() const { return pens; }
    LinePlotZoomer *Zoomer() const { return zoomer; }
    QwtPlotGrid *Grid() const { return grid; }
    const QwtText &TitleText() const { return titleText; }
    const QwtText &XTitleText() const { return xTitleText; }
    const QwtText &YTitleText() const { return yTitleText; }

private:
    std::vector<QwtPlotCurve *> curves;  // attached to, and so owned by, the plot
    std::vector<QPen> pens;
    QwtPlotGrid *grid;                   // attached to, and so owned by, the plot
    LinePlotZoomer *zoomer;
    QwtText titleText;
    QwtText xTitleText;
    QwtText yTitleText;
};
