// The float lifetime maps open in ImageJ (Debian's `imagej` under Xvfb) with
// their values: size, bit depth, NaN pixels left out of the statistics, and
// the mean and one pixel as libtiff reads them. Skipped without imagej.
#include "support/ConvertRun.h"
#include "support/FlimFiles.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <gtest/gtest.h>

#include <cmath>

using namespace flimfiles;

TEST(FlimImageJ, FloatMapsOpenWithTheirValues)
{
    for (const char *tool : {"imagej", "xvfb-run", "xauth"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << tool << " is not installed (tools/setup.sh installs it)";
    QTemporaryDir dir(QStringLiteral("/tmp/fotonel-flim-imagej.XXXXXX"));  // no blanks: the imagej wrapper evals names
    ASSERT_TRUE(WriteGradientImage(dir.filePath(QStringLiteral("grad.pt3"))));
    ASSERT_EQ(Convert({QStringLiteral("--phasor"), dir.filePath(QStringLiteral("grad.pt3"))}).code, 0);
    const QString map = dir.filePath(QStringLiteral("grad_export/grad_tau_phase_ch1.tif"));
    const FloatMap expected = ReadFloatMap(map);
    ASSERT_TRUE(expected.ok);
    double sum = 0;
    int finite = 0;
    for (float v : expected.values)
        if (std::isfinite(v)) {
            sum += v;
            ++finite;
        }
    QFile macro(dir.filePath(QStringLiteral("measure.ijm")));
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
