// The window with results: the tabs of a scan and their lifetime, the start-up
// size, the buttons on each kind of scan, and commands given during a long step.
#include "app/Fotonel.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"
#include "widgets/LinePlot.h"
#include "widgets/pt3ImageViewer.h"

#include "support/WindowFixture.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBox>
#include <gtest/gtest.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_map.h>
#include <qwt_scale_widget.h>

#include <cmath>

namespace {

enum Kind { Image, Line, Point };

class CommandsTest : public WindowFixture {
protected:
    /// A measurement of the kind; \p size 2 lets every step run events (32 x 32 pixels of 5, 16000 point photons).
    QString Write(Kind kind, const QString &name, int size = 1, std::vector<uint32_t> channels = {1},
                  float resolution = 0.004f)
    {
        synth::ImageScanPlan plan;
        plan.width = plan.height = 8 * size * size;
        plan.photonsPerPixel = size == 1 ? 1 : 5;
        plan.channels = channels;
        std::vector<synth::PointPhoton> photons;
        for (uint32_t i = 0; kind == Point && i < 2000u * size * size * size; ++i)
            photons.push_back({1000 + 37ull * i + (i * i) % 29, channels[i % channels.size()], 100 + i % 50});
        const synth::GeneratedScan scan = kind == Point ? synth::MakePointMeasurement(photons)
                                          : kind == Image ? synth::MakeImageScan(plan)
                                                          : synth::MakeLineScan(plan, 2);
        synth::Pt3Header header;
        header.resolution = resolution;
        EXPECT_TRUE(synth::WritePt3(dir.filePath(name), header, scan.words));
        return dir.filePath(name);
    }
    QStringList Exported() { return QDir(dir.filePath("run_export")).entryList(QDir::Files); }
    /// Marks the pages shown now; NewTabs then names the tabs built since.
    void MarkTabs()
    {
        for (QWidget *page : W<QTabWidget>("tabWidget")->findChildren<QWidget *>())
            page->setProperty("seen", true);
    }
    QStringList NewTabs()
    {
        QStringList labels;
        auto *tabs = W<QTabWidget>("tabWidget");
        for (int i = 0; i < tabs->count(); ++i)
            if (!tabs->widget(i)->property("seen").toBool())
                labels << tabs->tabText(i);
        return labels;
    }
    QStringList TabLabels()
    {
        QStringList labels;
        for (auto *tabs = W<QTabWidget>("tabWidget"); labels.size() < tabs->count();)
            labels << tabs->tabText(labels.size());
        return labels;
    }
};

class ResultsTest : public CommandsTest {
protected:
    void SetUp() override
    {
        CommandsTest::SetUp();
        Make().SetVersion("0.51");
        path = Write(Image, "scan.pt3", 1, {1, 3});
        tabs = W<QTabWidget>("tabWidget");
    }
    QString path;
    QTabWidget *tabs = nullptr;
};

/// What each button builds (tabs new or replaced) and writes on an image, line
/// and point scan: "tab labels / exported files"; "" when it does nothing.
const struct {
    const char *slot;
    const char *effect[3];
} buttonCases[] = {
    {"on_ISHistogram_clicked", {"Life times / ", "", ""}},
    {"on_LSHistogram_clicked", {"", "Life times / ", ""}},
    {"on_tauButton_clicked", {"", "", "Life times / "}},
    {"on_binData_clicked", {"", "", "Data / "}},
    {"on_xcfButton_clicked", {"", "", "Correlation / "}},
    {"on_ISExportHistogram_clicked", {" / run_Histogram_ch1.tif", "", ""}},
    {"on_LSsaveHistogramPointScan_clicked", {"", " / run_histogram_ch1.tif", ""}},
    {"on_saveHistogramPointScan_clicked", {"", "", " / run_histogram_ch1.dat"}},
    {"on_saveXCFPointScan_clicked", {"", "", " / run_G_ch1_ch1.dat"}},
    {"on_saveTracePointScan_clicked", {"", "", " / run_trace_ch1.bin,run_trace_ch1.dat"}},
    {"on_LSApplyLineWiidth_clicked", {"", "Data,Mean,Variance,Time course,Life times / ", ""}},
    // Every tab shows the photons inside the cursors (with the correlation built above).
    {"on_ApplyCursorButton_clicked",
     {"Data,Mean,Variance,Time course,Life times / ", "Data,Mean,Variance,Time course,Life times / ",
      "Data,Life times,Correlation / "}},
    // Applying the gates rebuilds the tabs and exports with the current settings.
    {"on_ApplyGatingButton_clicked",
     {"Data,Mean,Variance,Time course,Life times / run_ch1.tif",
      "Data,Mean,Variance,Time course,Life times / run_ch1.tif", "Data,Life times,Correlation / "}},
    {"ExportData", {"", "", " / run_G_ch1_ch1.dat,run_histogram_ch1.dat,run_trace_ch1.bin,run_trace_ch1.dat"}},
};

const QStringList ScanTabs = {"Header", "Summary", "Data", "Mean", "Variance", "Time course", "Life times"};

} // namespace

// What each button does on each kind of scan; then every enabled button of the settings and every enabled
// action changes something the user can see (log, tabs, values, a dialog, the window); disabled ones say why.
TEST_F(CommandsTest, EachButtonOnEachScanTypeAndEveryEnabledControlActs)
{
    for (Kind kind : {Image, Line, Point}) {
        Make().show();
        ASSERT_TRUE(window->OpenFile(Write(kind, "run.pt3"), true)) << kind;
        for (const auto &button : buttonCases) {
            MarkTabs();
            for (const QString &name : Exported())
                QFile::remove(dir.filePath("run_export/" + name));
            Invoke(button.slot);
            const QString effect = NewTabs().join(',') + " / " + Exported().join(',');
            EXPECT_EQ(effect == " / " ? "" : effect, button.effect[kind]) << kind << " " << button.slot;
            // One tab per result.
            EXPECT_EQ(TabLabels().removeDuplicates(), 0) << button.slot;
        }
        EXPECT_FALSE(Log().join('\n').contains("error : ")) << Log().join('\n').toStdString();

        // Reset cursors returns to the span of the first reconstruction.
        double start = 0, end = 0;
        ASSERT_TRUE(window->scan->CursorSpan(start, end));
        std::vector<double> expected[2], got[2];
        window->SetCursorRanges(start, end);
        window->GetCursors(expected[0], expected[1], 1);
        window->SetCursorRanges(0, 100);
        Invoke("on_ResetCursorButton_clicked");
        window->GetCursors(got[0], got[1], 1);
        EXPECT_TRUE(got[0] == expected[0] && got[1] == expected[1]);

        auto *tabs = W<QTabWidget>("tabWidget");
        auto *gate = W<QDoubleSpinBox>("Ch1_Gating_Max");
        auto *cursor = W<QDoubleSpinBox>("Ch1_Cursor_Max");
        bool dialog = false;
        const auto state = [&] {
            return QStringList({Log().join('\n'), QString::number(gate->value()), QString::number(cursor->value()),
                                QString::number(window->isVisible()), NewTabs().join(','),
                                QString::number(tabs->count())});
        };
        QList<QObject *> controls;
        for (QPushButton *button : W<QToolBox>("toolBox")->findChildren<QPushButton *>())
            controls << button;
        for (QAction *action : window->findChildren<QAction *>())
            if (!action->menu() && !action->isSeparator() && !action->objectName().isEmpty())
                controls << action;
        int acted = 0;
        for (QObject *control : controls) {
            const std::string name = control->objectName().toStdString() + " on kind " + std::to_string(kind);
            if (!control->property("enabled").toBool()) {
                EXPECT_FALSE(control->property("toolTip").toString().isEmpty()) << name;
                continue;
            }
            // Values that a reset changes back.
            gate->setValue(gate->value() / 2);
            cursor->setValue(cursor->value() / 2);
            MarkTabs();
            const QStringList before = state();
            dialog = false;
            QTimer::singleShot(0, [&] {
                if (QWidget *box = QApplication::activeModalWidget()) {
                    dialog = true;
                    box->close();
                }
            });
            QMetaObject::invokeMethod(control, qobject_cast<QAction *>(control) ? "trigger" : "click");
            QCoreApplication::processEvents();
            EXPECT_TRUE(dialog || state() != before) << name;
            window->show();
            ++acted;
        }
        // Open, Exit, About, Clear, Write Records, the gate and cursor buttons at least.
        EXPECT_GE(acted, 9) << kind;
        QDir(dir.filePath("run_export")).removeRecursively();
    }
}

// The lifetime boxes round to whole delay steps (the binning itself: test_scans_point, test_scans_export).
TEST_F(CommandsTest, LifetimeBinsAreWholeDelaySteps)
{
    const struct {
        Kind kind;
        float resolution;  // ns
        const char *box, *slot;
        double requested, shown;  // typed into the box, shown after the button, ns
        bool binned;              // the lifetime button; an export leaves the histograms as they were
    } cases[] = {
        {Point, 0.016f, "taubinsize", "on_tauButton_clicked", 0.2, 0.192, true},  // 12.5 steps typed, 12 in the float
        {Point, 0.016f, "taubinsize", "on_tauButton_clicked", 0.048, 0.048, true},
        {Point, 0.004f, "taubinsize", "on_tauButton_clicked", 0.0055, 0.004, true},  // one step at least
        {Image, 0.016f, "IStaubinsize", "on_ISHistogram_clicked", 0.2, 0.192, true},
        {Image, 0.016f, "IStaubinsize", "on_ISExportHistogram_clicked", 0.2, 0.192, false},
        {Line, 0.016f, "LStaubinsize", "on_LSHistogram_clicked", 0.2, 0.192, true},
        {Line, 0.016f, "LStaubinsize", "on_LSsaveHistogramPointScan_clicked", 0.2, 0.192, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.slot << " " << c.requested);
        Make();
        ASSERT_TRUE(window->OpenFile(Write(c.kind, "run.pt3", 1, {1}, c.resolution), true));
        W<QDoubleSpinBox>(c.box)->setValue(c.requested);
        for (int press = 0; press < 2; ++press)
            Invoke(c.slot);
        EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>(c.box)->value(), c.shown);
        // The width changed: one line says so, however often the button is pressed.
        EXPECT_EQ(Log().filter("Lifetime bin ").size(), c.shown != c.requested) << Log().join('\n').toStdString();
        EXPECT_DOUBLE_EQ(window->scan->lifetimeBinWidth, c.binned ? c.shown : 0.016);
        QDir(dir.filePath("run_export")).removeRecursively();
    }
    EXPECT_EQ(Log().filter("Lifetime bin 0.2 ns used as 0.192 ns (12 x 0.016 ns, the delay resolution)").size(), 1);
}

// Commands given from inside a long step's own event processing are refused, the step finishes, and a tab
// or window close asked for meanwhile happens after it, the settings still written.
TEST_F(CommandsTest, CommandsDuringALongStepAreRefusedAndCloseWaits)
{
    const struct {
        Kind kind;
        const char *slot;    ///< null: a drop of three files
        const char *result;  ///< what the step leaves: a file in run_export or the last tab
    } steps[] = {
        {Image, "on_SaveFrames_clicked", "run_ch1.tif"},
        {Image, "on_ISExportHistogram_clicked", "run_Histogram_ch1.tif"},
        {Image, "on_WriteRecords_clicked", "run.dat"},
        {Image, "on_ApplyGatingButton_clicked", "run_ch1.tif"},
        {Line, "on_LSsaveHistogramPointScan_clicked", "run_histogram_ch1.tif"},
        {Line, "on_ApplyCursorButton_clicked", "Life times"},
        {Point, "on_xcfButton_clicked", "Correlation"},
        {Point, "on_saveTracePointScan_clicked", "run_trace_ch1.bin"},
        {Point, "on_binData_clicked", "Data"},
        {Image, nullptr, "run_ch1.tif"},  // the close ends the batch after its first file
    };
    const QString other = Write(Image, "other.pt3");
    for (const auto &step : steps) {
        const std::string name = step.slot ? step.slot : "drop";
        Make().show();
        auto *tabs = W<QTabWidget>("tabWidget");
        const QString path = Write(step.kind, "run.pt3", 2);
        ASSERT_TRUE(!step.slot || window->OpenFile(path, true)) << name;
        QDir(dir.filePath("run_export")).removeRecursively();
        QDir().mkpath(dir.filePath("run_export"));
        QFile::remove(dir.filePath("lastsettings.dat"));

        int ticks = 0;
        QTimer ticker;
        QPointer<QWidget> extra;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (++ticks > 1)
                return;
            EXPECT_FALSE(window->OpenFile(other, true));
            for (const char *slot : {"on_SaveFrames_clicked", "on_xcfButton_clicked", "on_ApplyGatingButton_clicked",
                                     "on_ISExportHistogram_clicked", "on_WriteRecords_clicked", "on_binData_clicked"})
                Invoke(slot);
            DropUrls({QUrl::fromLocalFile(other)});
            // Closing a tab meanwhile hides it at once and frees it afterwards.
            extra = new QWidget;
            QMetaObject::invokeMethod(window.get(), "CloseTab",
                                      Q_ARG(int, window->AddTab(extra, "Extra")));
            EXPECT_FALSE(extra.isNull());
            window->close();
        });
        ticker.start(0);
        if (step.slot)
            Invoke(step.slot);
        else
            DropUrls({QUrl::fromLocalFile(path), QUrl::fromLocalFile(other), QUrl::fromLocalFile(other)});
        ticker.stop();
        ASSERT_GT(ticks, 0) << name << ": the step let no events run";
        EXPECT_TRUE(extra.isNull()) << name;

        EXPECT_TRUE(window->isVisible() && Log().filter("Trying to open file " + other).isEmpty()) << name;
        EXPECT_GE(Log().filter("warning : Busy: wait until the running step has finished").size(), 3) << name;
        EXPECT_EQ(Log().filter("warning : The window closes when the running step has finished").size(), 1) << name;
        EXPECT_TRUE(Exported().contains(step.result) || tabs->tabText(tabs->currentIndex()) == step.result) << name;

        QCoreApplication::processEvents();
        EXPECT_FALSE(window->isVisible()) << name;
        window.reset();
        EXPECT_TRUE(QFile::exists(dir.filePath("lastsettings.dat"))) << name;
    }
}

TEST_F(ResultsTest, TextTabsComeBackNoTabOfTheFileBeforeSurvivesAndViewersLeaveExportsAlone)
{
    // Opening a scan builds its tabs and shows the lifetimes; closing a result tab frees it.
    ASSERT_TRUE(window->OpenFile(path, true));
    EXPECT_EQ(TabLabels(), ScanTabs);
    EXPECT_EQ(tabs->currentWidget()->objectName(), "TauTab");
    EXPECT_EQ(tabs->currentWidget()->findChildren<LinePlot *>().size(), 2);
    QPointer<QWidget> data = tabs->widget(2);
    emit tabs->tabBar()->tabCloseRequested(2);
    EXPECT_TRUE(data.isNull());

    // With Header and Summary closed and a tab of another name added, opening a file of three frames
    // brings both text tabs back in their places and leaves no page of the file before.
    QList<QPointer<QWidget>> before;
    for (int i = 2; i < tabs->count(); ++i)
        before << tabs->widget(i);
    window->AddTab(new QWidget, "A");
    for (int close = 0; close < 2; ++close)
        QMetaObject::invokeMethod(window.get(), "CloseTab", Q_ARG(int, 0));
    EXPECT_EQ(tabs->tabText(0), "Mean");  // Data was closed above
    synth::ImageScanPlan longer;
    longer.frames = 3;
    ASSERT_TRUE(synth::WritePt3(dir.filePath("run2.pt3"), synth::Pt3Header(), synth::MakeImageScan(longer).words));
    ASSERT_TRUE(window->OpenFile(dir.filePath("run2.pt3"), true));
    EXPECT_EQ(TabLabels(), ScanTabs);
    for (const QPointer<QWidget> &page : before)
        EXPECT_TRUE(page.isNull());
    EXPECT_EQ(tabs->widget(2)->findChild<pt3ImageViewer *>()->Frames(), 3u);
    EXPECT_FALSE(W<QTextBrowser>("textBrowser_2")->toPlainText().isEmpty());

    // Converting again leaves only the text tabs until the analysis builds its own.
    QPointer<QWidget> old = tabs->widget(2);
    window->ConvertFile();
    EXPECT_TRUE(old.isNull());
    EXPECT_EQ(TabLabels(), QStringList({"Header", "Summary"}));
    window->scan->CreateTabs();
    EXPECT_EQ(TabLabels(), ScanTabs);

    // The contrast of a viewer changes its picture only; viewers take no drops, so those reach the window.
    ASSERT_TRUE(window->OpenFile(path, true));
    Invoke("on_SaveFrames_clicked");
    const QByteArray exported = ReadFile("scan_export/scan_ch1.tif");
    ASSERT_FALSE(exported.isEmpty());
    // What the contrast does to the picture: ImageViewer.ColourBarPixelReadOutAndContrast.
    auto *viewer = tabs->findChild<QWidget *>("DataTab")->findChild<pt3ImageViewer *>();
    viewer->findChild<QComboBox *>("Contrast")->setCurrentIndex(pt3ImageViewer::Manual);
    viewer->findChild<QDoubleSpinBox *>("ContrastMax")->setValue(viewer->Maximum() * 2);
    QFile::remove(dir.filePath("scan_export/scan_ch1.tif"));
    Invoke("on_SaveFrames_clicked");
    EXPECT_EQ(ReadFile("scan_export/scan_ch1.tif"), exported);

    for (int i = 2; i < tabs->count(); ++i)
        for (QWidget *w : tabs->widget(i)->findChildren<QWidget *>())
            EXPECT_FALSE(w->acceptDrops()) << w->metaObject()->className();
    EXPECT_TRUE(window->acceptDrops());
}

namespace {
/// True when the text of \p edit fits in it whole.
bool Whole(QLineEdit *edit) { return edit->width() >= edit->fontMetrics().horizontalAdvance(edit->text()) + 2; }

/// True when no two neighbouring major tick labels of \p axis overlap.
bool TickLabelsApart(LinePlot *plot, int axis)
{
    const QwtScaleDraw *draw = plot->axisScaleDraw(axis);
    const QFont font = plot->axisWidget(axis)->font();
    const QList<double> ticks = plot->axisScaleDiv(axis).ticks(QwtScaleDiv::MajorTick);
    for (int i = 1; i < ticks.size(); ++i) {
        const double gap = std::abs(draw->scaleMap().transform(ticks[i]) - draw->scaleMap().transform(ticks[i - 1]));
        if (gap < (draw->labelSize(font, ticks[i]).width() + draw->labelSize(font, ticks[i - 1]).width()) / 2 + 2)
            return false;
    }
    return ticks.size() >= 2;
}
} // namespace

// At the start-up size and at 1024 x 640 every text and value of the settings is whole without a horizontal
// scroll bar, the tabs take the rest, the window keeps its size, the log grows with it, lag labels stay apart.
TEST_F(ResultsTest, StartUpSizeAnd1024x640ShowEverySettingWhole)
{
    for (const QSize size : {QSize(855, 685), QSize(1024, 640)}) {
        const std::string name = std::to_string(size.width());
        Make().SetVersion("0.51");
        tabs = W<QTabWidget>("tabWidget");
        if (size.width() != 855)
            window->resize(size);
        window->show();
        ASSERT_TRUE(window->OpenFile(path, true));
        QCoreApplication::processEvents();
        ASSERT_EQ(window->size(), size) << name;
        auto *toolBox = W<QToolBox>("toolBox");
        for (int page = 0; page < toolBox->count(); ++page) {
            toolBox->setCurrentIndex(page);
            QCoreApplication::processEvents();
            QWidget *content = toolBox->widget(page);
            auto *area = qobject_cast<QScrollArea *>(content->parentWidget()->parentWidget());
            ASSERT_NE(area, nullptr);
            EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << toolBox->itemText(page).toStdString();
            for (QWidget *w : content->findChildren<QWidget *>()) {
                auto *button = qobject_cast<QPushButton *>(w);
                const int need = button ? button->fontMetrics().horizontalAdvance(button->text())
                                 : qobject_cast<QLabel *>(w) || qobject_cast<QComboBox *>(w) || qobject_cast<QCheckBox *>(w)
                                     ? w->sizeHint().width()
                                     : 0;
                EXPECT_GE(w->width(), need) << w->objectName().toStdString() << " " << name;
                if (auto *box = qobject_cast<QAbstractSpinBox *>(w)) {
                    EXPECT_TRUE(Whole(box->findChild<QLineEdit *>())) << w->objectName().toStdString() << " " << name;
                }
            }
        }
        // The tabs reach from the settings column to the window's right margin.
        auto *settings = W<QWidget>("widget");
        const QRect tabArea(tabs->mapTo(window.get(), QPoint(0, 0)), tabs->size());
        EXPECT_LE(tabArea.left() - (settings->mapTo(window.get(), QPoint(0, 0)).x() + settings->width()), 12);
        EXPECT_GE(tabArea.right(), window->width() - 12);
        EXPECT_GE(tabArea.height(), settings->height() - 30);
        EXPECT_GT(tabs->currentWidget()->findChild<LinePlot *>()->height(), tabArea.height() / 2);

        // Four correlation plots over twelve decades of lag, and the window keeps its size.
        ASSERT_TRUE(window->OpenFile(Write(Point, "point.pt3", 1, {1, 2}), true));
        W<QDoubleSpinBox>("tmaxXCF")->setValue(1677.72);
        Invoke("on_tmaxXCF_editingFinished");
        Invoke("on_xcfButton_clicked");
        QCoreApplication::processEvents();
        EXPECT_EQ(window->size(), size) << name;
        // The longer maximum lag still shows whole on the point page, which scrolls.
        toolBox->setCurrentIndex(3);
        QCoreApplication::processEvents();
        EXPECT_TRUE(Whole(W<QDoubleSpinBox>("tmaxXCF")->findChild<QLineEdit *>())) << name;
        for (LinePlot *plot : tabs->findChild<QWidget *>("CorrTab")->findChildren<LinePlot *>())
            EXPECT_TRUE(TickLabelsApart(plot, QwtPlot::xBottom)) << name;
        for (LinePlot *plot : tabs->findChild<QWidget *>("TauTab")->findChildren<LinePlot *>())
            EXPECT_TRUE(TickLabelsApart(plot, QwtPlot::yLeft)) << name;

        // The log takes part of a taller window.
        auto *log = W<QTextBrowser>("textBrowser");
        const int logHeight = log->height();
        window->resize(size + QSize(0, 200));
        QCoreApplication::processEvents();
        EXPECT_GE(log->height(), logHeight + 20) << name;
    }
}

// ACF/XCF twice, Trace, Apply gating narrower, Apply cursors: one tab per name, each with the latest result.
TEST_F(CommandsTest, CommandSequenceLeavesOneTabPerNameWithTheLatestData)
{
    Make();
    ASSERT_TRUE(window->OpenFile(Write(Point, "run.pt3", 2), true));
    auto *tabs = W<QTabWidget>("tabWidget");
    const auto page = [&](const char *name) { return tabs->findChild<QWidget *>(name); };
    const auto photons = [&](const char *name) {
        double sum = 0;
        for (LinePlot *plot : page(name)->findChildren<LinePlot *>())
            for (size_t i = 0; i < plot->Curves()[0]->dataSize(); ++i)
                sum += plot->Curves()[0]->sample(i).y();
        return sum;
    };
    Invoke("on_xcfButton_clicked");
    QPointer<QWidget> firstCorrelation = page("CorrTab");
    const int dataPlace = tabs->indexOf(page("DataTab"));
    Invoke("on_xcfButton_clicked");
    Invoke("on_binData_clicked");
    EXPECT_TRUE(firstCorrelation.isNull());
    EXPECT_EQ(tabs->indexOf(page("DataTab")), dataPlace);  // a new page takes the old one's place
    EXPECT_NEAR(photons("TauTab"), 16000, 1e-6);  // empty bins hold 1e-12
    // Delays are 100 to 149 bins of 4 ps, each as often; the float resolution lies a little above 4 ps,
    // so bin 125 lies just past 0.5 ns and a gate up to 0.5 ns keeps 100 to 124, half of the photons.
    W<QDoubleSpinBox>("Ch1_Gating_Max")->setValue(0.5);
    QPointer<QWidget> correlation = page("CorrTab");
    Invoke("on_ApplyGatingButton_clicked");
    EXPECT_TRUE(correlation.isNull());
    EXPECT_NEAR(photons("TauTab"), 8000, 1e-6);
    // The trace leaves out its guard bin: the last 16 photons at most.
    EXPECT_NEAR(photons("DataTab"), 8000, 16);

    // Photons from 1000 to about 1000 + 37 x 16000 syncs of 25 ns: 0.0148 s; the cursors cut at 7 ms.
    const auto traceEnd = [&] {
        LinePlot *plot = page("DataTab")->findChild<LinePlot *>();
        return plot->Curves()[0]->sample(plot->Curves()[0]->dataSize() - 1).x();
    };
    EXPECT_NEAR(traceEnd(), 0.0148, 0.0002);
    W<QDoubleSpinBox>("Ch1_Cursor_Max")->setValue(0.007);
    Invoke("on_ApplyCursorButton_clicked");
    EXPECT_NEAR(traceEnd(), 0.00695, 0.00005);
}
