// Point measurement traces and lifetimes on synthetic photon streams, and their data files read back byte for byte:
// sync period 50 ns, resolution 0.5 ns (dtime d is d/2 ns).
#include "support/Files.h"
#include "support/MemoryFile.h"
#include "support/Placed.h"
#include "support/TestHost.h"
#include "scans/PointScan.h"
#include "tools/synth/RecordStream.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>

namespace {

struct Event {
    uint64_t sync;
    uint32_t channel, dtime = 0;
};

std::vector<uint32_t> Records(const std::vector<Event> &events)
{
    synth::RecordStream s;
    for (const Event &e : events)
        s.AddPhoton(e.sync, e.channel, e.dtime);
    return s.words;
}

// Record 0 is a photon at time 0; the last valid photon lies at sync 1000
// (50000 ns). Channel 0 and 7 photons are damage and must be ignored.
const std::vector<Event> stream = {{0, 1, 0},    {3, 2, 4},   {5, 1, 99},   {5, 1, 10}, {6, 0, 0},
                                   {500, 1, 20}, {999, 2, 2}, {1000, 1, 0}, {1001, 7, 0}};

void OpenCursors(TestHost &host)
{
    for (int c = 1; c <= 4; ++c)
        host.SetCursor(c, 0, 1);
}

/// A point scan of \p events, reconstructed; a gate (ns) on \p gateChannel when it is not 0.
struct Loaded {
    TestHost host;
    MemoryFile file;
    PointScan scan;
    explicit Loaded(const std::vector<Event> &events, int gateChannel = 0, double lo = 0, double hi = 0)
        : file((gateChannel ? host.SetGate(gateChannel, lo, hi) : void(), host), Records(events))
    {
        scan.Init(host, file);
        scan.ReconstructImages();
    }
};

} // namespace

TEST(PointScan, GatedListsTraceExportAndLifetimes)
{
    Loaded l(stream, 1, 0, 40);  // the gate shuts out the 49.5 ns photon of channel 1
    TestHost &host = l.host;
    PointScan &scan = l.scan;
    ASSERT_EQ(l.file.ScanType, ScanPoint);
    EXPECT_EQ(scan.channelCount, 4u);
    EXPECT_EQ(scan.activeChannels, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(scan.photonCounts, (std::vector<uint32_t>{5, 2, 0, 0}));
    EXPECT_EQ(scan.gatedCounts, (std::vector<uint32_t>{4, 2, 0, 0}));
    EXPECT_EQ(scan.photonTimes[0], (PointScan::PhotonTimes{0, 255, 25010, 50000}));
    EXPECT_EQ(scan.photonTimes[1], (PointScan::PhotonTimes{152, 49951}));
    EXPECT_TRUE(scan.photonTimes[2].empty() && scan.delayCounts[2].empty());
    // Placed photons per dtime: delays 0 ns twice, 5 and 10 ns; then 2 and 1 ns.
    ASSERT_EQ(scan.delayCounts[0].size(), 4096u);
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{0, 2}, {10, 1}, {20, 1}}));
    EXPECT_EQ(Placed(scan.delayCounts[1]), (std::map<uint32_t, uint32_t>{{2, 1}, {4, 1}}));
    EXPECT_EQ(scan.lastTime, 50000);  // the channel-7 photon after it does not count
    EXPECT_EQ(host.toolBoxPage, 3);
    EXPECT_TRUE(host.Logged("Traces reconstructed"));
    double start = -1, end = -1;
    ASSERT_TRUE(scan.CursorSpan(start, end));
    EXPECT_EQ(start, 0);
    EXPECT_DOUBLE_EQ(end, 5e-5);

    // Trace: w = 50000 / 1000 = 50 ns. The channel-1 photon at lastTime has bin 1000.
    EXPECT_EQ(scan.traceBinWidth, 50);
    EXPECT_EQ(host.Messages().filter("Index out of bounds"), QStringList{"Index out of bounds 3 1000"});
    // The first cursors span the data, rounded outwards to 0 .. 0.001 s, so
    // nothing is cropped; binning again with open cursors changes nothing.
    EXPECT_DOUBLE_EQ(host.cursorMax[0].value, 0.001);
    EXPECT_EQ(scan.traceCounts[0].size(), 999u);
    OpenCursors(host);
    scan.BinTrace();
    ASSERT_EQ(scan.traceTimes[0].size(), 999u);
    EXPECT_DOUBLE_EQ(scan.traceTimes[0][0], 2.5e-8);
    EXPECT_DOUBLE_EQ(scan.traceTimes[0][998], 49925e-9);
    // 0 ns -> 0; 255 ns -> 5; 25010 ns -> 500; 50000 ns dropped.
    // Channel 2: 152 ns -> 3; 49951 ns -> 999, the guard: dropped without a line.
    std::vector<double> trace0(999, 0), trace1(999, 0);
    trace0[0] = trace0[5] = trace0[500] = trace1[3] = 1;
    EXPECT_EQ(scan.traceCounts[0], trace0);
    EXPECT_EQ(scan.traceCounts[1], trace1);
    EXPECT_TRUE(host.Logged("Binned the data"));

    // Export bins (bins of 1000 ns and the guard: PointScanTrace.EdgesRunsAndOutliersCountedAsPhotonByPhoton).
    scan.BinExportTrace(60000);  // wider than the measurement: one bin with every photon
    EXPECT_EQ(scan.traceBinWidth, 60000);
    EXPECT_EQ(scan.exportCounts[0], (std::vector<uint16_t>{4}));
    EXPECT_EQ(scan.exportCounts[1], (std::vector<uint16_t>{2}));
    EXPECT_TRUE(host.Logged("Binned the export data"));
    scan.BinExportTrace(50000);  // exactly as wide: the photon at lastTime is in the dropped guard bin
    EXPECT_EQ(scan.exportCounts[0], (std::vector<uint16_t>{3}));
    EXPECT_EQ(host.Messages().filter("Index out of bounds").size(), 2);  // only the two of BinTrace

    // Lifetimes: the bin box reset to the resolution 0.5 ns: N = 100, M = 99.
    EXPECT_EQ(scan.lifetimeBinWidth, 0.5);
    ASSERT_EQ(scan.lifetimeAxis.size(), 99u);
    EXPECT_EQ(scan.lifetimeAxis[0], 0.25);
    EXPECT_EQ(scan.lifetimeAxis[98], 49.25);
    std::vector<double> tau(99, 1e-12);  // 0 and 0 ns, 5 ns, 10 ns
    tau[0] += 2;
    tau[10] += 1;
    tau[20] += 1;
    EXPECT_EQ(scan.lifetimeHistograms[0], tau);
    scan.BinLifetimes(20);  // N = ceil(2.5) = 3, M = 2
    EXPECT_EQ(scan.lifetimeAxis, (std::vector<double>{10, 30}));
    EXPECT_EQ(scan.lifetimeHistograms[0], (std::vector<double>{4 + 1e-12, 1e-12}));
    for (double w : {0.0, -2.0, std::nan("")}) {  // refused, nothing changed
        scan.BinLifetimes(w);
        EXPECT_TRUE(host.Logged(QString("Invalid bin width %1 ns").arg(w), MessageError)) << w;
    }
    EXPECT_EQ(scan.lifetimeHistograms[0], (std::vector<double>{4 + 1e-12, 1e-12}));
    for (double w : {50, 60}) {  // not below the sync period: M = 0
        scan.BinLifetimes(w);
        EXPECT_TRUE(scan.lifetimeAxis.empty() && scan.lifetimeHistograms[0].empty()) << w;
    }
}

TEST(PointScan, WritingImagesReconstructsOnceAndWritesNothing)
{
    TestHost host;
    MemoryFile file(host, Records(stream));
    QTemporaryDir dir;
    file.exportFolder = dir.path();
    file.exportBase = dir.filePath("run");
    PointScan scan;
    scan.Init(host, file);
    for (int type : {0, 1, 2})
        for (int depth : {0, 1})
            scan.WriteImages(type, depth);
    // A point measurement has no images: the first call reconstructs, from the stream.
    EXPECT_EQ(host.Messages().count(QStringLiteral("Traces reconstructed")), 1);
    EXPECT_EQ(scan.gatedCounts, (std::vector<uint32_t>{5, 2, 0, 0}));
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST(PointScanTrace, EdgesRunsAndOutliersCountedAsPhotonByPhoton)
{
    Loaded l({{0, 1, 0}, {1001, 1, 0}});
    TestHost &host = l.host;
    PointScan &scan = l.scan;
    OpenCursors(host);
    // w = 50.05 ns, whose reciprocal is inexact: a photon just before the
    // inner edge k x w is in bin k - 1, one just after it in bin k.
    const double w = 50.05, span = 50050;  // the displayed trace: 1000 bins of w
    ASSERT_DOUBLE_EQ(scan.traceBinWidth, w);
    PointScan::PhotonTimes &times = scan.photonTimes[0];
    times.clear();
    for (int k = 1; k < 999; ++k)
        for (double t : {k * w - 1e-6, k * w + 1e-6})
            times.push_back(t);
    scan.BinTrace();
    std::vector<double> edges(999, 2);
    edges.front() = edges.back() = 1;
    EXPECT_EQ(scan.traceCounts[0], edges);

    // Runs of one bin over thousands of photons (across the blocks of 10000),
    // bins with one photon, damaged times before firstTime and after lastTime.
    times.assign({-5.0, -1e-9});                // photons 0, 1
    times.insert(times.end(), 66000, 2.5 * w);  // 2 .. 66001: bin 2
    for (int k = 10; k < 20; ++k)               // 66002 .. 66011: bins 10 .. 19
        times.push_back((k + 0.5) * w);
    times.insert(times.end(), 3000, 998.5 * w);  // 66012 .. 69011: bin 998
    times.insert(times.end(), {span, span, span + 1});  // 69012 .. 69014: bin 1000, the guard
    host.messages.clear();
    scan.BinTrace();
    std::vector<double> trace(999, 0);
    trace[2] = 66000;
    trace[998] = 3000;
    for (int k = 10; k < 20; ++k)
        trace[k] = 1;
    EXPECT_EQ(scan.traceCounts[0], trace);
    EXPECT_EQ(host.Messages().filter("Index out of bounds"),
              (QStringList{"Index out of bounds 0 -1", "Index out of bounds 1 -1", "Index out of bounds 69012 1000",
                           "Index out of bounds 69013 1000", "Index out of bounds 69014 1000"}));

    // Export bins of 1000 ns: n = ceil(50.05) = 51. Bins 2 to 19 of the displayed trace end before 1000 ns, bin 998
    // lies at 49975 ns, and the photons at and after lastTime (quotients 50.05 and 50.051) fall in the last bin, 50;
    // only the negative times are reported.
    host.messages.clear();
    ASSERT_TRUE(scan.BinExportTrace(1000));
    std::vector<uint16_t> exported(51, 0);
    exported[0] = 66010 - 65536;  // the 16-bit count wraps
    exported[49] = 3000;
    exported[50] = 3;
    EXPECT_EQ(scan.exportCounts[0], exported);
    EXPECT_EQ(host.Messages().filter("Index out of bounds"),
              (QStringList{"Index out of bounds 0 -1", "Index out of bounds 1 -1"}));
}

TEST(PointScanTrace, GateExcludingEveryPhoton)
{
    Loaded l(stream, 2, 10, 20);
    OpenCursors(l.host);
    l.scan.BinTrace();
    EXPECT_TRUE(l.scan.photonTimes[1].empty());
    EXPECT_EQ(l.scan.traceCounts[1], std::vector<double>(999, 0.0));
    EXPECT_EQ(l.scan.lifetimeHistograms[1], std::vector<double>(99, 1e-12));
}

TEST(PointScanTrace, CroppedToTheCursors)
{
    // One second of measurement: 2e7 sync periods; bins of 1 ms, centres at (i + 0.5) ms.
    Loaded l({{0, 1, 0}, {210000, 1, 0}, {390000, 1, 0}, {20000000, 1, 0}});
    std::vector<double> &times = l.scan.traceTimes[0], &counts = l.scan.traceCounts[0];
    EXPECT_EQ(counts.size(), 999u);  // cursors 0 .. 1 s keep every bin
    l.host.SetCursor(1, 0.010, 0.020);
    l.scan.BinTrace();
    ASSERT_EQ(times.size(), 10u);
    EXPECT_DOUBLE_EQ(times.front(), 0.0105);
    EXPECT_DOUBLE_EQ(times.back(), 0.0195);
    EXPECT_TRUE(counts[0] == 1 && counts[9] == 1);  // the photons at sync 210000 and 390000
    l.host.SetCursor(1, 0.010, 0.010);  // between two bin centres: nothing
    l.scan.BinTrace();
    EXPECT_TRUE(times.empty() && counts.empty());
    l.host.SetCursor(1, 0, 0);  // ends before the first centre: bin 0 stays
    l.scan.BinTrace();
    EXPECT_EQ(times.size(), 1u);
}

TEST(PointScanTrace, SinglePhotonMeasurementHasNoTrace)
{
    Loaded l({{7, 1, 0}});
    EXPECT_TRUE(l.scan.reconstructed);
    EXPECT_TRUE(l.host.Logged("Measurement too short to bin a trace: 0 ns", MessageError));
    EXPECT_TRUE(l.scan.traceTimes[0].empty() && l.scan.traceCounts[0].empty());
    l.scan.BinExportTrace(1000);
    EXPECT_TRUE(l.scan.exportCounts[0].empty());
}

TEST(PointScan, FindFirstNotBelowAndLastNotAbove)
{
    const std::vector<double> x{1, 2, 3};
    const struct {
        double v;
        size_t first, last;
    } cases[] = {{0.5, 0, 0}, {1, 0, 0}, {1.5, 1, 0}, {2.5, 2, 1}, {3, 2, 2}, {4, 3, 2}, {std::nan(""), 3, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(PointScan::FindFirstNotBelow(x, c.v), c.first) << c.v;
        EXPECT_EQ(PointScan::FindLastNotAbove(x, c.v), c.last) << c.v;
    }
    EXPECT_EQ(PointScan::FindFirstNotBelow({}, 4) + PointScan::FindLastNotAbove({}, 5), 0u);
}

namespace {

/// A reconstructed point scan that exports into a temporary folder.
struct Exported : Loaded {
    QTemporaryDir dir;
    explicit Exported(const std::vector<Event> &events) : Loaded(events) { file.exportBase = dir.filePath("run"); }
    QString Path(const char *suffix) const { return file.exportBase + suffix; }
    void SaveAll() { scan.SaveTraceText(); scan.SaveTraceBinary(); scan.SaveHistogram(); scan.SaveCorrelations(); }
};

} // namespace

TEST(PointScanSave, CrossCorrelationFileNamesTheFromChannelFirst)
{
    // Every channel-3 photon follows a channel-2 photon by 1.5 µs, so only
    // the pair 2 -> 3 has pairs in the first lag bin (1, 2] µs.
    Exported e({{0, 2}, {30, 3}, {100, 2}, {130, 3}, {200, 2}, {230, 3}, {300, 2}, {330, 3}});
    e.host.dtau.Set(1);
    e.host.nrbins = 2;
    e.host.ncasc = 3;
    e.scan.SaveCorrelations();  // before any correlation: four empty files
    EXPECT_TRUE(QFile::exists(e.Path("_G_ch3_ch2.dat")) && ReadAll(e.Path("_G_ch3_ch2.dat")).isEmpty());
    e.scan.ComputeCorrelations();
    e.SaveAll();
    EXPECT_EQ(QDir(e.dir.path()).entryList(QDir::Files),
              (QStringList{"run_G_ch2_ch2.dat", "run_G_ch2_ch3.dat", "run_G_ch3_ch2.dat", "run_G_ch3_ch3.dat",
                           "run_histogram_ch2.dat", "run_trace_ch2.bin", "run_trace_ch2.dat", "run_trace_ch3.bin"}));
    EXPECT_EQ(ReadAll(e.Path("_G_ch2_ch3.dat")).count('\n'), 5);  // p q - 1 lines
    EXPECT_EQ(e.host.Messages().filter(QRegularExpression("^Correlation function G.. calculated in ")).join("").remove(
                  QRegularExpression("Correlation function | calculated in [^G]*")),
              "G22G23G32G33");
    for (const char *line : {"Trace saved to %1_trace_ch3.bin", "Correlation function saved to %1_G_ch3_ch2.dat"})
        EXPECT_TRUE(e.host.Logged(QString(line).arg(e.file.exportBase))) << line;
    const auto firstG = [&](const char *suffix) { return ReadAll(e.Path(suffix)).split('\n')[0].split('\t').value(3); };
    EXPECT_GT(firstG("_G_ch2_ch3.dat").toDouble(), 0);
    for (const char *suffix : {"_G_ch3_ch2.dat", "_G_ch2_ch2.dat", "_G_ch3_ch3.dat"})
        EXPECT_EQ(firstG(suffix), "0") << suffix;
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
    EXPECT_EQ(ReadAll(e.Path("_G_ch1_ch1.dat")), "0.001\t0.002\t0.0015\t2\n");

    e.scan.SaveTraceText();  // 999 bins of 3 ns, centres in s
    const QList<QByteArray> trace = ReadAll(e.Path("_trace_ch1.dat")).split('\n');
    ASSERT_EQ(trace.size(), 1000);
    EXPECT_EQ(trace[0] + ',' + trace[333] + ',' + trace[334], "1.5e-09 1,1.0005e-06 1,1.0035e-06 0");

    e.scan.BinLifetimes(0.0246914);  // one delay step of 0.5 ns at least; every delay 0 ns
    e.scan.SaveHistogram();
    EXPECT_TRUE(ReadAll(e.Path("_histogram_ch1.dat")).startsWith("0.25 4\n"));
    e.scan.BinLifetimes(0.5);
    e.scan.SaveHistogram();
    EXPECT_EQ(ReadAll(e.Path("_histogram_ch1.dat")).split('\n').value(20), "10.25 1e-12");

    Exported longer({{0, 1}, {400000, 1}});  // 20 ms: the first bin centred on 10 µs
    longer.scan.SaveTraceText();
    EXPECT_TRUE(ReadAll(longer.Path("_trace_ch1.dat")).startsWith("1e-05 1\n3e-05 0\n"));
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
