// Data files of point measurements read back byte for byte: trace text and
// binary files, lifetime histogram and correlation curves.
#include "scans/PointScan.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray Read(const QString &name)
{
    QFile in(name);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("(missing)");
}

/// Photons (sync count on a 50 ns sync, channel; delay 0) exported into a temporary folder.
struct Exported {
    TestHost host;
    QTemporaryDir dir;
    MemoryFile file;
    PointScan scan;
    explicit Exported(const std::vector<std::pair<uint64_t, uint32_t>> &photons) : file(host, {})
    {
        synth::RecordStream s;
        for (const auto &p : photons)
            s.AddPhoton(p.first, p.second, 0);
        file.SetRecords(s.words);
        file.exportBase = dir.filePath("run");
        scan.Init(host, file);
        scan.ReconstructImages();
    }
    QString Path(const char *suffix) const { return file.exportBase + suffix; }
    void SaveAll() { scan.SaveTraceText(); scan.SaveTraceBinary(); scan.SaveHistogram(); scan.SaveCorrelations(); }
};

} // namespace

TEST(PointScanSave, ChannelsTwoAndThreeInPairOrder)
{
    Exported e({{0, 2}, {10, 3}, {25, 2}, {40, 3}, {2000, 2}, {2010, 3}});
    e.host.nrbins = 2;
    e.host.ncasc = 3;
    e.scan.SaveCorrelations();  // before any correlation: four empty files
    EXPECT_EQ(Read(e.Path("_G_ch3_ch2.dat")), QByteArray());
    e.scan.ComputeCorrelations();
    e.SaveAll();
    EXPECT_EQ(QDir(e.dir.path()).entryList(QDir::Files),
              (QStringList{"run_G_ch2_ch2.dat", "run_G_ch2_ch3.dat", "run_G_ch3_ch2.dat", "run_G_ch3_ch3.dat",
                           "run_histogram_ch2.dat", "run_trace_ch2.bin", "run_trace_ch2.dat", "run_trace_ch3.bin"}));
    EXPECT_EQ(Read(e.Path("_G_ch2_ch3.dat")).count('\n'), 5);  // p q - 1 lines
    EXPECT_EQ(e.host.Messages().filter(QRegularExpression("^Correlation function G.. calculated in ")).join("").remove(
                  QRegularExpression("Correlation function | calculated in [^G]*")),
              "G22G23G32G33");
    for (const char *line : {"Trace saved to %1_trace_ch3.bin", "Correlation function saved to %1_G_ch3_ch2.dat"})
        EXPECT_TRUE(e.host.Logged(QString(line).arg(e.file.exportBase))) << line;
}

TEST(PointScanSave, TextInTheStreamsNumberFormat)
{
    // The worked correlation example: photons at 0, 1000, 2000 and 3000 ns.
    Exported e({{0, 1}, {20, 1}, {40, 1}, {60, 1}});
    e.host.dtau.Set(1);
    e.host.nrbins = 2;
    e.host.ncasc = 1;
    e.scan.ComputeCorrelations();
    e.scan.SaveCorrelations();
    EXPECT_EQ(Read(e.Path("_G_ch1_ch1.dat")), "0.001\t0.002\t0.0015\t2\n");

    e.scan.SaveTraceText();  // 999 bins of 3 ns, centres in s
    const QList<QByteArray> trace = Read(e.Path("_trace_ch1.dat")).split('\n');
    ASSERT_EQ(trace.size(), 1000);
    EXPECT_EQ(trace[0] + ',' + trace[333] + ',' + trace[334], "1.5e-09 1,1.0005e-06 1,1.0035e-06 0");

    e.scan.BinLifetimes(0.0246914);  // one delay step of 0.5 ns at least; every delay 0 ns
    e.scan.SaveHistogram();
    EXPECT_TRUE(Read(e.Path("_histogram_ch1.dat")).startsWith("0.25 4\n"));
    e.scan.BinLifetimes(0.5);
    e.scan.SaveHistogram();
    EXPECT_EQ(Read(e.Path("_histogram_ch1.dat")).split('\n').value(20), "10.25 1e-12");

    Exported longer({{0, 1}, {400000, 1}});  // 20 ms: the first bin centred on 10 µs
    longer.scan.SaveTraceText();
    EXPECT_TRUE(Read(longer.Path("_trace_ch1.dat")).startsWith("1e-05 1\n3e-05 0\n"));
}

TEST(PointScanSave, BinaryTraceOfTenSeconds)
{
    Exported e({{0, 1}, {1, 1}, {20000, 1}, {200000000, 1}});  // the last photon at 10 s
    e.host.binsize.Set(1000);                                   // µs
    e.scan.SaveTraceBinary();
    const QByteArray bytes = Read(e.Path("_trace_ch1.bin"));
    ASSERT_EQ(bytes.size(), 8 + 2 * 10000);
    // 1.0 ms (a little-endian double), then 2 photons in bin 0, 1 in bin 1; the one at 10 s lies in the
    // dropped guard bin.
    EXPECT_EQ(bytes.left(12), QByteArray::fromHex("000000000000f03f02000100"));
    EXPECT_EQ(bytes.count('\0'), 8 - 2 + 2 * 10000 - 2);
}

TEST(PointScanSave, UnwritableFolderIsReportedAndNothingWritten)
{
    Exported e({{0, 1}, {20, 2}, {40, 1}, {60, 2}});
    e.file.exportBase = e.dir.filePath("missing/run");
    e.SaveAll();
    for (const char *suffix : {"_trace_ch1.dat", "_trace_ch2.bin", "_histogram_ch1.dat", "_G_ch2_ch1.dat"})
        EXPECT_TRUE(e.host.Logged("Could not open " + e.Path(suffix), MessageError)) << suffix;
    EXPECT_EQ(e.host.Messages(MessageError).size(), 8);
    EXPECT_FALSE(QDir(e.dir.filePath("missing")).exists());
    // A refused export binning writes no binary file at all.
    e.file.exportBase = e.dir.filePath("run");
    e.host.binsize.value = 0;
    e.scan.SaveTraceBinary();
    EXPECT_TRUE(e.host.Logged("Invalid bin width 0 ns", MessageError));
    EXPECT_FALSE(QFile::exists(e.Path("_trace_ch1.bin")));
}
