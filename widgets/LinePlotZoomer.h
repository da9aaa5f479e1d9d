#pragma once
/*!
 * \brief The rectangle zoomer of a LinePlot: a double click returns to the
 * zoom base, the ranges the plot had when its base was last set.
 */
#include <qwt_plot_zoomer.h>

class LinePlotZoomer : public QwtPlotZoomer {
    Q_OBJECT

public:
    /// Zooms on the bottom and left axes of the plot of \p canvas, replotting on every zoom.
    explicit LinePlotZoomer(QWidget *canvas);

protected:
    void widgetMouseDoubleClickEvent(QMouseEvent *event) override;
};
