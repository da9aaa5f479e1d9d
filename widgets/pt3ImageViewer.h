#pragma once
/*!
 * \brief A stack of equally sized frames shown as an 8-bit false-colour
 * picture, with a title line above, a frame slider, a colour bar and a
 * contrast control below, and the position and value of the pixel under the
 * mouse.
 *
 * The whole stack is scaled onto 0..255 with one display range, so the
 * frames can be compared by eye. By default the range is the stack's full
 * range: the darkest pixel of the stack is entry 0 of the colour table and
 * the brightest entry 255, in whichever frames they are. The contrast control
 * narrows it (auto: the given percentile of the stack's values and its
 * complement; manual: a minimum and a maximum); values outside are shown at
 * the ends. Only the picture changes: the stack and everything exported from
 * it stay as they are. The viewer keeps its own copy of the stack's values.
 *
 * The viewer is a widget with its own vertical layout ("VerticalLayout":
 * title label "Title", view, slider "FrameSlider", the colour bar row and the
 * contrast row); put it into a page's layout like any widget.
 */
#include <QGraphicsPixmapItem>
#include <QRgb>
#include <QString>
#include <QVector>
#include <QWidget>
#include <cstdint>
#include <vector>

class GraphicsView;
class QComboBox;
class QDoubleSpinBox;
class QGraphicsScene;
class QLabel;
class QSlider;
class QVBoxLayout;

class pt3ImageViewer : public QWidget {
    Q_OBJECT

public:
    /// How the display range is chosen.
    enum Contrast { FullRange = 0, AutoPercentile = 1, Manual = 2 };

    /// \p colourScheme picks the colour table: 1 cyan, 2 green, 3 yellow,
    /// 4 magenta, anything else grey (the result tabs pass the channel number).
    explicit pt3ImageViewer(QWidget *parent = nullptr, int colourScheme = 0);
    ~pt3ImageViewer() override;

    /*!
     * \brief Takes a stack of \p frames frames of \p height rows of \p width
     * values, frame after frame, row after row, and shows frame 0 with the
     * contrast chosen. The zoom is reset. Returns what ShowFrame(0) returns
     * (false for an empty stack).
     */
    bool SetImages(uint32_t width, uint32_t height, uint32_t frames, const uint16_t *stack);
    bool SetImages(uint32_t width, uint32_t height, uint32_t frames, const double *stack);
    /// Text of the title line; the frame number follows it in stacks of several frames.
    void SetTitle(const QString &text);
    /// Shows frame \p frame; false, with the picture left as it was, when there is no such frame.
    bool ShowFrame(uint32_t frame);
    /// Fits the picture into the view, keeping its aspect ratio.
    void FitImage();

    /// Display range from the stack's smallest to its largest value.
    void SetFullRange();
    /// Display range from the (100 - \p percentile) to the \p percentile
    /// percentile of the stack's values (50 to 100).
    void SetAutoContrast(double percentile);
    /// Display range \p low .. \p high in the stack's units.
    void SetManualContrast(double low, double high);
    double DisplayLow() const { return displayLow; }
    double DisplayHigh() const { return displayHigh; }

    /// "x %1, y %2: %3" for the pixel at column \p x, row \p y (from 0) of
    /// the frame shown; empty outside the picture.
    QString PixelText(int x, int y) const;
    /// Shows PixelText of the scene position \p x, \p y under the picture.
    void ShowPixelAt(double x, double y);

    /// The 256 opaque colours of \p colourScheme; entry i has h = i / 2 in
    /// the dimmed components (cyan: h, i, i; green: h, i, h; yellow: i, i, h;
    /// magenta: i, h, i; grey: i, i, i).
    static QVector<QRgb> ColourTable(int colourScheme);

    int ColourScheme() const { return colourScheme; }
    uint32_t Width() const { return width; }
    uint32_t Height() const { return height; }
    uint32_t Frames() const { return frames; }
    uint32_t CurrentFrame() const { return currentFrame; }
    /// Extremes of the stack's values (not numbers left out).
    double Minimum() const { return minimum; }
    double Maximum() const { return maximum; }
    /// The whole stack scaled to colour-table entries with the display range.
    std::vector<uint8_t> Bytes() const;
    /// The picture of the frame shown.
    QPixmap Picture() const { return pixmapItem.pixmap(); }
    GraphicsView *View() const { return view; }

private slots:
    void on_FrameSlider_valueChanged(int value);

private:
    template <class T> bool TakeStack(uint32_t width, uint32_t height, uint32_t frames, const T *stack);
    double Value(size_t index) const { return counts.empty() ? values[index] : counts[index]; }
    /// Colour-table entry of \p v: (v - low) x 255 / (high - low), truncated; 0 and 255 at and beyond the ends.
    uint8_t ScaledByte(double v) const;
    /// The display range of the contrast control's current choice, then the frame shown again.
    void ApplyContrast();
    /// The display range of the contrast control's current choice, shown on the colour bar.
    void ChooseRange();
    void UpdateColourBar();
    bool UpdateTitle(uint32_t frame);

    int colourScheme;
    QVBoxLayout *verticalLayout;
    QLabel *titleLabel;
    QSlider *frameSlider;
    QLabel *colourBar;
    QLabel *barLow;
    QLabel *barHigh;
    QComboBox *contrastChoice;
    QDoubleSpinBox *percentileBox;
    QDoubleSpinBox *lowBox;
    QDoubleSpinBox *highBox;
    QLabel *readout;
    QGraphicsScene *scene;
    GraphicsView *view;
    QGraphicsPixmapItem pixmapItem;

    QString title;
    std::vector<uint16_t> counts;  ///< the stack of counts, or empty
    std::vector<double> values;    ///< the stack of other values, or empty
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frames = 0;
    size_t frameSize = 0;
    size_t totalSize = 0;
    uint32_t currentFrame = 0;
    double maximum = 0;
    double minimum = 0;
    double displayLow = 0;
    double displayHigh = 0;
};
