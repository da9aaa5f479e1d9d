// The buttons of the settings tool box on each kind of scan, file drops as a
// batch conversion, and commands given while a long step lets events run.
#include "app/Fotonel.h"
#include "files/pqFile.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include "support/WindowFixture.h"

#include <QDir>
#include <QPointer>
#include <QTabWidget>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

enum Kind { Image, Line, Point };

class CommandsTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Make().SetVersion("0.51");
    }
    void TearDown() override
    {
        ticker.reset();
        WindowFixture::TearDown();
    }
    /// A measurement of the kind in the working directory; \p size scales it
    /// (32 x 32 pixels with 5 photons each, or 20000 point photons, at 2).
    QString Write(Kind kind, const QString &name, int size = 1)
    {
        synth::ImageScanSpec spec;
        synth::GeneratedScan scan;
        if (kind == Point) {
            std::vector<synth::PointPhoton> photons;
            for (uint32_t i = 0; i < 2000u * size * size * size; ++i)
                photons.push_back({1000 + 37ull * i + (i * i) % 29, 1, 100 + i % 50});
            scan = synth::MakePointMeasurement(photons);
        } else {
            spec.width = spec.height = 8 * size * size;
            spec.photonsPerPixel = size == 1 ? 1 : 5;
            scan = kind == Image ? synth::MakeImageScan(spec) : synth::MakeLineScan(spec, 2);
        }
        EXPECT_TRUE(synth::WritePt3(dir.filePath(name), synth::Pt3Header(), scan.words));
        return dir.filePath(name);
    }
    QStringList Exported(const QString &base) { return QDir(dir.filePath(base + "_export")).entryList(QDir::Files); }
    QStringList TabLabels()
    {
        QStringList labels;
        for (int i = 0; i < W<QTabWidget>("tabWidget")->count(); ++i)
            labels << W<QTabWidget>("tabWidget")->tabText(i);
        return labels;
    }
    /// Runs \p tick at every pass of the event loop until stopped.
    void EveryEventPass(std::function<void()> tick)
    {
        ticker = std::make_unique<QTimer>();
        ticker->setInterval(0);
        QObject::connect(ticker.get(), &QTimer::timeout, std::move(tick));
        ticker->start();
    }

    std::unique_ptr<QTimer> ticker;
};

/// What each button adds on each kind of scan: "tab labels / exported
/// files", both comma-separated; "" when the button does nothing.
struct ButtonCase {
    const char *slot;
    const char *effect[3];
};

const ButtonCase buttonCases[] = {
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
    {"on_LSsaveTracePointScan_clicked", {"", "", ""}},
    {"on_LSbinData_clicked", {"", "", ""}},
    {"on_LSApplyLineWiidth_clicked", {"", "", ""}},
    {"on_ApplyCursorButton_clicked", {"", "Data,Mean,Variance,Time course,Life times / ", ""}},
    // Applying the gates rebuilds the tabs and exports with the current settings.
    {"on_ApplyGatingButton_clicked",
     {"Data,Mean,Variance,Time course,Life times / run_ch1.tif", "Data,Mean,Variance,Time course,Life times / run_ch1.tif",
      "Data,Life times / "}},
};

} // namespace

TEST_F(CommandsTest, EachButtonOnEachScanType)
{
    const char *const kinds[] = {"image", "line", "point"};
    for (Kind kind : {Image, Line, Point}) {
        ASSERT_TRUE(window->OpenFile(Write(kind, "run.pt3"), true)) << kinds[kind];
        for (const ButtonCase &button : buttonCases) {
            const QStringList tabsBefore = TabLabels();
            const QStringList filesBefore = Exported("run");
            Invoke(button.slot);
            QStringList files = Exported("run");
            for (const QString &name : filesBefore)
                files.removeOne(name);
            const QString effect = TabLabels().mid(tabsBefore.size()).join(',') + " / " + files.join(',');
            EXPECT_EQ(effect == " / " ? QString() : effect, QString(button.effect[kind]))
                << kinds[kind] << " " << button.slot;
        }
        EXPECT_FALSE(Log().join('\n').contains("error : ")) << Log().join('\n').toStdString();
        QDir(dir.filePath("run_export")).removeRecursively();
    }
}

TEST_F(CommandsTest, DropsConvertAndExport)
{
    EXPECT_TRUE(DropUrls({QUrl::fromLocalFile(Write(Image, "one.pt3"))}));
    EXPECT_EQ(Exported("one"), QStringList({"one.hdr", "one_ch1.tif"}));
    EXPECT_EQ(TabLabels().size(), 7);

    QList<QUrl> urls;
    for (const char *name : {"a", "b", "c"})
        urls << QUrl::fromLocalFile(Write(Image, QString(name) + ".pt3"));
    EXPECT_TRUE(DropUrls(urls));
    for (const char *name : {"a", "b", "c"})
        EXPECT_EQ(Exported(name), QStringList({QString("%1.hdr").arg(name), QString("%1_ch1.tif").arg(name)}));
    EXPECT_EQ(TabLabels(), QStringList({"Header", "Summary"}));
    EXPECT_EQ(window->fileName, dir.filePath("c.pt3"));
}

// Each long step, with every command that could disturb it given from inside
// its own event processing: the commands are refused, the step finishes, and
// a close asked for meanwhile happens after it, the settings still written.
TEST_F(CommandsTest, CommandsDuringALongStepAreRefusedAndCloseWaits)
{
    struct Step {
        Kind kind;
        const char *slot;  ///< null: a drop of three files
        const char *result;  ///< file exported by the step, or tab it shows
    };
    const Step steps[] = {
        {Image, "on_SaveFrames_clicked", "run_ch1.tif"},
        {Image, "on_ISExportHistogram_clicked", "run_Histogram_ch1.tif"},
        {Image, "on_WriteRecords_clicked", "run.dat"},
        {Image, "on_ApplyGatingButton_clicked", "run_ch1.tif"},
        {Line, "on_LSsaveHistogramPointScan_clicked", "run_histogram_ch1.tif"},
        {Line, "on_ApplyCursorButton_clicked", "Life times"},
        {Point, "on_xcfButton_clicked", "Correlation"},
        {Point, "on_saveTracePointScan_clicked", "run_trace_ch1.bin"},
        {Point, "on_binData_clicked", "Data"},
        {Image, nullptr, "a_ch1.tif"},
    };
    const QString other = Write(Image, "other.pt3");
    for (const Step &step : steps) {
        const std::string name = step.slot ? step.slot : "drop";
        Make().SetVersion("0.51");
        window->show();
        const QString path = Write(step.kind, "run.pt3", 2);
        QList<QUrl> urls;
        if (step.slot) {
            ASSERT_TRUE(window->OpenFile(path, true)) << name;
        } else {
            for (const char *batch : {"a", "b", "c"})
                urls << QUrl::fromLocalFile(Write(step.kind, QString(batch) + ".pt3", 2));
        }
        QDir(dir.filePath("run_export")).removeRecursively();
        QDir().mkpath(dir.filePath("run_export"));
        QFile::remove(dir.filePath("lastsettings.dat"));

        int ticks = 0;
        EveryEventPass([&] {
            if (++ticks != 1)
                return;
            EXPECT_FALSE(window->OpenFile(other, true));
            for (const char *slot : {"on_SaveFrames_clicked", "on_xcfButton_clicked", "on_ApplyGatingButton_clicked",
                                     "on_ISExportHistogram_clicked", "on_WriteRecords_clicked", "on_ISHistogram_clicked",
                                     "on_binData_clicked", "on_saveXCFPointScan_clicked"})
                Invoke(slot);
            DropUrls({QUrl::fromLocalFile(other)});
            window->close();
            EXPECT_TRUE(window->isVisible());
        });
        if (step.slot)
            Invoke(step.slot);
        else
            DropUrls(urls);
        ticker.reset();
        ASSERT_GT(ticks, 0) << name << ": the step let no events run";

        EXPECT_TRUE(window->isVisible()) << name;
        EXPECT_EQ(Log().filter("Trying to open file " + other).size(), 0) << name;
        EXPECT_GE(Log().filter("warning : Busy: wait until the running step has finished").size(), 3) << name;
        EXPECT_EQ(Log().filter("warning : The window closes when the running step has finished").size(), 1) << name;
        const QString result = step.result;
        if (result.contains('.')) {
            const QString base = result.section('_', 0, 0).section('.', 0, 0);
            EXPECT_TRUE(QFile::exists(dir.filePath(base + "_export/" + result))) << name;
        } else {
            EXPECT_EQ(TabLabels().last(), result) << name;
        }
        if (!step.slot) {  // the close ends the batch after the file in hand
            EXPECT_EQ(Log().filter("Trying to open file").size(), 1);
        }

        QCoreApplication::processEvents();
        EXPECT_FALSE(window->isVisible()) << name;
        window.reset();
        EXPECT_TRUE(QFile::exists(dir.filePath("lastsettings.dat"))) << name;
    }
}
