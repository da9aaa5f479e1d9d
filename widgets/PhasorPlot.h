#pragma once
/*!
 * \brief The phasor plot: a 2-D histogram of the pixels' (g, s), the
 * universal semicircle with ticks at chosen lifetimes, and a circular
 * cursor that a click moves; the pixels under it are the caller's to find.
 */
#include <qwt_plot.h>

#include <QPointF>
#include <QString>
#include <vector>

class QwtPlotShapeItem;
class QwtPlotSpectrogram;
class QwtPlotPicker;

class PhasorPlot : public QwtPlot {
    Q_OBJECT

public:
    explicit PhasorPlot(QWidget *parent = nullptr);

    /// Counts of \p binsG x \p binsS cells (row s, column g) over g in
    /// [\p gMin, \p gMax] and s in [\p sMin, \p sMax].
    void SetHistogram(const std::vector<double> &counts, int binsG, int binsS, double gMin, double gMax, double sMin,
                      double sMax);
    /// A labelled tick on the semicircle at each point.
    void SetLifetimeTicks(const std::vector<std::pair<QString, QPointF>> &ticks);
    /// Centre (g, s) and radius of the cursor.
    void SetCursor(double g, double s, double radius);
    double CursorG() const { return cursorG; }
    double CursorS() const { return cursorS; }
    double CursorRadius() const { return cursorRadius; }

signals:
    /// The cursor moved (a click on the plot places its centre).
    void CursorMoved(double g, double s, double radius);

private:
    QwtPlotSpectrogram *histogram = nullptr;
    QwtPlotShapeItem *cursor = nullptr;
    QwtPlotPicker *picker = nullptr;
    double cursorG = 0.5, cursorS = 0.25, cursorRadius = 0.05;
};
