// The display widgets offscreen: the image viewer's scaling, colours, frames
// and zoom; the line plot's zoom base, logarithmic axes and mouse bindings.
#include "support/QtAppEnvironment.h"
#include "widgets/GraphicsView.h"
#include "widgets/LinePlot.h"
#include "widgets/LinePlotZoomer.h"
#include "widgets/pt3ImageViewer.h"

#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <QWheelEvent>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_engine.h>

namespace {

QString TitleOf(const pt3ImageViewer &viewer)
{
    return viewer.findChild<QLabel *>("Title")->text();
}

QSlider *SliderOf(const pt3ImageViewer &viewer)
{
    return viewer.findChild<QSlider *>("FrameSlider");
}

void SendMouse(QWidget *widget, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons,
               Qt::KeyboardModifiers modifiers, QPoint at)
{
    QMouseEvent event(type, at, widget->mapToGlobal(at), button, buttons, modifiers);
    QCoreApplication::sendEvent(widget, &event);
}

void SendWheel(QWidget *widget, int delta)
{
    const QPoint at(widget->width() / 2, widget->height() / 2);
    QWheelEvent event(QPointF(at), QPointF(widget->mapToGlobal(at)), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace

// ---------------------------------------------------------------- viewer

TEST(ImageViewer, ScalesTheWholeStackOntoBytes)
{
    // Darkest value 10 in frame 1, brightest 60 in frame 2: (v - 10) x 255 / 50, truncated.
    const uint16_t stack[] = {20, 35, 30, 40,   // frame 0
                              10, 11, 59, 12,   // frame 1
                              60, 15, 25, 45};  // frame 2
    const uint8_t expected[] = {51, 127, 102, 153, 0, 5, 249, 10, 255, 25, 76, 178};
    pt3ImageViewer viewer(nullptr, 1);
    EXPECT_TRUE(viewer.SetImages(2, 2, 3, stack));
    EXPECT_EQ(viewer.Minimum(), 10);
    EXPECT_EQ(viewer.Maximum(), 60);
    EXPECT_EQ(viewer.Bytes(), std::vector<uint8_t>(std::begin(expected), std::end(expected)));

    // A flat stack has no contrast: entry 0 everywhere, whatever its value.
    const uint16_t flat[] = {7, 7, 7, 7, 7, 7};
    viewer.SetImages(3, 1, 2, flat);
    EXPECT_EQ(viewer.Bytes(), std::vector<uint8_t>(6, 0));
    const double flatDouble[] = {2.5, 2.5, 2.5};
    viewer.SetImages(3, 1, 1, flatDouble);
    EXPECT_EQ(viewer.Bytes(), std::vector<uint8_t>(3, 0));
    EXPECT_EQ(viewer.Picture().toImage().pixel(1, 0), qRgba(0, 0, 0, 255));

    // Doubles whose division rounds below the top still reach 255; values
    // that are not numbers take no part in the range and show as 0.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // (x x 255) / x is 254.99999999999997 for this x.
    const double top = 0.13436424411240122;
    const double variance[] = {0, top, nan, 0.05};
    viewer.SetImages(4, 1, 1, variance);
    EXPECT_EQ(viewer.Maximum(), top);
    EXPECT_EQ(viewer.Bytes()[0], 0);
    EXPECT_EQ(viewer.Bytes()[1], 255);
    EXPECT_EQ(viewer.Bytes()[2], 0);
}

TEST(ImageViewer, ColourTablesOfTheFiveSchemes)
{
    struct Case {
        int scheme;
        QRgb at1, at128, at255;
    };
    const Case cases[] = {
        {1, qRgb(0, 1, 1), qRgb(64, 128, 128), qRgb(127, 255, 255)},     // cyan
        {2, qRgb(0, 1, 0), qRgb(64, 128, 64), qRgb(127, 255, 127)},      // green
        {3, qRgb(1, 1, 0), qRgb(128, 128, 64), qRgb(255, 255, 127)},     // yellow
        {4, qRgb(1, 0, 1), qRgb(128, 64, 128), qRgb(255, 127, 255)},     // magenta
        {0, qRgb(1, 1, 1), qRgb(128, 128, 128), qRgb(255, 255, 255)},    // grey
        {7, qRgb(1, 1, 1), qRgb(128, 128, 128), qRgb(255, 255, 255)},    // any other: grey
    };
    const uint16_t ramp[] = {0, 1, 128, 255};
    for (const Case &c : cases) {
        const QVector<QRgb> table = pt3ImageViewer::ColourTable(c.scheme);
        ASSERT_EQ(table.size(), 256);
        EXPECT_EQ(table[0], qRgba(0, 0, 0, 255)) << c.scheme;
        EXPECT_EQ(table[1], c.at1) << c.scheme;
        EXPECT_EQ(table[128], c.at128) << c.scheme;
        EXPECT_EQ(table[255], c.at255) << c.scheme;
        EXPECT_EQ(qAlpha(table[77]), 255) << c.scheme;

        // The picture shows the table of the viewer's scheme.
        pt3ImageViewer viewer(nullptr, c.scheme);
        viewer.SetImages(4, 1, 1, ramp);
        const QImage shown = viewer.Picture().toImage();
        EXPECT_EQ(shown.pixel(3, 0), c.at255) << c.scheme;
        EXPECT_EQ(shown.pixel(2, 0), c.at128) << c.scheme;
    }
}

TEST(ImageViewer, FramesSliderAndTitle)
{
    // One frame: no slider, no frame number.
    const double mean[] = {1, 2, 3, 4};
    pt3ImageViewer single(nullptr, 2);
    single.SetImages(2, 2, 1, mean);
    single.SetTitle("Channel 2");
    EXPECT_FALSE(SliderOf(single)->isEnabled());
    EXPECT_EQ(TitleOf(single), "Channel 2");
    EXPECT_FALSE(single.ShowFrame(1));

    // Twenty frames of one pixel each, frame f holding the value f.
    std::vector<uint16_t> stack(20);
    for (uint16_t f = 0; f < 20; ++f)
        stack[f] = f;
    pt3ImageViewer viewer(nullptr, 3);
    viewer.SetImages(1, 1, 20, stack.data());
    viewer.SetTitle("T");
    EXPECT_TRUE(SliderOf(viewer)->isEnabled());
    EXPECT_EQ(SliderOf(viewer)->maximum(), 19);
    EXPECT_EQ(TitleOf(viewer), "T (1/20)");
    SliderOf(viewer)->setValue(2);
    EXPECT_EQ(TitleOf(viewer), "T (3/20)");
    EXPECT_EQ(viewer.Picture().toImage().pixel(0, 0), pt3ImageViewer::ColourTable(3)[2 * 255 / 19]);
    viewer.SetTitle("U");
    EXPECT_EQ(TitleOf(viewer), "U (3/20)");

    // The frame count itself is no frame: false, picture and title unchanged.
    const qint64 before = viewer.Picture().cacheKey();
    EXPECT_FALSE(viewer.ShowFrame(20));
    EXPECT_EQ(viewer.Picture().cacheKey(), before);
    EXPECT_EQ(TitleOf(viewer), "U (3/20)");
    EXPECT_TRUE(viewer.ShowFrame(19));

    // A new stack starts again at frame 0 with the slider back at 0.
    viewer.SetImages(1, 1, 1, stack.data());
    EXPECT_EQ(SliderOf(viewer)->value(), 0);
    EXPECT_FALSE(SliderOf(viewer)->isEnabled());
    EXPECT_EQ(TitleOf(viewer), "U");

    // An empty stack shows nothing and says so.
    EXPECT_FALSE(viewer.SetImages(0, 4, 3, stack.data()));
    EXPECT_FALSE(viewer.ShowFrame(0));
}

TEST(ImageViewer, RowsStayStraightForAnyWidth)
{
    // Widths 5 and 7 pad the picture's rows; every pixel still takes its own byte.
    for (uint32_t width : {5u, 7u, 8u}) {
        const uint32_t height = 3;
        std::vector<uint16_t> stack(width * height * 2);
        for (size_t i = 0; i < stack.size(); ++i)
            stack[i] = static_cast<uint16_t>((i * 37) % 101);
        pt3ImageViewer viewer(nullptr, 4);
        viewer.SetImages(width, height, 2, stack.data());
        viewer.ShowFrame(1);
        const QImage shown = viewer.Picture().toImage();
        ASSERT_EQ(shown.width(), static_cast<int>(width));
        ASSERT_EQ(shown.height(), static_cast<int>(height));
        const QVector<QRgb> table = pt3ImageViewer::ColourTable(4);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                ASSERT_EQ(shown.pixel(x, y), table[viewer.Bytes()[width * height + y * width + x]])
                    << width << " " << x << "," << y;
    }
}

TEST(ImageViewer, WheelZoomsAndDoubleClickFits)
{
    const uint16_t stack[] = {0, 1, 2, 3};
    pt3ImageViewer viewer(nullptr, 1);
    viewer.resize(300, 300);
    viewer.show();
    viewer.SetImages(2, 2, 1, stack);
    GraphicsView *view = viewer.View();
    EXPECT_DOUBLE_EQ(view->transform().m11(), 1.0);

    // One notch away from the user zooms in by sqrt(4/3), one towards zooms out again.
    SendWheel(view->viewport(), 120);
    EXPECT_NEAR(view->transform().m11(), std::sqrt(4.0 / 3.0), 1e-12);
    SendWheel(view->viewport(), -240);
    EXPECT_NEAR(view->transform().m22(), std::sqrt(3.0 / 4.0), 1e-12);

    // A double click fits the 2 x 2 picture into the view: far above 1:1.
    SendMouse(view->viewport(), QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier,
              QPoint(5, 5));
    const QRect shown = view->mapFromScene(QRectF(0, 0, 2, 2)).boundingRect();
    EXPECT_GT(view->transform().m11(), 50);
    EXPECT_LE(shown.width(), view->viewport()->width() + 1);

    // A new stack resets the zoom.
    viewer.SetImages(2, 2, 1, stack);
    EXPECT_DOUBLE_EQ(view->transform().m11(), 1.0);
}

// ------------------------------------------------------------------ plot

TEST(LinePlot, AddCurveAndRangesSetTheZoomBase)
{
    const double x[] = {0, 2, 4, 6, 8, 10};
    const double y[] = {1, 3, 2, 5, 4, 6};
    LinePlot plot;
    plot.resize(400, 300);
    plot.show();
    plot.AddCurve(x, y, 6, QColor("#69bd45"), Qt::SolidLine, 2);
    ASSERT_EQ(plot.Curves().size(), 1u);
    EXPECT_EQ(plot.Curves()[0]->dataSize(), 6u);
    EXPECT_EQ(plot.Pens()[0].color(), QColor("#69bd45"));
    EXPECT_EQ(plot.Pens()[0].width(), 2);
    EXPECT_EQ(plot.Pens()[0].capStyle(), Qt::RoundCap);
    EXPECT_EQ(plot.Zoomer()->zoomRectIndex(), 0u);
    // Autoscaled base covers the data.
    EXPECT_LE(plot.Zoomer()->zoomBase().left(), 0);
    EXPECT_GE(plot.Zoomer()->zoomBase().right(), 10);

    plot.SetXRange(2, 8);
    plot.SetYRange(0, 10);
    EXPECT_EQ(plot.Zoomer()->zoomBase(), QRectF(QPointF(2, 0), QPointF(8, 10)));

    // Zoom in, then a double click returns exactly to the fixed ranges.
    plot.Zoomer()->zoom(QRectF(3, 1, 2, 2));
    EXPECT_EQ(plot.axisScaleDiv(QwtPlot::xBottom).lowerBound(), 3);
    SendMouse(plot.canvas(), QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier,
              QPoint(20, 20));
    EXPECT_EQ(plot.Zoomer()->zoomRectIndex(), 0u);
    EXPECT_EQ(plot.axisScaleDiv(QwtPlot::xBottom).lowerBound(), 2);
    EXPECT_EQ(plot.axisScaleDiv(QwtPlot::xBottom).upperBound(), 8);

    // Control + right click returns too.
    plot.Zoomer()->zoom(QRectF(3, 1, 2, 2));
    const QPoint at(plot.canvas()->width() / 2, plot.canvas()->height() / 2);
    SendMouse(plot.canvas(), QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, Qt::ControlModifier, at);
    SendMouse(plot.canvas(), QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, Qt::ControlModifier, at);
    EXPECT_EQ(plot.Zoomer()->zoomRectIndex(), 0u);
    EXPECT_EQ(plot.axisScaleDiv(QwtPlot::xBottom).upperBound(), 8);

    // A second curve resets the base again, to the ranges then shown.
    plot.AddCurve(x, y, 3, Qt::black);
    EXPECT_EQ(plot.Curves().size(), 2u);
    EXPECT_EQ(plot.Zoomer()->zoomBase(), QRectF(QPointF(2, 0), QPointF(8, 10)));
}

TEST(LinePlot, WheelMagnifiesAndRightDragPans)
{
    const double x[] = {0, 10};
    const double y[] = {0, 10};
    LinePlot plot;
    plot.resize(400, 300);
    plot.show();
    plot.AddCurve(x, y, 2, Qt::blue);
    plot.SetXRange(0, 10);
    plot.SetYRange(0, 10);
    SendWheel(plot.canvas(), -120);
    const QwtScaleDiv &xs = plot.axisScaleDiv(QwtPlot::xBottom);
    EXPECT_NEAR(xs.upperBound() - xs.lowerBound(), 11.0, 1e-9);
    const QwtScaleDiv &ys = plot.axisScaleDiv(QwtPlot::yLeft);
    EXPECT_NEAR(ys.upperBound() - ys.lowerBound(), 11.0, 1e-9);

    // A plain right drag pans: same widths, shifted ranges.
    const double left = xs.lowerBound();
    const QPoint at(plot.canvas()->width() / 2, plot.canvas()->height() / 2);
    SendMouse(plot.canvas(), QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, Qt::NoModifier, at);
    SendMouse(plot.canvas(), QEvent::MouseMove, Qt::NoButton, Qt::RightButton, Qt::NoModifier, at + QPoint(60, 0));
    SendMouse(plot.canvas(), QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, Qt::NoModifier,
              at + QPoint(60, 0));
    EXPECT_LT(plot.axisScaleDiv(QwtPlot::xBottom).lowerBound(), left - 0.5);
    EXPECT_NEAR(plot.axisScaleDiv(QwtPlot::xBottom).range(), 11.0, 1e-9);
}

TEST(LinePlot, LogarithmicAxesAndEmptyCurves)
{
    LinePlot plot;
    plot.resize(400, 300);
    plot.SetLogScale(QwtPlot::yLeft);
    auto *engine = dynamic_cast<QwtLogScaleEngine *>(plot.axisScaleEngine(QwtPlot::yLeft));
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->base(), 10);
    EXPECT_EQ(dynamic_cast<QwtLogScaleEngine *>(plot.axisScaleEngine(QwtPlot::xBottom)), nullptr);

    // A curve of no points still resets the base and keeps the log axis usable.
    plot.AddCurve(nullptr, nullptr, 0, Qt::red, Qt::SolidLine, 2);
    ASSERT_EQ(plot.Curves().size(), 1u);
    EXPECT_EQ(plot.Curves()[0]->dataSize(), 0u);
    EXPECT_EQ(plot.Zoomer()->zoomStack().size(), 1);
    EXPECT_GT(plot.axisScaleDiv(QwtPlot::yLeft).lowerBound(), 0);
    EXPECT_FALSE(plot.SetDecadeYRange({}));
    plot.SetXRange(1, 1000);
    plot.SetLogScale(QwtPlot::xBottom);
    plot.replot();

    // Counts with empty bins (1e-12) and zeros on a log axis: decades from 0.1.
    const std::vector<double> axis = {1, 2, 3, 4};
    const std::vector<double> counts = {1e-12, 0, 5300, 12};
    plot.AddCurve(axis, counts, Qt::red, Qt::SolidLine, 2);
    EXPECT_TRUE(plot.SetDecadeYRange(counts));
    EXPECT_EQ(plot.Zoomer()->zoomBase().top(), 0.1);
    EXPECT_EQ(plot.Zoomer()->zoomBase().bottom(), 10000);
    plot.show();
    plot.replot();
}

TEST(LinePlot, DecadeRanges)
{
    struct Case {
        std::vector<double> values;
        double lower, upper;
    };
    const Case cases[] = {
        {{1e-12, 3, 5300}, 0.1, 10000},
        {{1e-12, 37}, 0.1, 100},
        {{2, 1000}, 1, 1000},
        {{250, 0.5}, 0.1, 1000},
        {{1, 1}, 1, 10},          // one value: one decade above it
        {{1e-12, 1e-12}, 0.1, 1},  // nothing above the floor: still the right way up
        {{0}, 0.1, 1},
    };
    for (const Case &c : cases) {
        double lower = 0;
        double upper = 0;
        ASSERT_TRUE(LinePlot::DecadeRange(c.values, lower, upper));
        EXPECT_EQ(lower, c.lower) << c.values.back();
        EXPECT_EQ(upper, c.upper) << c.values.back();
    }
    double lower = -1;
    double upper = -1;
    EXPECT_FALSE(LinePlot::DecadeRange({}, lower, upper));
    EXPECT_EQ(lower, -1);
}

TEST(LinePlot, TitlesKeepTheirFonts)
{
    LinePlot plot;
    const QString richTitle = "<span style=\"font-style:italic;\">G<span style=\"vertical-align:sub;\">12</span></span>";
    plot.SetTitle(richTitle);
    plot.SetXTitle("Time (ns)");
    plot.SetYTitle("Photon counts");
    EXPECT_EQ(plot.title().text(), richTitle);
    EXPECT_TRUE(plot.title().font().bold());
    EXPECT_EQ(plot.title().font().pointSize(), 9);
    EXPECT_EQ(plot.axisTitle(QwtPlot::xBottom).text(), "Time (ns)");
    EXPECT_EQ(plot.axisTitle(QwtPlot::yLeft).font().pointSize(), 8);
    EXPECT_EQ(plot.axisFont(QwtPlot::xBottom).pointSize(), 7);
    EXPECT_EQ(plot.canvasBackground().color(), QColor(Qt::white));
}
