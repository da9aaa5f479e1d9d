#include "widgets/pt3ImageViewer.h"

#include "widgets/GraphicsView.h"

#include <QGraphicsScene>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>
#include <cstring>
#include <limits>

pt3ImageViewer::pt3ImageViewer(QWidget *parent, int scheme)
    : QWidget(parent), colourScheme(scheme), verticalLayout(new QVBoxLayout), horizontalLayout(new QHBoxLayout),
      titleLabel(new QLabel(this)), frameSlider(new QSlider(this)), scene(new QGraphicsScene(this)),
      view(new GraphicsView(this))
{
    view->setScene(scene);
    // Dragging with the mouse moves the picture.
    view->setDragMode(QGraphicsView::ScrollHandDrag);

    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(0, 0, 0, 0);
    verticalLayout->setObjectName(QStringLiteral("VerticalLayout"));
    titleLabel->setObjectName(QStringLiteral("Title"));
    frameSlider->setObjectName(QStringLiteral("FrameSlider"));
    titleLabel->setAlignment(Qt::AlignCenter);
    frameSlider->setOrientation(Qt::Horizontal);
    frameSlider->setEnabled(false);
    verticalLayout->addWidget(titleLabel);
    verticalLayout->addWidget(view);
    verticalLayout->addWidget(frameSlider);
    verticalLayout->addLayout(horizontalLayout);
    setLayout(verticalLayout);
    scene->addItem(&pixmapItem);

    connect(frameSlider, &QSlider::valueChanged, this, &pt3ImageViewer::on_FrameSlider_valueChanged);
}

pt3ImageViewer::~pt3ImageViewer()
{
    // The item is a member: the scene, a child deleted after the members,
    // must not delete it too.
    scene->removeItem(&pixmapItem);
}

QVector<QRgb> pt3ImageViewer::ColourTable(int scheme)
{
    QVector<QRgb> table(256);
    for (int i = 0; i < 256; ++i) {
        const int h = i / 2;
        switch (scheme) {
        case 1: table[i] = qRgba(h, i, i, 255); break;  // cyan
        case 2: table[i] = qRgba(h, i, h, 255); break;  // green
        case 3: table[i] = qRgba(i, i, h, 255); break;  // yellow
        case 4: table[i] = qRgba(i, h, i, 255); break;  // magenta
        default: table[i] = qRgba(i, i, i, 255); break; // grey
        }
    }
    return table;
}

bool pt3ImageViewer::SetImages(uint32_t w, uint32_t h, uint32_t f, const uint16_t *stack)
{
    return TakeStack(w, h, f, stack);
}

bool pt3ImageViewer::SetImages(uint32_t w, uint32_t h, uint32_t f, const double *stack)
{
    return TakeStack(w, h, f, stack);
}

template <class T> bool pt3ImageViewer::TakeStack(uint32_t w, uint32_t h, uint32_t f, const T *stack)
{
    scene->setSceneRect(0, 0, w, h);
    view->resetTransform();
    view->setResizeAnchor(QGraphicsView::AnchorUnderMouse);

    // Sizes in 64 bits: W x H x F of 32-bit counts overflows 32 bits long
    // before it overflows memory. Without values there is nothing to show.
    const size_t total = stack ? static_cast<size_t>(w) * h * f : 0;
    width = total ? w : 0;
    height = total ? h : 0;
    frames = total ? f : 0;
    frameSize = static_cast<size_t>(width) * height;
    totalSize = total;
    bytes.assign(totalSize, 0);

    // Setting the slider must not show a frame before the bytes are ready.
    const QSignalBlocker blockSlider(frameSlider);
    frameSlider->setMaximum(frames > 0 ? static_cast<int>(frames - 1) : 0);

    // One minimum and one maximum for the whole stack. Values that are not
    // numbers (a variance of nothing) take no part and are shown as 0.
    maximum = -std::numeric_limits<double>::infinity();
    minimum = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < totalSize; ++i) {
        const double v = static_cast<double>(stack[i]);
        if (!std::isfinite(v))
            continue;
        if (v > maximum)
            maximum = v;
        if (v < minimum)
            minimum = v;
    }
    if (!(minimum <= maximum))
        minimum = maximum = 0;
    ScaleToBytes(stack, minimum, maximum);

    currentFrame = 0;
    frameSlider->setValue(0);
    frameSlider->setEnabled(frames > 1);
    return ShowFrame(0);
}

template <class T> void pt3ImageViewer::ScaleToBytes(const T *stack, double low, double high)
{
    // A flat stack has no contrast: entry 0 everywhere.
    if (!(high > low))
        return;
    const double span = high - low;
    for (size_t i = 0; i < totalSize; ++i) {
        const double v = static_cast<double>(stack[i]);
        if (!std::isfinite(v))
            continue;
        // (v - min) x 255 / (max - min), truncated; the rounding of the
        // division must not take the brightest value below 255.
        const double scaled = (v - low) * 255.0 / span;
        bytes[i] = v >= high ? 255 : static_cast<uint8_t>(static_cast<int>(scaled) & 0xff);
    }
}

bool pt3ImageViewer::ShowFrame(uint32_t frame)
{
    const QVector<QRgb> table = ColourTable(colourScheme);
    if (frame >= frames)
        return false;

    // Rows of exactly width bytes are copied one by one: the image pads its
    // rows to 4 bytes, so a width that is not a multiple of 4 stays straight.
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_Indexed8);
    if (image.isNull())
        return false;  // too large for one picture
    image.setColorTable(table);
    const uint8_t *source = bytes.data() + frame * frameSize;
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(image.scanLine(static_cast<int>(y)), source + static_cast<size_t>(y) * width, width);
    pixmapItem.setPixmap(QPixmap::fromImage(image));
    scene->update();
    view->update();
    UpdateTitle(frame);
    return true;
}

void pt3ImageViewer::SetTitle(const QString &text)
{
    title = text;
    // An empty viewer still shows its title.
    if (!UpdateTitle(currentFrame))
        titleLabel->setText(title);
}

bool pt3ImageViewer::UpdateTitle(uint32_t frame)
{
    if (frame >= frames)
        return false;
    if (frames < 2)
        titleLabel->setText(title);
    else
        titleLabel->setText(title + QStringLiteral(" (%1/%2)").arg(frame + 1).arg(frames));
    return true;
}

void pt3ImageViewer::FitImage()
{
    view->fitInView(pixmapItem.sceneBoundingRect(), Qt::KeepAspectRatio);
    view->update();
}

void pt3ImageViewer::on_FrameSlider_valueChanged(int value)
{
    // The frame shown is the current one, so a title set later keeps its number.
    if (value >= 0 && ShowFrame(static_cast<uint32_t>(value)))
        currentFrame = static_cast<uint32_t>(value);
}
