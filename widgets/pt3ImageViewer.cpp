#include "widgets/pt3ImageViewer.h"

#include "widgets/GraphicsView.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace {
/// A number of the colour bar and the boxes: six significant digits.
QString Number(double v)
{
    return QString::number(v, 'g', 6);
}
} // namespace

pt3ImageViewer::pt3ImageViewer(QWidget *parent, int scheme)
    : QWidget(parent), colourScheme(scheme), verticalLayout(new QVBoxLayout), titleLabel(new QLabel(this)),
      frameSlider(new QSlider(this)), colourBar(new QLabel(this)), barLow(new QLabel(this)), barHigh(new QLabel(this)),
      contrastChoice(new QComboBox(this)), percentileBox(new QDoubleSpinBox(this)), lowBox(new QDoubleSpinBox(this)),
      highBox(new QDoubleSpinBox(this)), readout(new QLabel(this)), scene(new QGraphicsScene(this)),
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
    verticalLayout->addWidget(view, 1);
    verticalLayout->addWidget(frameSlider);

    // The colour bar: the colour table from the lower to the upper end of the display range.
    colourBar->setObjectName(QStringLiteral("ColourBar"));
    barLow->setObjectName(QStringLiteral("ColourBarLow"));
    barHigh->setObjectName(QStringLiteral("ColourBarHigh"));
    colourBar->setScaledContents(true);
    colourBar->setFixedHeight(12);
    colourBar->setMinimumWidth(40);
    colourBar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QImage table(256, 1, QImage::Format_RGB32);
    const QVector<QRgb> colours = ColourTable(colourScheme);
    for (int i = 0; i < 256; ++i)
        table.setPixel(i, 0, colours[i]);
    colourBar->setPixmap(QPixmap::fromImage(table));
    auto *barRow = new QHBoxLayout;
    barRow->addWidget(barLow);
    barRow->addWidget(colourBar, 1);
    barRow->addWidget(barHigh);
    verticalLayout->addLayout(barRow);

    // The contrast of the picture, and the pixel under the mouse.
    contrastChoice->setObjectName(QStringLiteral("Contrast"));
    contrastChoice->addItems({tr("Full range"), tr("Auto"), tr("Manual")});
    contrastChoice->setToolTip(tr("Display range of the picture; the exports keep every value"));
    percentileBox->setObjectName(QStringLiteral("ContrastPercentile"));
    percentileBox->setRange(50, 100);
    percentileBox->setDecimals(1);
    percentileBox->setSingleStep(0.5);
    percentileBox->setValue(99.5);
    percentileBox->setSuffix(QStringLiteral(" %"));
    percentileBox->setToolTip(tr("Upper percentile shown brightest; its complement is shown darkest"));
    lowBox->setObjectName(QStringLiteral("ContrastMin"));
    highBox->setObjectName(QStringLiteral("ContrastMax"));
    lowBox->setToolTip(tr("Value shown darkest"));
    highBox->setToolTip(tr("Value shown brightest"));
    for (QDoubleSpinBox *box : {lowBox, highBox}) {
        box->setRange(-1e15, 1e15);
        box->setKeyboardTracking(false);
    }
    readout->setObjectName(QStringLiteral("PixelReadout"));
    readout->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto *contrastRow = new QHBoxLayout;
    contrastRow->addWidget(contrastChoice);
    contrastRow->addWidget(percentileBox);
    contrastRow->addWidget(lowBox);
    contrastRow->addWidget(highBox);
    contrastRow->addWidget(readout, 1);
    verticalLayout->addLayout(contrastRow);
    setLayout(verticalLayout);
    scene->addItem(&pixmapItem);
    ApplyContrast();

    connect(frameSlider, &QSlider::valueChanged, this, &pt3ImageViewer::on_FrameSlider_valueChanged);
    connect(contrastChoice, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] { ApplyContrast(); });
    for (QDoubleSpinBox *box : {percentileBox, lowBox, highBox})
        connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this] { ApplyContrast(); });
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
    counts.clear();
    values.clear();
    if constexpr (std::is_same<T, uint16_t>::value)
        counts.assign(stack, stack + totalSize);
    else
        values.assign(stack, stack + totalSize);

    // Setting the slider must not show a frame before the stack is ready.
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
        maximum = std::max(maximum, v);
        minimum = std::min(minimum, v);
    }
    if (!(minimum <= maximum))
        minimum = maximum = 0;
    // Counts are whole numbers; other values get digits after the point.
    for (QDoubleSpinBox *box : {lowBox, highBox}) {
        const QSignalBlocker block(box);
        box->setDecimals(counts.empty() && totalSize ? 4 : 0);
    }

    currentFrame = 0;
    frameSlider->setValue(0);
    frameSlider->setEnabled(frames > 1);
    ChooseRange();
    return ShowFrame(0);
}

uint8_t pt3ImageViewer::ScaledByte(double v) const
{
    // A flat range has no contrast: entry 0 everywhere.
    if (!(displayHigh > displayLow) || !std::isfinite(v) || v <= displayLow)
        return 0;
    // (v - low) x 255 / (high - low), truncated; the rounding of the
    // division must not take the brightest value below 255.
    if (v >= displayHigh)
        return 255;
    return static_cast<uint8_t>(static_cast<int>((v - displayLow) * 255.0 / (displayHigh - displayLow)) & 0xff);
}

std::vector<uint8_t> pt3ImageViewer::Bytes() const
{
    std::vector<uint8_t> bytes(totalSize);
    for (size_t i = 0; i < totalSize; ++i)
        bytes[i] = ScaledByte(Value(i));
    return bytes;
}

void pt3ImageViewer::SetFullRange()
{
    contrastChoice->setCurrentIndex(FullRange);
    ApplyContrast();
}

void pt3ImageViewer::SetAutoContrast(double percentile)
{
    const QSignalBlocker block(percentileBox);
    percentileBox->setValue(percentile);
    contrastChoice->setCurrentIndex(AutoPercentile);
    ApplyContrast();
}

void pt3ImageViewer::SetManualContrast(double low, double high)
{
    {
        const QSignalBlocker blockChoice(contrastChoice);
        contrastChoice->setCurrentIndex(Manual);
    }
    const QSignalBlocker blockLow(lowBox), blockHigh(highBox);
    lowBox->setValue(low);
    highBox->setValue(high);
    ApplyContrast();
}

void pt3ImageViewer::ApplyContrast()
{
    ChooseRange();
    ShowFrame(currentFrame);
}

void pt3ImageViewer::ChooseRange()
{
    const int choice = contrastChoice->currentIndex();
    percentileBox->setVisible(choice == AutoPercentile);
    lowBox->setVisible(choice == Manual);
    highBox->setVisible(choice == Manual);
    displayLow = minimum;
    displayHigh = maximum;
    if (choice == AutoPercentile && totalSize > 0) {
        // The values at the ranks of the percentile and of its complement,
        // among the values that are numbers.
        const double share = percentileBox->value() / 100.0;
        if (!counts.empty()) {
            std::vector<uint64_t> histogram(65536, 0);
            for (uint16_t v : counts)
                ++histogram[v];
            const uint64_t last = counts.size() - 1;
            const auto lowRank = static_cast<uint64_t>(std::floor((1 - share) * last));
            const auto highRank = static_cast<uint64_t>(std::ceil(share * last));
            uint64_t seen = 0;
            bool lowFound = false;
            for (uint32_t v = 0; v < histogram.size(); ++v) {
                seen += histogram[v];
                if (!lowFound && seen > lowRank) {
                    displayLow = v;
                    lowFound = true;
                }
                if (seen > highRank) {
                    displayHigh = v;
                    break;
                }
            }
        } else {
            std::vector<double> sorted;
            sorted.reserve(values.size());
            for (double v : values)
                if (std::isfinite(v))
                    sorted.push_back(v);
            if (!sorted.empty()) {
                const size_t last = sorted.size() - 1;
                const auto lowRank = static_cast<size_t>(std::floor((1 - share) * last));
                const auto highRank = static_cast<size_t>(std::ceil(share * last));
                std::nth_element(sorted.begin(), sorted.begin() + lowRank, sorted.end());
                displayLow = sorted[lowRank];
                std::nth_element(sorted.begin(), sorted.begin() + highRank, sorted.end());
                displayHigh = sorted[highRank];
            }
        }
    } else if (choice == Manual) {
        displayLow = lowBox->value();
        displayHigh = highBox->value();
    }
    if (choice != Manual) {
        // Manual starts from the range shown last.
        const QSignalBlocker blockLow(lowBox), blockHigh(highBox);
        lowBox->setValue(displayLow);
        highBox->setValue(displayHigh);
    }
    UpdateColourBar();
}

void pt3ImageViewer::UpdateColourBar()
{
    barLow->setText(Number(displayLow));
    barHigh->setText(Number(displayHigh));
}

bool pt3ImageViewer::ShowFrame(uint32_t frame)
{
    if (frame >= frames)
        return false;

    // Rows of exactly width bytes are written one by one: the image pads its
    // rows to 4 bytes, so a width that is not a multiple of 4 stays straight.
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_Indexed8);
    if (image.isNull())
        return false;  // too large for one picture
    image.setColorTable(ColourTable(colourScheme));
    const size_t start = frame * frameSize;
    for (uint32_t y = 0; y < height; ++y) {
        uchar *row = image.scanLine(static_cast<int>(y));
        const size_t first = start + static_cast<size_t>(y) * width;
        for (uint32_t x = 0; x < width; ++x)
            row[x] = ScaledByte(Value(first + x));
    }
    pixmapItem.setPixmap(QPixmap::fromImage(image));
    scene->update();
    view->update();
    UpdateTitle(frame);
    return true;
}

QString pt3ImageViewer::PixelText(int x, int y) const
{
    if (x < 0 || y < 0 || static_cast<uint32_t>(x) >= width || static_cast<uint32_t>(y) >= height ||
        currentFrame >= frames)
        return QString();
    const size_t i = currentFrame * frameSize + static_cast<size_t>(y) * width + static_cast<size_t>(x);
    return tr("x %1, y %2: %3").arg(x).arg(y).arg(counts.empty() ? Number(values[i]) : QString::number(counts[i]));
}

void pt3ImageViewer::ShowPixelAt(double x, double y)
{
    readout->setText(PixelText(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y))));
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
    // The frame shown is the current one, so a title set later keeps its number
    // and the pixel read-out reads this frame.
    if (value >= 0 && ShowFrame(static_cast<uint32_t>(value)))
        currentFrame = static_cast<uint32_t>(value);
}
