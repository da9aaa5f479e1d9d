// Lifetime files of fotonel-convert: phasor and lifetime maps of a synthetic
// lifetime gradient read back with libtiff, the fit table, line scans and
// point files, and bad input that must leave no file behind.
#include "support/ConvertRun.h"
#include "support/FlimFiles.h"

#include <QDir>
#include <QTemporaryDir>
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
    QTemporaryDir dir;
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

TEST_F(ConvertFlim, UncalibratedLineAndPointPhasorsSaySo)
{
    ASSERT_TRUE(WriteTwoNanosecondLine(Path("line.pt3")));
    ASSERT_TRUE(WriteDecayPoint(Path("point.pt3"), 2.0, 20000));
    const ConvertRun run = Convert({QStringLiteral("--phasor"), QStringLiteral("--width"), QStringLiteral("8"), Path("line.pt3"),
                                    Path("point.pt3")});
    ASSERT_EQ(run.code, 0) << run.out.toStdString();
    EXPECT_EQ(run.out.count(QStringLiteral("warning : Phasors are not calibrated: no reference file given")), 2);
    struct Case {
        const char *name;
        uint32_t width;
    };
    for (const Case &c : {Case{"line_export/line_tau_phase_ch1.tif", 8}, Case{"point_export/point_tau_phase_ch1.tif", 1}}) {
        const FloatMap map = ReadFloatMap(Path(QString::fromLatin1(c.name)));
        ASSERT_TRUE(map.ok) << c.name;
        EXPECT_EQ(map.width, c.width);
        EXPECT_EQ(map.height, 1u);
        EXPECT_TRUE(map.description.contains(QStringLiteral("phasors not calibrated")));
        // Uncalibrated: the response 2 ns late lengthens the phase lifetime.
        for (float v : map.values)
            EXPECT_GT(v, 3.0f) << c.name;
    }
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

} // namespace
