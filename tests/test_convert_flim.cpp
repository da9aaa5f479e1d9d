// Lifetime files of fotonel-convert: phasor and lifetime maps of a synthetic
// lifetime gradient read back with libtiff, the fit table, bad input that must leave no file behind, and a float map opened
// in ImageJ (Debian's `imagej` under Xvfb; skipped without it).
#include "support/ConvertRun.h"
#include "support/FlimFiles.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <gtest/gtest.h>

#include <cmath>

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

} // namespace
