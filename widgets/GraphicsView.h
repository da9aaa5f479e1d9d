#pragma once
/*!
 * \brief The view of an image viewer's picture: the wheel zooms, a double
 * click fits the picture into the view, dragging with the mouse moves it, and
 * the viewer is told which pixel lies under the mouse.
 *
 * Drops are not taken here: a file dropped on a picture reaches the window
 * like one dropped anywhere else.
 */
#include <QGraphicsView>

class pt3ImageViewer;

class GraphicsView : public QGraphicsView {
    Q_OBJECT

public:
    /// \p viewer is the viewer whose picture this view shows; it outlives the view.
    explicit GraphicsView(pt3ImageViewer *viewer, QWidget *parent = nullptr);

    /// Zoom factor of a wheel turn of \p delta eighths of a degree (120 per
    /// notch, positive away from the user): (4/3)^(delta / 240), so one notch
    /// zooms by the square root of 4/3.
    static double WheelFactor(int delta);

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    pt3ImageViewer *viewer;
};
