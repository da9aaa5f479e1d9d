// The window with results: the tabs an opened scan gets and their lifetime,
// the window's use of its start-up size, the buttons of the settings tool box
// on each kind of scan, and commands given while a long step lets events run.
#include "app/Fotonel.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"
#include "widgets/LinePlot.h"

#include "support/WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBox>
#include <gtest/gtest.h>

#include <cmath>

namespace {

enum Kind { Image, Line, Point };

class CommandsTest : public WindowFixture {
protected:
    /// A measurement of the kind; \p size 2 makes it long enough for every
    /// step to let events run (32 x 32 pixels of 5 photons, 16000 point photons).
    QString Write(Kind kind, const QString &name, int size = 1, std::vector<uint32_t> channels = {1},
                  float resolution = 0.004f)
    {
        synth::ImageScanPlan plan;
        plan.width = plan.height = 8 * size * size;
        plan.photonsPerPixel = size == 1 ? 1 : 5;
        plan.channels = channels;
        std::vector<synth::PointPhoton> photons;
        for (uint32_t i = 0; kind == Point && i < 2000u * size * size * size; ++i)
            photons.push_back({1000 + 37ull * i + (i * i) % 29, 1, 100 + i % 50});
        const synth::GeneratedScan scan = kind == Point ? synth::MakePointMeasurement(photons)
                                          : kind == Image ? synth::MakeImageScan(plan)
                                                          : synth::MakeLineScan(plan, 2);
        synth::Pt3Header header;
        header.resolution = resolution;
        EXPECT_TRUE(synth::WritePt3(dir.filePath(name), header, scan.words));
        return dir.filePath(name);
    }
    QStringList Exported() { return QDir(dir.filePath("run_export")).entryList(QDir::Files); }
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

/// What each button adds on an image, line and point scan: "tab labels /
/// exported files"; "" when it does nothing.
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
    {"on_ApplyCursorButton_clicked", {"", "Data,Mean,Variance,Time course,Life times / ", ""}},
    // Applying the gates rebuilds the tabs and exports with the current settings.
    {"on_ApplyGatingButton_clicked",
     {"Data,Mean,Variance,Time course,Life times / run_ch1.tif",
      "Data,Mean,Variance,Time course,Life times / run_ch1.tif", "Data,Life times / "}},
};

const QStringList ScanTabs = {"Header", "Summary", "Data", "Mean", "Variance", "Time course", "Life times"};

} // namespace

TEST_F(CommandsTest, EachButtonOnEachScanType)
{
    for (Kind kind : {Image, Line, Point}) {
        Make();
        ASSERT_TRUE(window->OpenFile(Write(kind, "run.pt3"), true)) << kind;
        for (const auto &button : buttonCases) {
            const QStringList tabsBefore = TabLabels(), filesBefore = Exported();
            Invoke(button.slot);
            QStringList files = Exported();
            for (const QString &name : filesBefore)
                files.removeOne(name);
            const QString effect = TabLabels().mid(tabsBefore.size()).join(',') + " / " + files.join(',');
            EXPECT_EQ(effect == " / " ? "" : effect, button.effect[kind]) << kind << " " << button.slot;
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
        QDir(dir.filePath("run_export")).removeRecursively();
    }
}

TEST_F(CommandsTest, LifetimeBinsAreWholeDelaySteps)
{
    // The point photons have dtime 100 to 149, 40 photons each; the sync period is 25 ns.
    const struct {
        float resolution;     // ns
        double requested;     // typed into the box, ns
        double shown;         // what the box shows after the button
        bool logged;          // the width changed: one line says so
        std::size_t first;    // the first bin with photons, and the photons of it and those after
        std::vector<long> photons;
    } cases[] = {
        {0.016f, 0.2, 0.192, true, 8, {320, 480, 480, 480, 240}},  // 12.5 steps as typed, 12 in the float resolution
        {0.016f, 0.048, 0.048, false, 33, {80, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120}},
        {0.004f, 0.05, 0.048, true, 8, {320, 480, 480, 480, 240}},
        {0.004f, 0.0055, 0.004, true, 100, std::vector<long>(50, 40)},  // one step at least
        {0.004f, 0.2, 0.2, false, 2, {2000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.requested);
        Make();
        ASSERT_TRUE(window->OpenFile(Write(Point, "run.pt3", 1, {1}, c.resolution), true));
        auto *box = W<QDoubleSpinBox>("taubinsize");
        box->setValue(c.requested);
        for (int press = 0; press < 2; ++press)
            Invoke("on_tauButton_clicked");
        EXPECT_DOUBLE_EQ(box->value(), c.shown);
        EXPECT_EQ(Log().filter("Lifetime bin ").size(), c.logged ? 1 : 0) << Log().join('\n').toStdString();
        const std::vector<double> &bins = window->scan->lifetimeHistograms[0];
        for (std::size_t b = 0; b < bins.size(); ++b) {
            const bool inside = b >= c.first && b - c.first < c.photons.size();
            EXPECT_EQ(std::lround(bins[b]), inside ? c.photons[b - c.first] : 0) << "bin " << b;
        }
    }

    // The image and line lifetimes, the lifetime-resolved stack and the
    // position-delay histogram round their boxes alike.
    const struct {
        Kind kind;
        const char *box, *slot;
        bool lifetimes;  // the lifetime button; an export leaves the histograms as they were
    } boxes[] = {{Image, "IStaubinsize", "on_ISHistogram_clicked", true},
                 {Image, "IStaubinsize", "on_ISExportHistogram_clicked", false},
                 {Line, "LStaubinsize", "on_LSHistogram_clicked", true},
                 {Line, "LStaubinsize", "on_LSsaveHistogramPointScan_clicked", false}};
    for (const auto &b : boxes) {
        SCOPED_TRACE(b.slot);
        Make();
        ASSERT_TRUE(window->OpenFile(Write(b.kind, "run.pt3", 1, {1}, 0.016f), true));
        W<QDoubleSpinBox>(b.box)->setValue(0.2);
        Invoke(b.slot);
        EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>(b.box)->value(), 0.192);
        EXPECT_EQ(Log().filter("Lifetime bin 0.2 ns used as 0.192 ns (12 x 0.016 ns, the delay resolution)").size(), 1);
        EXPECT_DOUBLE_EQ(window->scan->lifetimeBinWidth, b.lifetimes ? 0.192 : 0.016);
        QDir(dir.filePath("run_export")).removeRecursively();
    }
}

// Each long step, with the commands that could disturb it given from inside
// its own event processing: they are refused, the step finishes, and a tab
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
            QMetaObject::invokeMethod(window.get(), "on_tabCloseRequested_clicked",
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

        EXPECT_TRUE(window->isVisible()) << name;
        EXPECT_EQ(Log().filter("Trying to open file " + other).size(), 0) << name;
        EXPECT_GE(Log().filter("warning : Busy: wait until the running step has finished").size(), 3) << name;
        EXPECT_EQ(Log().filter("warning : The window closes when the running step has finished").size(), 1) << name;
        EXPECT_TRUE(Exported().contains(step.result) || TabLabels().last() == step.result) << name;

        QCoreApplication::processEvents();
        EXPECT_FALSE(window->isVisible()) << name;
        window.reset();
        EXPECT_TRUE(QFile::exists(dir.filePath("lastsettings.dat"))) << name;
    }
}

TEST_F(ResultsTest, OpeningAScanBuildsItsTabsAndReplacesThoseBefore)
{
    ASSERT_TRUE(window->OpenFile(path, true));
    EXPECT_EQ(TabLabels(), ScanTabs);
    // The lifetime tab is the one shown; closing a result tab frees it.
    EXPECT_EQ(tabs->currentWidget()->objectName(), "TauTab");
    EXPECT_EQ(tabs->currentWidget()->findChildren<LinePlot *>().size(), 2);
    QPointer<QWidget> data = tabs->widget(2);
    emit tabs->tabBar()->tabCloseRequested(2);
    EXPECT_TRUE(data.isNull());

    // Opening again, and converting again, each leave only the tabs of the new analysis.
    QPointer<QWidget> old = tabs->widget(3);
    ASSERT_TRUE(window->OpenFile(path, true));
    EXPECT_TRUE(old.isNull());
    EXPECT_EQ(TabLabels(), ScanTabs);
    old = tabs->widget(2);
    window->ConvertFile();
    EXPECT_TRUE(old.isNull());
    EXPECT_EQ(TabLabels(), QStringList({"Header", "Summary"}));
    window->scan->CreateTabs();
    EXPECT_EQ(TabLabels(), ScanTabs);
}

// At the start-up size every text of the settings tool box is whole, no
// page needs a horizontal scroll bar, and the result tabs take the rest.
TEST_F(ResultsTest, StartUpSizeShowsEverySettingWhole)
{
    window->show();
    ASSERT_TRUE(window->OpenFile(path, true));
    QCoreApplication::processEvents();
    ASSERT_EQ(window->size(), QSize(855, 685));
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
            EXPECT_GE(w->width(), need) << w->objectName().toStdString();
        }
    }
    // The tabs reach from the settings column to the window's right margin.
    auto *settings = W<QWidget>("widget");
    const QRect tabArea(tabs->mapTo(window.get(), QPoint(0, 0)), tabs->size());
    EXPECT_LE(tabArea.left() - (settings->mapTo(window.get(), QPoint(0, 0)).x() + settings->width()), 12);
    EXPECT_GE(tabArea.right(), window->width() - 12);
    EXPECT_GE(tabArea.height(), settings->height() - 30);
    EXPECT_GT(tabs->currentWidget()->findChild<LinePlot *>()->height(), tabArea.height() / 2);
}
