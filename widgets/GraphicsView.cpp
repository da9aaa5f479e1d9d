#include "widgets/GraphicsView.h"

#include "widgets/pt3ImageViewer.h"

#include <QMouseEvent>
#include <QWheelEvent>
#include <cmath>

GraphicsView::GraphicsView(pt3ImageViewer *owner, QWidget *parent) : QGraphicsView(parent), viewer(owner)
{
    // Drops go on to the window; the pixel read-out follows the mouse without a button held.
    setAcceptDrops(false);
    viewport()->setAcceptDrops(false);
    viewport()->setMouseTracking(true);
}

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

void GraphicsView::mouseMoveEvent(QMouseEvent *event)
{
    if (viewer) {
        const QPointF at = mapToScene(event->pos());
        viewer->ShowPixelAt(at.x(), at.y());
    }
    QGraphicsView::mouseMoveEvent(event);
}

void GraphicsView::leaveEvent(QEvent *event)
{
    if (viewer)
        viewer->ShowPixelAt(-1, -1);
    QGraphicsView::leaveEvent(event);
}

void GraphicsView::wheelEvent(QWheelEvent *event)
{
    // The wheel zooms only; the base class would scroll the picture instead.
    const double factor = WheelFactor(event->angleDelta().y());
    scale(factor, factor);
    event->accept();
}
