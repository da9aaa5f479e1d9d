#include "widgets/GraphicsView.h"

#include "widgets/pt3ImageViewer.h"

#include <QDragMoveEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <cmath>

GraphicsView::GraphicsView(pt3ImageViewer *owner, QWidget *parent) : QGraphicsView(parent), viewer(owner) {}

double GraphicsView::WheelFactor(int delta)
{
    return std::pow(4.0 / 3.0, delta / 240.0);
}

void GraphicsView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (viewer)
        viewer->FitImage();
    event->accept();
}

void GraphicsView::wheelEvent(QWheelEvent *event)
{
    // The wheel zooms only; the base class would scroll the picture instead.
    const double factor = WheelFactor(event->angleDelta().y());
    scale(factor, factor);
    event->accept();
}

void GraphicsView::dragMoveEvent(QDragMoveEvent *event)
{
    // Nothing may be dropped on a picture.
    event->ignore();
}
