// The point page of the window and its headless twin: the correlation and
// save buttons and fotonel-convert's --correlate, --trace and --histogram
// write the same files, byte for byte.
#include "support/WindowFixture.h"
#include "tools/convert/Converter.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDoubleSpinBox>
#include <QSpinBox>

#include <random>

namespace {

/// Two channels of Poisson photons on a 25 ns sync for 20 ms.
QString WritePointMeasurement(const QString &path)
{
    std::mt19937_64 random(4);
    std::exponential_distribution<double> gap(1.0 / 40);  // a photon every µs
    std::uniform_int_distribution<uint32_t> channel(1, 2), dtime(0, 2000);
    std::vector<synth::PointPhoton> photons;
    for (double sync = 0; sync < 800000; sync += gap(random))
        photons.push_back({static_cast<uint64_t>(sync), channel(random), dtime(random)});
    synth::Pt3Header header;  // 40 MHz sync, 4 ps steps
    EXPECT_TRUE(synth::WritePt3(path, header, synth::MakePointMeasurement(photons).words));
    return path;
}

QStringList Exported(const QString &folder)
{
    return QDir(folder).entryList({"*.dat", "*.bin"}, QDir::Files);
}

class PointPage : public WindowFixture {};

} // namespace

TEST_F(PointPage, ButtonsAndConverterWriteTheSameFiles)
{
    QDir(dir.path()).mkpath("window");
    QDir(dir.path()).mkpath("convert");
    const QString byWindow = WritePointMeasurement(dir.filePath("window/run.pt3"));
    const QString byConverter = WritePointMeasurement(dir.filePath("convert/run.pt3"));

    Fotonel &w = Make();
    // Before a file is open the buttons do nothing.
    Invoke("on_xcfButton_clicked");
    Invoke("on_saveXCFPointScan_clicked");
    ASSERT_TRUE(w.OpenFile(byWindow, false));
    W<QSpinBox>("nrbins")->setValue(4);
    W<QSpinBox>("ncasc")->setValue(6);
    W<QDoubleSpinBox>("dtau")->setValue(0.025);
    W<QDoubleSpinBox>("binsize")->setValue(100);
    Invoke("on_xcfButton_clicked");
    Invoke("on_saveXCFPointScan_clicked");
    Invoke("on_saveTracePointScan_clicked");
    Invoke("on_saveHistogramPointScan_clicked");
    EXPECT_TRUE(Log().filter("Correlation function G21 calculated in").size() == 1);

    // 0.03 µs becomes one sync period, 0.025 µs, as the window's box has it.
    QString text;
    QTextStream out(&text);
    EXPECT_EQ(RunConverter({"--correlate", "--dtau", "0.03", "--steps", "4", "--cascades", "6", "--trace",
                            "--trace-bin", "100", "--histogram", byConverter},
                           out),
              0);
    out.flush();
    EXPECT_TRUE(text.contains("Correlation function G12 calculated in")) << text.toStdString();

    const QString windowFolder = dir.filePath("window/run_export");
    const QString converterFolder = dir.filePath("convert/run_export");
    const QStringList files = Exported(windowFolder);
    EXPECT_EQ(files, (QStringList{"run_G_ch1_ch1.dat", "run_G_ch1_ch2.dat", "run_G_ch2_ch1.dat", "run_G_ch2_ch2.dat",
                                  "run_histogram_ch1.dat", "run_trace_ch1.bin", "run_trace_ch1.dat",
                                  "run_trace_ch2.bin"}));
    EXPECT_EQ(Exported(converterFolder), files);
    for (const QString &name : files) {
        QFile a(QDir(windowFolder).filePath(name)), b(QDir(converterFolder).filePath(name));
        ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray bytes = a.readAll();
        EXPECT_FALSE(bytes.isEmpty()) << name.toStdString();
        EXPECT_TRUE(bytes == b.readAll()) << name.toStdString();
    }
    QFile curve(QDir(windowFolder).filePath("run_G_ch1_ch2.dat"));
    ASSERT_TRUE(curve.open(QIODevice::ReadOnly));
    EXPECT_TRUE(curve.readLine().startsWith("2.5e-05\t5e-05\t3.75e-05\t"));
}
