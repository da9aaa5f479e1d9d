// The window's export commands, point-page buttons and Fit group write fotonel-convert's files byte for byte.
#include "app/FitGroup.h"
#include "support/ConvertHelpers.h"
#include "support/ConvertRun.h"
#include "support/RealData.h"
#include "support/WindowFixture.h"
#include "scans/Conversion.h"
#include "scans/PointScan.h"
#include "ui_Fotonel.h"
#include "widgets/LinePlot.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDataStream>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableWidget>
#include <qwt_plot_item.h>

#include <cmath>
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

/// A point measurement in \p path: channel-1 photons (dtime 0) at \p syncs, then for each of \p dtimes one photon of
/// channel 1 and one of channel 2 of that delay, 1000 syncs apart.
QString WritePoint(const QString &path, const std::vector<uint64_t> &syncs, int32_t syncRate = 40000000,
                   const std::vector<uint32_t> &dtimes = {}, float resolution = 0.004f)
{
    std::vector<synth::PointPhoton> photons;
    for (uint64_t s : syncs)
        photons.push_back({s, 1, 0});
    uint64_t sync = 0;
    for (uint32_t d : dtimes)
        for (uint32_t channel : {1u, 2u})
            photons.push_back({sync += 1000, channel, d});
    synth::Pt3Header header;
    header.countRate0 = syncRate;
    header.resolution = resolution;
    EXPECT_TRUE(synth::WritePt3(path, header, synth::MakePointMeasurement(photons).words));
    return path;
}

/// The little-endian double that starts a binary trace and its 16-bit little-endian counts of bins
/// \p first .. first + count - 1, read from those bytes alone.
struct BinaryTrace {
    double widthMs = 0;
    qint64 bins = -1;
    std::vector<uint16_t> counts;
    BinaryTrace(const QString &name, qint64 first, qint64 count)
    {
        QFile in(name);
        if (!in.open(QIODevice::ReadOnly))
            return;
        bins = (in.size() - 8) / 2;
        QDataStream stream(&in);
        stream.setByteOrder(QDataStream::LittleEndian);
        stream >> widthMs;
        in.seek(8 + 2 * first);
        counts.resize(static_cast<std::size_t>(std::min(count, bins - first)));
        for (uint16_t &n : counts)
            stream >> n;
    }
};

const QStringList kGrid = {"--dtau", "1", "--steps", "8", "--cascades", "10"};

using FitFiles = WindowFixture;
using ExportCommands = WindowFixture;

} // namespace

TEST_F(ExportCommands, WindowAndConverterWriteTheSameFiles)
{
    Make();
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
        EXPECT_EQ(run.code, 0) << run.out.toStdString();
        EXPECT_EQ(ExpectSameFiles(dir.filePath("win/run_export"), dir.filePath("cli/run_export")).size(), c.files);
        window.file.reset();
        for (const char *side : {"win", "cli"})
            QDir(dir.filePath(side)).removeRecursively();
    }
}

TEST(BinaryTrace, StreamedOverAnyLengthIntoTheHandCountedBins)
{
    QTemporaryDir dir;
    // 25 ns syncs and bins: a photon at sync s lies in bin s; 1.4e8 bins, more than the trace in memory may have.
    const QString path = dir.filePath("long.pt3");
    WritePoint(path, {0, 3, 3, 7, 1000, 1000, 1000, 39999, 40000, 65535, 65536, 100000000, 100000000, 139999999,
                      140000000});
    const ConvertRun run = Convert({"--trace", "--trace-bin", "0.025", path});
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    const QString name = dir.filePath("long_export/long_trace_ch1.bin");
    const BinaryTrace start(name, 0, 40001);
    EXPECT_EQ(start.widthMs, 2.5e-5);
    EXPECT_EQ(start.bins, 140000000);
    std::vector<uint16_t> expected(40001, 0);
    for (const auto &[bin, count] : {std::pair<std::size_t, uint16_t>{0, 1}, {3, 2}, {7, 1}, {1000, 3}, {39999, 1}, {40000, 1}})
        expected[bin] = count;
    EXPECT_EQ(start.counts, expected);
    // Bins 65535 and 65536 lie on either side of the edge of a written buffer.
    EXPECT_EQ(BinaryTrace(name, 65534, 6).counts, (std::vector<uint16_t>{0, 1, 1, 0, 0, 0}));
    EXPECT_EQ(BinaryTrace(name, 100000000, 1).counts, std::vector<uint16_t>{2});
    EXPECT_EQ(BinaryTrace(name, 139999999, 2).counts, std::vector<uint16_t>{1});  // the last: 140000000 is the guard

    // The trace held in memory still refuses so many bins.
    TestHost host;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
    std::unique_ptr<RSD> scan;
    ASSERT_TRUE(file && file->Open(path) && ConvertFile(host, path, file.get(), scan));
    EXPECT_FALSE(dynamic_cast<PointScan &>(*scan).BinExportTrace(25));
    EXPECT_TRUE(host.Logged("Too many trace bins 140000000 for bin width 25 ns", MessageError));
}

TEST_F(ExportCommands, TraceBinIsTheNearestWholeNumberOfSyncPeriods)
{
    // A 50.002 ns sync period: 0.1, 0.5 and 2 µs stay as the box shows them; 0.07 is 1.4 periods, 0.08 is 1.6.
    WritePoint(dir.filePath("run.pt3"), {0, 20000, 40000}, 19999131);
    Make();
    ASSERT_TRUE(window->OpenFile(dir.filePath("run.pt3"), false));
    auto *box = W<QDoubleSpinBox>("binsize");
    const std::pair<const char *, double> cases[] = {{"0.1", 0.1}, {"0.5", 0.5}, {"2", 2}, {"0.07", 0.05}, {"0.08", 0.1}};
    for (const auto &[typed, used] : cases) {
        SCOPED_TRACE(typed);
        box->setValue(QString(typed).toDouble());
        emit box->editingFinished();
        EXPECT_DOUBLE_EQ(box->value(), used);
        const ConvertRun run = Convert({"--trace", "--trace-bin", typed, dir.filePath("run.pt3")});
        EXPECT_EQ(run.out.contains(QString("--trace-bin %1 µs used as %2 µs").arg(typed).arg(used)), used != QString(typed).toDouble())
            << run.out.toStdString();
        EXPECT_EQ(BinaryTrace(dir.filePath("run_export/run_trace_ch1.bin"), 0, 0).widthMs, used / 1000);
    }
}

TEST_F(ExportCommands, RememberedGatesFollowTheNewFileOrSaySo)
{
    // 12.5, 50 and 200 ns sync periods; in the 200 ns file a gate of 5 to 20 ns keeps half the delays.
    // Delays in steps of 0.064 ns.
    const QString shortFile = WritePoint(dir.filePath("short.pt3"), {}, 80000000, {0, 50, 100, 150, 190}, 0.064f);
    const QString middle = WritePoint(dir.filePath("middle.pt3"), {}, 20000000, {0, 100, 200, 300, 500, 700}, 0.064f);
    const QString longFile = WritePoint(dir.filePath("long.pt3"), {}, 5000000, {0, 100, 200, 300, 1000, 3000}, 0.064f);
    const QString narrowWarning = "Channel 1 keeps its gate of 4.992 to 19.968 ns from before this file: 50.0 % of "
                                  "its photons, of delays 0 to 200 ns in this file";
    // Window: the whole range of the 12.5 ns file, then of the 200 ns file: every photon kept.
    Make();
    ASSERT_TRUE(window->OpenFile(shortFile, false));
    ASSERT_TRUE(window->OpenFile(longFile, false));
    EXPECT_EQ(dynamic_cast<PointScan &>(*window->scan).gatedCounts, (std::vector<uint32_t>{6, 6, 0, 0}));
    EXPECT_TRUE(Log().filter("keeps its gate").isEmpty()) << Log().join('\n').toStdString();
    // A gate set by hand outlives a restart and is kept with its warning; channel 2's whole gate follows.
    ASSERT_TRUE(window->OpenFile(middle, false));
    W<QDoubleSpinBox>("Ch1_Gating_Max")->setValue(20);
    W<QDoubleSpinBox>("Ch1_Gating_Min")->setValue(5);
    window.reset();
    Make();
    ASSERT_TRUE(window->OpenFile(longFile, false));
    const QStringList warned = Log().filter("keeps its gate");
    ASSERT_EQ(warned.size(), 1);
    EXPECT_TRUE(warned[0].endsWith(" : warning : " + narrowWarning)) << warned[0].toStdString();
    EXPECT_EQ(dynamic_cast<PointScan &>(*window->scan).gatedCounts, (std::vector<uint32_t>{3, 6, 0, 0}));
    EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>("Ch2_Gating_Max")->value(), 200);

    // Converter: the lifetime histogram of channel 1 holds the photons its gate kept.
    const auto keptOnChannelOne = [&] {
        double photons = 0;
        for (const QByteArray &line : ReadFile("long_export/long_histogram_ch1.dat").split('\n'))
            photons += std::floor(line.split(' ').value(1).toDouble());
        return photons;
    };
    const ConvertRun whole = Convert({"--histogram", shortFile, longFile});
    EXPECT_EQ(whole.code, 0);
    EXPECT_FALSE(whole.out.contains("warning")) << whole.out.toStdString();
    EXPECT_EQ(keptOnChannelOne(), 6);
    // A gate given for every file reaches the 200 ns file as set on the 50 ns one, with its warning.
    const ConvertRun narrow = Convert({"--histogram", "--gate", "1:5:20", middle, longFile});
    EXPECT_EQ(narrow.code, 0);
    EXPECT_EQ(narrow.out.count("warning : " + narrowWarning), narrow.out.count("warning : ")) << narrow.out.toStdString();
    EXPECT_EQ(narrow.out.count("warning : "), 1);
    EXPECT_EQ(keptOnChannelOne(), 3);
}

TEST_F(FitFiles, WindowAndConverterWriteTheSameFilesARefusedFitNone)
{
    ASSERT_TRUE(WriteDiffusion(dir.filePath("win/run.pt3")) && WriteDiffusion(dir.filePath("cli/run.pt3")));
    Fotonel &window = Make();
    window.SetVersion(FotonelVersion);
    ASSERT_TRUE(window.OpenFile(dir.filePath("win/run.pt3"), false));
    W<QSpinBox>("nrbins")->setValue(8);
    W<QSpinBox>("ncasc")->setValue(10);
    W<QDoubleSpinBox>("dtau")->setValue(1);
    W<QCheckBox>("fitFree_Ginf")->setChecked(false);  // held at 1
    W<QDoubleSpinBox>("fitW0")->setValue(0.25);
    W<QSpinBox>("fitSegments")->setValue(8);
    W<QLineEdit>("fitRangeFrom")->setText("0.002");
    W<QLineEdit>("fitRangeTo")->setText("10");
    W<QPushButton>("fitButton")->click();

    const ConvertRun run = Convert(kGrid + QStringList{"--fit", "3D", "--fix", "Ginf=1", "--w0", "0.25", "--segments", "8",
                                                       "--fit-range", "0.002:10", dir.filePath("cli/run.pt3")});
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    const QStringList names = ExpectSameFiles(dir.filePath("win/run_export"), dir.filePath("cli/run_export"));
    EXPECT_EQ(std::make_pair(names.filter("_fit_").size(), names.filter("_sd.dat").size()), std::make_pair(4, 4));
    // A refused fit: an error line, and no report of the earlier fit stands for it.
    const ConvertRun refused = Convert(kGrid + QStringList{"--fit", "3D+T", "--fix", "T=1.5", dir.filePath("cli/run.pt3")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.out.contains("error : Fit of G11 refused: 1.5 for T is outside its bounds")) << refused.out.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("cli/run_export/run_fit_ch1_ch1.txt")));

    // The report: labels right-aligned in 25 characters, units in the line.
    const QString fit = QString::fromUtf8(ReadFile("win/run_export/run_fit_ch1_ch2.txt"));
    EXPECT_TRUE(fit.startsWith("              Correlation : G12\n                    Model : 3D\n")) << fit.toStdString();
    EXPECT_TRUE(fit.contains("\n                     Ginf : 1 (fixed)\n"));
    EXPECT_TRUE(fit.contains(QRegularExpression("\n                     tauD : [0-9.e-]+ \\+- [0-9.e-]+ ms \\(segment scatter")));
    EXPECT_TRUE(fit.contains("(geometric mean of the ch1 and ch2 rates)"));
    EXPECT_TRUE(fit.contains(QRegularExpression("\n            Concentration : [0-9.e-]+ \\+- [0-9.e-]+ nM\n")));
    EXPECT_TRUE(run.out.contains(fit)) << "the converter prints the table";
    // Error file: one comment line, then lag, G and sigma, tab separated.
    const QStringList sd = QString::fromUtf8(ReadFile("win/run_export/run_G_ch1_ch1_sd.dat")).split('\n');
    EXPECT_EQ(sd[0], "# lag centre (ms)\tG\tsigma of G (8 segments)");
    EXPECT_TRUE(sd[1].contains(QRegularExpression("^0\\.0015\t[0-9.e-]+\t[0-9.]*[1-9][0-9.e-]*$"))) << sd[1].toStdString();
    EXPECT_EQ(sd.size(), 8 * 10 - 1 + 2);  // header, 79 bins, the final line feed

    // The correlation tab: error bars, the model over each curve, weighted residuals, a results row per pair.
    QWidget *tab = window.findChildren<QWidget *>("CorrTab").last();
    auto *table = tab->findChild<QTableWidget *>("fitTable");
    ASSERT_TRUE(table && table->rowCount() == 4);
    EXPECT_EQ(table->item(1, 0)->text(), "G12");
    EXPECT_EQ(tab->findChildren<LinePlot *>("residuals").size(), 4u);
    for (LinePlot *plot : tab->findChildren<LinePlot *>()) {
        if (plot->objectName() == "residuals")
            continue;
        EXPECT_EQ(plot->Curves().size(), 2u);  // G and the model
        EXPECT_EQ(plot->itemList(QwtPlotItem::Rtti_PlotIntervalCurve).size(), 1);
    }
}

using FitRealFiles = RealDataTest;

TEST_F(FitRealFiles, SameSampleSixTimesGivesOneDiffusionTime)
{
    std::vector<double> tau, error;
    for (int i = 1; i <= 6; ++i) {
        const QString name = QStringLiteral("FCSdata_SymphoTime32_A42F_Point_%1").arg(i);
        const ConvertRun run = Convert(kGrid + QStringList{"--cascades", "12", "--fit", "3D", Copy(name + ".pt3")});
        ASSERT_EQ(run.code, 0) << run.out.toStdString();
        const QRegularExpressionMatch m = QRegularExpression("tauD : (\\S+) \\+- (\\S+) ms \\(segment scatter \\+- (\\S+)\\)")
                                              .match(QString::fromUtf8(ReadAll(tmp.filePath(name + "_export/" + name + "_fit_ch1_ch1.txt"))));
        ASSERT_TRUE(m.hasMatch());
        tau.push_back(m.captured(1).toDouble());
        error.push_back(std::max(m.captured(2).toDouble(), m.captured(3).toDouble()));
    }
    for (std::size_t i = 0; i < tau.size(); ++i)
        for (std::size_t j = i + 1; j < tau.size(); ++j)
            EXPECT_LT(std::abs(tau[i] - tau[j]), 3 * std::hypot(error[i], error[j])) << i + 1 << " and " << j + 1;
}
