// Data files of point measurements, read back byte for byte: trace text and
// binary files, lifetime histogram and correlation curves.
#include "scans/PointScan.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

namespace {

QByteArray Read(const QString &name)
{
    QFile in(name);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("(missing)");
}

/// A point measurement on a 50 ns sync in memory, exported into a temporary folder.
struct Exported {
    TestHost host;
    QTemporaryDir dir;
    MemoryFile file;
    PointScan scan;
    explicit Exported(const std::vector<std::pair<uint64_t, uint32_t>> &photons) : file(host, Words(photons))
    {
        file.exportBase = dir.filePath("run_export/run");
        QDir().mkpath(dir.filePath("run_export"));
        scan.Init(host, file);
        scan.ReconstructImages();
    }
    static std::vector<uint32_t> Words(const std::vector<std::pair<uint64_t, uint32_t>> &photons)
    {
        synth::RecordStream s;
        for (const auto &p : photons)
            s.AddPhoton(p.first, p.second, 0);  // every delay 0 ns
        return s.words;
    }
    QString Path(const QString &suffix) const { return file.exportBase + suffix; }
};

} // namespace

TEST(PointScanSave, FileNamesOfChannelsTwoAndThree)
{
    Exported e({{0, 2}, {10, 3}, {25, 2}, {40, 3}, {2000, 2}, {2010, 3}});
    e.host.dtau.Set(0.05);
    e.host.nrbins = 2;
    e.host.ncasc = 3;
    e.scan.SaveCorrelations();  // before any correlation: four empty files
    for (const char *pair : {"_G_ch2_ch2.dat", "_G_ch2_ch3.dat", "_G_ch3_ch2.dat", "_G_ch3_ch3.dat"})
        EXPECT_EQ(Read(e.Path(pair)), QByteArray()) << pair;

    e.scan.ComputeCorrelations();
    e.scan.SaveTraceText();
    e.scan.SaveTraceBinary();
    e.scan.SaveHistogram();
    e.scan.SaveCorrelations();
    const QStringList written = QDir(e.dir.filePath("run_export")).entryList(QDir::Files);
    EXPECT_EQ(written, (QStringList{"run_G_ch2_ch2.dat", "run_G_ch2_ch3.dat", "run_G_ch3_ch2.dat", "run_G_ch3_ch3.dat",
                                    "run_histogram_ch2.dat", "run_trace_ch2.bin", "run_trace_ch2.dat",
                                    "run_trace_ch3.bin"}));
    // p q - 1 = 5 lines per curve.
    EXPECT_EQ(Read(e.Path("_G_ch2_ch3.dat")).count('\n'), 5);
    EXPECT_TRUE(e.host.Logged("Trace saved to " + e.Path("_trace_ch2.dat")));
    EXPECT_TRUE(e.host.Logged("Trace saved to " + e.Path("_trace_ch3.bin")));
    EXPECT_TRUE(e.host.Logged("Histogram saved to " + e.Path("_histogram_ch2.dat")));
    EXPECT_TRUE(e.host.Logged("Correlation function saved to " + e.Path("_G_ch3_ch2.dat")));
}

TEST(PointScanSave, TextLinesInTheStreamsNumberFormat)
{
    // The worked correlation example: photons at 0, 1000, 2000, 3000 ns.
    Exported e({{0, 1}, {20, 1}, {40, 1}, {60, 1}});
    e.host.dtau.Set(1);
    e.host.nrbins = 2;
    e.host.ncasc = 1;
    e.scan.ComputeCorrelations();
    e.scan.SaveCorrelations();
    EXPECT_EQ(Read(e.Path("_G_ch1_ch1.dat")), QByteArray("0.001\t0.002\t0.0015\t2\n"));

    // Trace: 1000 bins of 3 ns across 0 .. 3000 ns, centres in s.
    e.scan.SaveTraceText();
    const QList<QByteArray> trace = Read(e.Path("_trace_ch1.dat")).split('\n');
    ASSERT_EQ(trace.size(), 1000);  // 999 lines and the empty rest
    EXPECT_EQ(trace[0], "1.5e-09 1");
    EXPECT_EQ(trace[333], "1.0005e-06 1");
    EXPECT_EQ(trace[334], "1.0035e-06 0");

    // Histogram: 0.5 ns bins over the 50 ns period; every photon at 0 ns.
    e.scan.SaveHistogram();
    const QList<QByteArray> histogram = Read(e.Path("_histogram_ch1.dat")).split('\n');
    ASSERT_EQ(histogram.size(), 100);
    EXPECT_EQ(histogram[0], "0.25 4");
    EXPECT_EQ(histogram[20], "10.25 1e-12");
    e.scan.BinLifetimes(0.0246914);
    e.scan.SaveHistogram();
    EXPECT_TRUE(Read(e.Path("_histogram_ch1.dat")).startsWith("0.0123457 4\n"));

    // 20 ms: the first trace bin is centred on 10 µs.
    Exported longer({{0, 1}, {400000, 1}});
    longer.scan.SaveTraceText();
    EXPECT_TRUE(Read(longer.Path("_trace_ch1.dat")).startsWith("1e-05 1\n3e-05 0\n"));
}

TEST(PointScanSave, BinaryTraceOfTenSeconds)
{
    // 10 s on a 50 ns sync: the last photon at sync 2e8.
    Exported e({{0, 1}, {1, 1}, {20000, 1}, {200000000, 1}});
    e.host.binsize.Set(1000);  // µs
    e.scan.SaveTraceBinary();
    const QByteArray bytes = Read(e.Path("_trace_ch1.bin"));
    ASSERT_EQ(bytes.size(), 8 + 2 * 10000);
    const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xf0, 0x3f};  // 1.0, little-endian
    EXPECT_EQ(std::memcmp(bytes.constData(), one, 8), 0);
    const auto count = [&](int bin) {
        return static_cast<uint8_t>(bytes[8 + 2 * bin]) | static_cast<uint8_t>(bytes[9 + 2 * bin]) << 8;
    };
    EXPECT_EQ(count(0), 2);
    EXPECT_EQ(count(1), 1);  // 1 ms
    EXPECT_EQ(count(9999), 0);  // the photon at 10 s lies in the dropped guard bin
}

TEST(PointScanSave, UnwritableFolderIsReportedAndNothingWritten)
{
    Exported e({{0, 1}, {20, 2}, {40, 1}, {60, 2}});
    e.file.exportBase = e.dir.filePath("missing/run");
    e.scan.SaveTraceText();
    e.scan.SaveTraceBinary();
    e.scan.SaveHistogram();
    e.scan.SaveCorrelations();
    for (const char *suffix : {"_trace_ch1.dat", "_trace_ch1.bin", "_trace_ch2.bin", "_histogram_ch1.dat",
                               "_G_ch1_ch1.dat", "_G_ch1_ch2.dat", "_G_ch2_ch1.dat", "_G_ch2_ch2.dat"})
        EXPECT_TRUE(e.host.Logged("Could not open " + e.file.exportBase + suffix, MessageError)) << suffix;
    EXPECT_FALSE(QDir(e.dir.filePath("missing")).exists());
    EXPECT_TRUE(e.host.Messages().filter("saved to").isEmpty());

    // A refused export binning writes no binary file at all.
    e.file.exportBase = e.dir.filePath("run");
    e.host.binsize.value = 0;
    e.scan.SaveTraceBinary();
    EXPECT_FALSE(QFile::exists(e.dir.filePath("run_trace_ch1.bin")));
}
