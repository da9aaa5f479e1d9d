// The export commands and point-page buttons of the window and their fotonel-convert
// options write the same files, byte for byte.
#include "support/ConvertRun.h"
#include "support/WindowFixture.h"
#include "files/pqFile.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"
#include "ui_Fotonel.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSpinBox>

#include <random>

namespace {

enum Kind { Image, Line, Point };

/// The same measurement in win/run.pt3 for the window and cli/run.pt3 for the converter.
void WriteTwice(const QTemporaryDir &dir, Kind kind)
{
    synth::ImageScanPlan layout;
    layout.width = 16, layout.height = 8, layout.frames = 3;
    layout.photonCount = [](int f, int y, int x, uint32_t) { return (x * 7 + y * 3 + f) % 5; };
    layout.dtimeOf = [](int, int, int x, uint32_t, int k) { return static_cast<uint32_t>(40 * x + 300 * k) % 6000; };
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, 16, 8};
    // Point: two channels, a photon every µs on average, on a 25 ns sync for 20 ms.
    std::mt19937_64 random(4);
    std::exponential_distribution<double> gap(1.0 / 40);
    std::uniform_int_distribution<uint32_t> channel(1, 2), dtime(0, 2000);
    std::vector<synth::PointPhoton> photons;
    for (double sync = 0; kind == Point && sync < 800000; sync += gap(random))
        photons.push_back({static_cast<uint64_t>(sync), channel(random), dtime(random)});
    const std::vector<uint32_t> words = kind == Point ? synth::MakePointMeasurement(photons).words
                                        : kind == Line ? synth::MakeLineScan(layout, 2).words
                                                       : synth::MakeImageScan(layout).words;
    for (const char *side : {"win", "cli"}) {
        ASSERT_TRUE(QDir(dir.path()).mkpath(side));
        ASSERT_TRUE(synth::WritePt3(dir.filePath(QStringLiteral("%1/run.pt3").arg(side)),
                                    kind == Point ? synth::Pt3Header() : header, words));
    }
}

class ExportCommands : public WindowFixture {};

} // namespace

TEST_F(ExportCommands, WindowAndConverterWriteTheSameFiles)
{
    Make();
    Invoke("on_xcfButton_clicked");  // no file: nothing happens
    const auto exportAs = [](int type, int depth) {
        return [=](Fotonel &w) {
            w.ui->exporttype->setCurrentIndex(type);
            w.ui->bitdepth->setCurrentIndex(depth);
            w.ui->actionExport_Images->trigger();
        };
    };
    const auto decayAndRecords = [this](Fotonel &w) {
        const bool line = w.file->ScanType == 2;
        (line ? w.ui->LStaubinsize : w.ui->IStaubinsize)->setValue(0.5);
        Invoke(line ? "on_LSsaveHistogramPointScan_clicked" : "on_ISExportHistogram_clicked");
        w.ui->CB_T3Record->setChecked(false);
        w.ui->CB_DeltaTime->setChecked(false);
        w.ui->actionWrite_Records->trigger();
    };
    const auto pointButtons = [this](Fotonel &) {
        W<QSpinBox>("nrbins")->setValue(4);
        W<QSpinBox>("ncasc")->setValue(6);
        W<QDoubleSpinBox>("dtau")->setValue(0.025);
        W<QDoubleSpinBox>("binsize")->setValue(100);
        for (const char *button : {"on_xcfButton_clicked", "on_saveXCFPointScan_clicked",
                                   "on_saveTracePointScan_clicked", "on_saveHistogramPointScan_clicked"})
            Invoke(button);
        EXPECT_EQ(Log().filter("Correlation function G21 calculated in").size(), 1);
    };
    const QStringList decay = {"--tau-bin", "0.5", "--decay", "--records",
                               "number,nsync,channel,dtime,marker,truensync,delaytime,truetime"};
    // Point: four curves, two binary traces, one text trace, one histogram; 0.03 µs becomes one sync
    // period, the 0.025 µs given to the window.
    const struct {
        Kind kind;
        QStringList options;
        std::function<void(Fotonel &)> window;  // the user's clicks
        int files;                              // header included
    } cases[] = {
        {Image, {"--export", "stack"}, exportAs(0, 1), 2},
        {Image, {"--export", "images", "--bits", "8"}, exportAs(1, 0), 4},
        {Line, {"--export", "raw", "--bits", "16"}, exportAs(2, 1), 3},
        {Image, decay, decayAndRecords, 3},
        {Line, decay, decayAndRecords, 3},
        {Point, {"--correlate", "--dtau", "0.03", "--steps", "4", "--cascades", "6", "--trace", "--trace-bin", "100",
                 "--histogram"}, pointButtons, 9},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        WriteTwice(dir, c.kind);
        Fotonel &window = Make();
        window.SetVersion(FotonelVersion);  // as the program's start does
        ASSERT_TRUE(window.OpenFile(dir.filePath("win/run.pt3"), false));
        c.window(window);
        const ConvertRun run = Convert(c.options + QStringList(dir.filePath("cli/run.pt3")));
        EXPECT_EQ(run.code, 0);
        // Both export folders hold the same files with the same bytes (a macro names its own folder).
        const QDir win(dir.filePath("win/run_export")), cli(dir.filePath("cli/run_export"));
        const QStringList names = win.entryList(QDir::Files, QDir::Name);
        EXPECT_EQ(names, cli.entryList(QDir::Files, QDir::Name)) << run.out.toStdString();
        EXPECT_EQ(names.size(), c.files) << names.join(' ').toStdString();
        for (const QString &name : names) {
            const QByteArray bytes = ReadFile("win/run_export/" + name).replace(QFile::encodeName(dir.filePath("win/")),
                                                                                QFile::encodeName(dir.filePath("cli/")));
            EXPECT_TRUE(!bytes.isEmpty() && bytes == ReadFile("cli/run_export/" + name)) << name.toStdString();
        }
        window.file.reset();
        for (const char *side : {"win", "cli"})
            QDir(dir.filePath(side)).removeRecursively();
    }
}
