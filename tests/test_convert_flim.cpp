// Lifetime files of fotonel-convert and of the window, read back with libtiff (and ImageJ where installed); bad input
// leaves no file; the phasor cursor's pixels and their fit; the Lifetime group's values in lastsettings.dat.
#include "app/LifetimeGroup.h"
#include "files/PhotonFileFactory.h"
#include "scans/ImageScan.h"
#include "scans/Lifetimes.h"
#include "scans/PhasorSelection.h"
#include "support/ConvertRun.h"
#include "support/FlimFiles.h"
#include "support/TestHost.h"
#include "support/WindowFixture.h"
#include "widgets/LifetimeMap.h"
#include "widgets/LinePlot.h"
#include "widgets/PhasorPlot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <tuple>

using namespace flimfiles;

namespace {

class ConvertFlim : public ::testing::Test {
protected:
    QString Path(const QString &name) const { return dir.filePath(name); }
    QStringList LifetimeFiles(const QString &stem) const
    {
        return QDir(Path(stem + QStringLiteral("_export")))
            .entryList({QStringLiteral("*phasor*"), QStringLiteral("*tau_*"), QStringLiteral("*decayfit*")}, QDir::Files);
    }
    QTemporaryDir dir{QStringLiteral("/tmp/fotonel-flim.XXXXXX")};  // no blanks: the imagej wrapper evals names
};

TEST_F(ConvertFlim, CalibratedPhasorsAndFitsRecoverAGradientPixelByPixel)
{
    ASSERT_TRUE(WriteGradientImage(Path("grad.pt3")));
    ASSERT_TRUE(WriteDecayPoint(Path("dye.pt3"), 4.0, 300000));
    ASSERT_TRUE(WriteDecayPoint(Path("irf.pt3"), 0.0, 300000));
    const ConvertRun run = Convert({QStringLiteral("--phasor"), QStringLiteral("--reference"), Path("dye.pt3"),
                                    QStringLiteral("--reference-tau"), QStringLiteral("4"), QStringLiteral("--fit-decay"),
                                    QStringLiteral("--irf"), Path("irf.pt3"), QStringLiteral("--width"),
                                    QString::number(kWidth), Path("grad.pt3")});
    ASSERT_EQ(run.code, 0) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains(QStringLiteral("not calibrated")));
    const QString base = Path("grad_export/grad_");
    struct Map {
        const char *name;
        double tolerance;  // relative, for 1200 photons per pixel: about 5 standard errors
    };
    for (const Map &m : {Map{"tau_phase", 0.2}, Map{"tau_mod", 0.3}, Map{"tau_fit", 0.2}}) {
        SCOPED_TRACE(m.name);
        const FloatMap map = ReadFloatMap(base + QString::fromLatin1(m.name) + QStringLiteral("_ch1.tif"));
        ASSERT_TRUE(map.ok);
        EXPECT_EQ(map.width, uint32_t(kWidth));
        EXPECT_EQ(map.height, uint32_t(kHeight));
        EXPECT_EQ(map.format, SAMPLEFORMAT_IEEEFP);
        if (QLatin1String(m.name) != QLatin1String("tau_fit")) {
            EXPECT_TRUE(map.description.contains(QStringLiteral("phasors calibrated against dye.pt3 (tau_ref 4 ns)")))
                << map.description.toStdString();
        }
        double meanError = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const float v = map.values[static_cast<std::size_t>(y * kWidth + x)];
                if (y == kHeight - 1) {
                    EXPECT_TRUE(std::isnan(v)) << x;  // 20 photons: below the threshold
                    continue;
                }
                EXPECT_NEAR(v, TauAt(x), m.tolerance * TauAt(x)) << x << "," << y;
                meanError += (v - TauAt(x)) / TauAt(x) / (kWidth * (kHeight - 1));
            }
        EXPECT_NEAR(meanError, 0, 0.03);
    }
    // g and s of a pixel on the semicircle (single exponentials, calibrated).
    const FloatMap g = ReadFloatMap(base + QStringLiteral("phasor_g_ch1.tif"));
    const FloatMap s = ReadFloatMap(base + QStringLiteral("phasor_s_ch1.tif"));
    ASSERT_TRUE(g.ok && s.ok);
    for (int x = 0; x < kWidth; ++x) {
        const float gx = g.values[static_cast<std::size_t>(kWidth + x)], sx = s.values[static_cast<std::size_t>(kWidth + x)];
        EXPECT_NEAR(gx * gx + sx * sx, gx, 0.05) << x;
    }
    QFile table(base + QStringLiteral("decayfit_ch1.txt"));
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(table.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("                  Channel : 1\n               Components : 1\n"
                                               "      Instrument response : irf.pt3\n")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("                    Tau 1 : ")));
}

TEST_F(ConvertFlim, BadInputFailsTheFileAndLeavesNoLifetimeFile)
{
    ASSERT_TRUE(WriteGradientImage(Path("grad.pt3"), 1));
    ASSERT_TRUE(WriteDecayPoint(Path("slow.pt3"), 4.0, 1000, 20e6));
    ASSERT_TRUE(WriteDecayPoint(Path("coarse.pt3"), 4.0, 1000, kSyncHz, 0.016f));
    // A response whose every photon lies beyond the period's last fitted bin.
    synth::Pt3Header header = Header();
    ASSERT_TRUE(synth::WritePt3(Path("dark.pt3"), header, synth::MakePointMeasurement({{100, 1, 4000}, {200, 1, 4001}}).words));
    struct Case {
        QStringList options;
        const char *message;
    };
    const Case cases[] = {
        {{"--phasor", "--reference", Path("slow.pt3"), "--reference-tau", "4"}, "has another repetition rate"},
        {{"--phasor", "--reference", Path("coarse.pt3"), "--reference-tau", "4"}, "has another resolution"},
        {{"--fit-decay", "--irf", Path("dark.pt3")}, "The instrument response file " },
        {{"--phasor", "--threshold", "100000"}, "No pixel of channel 1 reaches the threshold of 100000 photons"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const ConvertRun run = Convert(c.options + QStringList{"--width", QString::number(kWidth), Path("grad.pt3")});
        EXPECT_EQ(run.code, 1);
        EXPECT_TRUE(run.out.contains(QStringLiteral("error : ")) && run.out.contains(QString::fromLatin1(c.message)))
            << run.out.toStdString();
        EXPECT_TRUE(LifetimeFiles(QStringLiteral("grad")).isEmpty()) << LifetimeFiles(QStringLiteral("grad")).join(' ').toStdString();
    }
    EXPECT_EQ(Convert({"--components", "2", Path("grad.pt3")}).code, 2);
    EXPECT_EQ(Convert({"--fit-decay", "--binning", "2", Path("grad.pt3")}).code, 2);
}

// Size, bit depth, NaN pixels left out of the statistics, the mean and one pixel as libtiff reads them.
TEST_F(ConvertFlim, ImageJOpensAFloatMapWithItsValues)
{
    for (const char *tool : {"imagej", "xvfb-run", "xauth"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << tool << " is not installed (tools/setup.sh installs it)";
    ASSERT_TRUE(WriteGradientImage(Path("grad.pt3")));
    ASSERT_EQ(Convert({QStringLiteral("--phasor"), Path("grad.pt3")}).code, 0);
    const QString map = Path("grad_export/grad_tau_phase_ch1.tif");
    const FloatMap expected = ReadFloatMap(map);
    ASSERT_TRUE(expected.ok);
    double sum = 0;
    int finite = 0;
    for (float v : expected.values)
        if (std::isfinite(v)) {
            sum += v;
            ++finite;
        }
    QFile macro(Path("measure.ijm"));
    ASSERT_TRUE(macro.open(QIODevice::WriteOnly));
    QTextStream(&macro) << "setBatchMode(true);\nopen(getArgument());\ngetRawStatistics(n, mean);\n"
                           "print(\"RESULT \" + bitDepth() + \" \" + getWidth() + \" \" + getHeight() + \" \" + n + \" \" "
                           "+ d2s(mean, 9) + \" \" + d2s(getPixel(3, 2), 9));\n";
    macro.close();
    QProcess imagej;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("TMPDIR"), dir.path());
    imagej.setProcessEnvironment(env);
    imagej.setProcessChannelMode(QProcess::MergedChannels);
    imagej.start(QStringLiteral("timeout"), {QStringLiteral("240"), QStringLiteral("xvfb-run"), QStringLiteral("-a"),
                                             QStringLiteral("imagej"), QStringLiteral("-x"), QStringLiteral("512"),
                                             QStringLiteral("-b"), macro.fileName(), map});
    ASSERT_TRUE(imagej.waitForFinished(250000));
    const QString out = QString::fromLocal8Bit(imagej.readAll());
    const int at = out.indexOf(QStringLiteral("RESULT "));
    ASSERT_GE(at, 0) << out.toStdString();
    const QStringList f = out.mid(at).section(QLatin1Char('\n'), 0, 0).split(QLatin1Char(' '));
    ASSERT_EQ(f.size(), 7) << out.toStdString();
    EXPECT_EQ(f[1], QStringLiteral("32"));
    EXPECT_EQ(f[2].toInt(), kWidth);
    EXPECT_EQ(f[3].toInt(), kHeight);
    EXPECT_EQ(f[4].toInt(), finite);  // the NaN row is left out
    EXPECT_NEAR(f[5].toDouble(), sum / finite, 1e-6);
    EXPECT_NEAR(f[6].toDouble(), expected.values[2 * kWidth + 3], 1e-6);
}

// --- The pixels chosen on the phasor plot, and the window ---

/// The "label : value" lines of a text file, read without the program's code.
std::map<QString, QString> ReadTable(const QByteArray &bytes)
{
    std::map<QString, QString> table;
    for (const QByteArray &line : bytes.split('\n')) {
        const int colon = line.indexOf(" : ");
        if (colon > 0)
            table[QString::fromLatin1(line.left(colon)).trimmed()] = QString::fromLatin1(line.mid(colon + 3));
    }
    return table;
}

/// The point a single lifetime of \p tau ns takes on the semicircle at 40 MHz, harmonic 1.
flim::PhasorCursor OnSemicircle(double tau, double radius)
{
    const double x = 2 * M_PI / 25 * tau;
    return {1 / (1 + x * x), x / (1 + x * x), radius};
}

// An image of two lifetimes: the left half of the columns 1 ns, the right half
// 4 ns, 2 x 600 photons a pixel; the last line 2 x 10 (below a threshold of 50).
constexpr double kTauLeft = 1.0, kTauRight = 4.0;

bool WriteTwoLifetimeImage(const QString &path)
{
    synth::ImageScanPlan plan;
    plan.width = kWidth;
    plan.height = kHeight;
    plan.frames = 2;
    plan.lineSyncs = 3200;
    plan.photonCount = [](int, int line, int, uint32_t) { return line == kHeight - 1 ? 10 : kPhotonsPerFrame; };
    plan.dtimeOf = [](int frame, int line, int pixel, uint32_t, int k) {
        synth::DecayPlan d;
        d.tau = {pixel < kWidth / 2 ? kTauLeft : kTauRight};
        synth::DecaySampler s(d, static_cast<uint32_t>(((frame * kHeight + line) * kWidth + pixel) * 1000 + k + 7));
        return s.Next();
    };
    synth::Pt3Header header = Header();
    header.imagingHeader = {0, 0, 0, 0, 0, 0, kWidth, kHeight};
    return synth::WritePt3(path, header, synth::MakeImageScan(plan).words);
}

TEST(PhasorSelection, ChoosesThePixelsOfOneLifetimeAndFitsIt)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("two.pt3")), dye = dir.filePath(QStringLiteral("dye.pt3"));
    ASSERT_TRUE(WriteTwoLifetimeImage(image));
    ASSERT_TRUE(WriteDecayPoint(dye, 4.0, 100000));
    TestHost host;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, image);
    ASSERT_TRUE(file && file->Open(image));
    ImageScan scan;
    scan.Init(host, *file);
    scan.ReconstructImages();
    flim::Settings settings;
    settings.referenceFile = dye.toStdString();
    settings.referenceTau = 4;
    ASSERT_TRUE(scan.ComputeLifetimes(settings, true, true)) << host.Messages().join(QLatin1Char('\n')).toStdString();
    const LifetimeResults &r = *scan.lifetimes;
    ASSERT_EQ(r.channels.size(), 1u);
    const LifetimeChannel &c = r.channels[0];
    ASSERT_TRUE(HasSelectionDecays(c));

    struct Case {
        const char *what;
        flim::PhasorCursor cursor;
        bool left, right;  // the regions selected
        double tau;        // 0: no fit to check
    };
    const flim::PhasorCursor left = OnSemicircle(kTauLeft, 0.08), right = OnSemicircle(kTauRight, 0.08);
    const Case cases[] = {
        {"cursor on 1 ns", left, true, false, kTauLeft},
        {"cursor on 4 ns", right, false, true, kTauRight},
        // 2 ns lies 0.2 and more from both: nothing, and no fit.
        {"cursor between them", OnSemicircle(2.0, 0.05), false, false, 0},
        {"cursor over both", {(left.g + right.g) / 2, (left.s + right.s) / 2, 0.45}, true, true, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const PhasorSelection selection = SelectAndFit(r, c, k.cursor);
        ASSERT_EQ(selection.inside.size(), static_cast<std::size_t>(kWidth * kHeight));
        uint64_t pixels = 0, photons = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const std::size_t p = static_cast<std::size_t>(y * kWidth + x);
                const bool expected = y < kHeight - 1 && (x < kWidth / 2 ? k.left : k.right);
                // A pixel of the other lifetime or below the threshold never; its own region's nearly all.
                if (!expected) {
                    EXPECT_FALSE(selection.inside[p]) << x << "," << y;
                }
                pixels += expected;
                if (selection.inside[p])
                    photons += c.phasor.photons[p];
            }
        EXPECT_TRUE(selection.pixels >= pixels * 9 / 10 && selection.pixels <= pixels) << selection.pixels;
        EXPECT_EQ(selection.photons, photons);
        ASSERT_EQ(selection.fit.ok, k.left || k.right) << selection.fit.error;
        if (k.tau > 0) {
            EXPECT_NEAR(selection.fit.tau[0], k.tau, 3 * selection.fit.tauError[0]) << "+- " << selection.fit.tauError[0];
        }
    }
}

using LifetimeWindow = WindowFixture;

// The Lifetime group's button, the phasor cursor and the Phasor tab's save button against fotonel-convert with the
// same settings: the same bytes in every map and table, the cursor's pixels lit and their decay fitted.
TEST_F(LifetimeWindow, WritesWhatTheConverterWritesAndHighlightsTheCursorsPixels)
{
    ASSERT_TRUE(WriteGradientPair(dir.path()));
    const QString dye = dir.filePath(QStringLiteral("dye.pt3"));
    ASSERT_TRUE(WriteDecayPoint(dye, 4.0, 100000));
    // Column 4 of the gradient decays with 2 ns.
    const flim::PhasorCursor cursor = OnSemicircle(TauAt(4), 0.035);

    Fotonel &window = Make();
    window.SetVersion(QString::fromLatin1(FotonelVersion));  // as main() does: written into every map
    ASSERT_TRUE(window.OpenFile(dir.filePath(QStringLiteral("window/grad.pt3")), true));
    auto *group = W<LifetimeGroup>(QStringLiteral("lifetimeGroup"));
    group->reference->setText(dye);
    group->referenceTau->setValue(4);
    group->median->setValue(1);
    group->fits->setChecked(true);
    group->components->setValue(2);
    group->binning->setCurrentIndex(1);
    Invoke("RunLifetimes");
    auto *plot = W<PhasorPlot>(QStringLiteral("phasorPlot"));
    auto *selection = W<LifetimeMap>(QStringLiteral("phasorSelection"));
    auto *save = W<QPushButton>(QStringLiteral("saveSelectionFit"));
    ASSERT_TRUE(plot && selection && save);
    EXPECT_NE(W<LifetimeMap>(QStringLiteral("lifetimeMap")), nullptr);
    plot->SetCursor(cursor.g, cursor.s, cursor.radius);
    emit plot->CursorMoved(plot->CursorG(), plot->CursorS(), plot->CursorRadius());
    // Column 4 lights up, the ends do not.
    const QImage &image = selection->Image();
    ASSERT_EQ(image.width(), kWidth);
    const auto lit = [&](int column) {
        int n = 0;
        for (int y = 0; y < kHeight; ++y)
            n += image.pixel(column, y) == QColor(255, 0, 200).rgb();
        return n;
    };
    EXPECT_GE(lit(4), kHeight - 2);
    EXPECT_EQ(lit(0), 0);
    EXPECT_EQ(lit(kWidth - 1), 0);
    save->click();
    const QString name = QStringLiteral("grad_export/grad_decayfit_selection_ch1.txt");
    EXPECT_TRUE(Log().last().endsWith(" : Saved " + dir.filePath("window/" + name))) << Log().last().toStdString();

    // The converter makes and writes its maps in two threads, as for a large image.
    const auto text = [](double v) { return QString::number(v, 'g', 17); };
    RSD::parallelLifetimePixels = 0;
    const ConvertRun run = Convert({"--phasor", "--reference", dye, "--reference-tau", "4", "--median", "1",
                                    "--fit-decay", "--components", "2", "--binning", "3", "--phasor-cursor",
                                    text(cursor.g) + ',' + text(cursor.s) + ',' + text(cursor.radius),
                                    dir.filePath(QStringLiteral("convert/grad.pt3"))});
    RSD::parallelLifetimePixels = std::size_t(1) << 16;
    ASSERT_EQ(run.code, 0) << run.out.toStdString();
    // Committed and logged in the order of one thread.
    QStringList saved;
    for (const QString &line : run.out.split(QLatin1Char('\n')))
        if (line.contains(QStringLiteral(" : Saved ")) && line.contains(QStringLiteral("grad_export/grad_")))
            saved << line.section(QStringLiteral("grad_export/grad_"), 1);
    const QStringList names = {"phasor_g_ch1.tif", "phasor_s_ch1.tif", "tau_phase_ch1.tif", "tau_mod_ch1.tif",
                               "tau_fit_ch1.tif", "decayfit_ch1.txt", "decayfit_selection_ch1.txt"};
    EXPECT_EQ(saved, names);
    for (const QString &n : names) {
        const QByteArray fromWindow = ReadFile("window/grad_export/grad_" + n);
        EXPECT_FALSE(fromWindow.isEmpty()) << n.toStdString();
        EXPECT_EQ(fromWindow, ReadFile("convert/grad_export/grad_" + n)) << n.toStdString();
    }
    EXPECT_TRUE(ReadFile("window/grad_export/grad_decayfit_ch1.txt").contains("               Components : 2\n"));
    // What the selection's file says, read back: the cursor, the bright pixels of column 4, the fit of 2 ns.
    const std::map<QString, QString> table = ReadTable(ReadFile("window/" + name));
    EXPECT_EQ(table.at(QStringLiteral("Phasor cursor radius")), QStringLiteral("0.035"));
    const int pixels = table.at(QStringLiteral("Pixels selected")).toInt();
    EXPECT_TRUE(pixels >= kHeight - 2 && pixels <= 2 * (kHeight - 1)) << pixels;
    // Two components on one lifetime leave the amplitude-weighted mean loose: the intensity-weighted one holds.
    EXPECT_NEAR(table.at(QStringLiteral("Tau intensity weighted")).section(QLatin1Char(' '), 0, 0).toDouble(), TauAt(4),
                0.1 * TauAt(4));
    // The decay plot of the selection shows that fit.
    const QString title = W<LinePlot>(QStringLiteral("selectionDecay"))->title().text();
    ASSERT_TRUE(title.startsWith(QStringLiteral("tau "))) << title.toStdString();
    const double tau = table.at(QStringLiteral("Tau amplitude weighted")).section(' ', 0, 0).toDouble();
    EXPECT_NEAR(title.section(' ', 1, 1).toDouble(), tau, 1e-3 * tau);  // four digits in the title
}

TEST_F(ConvertFlim, SelectionOfEveryScanKindUncalibratedEmptySelectionsAndBadCursors)
{
    ASSERT_TRUE(WriteGradientImage(Path(QStringLiteral("grad.pt3")), 1));
    ASSERT_TRUE(WriteTwoNanosecondLine(Path(QStringLiteral("line.pt3"))));
    ASSERT_TRUE(WriteDecayPoint(Path(QStringLiteral("point.pt3")), 2.0, 20000));
    // Uncalibrated, the response 2 ns late turns every phasor: a cursor over
    // the whole quarter disc takes every pixel above the threshold.
    const QString all = QStringLiteral("0.5,0.25,0.75");
    const QString usage = QStringLiteral("fotonel-convert: --phasor-cursor takes G,S,R: three finite numbers, the radius R above 0\n");
    struct Case {
        const char *file;
        QStringList options;
        int code;
        bool written;
        QString logged;
    };
    const Case cases[] = {
        {"grad", {"--fit-decay", "--phasor-cursor", all}, 0, true, QStringLiteral("Saved ")},
        // A line scan's phasors lie along its line: its positions are the pixels.
        {"line", {"--fit-decay", "--width", "8", "--phasor-cursor", all}, 0, true, QStringLiteral("Saved ")},
        {"point", {"--fit-decay", "--phasor-cursor", all}, 0, false,
         QStringLiteral("warning : %1 has one phasor for the whole measurement: no selection to fit, its decay fit "
                        "is the whole decay's").arg(Path(QStringLiteral("point.pt3")))},
        {"grad", {"--fit-decay", "--phasor-cursor", "5,5,0.1"}, 1, false,
         QStringLiteral("error : Failed to save %1: no pixel inside the phasor cursor")
             .arg(Path(QStringLiteral("grad_export/grad_decayfit_selection_ch1.txt")))},
        {"grad", {"--fit-decay", "--phasor-cursor", "0.5,0.3"}, 2, false, usage},
        {"grad", {"--fit-decay", "--phasor-cursor", "a,0.3,0.1"}, 2, false, usage},
        {"grad", {"--fit-decay", "--phasor-cursor", "0.5,0.3,0"}, 2, false, usage},
        {"grad", {"--fit-decay", "--phasor-cursor", "0.5,inf,0.1"}, 2, false, usage},
        {"grad", {"--fit-decay", "--phasor-cursor", "--threshold", "5"}, 2, false,
         QStringLiteral("fotonel-convert: --phasor-cursor needs a value\n")},
        {"grad", {"--phasor-cursor", all}, 2, false,
         QStringLiteral("fotonel-convert: --phasor-cursor needs --phasor and --fit-decay\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.options.join(QLatin1Char(' ')).toStdString());
        const QString file = QLatin1String(c.file);
        QDir(Path(file + QStringLiteral("_export"))).removeRecursively();
        const ConvertRun run = Convert(QStringList{"--phasor", "--threshold", "10"} + c.options +
                                       QStringList{Path(file + QStringLiteral(".pt3"))});
        EXPECT_EQ(run.code, c.code) << run.out.toStdString();
        if (c.code == 2)
            EXPECT_EQ(run.out, c.logged);
        else
            EXPECT_TRUE(run.out.contains(c.logged)) << run.out.toStdString();
        EXPECT_EQ(QFile::exists(Path(QStringLiteral("%1_export/%1_decayfit_selection_ch1.txt").arg(file))), c.written);
        // The whole decay's table is there whenever the options were taken; nothing is exported otherwise.
        EXPECT_EQ(QFile::exists(Path(QStringLiteral("%1_export/%1_decayfit_ch1.txt").arg(file))), c.code != 2);
        EXPECT_EQ(run.out.contains("warning : Phasors are not calibrated: no reference file given"), c.code != 2);
    }
    // The maps of a line scan and a point: one row, uncalibrated, the response 2 ns late lengthening the lifetime.
    for (const auto &[name, width] : {std::pair{"line", 8u}, std::pair{"point", 1u}}) {
        const FloatMap map = ReadFloatMap(Path(QStringLiteral("%1_export/%1_tau_phase_ch1.tif").arg(name)));
        ASSERT_TRUE(map.ok) << name;
        EXPECT_EQ(map.width, width);
        EXPECT_EQ(map.height, 1u);
        EXPECT_TRUE(map.description.contains(QStringLiteral("phasors not calibrated")));
        for (float v : map.values)
            EXPECT_GT(v, 3.0f) << name;
    }
}

// --- The Lifetime group's values in lastsettings.dat ---

using LifetimeSettings = WindowFixture;

TEST_F(LifetimeSettings, RememberedAcrossStartsAndOldFilesGiveTheStartUpValues)
{
    // A file as the window wrote it before it kept lifetime settings.
    const QByteArray old = "opendir = /data/run 7\nsavedir = /data/out\n"
                           "Ch1GatingMin = 1.5\nCh1GatingMax = 12.5\nCh2GatingMin = 2\nCh2GatingMax = 20\n"
                           "Ch3GatingMin = 3\nCh3GatingMax = 30\nCh4GatingMin = 4.25\nCh4GatingMax = 40\n"
                           "GatingRange = 50.0022\nGatingStep = 0.016\n";
    const auto group = [this] { return W<LifetimeGroup>(QStringLiteral("lifetimeGroup")); };
    const auto fields = [](const flim::Settings &s) {
        return std::make_tuple(s.harmonic, s.referenceFile, s.referenceTau, s.threshold, s.median, s.components,
                               s.irfFile, s.binning);
    };
    WriteFile(QStringLiteral("lastsettings.dat"), old);
    Make();
    EXPECT_EQ(fields(group()->Settings()), fields(flim::Settings{}));
    // That the file keeps its bytes when nothing changed: WindowTest.SettingsFileReadAtStartAndWrittenAtExit.
    window.reset();

    // Every field changed, paths with spaces and beyond Latin-1.
    Make();
    flim::Settings changed;
    changed.harmonic = 2;
    changed.referenceFile = "/data/dye ref/Cumarin \u00e9\u6f22.pt3";
    changed.referenceTau = 4.125;
    changed.threshold = 120;
    changed.median = 3;
    changed.components = 3;
    changed.irfFile = "/data/irf 1.ptu";
    changed.binning = 5;
    group()->SetSettings(changed);
    window.reset();
    const QByteArray saved = ReadFile(QStringLiteral("lastsettings.dat"));
    EXPECT_EQ(saved, old + "LifetimeHarmonic = 2\nLifetimeReference = /data/dye ref/Cumarin \xc3\xa9\xe6\xbc\xa2.pt3\n"
                           "LifetimeReferenceTau = 4.125\nLifetimeThreshold = 120\nLifetimeMedian = 3\n"
                           "LifetimeComponents = 3\nLifetimeIrf = /data/irf 1.ptu\nLifetimeBinning = 5\n");
    Make();
    EXPECT_EQ(fields(group()->Settings()), fields(changed));
    window.reset();

    // A value no box of the group takes (the later line wins) gives the start-up value and a warning.
    WriteFile(QStringLiteral("lastsettings.dat"), saved + "LifetimeBinning = 2\n");
    Make();
    flim::Settings want = changed;
    want.binning = flim::Settings{}.binning;
    EXPECT_EQ(fields(group()->Settings()), fields(want));
    EXPECT_TRUE(Log().contains(
        QStringLiteral("0003 : warning : lastsettings.dat: LifetimeBinning 2 is not a valid value, the start-up value is used")))
        << Log().join(QLatin1Char('\n')).toStdString();
}

} // namespace
