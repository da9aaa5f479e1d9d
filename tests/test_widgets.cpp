// The display widgets offscreen: the image viewer's scaling, colours and
// frames; the line plot's zoom base, logarithmic axes and decade ranges.
#include "support/QtAppEnvironment.h"
#include "widgets/LinePlot.h"
#include "widgets/LinePlotZoomer.h"
#include "widgets/GraphicsView.h"
#include "widgets/pt3ImageViewer.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <cmath>
#include <gtest/gtest.h>
#include <qwt_scale_div.h>

namespace {
/// Three frames of 2 x 2 pixels: darkest 10 in frame 1, brightest 60 in frame 2.
const uint16_t stack[] = {20, 35, 30, 40, 10, 11, 59, 12, 60, 15, 25, 45};
} // namespace

TEST(ImageViewer, ScalesTheStackAndShowsItsFrames)
{
    // (v - 10) x 255 / 50, truncated.
    const std::vector<uint8_t> bytes = {51, 127, 102, 153, 0, 5, 249, 10, 255, 25, 76, 178};
    pt3ImageViewer viewer(nullptr, 3);
    auto *title = viewer.findChild<QLabel *>("Title");
    auto *slider = viewer.findChild<QSlider *>("FrameSlider");
    EXPECT_TRUE(viewer.SetImages(2, 2, 3, stack));
    EXPECT_EQ(viewer.Bytes(), bytes);
    viewer.SetTitle("T");
    EXPECT_EQ(title->text(), "T (1/3)");
    EXPECT_TRUE(slider->isEnabled());
    slider->setValue(2);
    EXPECT_EQ(title->text(), "T (3/3)");
    EXPECT_EQ(viewer.Picture().toImage().pixel(1, 0), pt3ImageViewer::ColourTable(3)[25]);
    // The frame count is no frame: false, picture unchanged.
    const qint64 shown = viewer.Picture().cacheKey();
    EXPECT_FALSE(viewer.ShowFrame(3));
    EXPECT_EQ(viewer.Picture().cacheKey(), shown);

    // One frame: slider off, no number. A flat stack is entry 0 everywhere;
    // (x x 255) / x rounds below 255 for this x, yet x is the brightest.
    const double top = 0.13436424411240122;
    const double flat[] = {2.5, 2.5, 2.5};
    const double single[] = {0, top, NAN, 0.05};
    viewer.SetImages(3, 1, 1, flat);
    EXPECT_EQ(viewer.Bytes(), std::vector<uint8_t>(3, 0));
    EXPECT_EQ(title->text(), "T");
    EXPECT_FALSE(slider->isEnabled());
    viewer.SetImages(4, 1, 1, single);
    EXPECT_EQ(viewer.Bytes(), std::vector<uint8_t>({0, 255, 0, 94}));
    EXPECT_FALSE(viewer.SetImages(0, 4, 3, stack));

    // Rows of 5 pixels are padded in the picture; every pixel still shows its own byte.
    std::vector<uint16_t> odd(5 * 3 * 2);
    for (size_t i = 0; i < odd.size(); ++i)
        odd[i] = static_cast<uint16_t>((i * 37) % 101);
    viewer.SetImages(5, 3, 2, odd.data());
    viewer.ShowFrame(1);
    const QImage picture = viewer.Picture().toImage();
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            ASSERT_EQ(picture.pixel(x, y), pt3ImageViewer::ColourTable(3)[viewer.Bytes()[5 * (3 + y) + x]]);
}

// The colour bar names the display range, the read-out the pixel under the
// mouse in the frame shown, and the contrast control narrows the range.
TEST(ImageViewer, ColourBarPixelReadOutAndContrast)
{
    pt3ImageViewer viewer(nullptr, 1);
    viewer.resize(300, 300);
    viewer.show();
    viewer.SetImages(2, 2, 3, stack);
    const auto bar = [&] {
        return viewer.findChild<QLabel *>("ColourBarLow")->text() + " " + viewer.findChild<QLabel *>("ColourBarHigh")->text();
    };
    EXPECT_EQ(bar(), "10 60");
    GraphicsView *view = viewer.View();
    view->scale(40, 40);  // a pixel of the picture 40 pixels on screen
    QCoreApplication::processEvents();
    QMouseEvent move(QEvent::MouseMove, view->mapFromScene(QPointF(1.5, 0.5)), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view->viewport(), &move);
    EXPECT_EQ(viewer.findChild<QLabel *>("PixelReadout")->text(), "x 1, y 0: 35");
    viewer.findChild<QSlider *>("FrameSlider")->setValue(2);
    EXPECT_EQ(viewer.PixelText(0, 0), "x 0, y 0: 60");
    EXPECT_EQ(viewer.PixelText(2, 0), "");

    // Manual: 20 and below darkest, 40 and above brightest, (v - 20) x 255 / 20 between.
    viewer.SetManualContrast(20, 40);
    EXPECT_EQ(bar(), "20 40");
    EXPECT_EQ(viewer.Bytes(), std::vector<uint8_t>({0, 191, 127, 255, 0, 0, 255, 0, 255, 0, 63, 255}));
    EXPECT_EQ(viewer.Picture().toImage().pixel(0, 0), pt3ImageViewer::ColourTable(1)[255]);  // frame 3: 60
    viewer.SetFullRange();
    EXPECT_EQ(bar(), "10 60");

    // Auto at 90 %: of the values 1 .. 100 the ranks 9 and 90 of 0 .. 99
    // (floor of 0.1 x 99, ceiling of 0.9 x 99), for counts and other values alike.
    std::vector<uint16_t> counts(100);
    std::vector<double> values(100);
    for (int i = 0; i < 100; ++i)
        values[(i * 37) % 100] = counts[(i * 37) % 100] = static_cast<uint16_t>(i + 1);
    viewer.SetAutoContrast(90);
    viewer.SetImages(10, 10, 1, counts.data());
    EXPECT_EQ(bar(), "10 91");
    viewer.SetImages(10, 10, 1, values.data());
    EXPECT_EQ(bar(), "10 91");
}

TEST(LinePlot, CurvesAndRangesSetTheZoomBase)
{
    const double x[] = {0, 2, 4, 6, 8, 10};
    const double y[] = {1, 3, 2, 5, 4, 6};
    LinePlot plot;
    plot.resize(400, 300);
    plot.AddCurve(x, y, 6, QColor("#69bd45"), Qt::SolidLine, 2);
    EXPECT_TRUE(plot.Zoomer()->zoomBase().left() <= 0 && plot.Zoomer()->zoomBase().right() >= 10);
    plot.SetXRange(2, 8);
    plot.SetYRange(0, 10);
    EXPECT_EQ(plot.Zoomer()->zoomBase(), QRectF(QPointF(2, 0), QPointF(8, 10)));
    // Zoomed in, a double click returns exactly to the fixed ranges.
    plot.Zoomer()->zoom(QRectF(3, 1, 2, 2));
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(20, 20), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(plot.canvas(), &click);
    EXPECT_EQ(plot.axisScaleDiv(QwtPlot::xBottom).interval(), QwtInterval(2, 8));

    // Log axis: a curve of no points still resets the base and leaves a usable range.
    LinePlot log;
    log.SetLogScale(QwtPlot::yLeft);
    log.AddCurve(nullptr, nullptr, 0, Qt::red, Qt::SolidLine, 2);
    EXPECT_EQ(log.Zoomer()->zoomStack().size(), 1);
    EXPECT_GT(log.axisScaleDiv(QwtPlot::yLeft).lowerBound(), 0);
    EXPECT_FALSE(log.SetDecadeYRange({}));
}

// Decade ranges of a log axis and the short labels of its ticks.
TEST(LinePlot, DecadeRangesAndLogLabels)
{
    const std::pair<std::vector<double>, QwtInterval> ranges[] = {{{1e-12, 3, 5300}, {0.1, 10000}},
        {{1e-12, 37}, {0.1, 100}}, {{2, 1000}, {1, 1000}}, {{1, 1}, {1, 10}}, {{1e-12, 0}, {0.1, 1}}};
    for (const auto &c : ranges) {
        double lower = 0, upper = 0;
        ASSERT_TRUE(LinePlot::DecadeRange(c.first, lower, upper));
        EXPECT_EQ(QwtInterval(lower, upper), c.second) << c.first.back();
    }
    const std::pair<double, const char *> labels[] = {{1e-5, "1e-5"}, {0.01, "0.01"}, {0.5, "0.5"}, {1, "1"},
                                                      {1000, "1000"}, {1e4, "1e4"}, {1e12, "1e12"}, {2.5e-3, "2.5e-3"}};
    for (const auto &c : labels)
        EXPECT_EQ(LinePlot::LogLabel(c.first), c.second) << c.first;
}
