#pragma once
/*!
 * \brief A stack of equally sized frames shown as an 8-bit false-colour
 * picture, with a title line above and a frame slider below.
 *
 * The whole stack is scaled once onto 0..255 with one minimum and one
 * maximum, so the frames can be compared by eye: the darkest pixel of the
 * stack is entry 0 of the colour table and the brightest entry 255, in
 * whichever frames they are. The scaled bytes are kept; the caller's stack is
 * read only while SetImages runs.
 *
 * The viewer is a widget with its own vertical layout ("VerticalLayout":
 * title label "Title", view, slider "FrameSlider"); put it into a page's
 * layout like any widget.
 */
#include <QGraphicsPixmapItem>
#include <QRgb>
#include <QString>
#include <QVector>
#include <QWidget>
#include <cstdint>
#include <vector>

class GraphicsView;
class QGraphicsScene;
class QHBoxLayout;
class QLabel;
class QSlider;
class QVBoxLayout;

class pt3ImageViewer : public QWidget {
    Q_OBJECT

public:
    /// \p colourScheme picks the colour table: 1 cyan, 2 green, 3 yellow,
    /// 4 magenta, anything else grey (the result tabs pass the channel number).
    explicit pt3ImageViewer(QWidget *parent = nullptr, int colourScheme = 0);
    ~pt3ImageViewer() override;

    /*!
     * \brief Takes a stack of \p frames frames of \p height rows of \p width
     * values, frame after frame, row after row, scales it to bytes and shows
     * frame 0. The zoom is reset. Returns what ShowFrame(0) returns (false
     * for an empty stack).
     */
    bool SetImages(uint32_t width, uint32_t height, uint32_t frames, const uint16_t *stack);
    bool SetImages(uint32_t width, uint32_t height, uint32_t frames, const double *stack);
    /// Text of the title line; the frame number follows it in stacks of several frames.
    void SetTitle(const QString &text);
    /// Shows frame \p frame; false, with the picture left as it was, when there is no such frame.
    bool ShowFrame(uint32_t frame);
    /// Fits the picture into the view, keeping its aspect ratio.
    void FitImage();

    /// The 256 opaque colours of \p colourScheme; entry i has h = i / 2 in
    /// the dimmed components (cyan: h, i, i; green: h, i, h; yellow: i, i, h;
    /// magenta: i, h, i; grey: i, i, i).
    static QVector<QRgb> ColourTable(int colourScheme);

    int ColourScheme() const { return colourScheme; }
    uint32_t Width() const { return width; }
    uint32_t Height() const { return height; }
    uint32_t Frames() const { return frames; }
    uint32_t CurrentFrame() const { return currentFrame; }
    double Minimum() const { return minimum; }
    double Maximum() const { return maximum; }
    /// The whole stack scaled to colour-table entries.
    const std::vector<uint8_t> &Bytes() const { return bytes; }
    /// The picture of the frame shown.
    QPixmap Picture() const { return pixmapItem.pixmap(); }
    GraphicsView *View() const { return view; }

private slots:
    void on_FrameSlider_valueChanged(int value);

private:
    template <class T> bool TakeStack(uint32_t width, uint32_t height, uint32_t frames, const T *stack);
    template <class T> void ScaleToBytes(const T *stack, double low, double high);
    bool UpdateTitle(uint32_t frame);

    int colourScheme;
    QVBoxLayout *verticalLayout;
    QHBoxLayout *horizontalLayout;
    QLabel *titleLabel;
    QSlider *frameSlider;
    QGraphicsScene *scene;
    GraphicsView *view;
    QGraphicsPixmapItem pixmapItem;

    QString title;
    std::vector<uint8_t> bytes;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frames = 0;
    size_t frameSize = 0;
    size_t totalSize = 0;
    uint32_t currentFrame = 0;
    double maximum = 0;
    double minimum = 0;
};
