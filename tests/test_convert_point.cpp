// The point page's correlation and save buttons and fotonel-convert's
// --correlate, --trace and --histogram write the same files, byte for byte.
#include "support/WindowFixture.h"
#include "tools/convert/Converter.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDoubleSpinBox>
#include <QSpinBox>

#include <random>

namespace {

/// Two channels, a photon every µs on average, on a 25 ns sync for 20 ms.
QString WritePointMeasurement(const QString &path)
{
    std::mt19937_64 random(4);
    std::exponential_distribution<double> gap(1.0 / 40);
    std::uniform_int_distribution<uint32_t> channel(1, 2), dtime(0, 2000);
    std::vector<synth::PointPhoton> photons;
    for (double sync = 0; sync < 800000; sync += gap(random))
        photons.push_back({static_cast<uint64_t>(sync), channel(random), dtime(random)});
    EXPECT_TRUE(synth::WritePt3(path, synth::Pt3Header(), synth::MakePointMeasurement(photons).words));
    return path;
}

class PointPage : public WindowFixture {};

} // namespace

TEST_F(PointPage, ButtonsAndConverterWriteTheSameFiles)
{
    const QString window = dir.filePath("window"), convert = dir.filePath("convert");
    ASSERT_TRUE(QDir().mkpath(window) && QDir().mkpath(convert));
    Fotonel &w = Make();
    Invoke("on_xcfButton_clicked");  // no file: nothing happens
    ASSERT_TRUE(w.OpenFile(WritePointMeasurement(window + "/run.pt3"), false));
    W<QSpinBox>("nrbins")->setValue(4);
    W<QSpinBox>("ncasc")->setValue(6);
    W<QDoubleSpinBox>("dtau")->setValue(0.025);
    W<QDoubleSpinBox>("binsize")->setValue(100);
    for (const char *button : {"on_xcfButton_clicked", "on_saveXCFPointScan_clicked", "on_saveTracePointScan_clicked",
                               "on_saveHistogramPointScan_clicked"})
        Invoke(button);
    EXPECT_EQ(Log().filter("Correlation function G21 calculated in").size(), 1);

    // 0.03 µs becomes one sync period, the 0.025 µs given to the window.
    QString text;
    QTextStream out(&text);
    EXPECT_EQ(RunConverter({"--correlate", "--dtau", "0.03", "--steps", "4", "--cascades", "6", "--trace",
                            "--trace-bin", "100", "--histogram", WritePointMeasurement(convert + "/run.pt3")},
                           out),
              0);

    // Four curves, two binary traces, one text trace, one histogram.
    const QStringList files = QDir(window + "/run_export").entryList({"*.dat", "*.bin"}, QDir::Files);
    EXPECT_EQ(files.size(), 8);
    EXPECT_EQ(QDir(convert + "/run_export").entryList({"*.dat", "*.bin"}, QDir::Files), files);
    for (const QString &name : files) {
        QFile a(window + "/run_export/" + name), b(convert + "/run_export/" + name);
        ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray bytes = a.readAll();
        EXPECT_TRUE(!bytes.isEmpty() && bytes == b.readAll()) << name.toStdString();
    }
}
