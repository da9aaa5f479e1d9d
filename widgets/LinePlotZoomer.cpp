#include "widgets/LinePlotZoomer.h"

LinePlotZoomer::LinePlotZoomer(QWidget *canvas) : QwtPlotZoomer(canvas, true) {}

void LinePlotZoomer::widgetMouseDoubleClickEvent(QMouseEvent *)
{
    zoom(0);
}
