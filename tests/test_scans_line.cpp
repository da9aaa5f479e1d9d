// Line scan analysis on synthetic records: sync period 50 ns, resolution
// 0.5 ns, lines of 40 sync periods (2000 ns) with 10 sync periods between
// them, image width 4 from the header unless a test says otherwise.
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "scans/LineScan.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace {

struct Photon {
    uint32_t offset;  // sync periods after the line start
    uint32_t channel;
    uint32_t dtime;
};

class Kymograph {
public:
    void Frame() { stream.AddMarker(now, 4); now += 10; }
    void Line(std::vector<Photon> photons, uint64_t length = 40)
    {
        const uint64_t start = now;
        stream.AddMarker(start, 1);
        std::stable_sort(photons.begin(), photons.end(),
                         [](const Photon &a, const Photon &b) { return a.offset < b.offset; });
        for (const Photon &p : photons)
            stream.AddPhoton(start + p.offset, p.channel, p.dtime);
        stream.AddMarker(start + length, 2);
        now = start + length + 10;
    }
    void Stray(uint32_t channel) { stream.AddPhoton(now, channel, 0); now += 5; }

    synth::RecordStream stream;
    uint64_t now = 100;
};

// Rows [1 2 0 0], [0 0 0 1], [3 0 0 0]: pixels are 10 sync periods wide.
Kymograph ThreeLines()
{
    Kymograph k;
    k.Stray(1);  // before the first frame marker
    k.Frame();
    k.Stray(1);  // before the first line start
    k.Line({{0, 1, 10}, {10, 1, 10}, {15, 1, 20}});
    k.Line({{35, 1, 30}});
    k.Line({{1, 1, 10}, {2, 1, 10}, {3, 1, 10}});
    k.Stray(1);  // after the last line end: the last photon of the measurement
    k.Frame();
    return k;
}

void Reconstruct(LineScan &scan, TestHost &host, MemoryFile &file)
{
    host.summary.clear();
    scan.Init(host, file);
    scan.ReconstructImages();
}

} // namespace

TEST(LineScanReconstruct, KymographRowsProfilesAndText)
{
    TestHost host;
    Kymograph k = ThreeLines();
    MemoryFile file(host, k.stream.words, 50, 0.5, 4, 0);
    ASSERT_EQ(file.ScanType, ScanLine);
    LineScan scan;
    Reconstruct(scan, host, file);

    EXPECT_EQ(scan.numberOfFrames, 1u);
    EXPECT_EQ(scan.images[0], (LargeArray<uint16_t>{1, 2, 0, 0, 0, 0, 0, 1, 3, 0, 0, 0}));
    EXPECT_EQ(scan.photonCounts[0], 10u);
    // Placed photons per dtime; the three strays (dtime 0) are not among them.
    ASSERT_EQ(scan.delayCounts[0].size(), 4096u);
    EXPECT_EQ(scan.delayCounts[0][10], 5u);
    EXPECT_EQ(scan.delayCounts[0][20], 1u);
    EXPECT_EQ(scan.delayCounts[0][30], 1u);
    EXPECT_EQ(scan.delayCounts[0][0], 0u);
    EXPECT_TRUE(scan.delayCounts[1].empty());
    // Bins of 0.5 ns (the resolution): 5 ns is bin 10.
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[0][10], 5 + 1e-12);
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[0][0], 1e-12);
    const double mean[] = {4.0 / 3, 2.0 / 3, 0, 1.0 / 3}, variance[] = {7.0 / 3, 4.0 / 3, 0, 1.0 / 3};
    ASSERT_EQ(scan.meanImages[0].size(), 4u);
    for (int x = 0; x < 4; ++x) {
        EXPECT_DOUBLE_EQ(scan.meanImages[0][x], mean[x]) << x;
        EXPECT_DOUBLE_EQ(scan.varianceImages[0][x], variance[x]) << x;
    }
    EXPECT_EQ(scan.timeCourse[0], (std::vector<double>{0.75, 0.25, 0.75}));

    // Lines start at sync 120, 170, 220.
    ASSERT_EQ(scan.lineStartTimes.size(), 3u);
    EXPECT_DOUBLE_EQ(scan.lineStartTimes[0], 120 * 50e-9);
    EXPECT_DOUBLE_EQ(scan.lineStartTimes[2], 220 * 50e-9);
    EXPECT_EQ(host.toolBoxPage, 4);
    EXPECT_TRUE(host.Logged("Lines reconstructed"));

    // Photons outside lines move the last photon time: first frame marker at
    // sync 105, the stray photon after the last line at sync 270.
    EXPECT_DOUBLE_EQ(scan.firstFrameTime, 105 * 50.0);
    EXPECT_DOUBLE_EQ(scan.lastPhotonTime, 270 * 50.0);
    double start = 0, end = 0;
    ASSERT_TRUE(scan.CursorSpan(start, end));
    EXPECT_DOUBLE_EQ(start, 105 * 50e-9);
    EXPECT_DOUBLE_EQ(end, 270 * 50e-9);

    const QString expected = QString::fromUtf8(
        "              Image Width : 4\n"
        "          Number of Lines : 3\n"
        "               Line nSync : 40\n"
        "               Pixel Time : 0.500000 µs\n"
        "           Line Scan Time : 0.002000 ms\n"
        "     Line Sampling Period : 0.002500 ms\n"
        "                Channel 1 : Min = 0, Max = 3, Photon count = 7, Gated photon count = 7\n");
    EXPECT_EQ(scan.infoText, expected);
    EXPECT_EQ(host.summary, expected);
}

TEST(LineScanReconstruct, EqualLinesHaveZeroVariance)
{
    // Five equal lines, and a single line: no variance either way.
    const struct {
        int lines;
        std::vector<Photon> photons;
        std::vector<double> mean;
    } cases[] = {
        {5, {{5, 1, 10}, {25, 1, 10}, {26, 1, 10}}, {1, 0, 2, 0}},
        {1, {{5, 1, 10}, {6, 1, 10}}, {2, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines);
        TestHost host;
        Kymograph k;
        k.Frame();
        for (int i = 0; i < c.lines; ++i)
            k.Line(c.photons);
        k.Frame();
        MemoryFile file(host, k.stream.words, 50, 0.5, 4, 0);
        LineScan scan;
        Reconstruct(scan, host, file);
        EXPECT_EQ(scan.meanImages[0], c.mean);
        EXPECT_EQ(scan.varianceImages[0], (std::vector<double>{0, 0, 0, 0}));
        EXPECT_EQ(scan.timeCourse[0], std::vector<double>(c.lines, c.lines == 1 ? 0.5 : 0.75));
        if (c.lines == 1) {
            EXPECT_TRUE(scan.infoText.contains("     Line Sampling Period : 0.000000 ms\n"));
        }
    }
}

TEST(LineScanReconstruct, LineBeyondTheLineCountIsDropped)
{
    TestHost host;
    Kymograph k;
    k.Frame();
    k.Line({{5, 1, 10}});
    k.Line({{5, 1, 10}});
    // A third line start without its end: linesPerFrame counts ends, so H = 2.
    k.stream.AddMarker(k.now, 1);
    k.stream.AddPhoton(k.now + 5, 1, 10);
    k.now += 50;
    k.Frame();
    MemoryFile file(host, k.stream.words, 50, 0.5, 4, 0);
    LineScan scan;
    Reconstruct(scan, host, file);
    EXPECT_EQ(scan.imageHeight, 2u);
    EXPECT_EQ(scan.lineStartTimes.size(), 2u);
    EXPECT_EQ(scan.images[0], (LargeArray<uint16_t>{1, 0, 0, 0, 1, 0, 0, 0}));
    // The photon of the dropped line (sync 215, 5 ns) is still the last one met.
    EXPECT_DOUBLE_EQ(scan.lastPhotonTime, 215 * 50.0 + 5);
}

TEST(LineScanReconstruct, NoLineAfterTheFrameMarker)
{
    TestHost host;
    Kymograph k;
    // A line end without its start: H = 1, but no whole line before the marker.
    k.stream.AddMarker(k.now, 2);
    k.now += 10;
    k.Frame();
    k.Stray(1);
    k.Frame();
    MemoryFile file(host, k.stream.words, 50, 0.5, 0, 0);
    LineScan scan;
    Reconstruct(scan, host, file);
    EXPECT_TRUE(host.Logged("No complete line found after the first frame marker", MessageError));
    EXPECT_TRUE(host.Logged("No line width in the file header: using 32 pixels per line "
                            "(the line width override changes it)",
                            MessageWarning));
    EXPECT_TRUE(scan.reconstructed);
    EXPECT_TRUE(scan.images[0].empty());
    EXPECT_EQ(scan.meanImages[0], std::vector<double>(32, 0.0));
    EXPECT_EQ(scan.timeCourse[0], std::vector<double>(1, 0.0));
}

TEST(LineScanHistogram, PositionDelayHistogram)
{
    TestHost host;
    host.SetGate(1, 0, 1);  // the histogram ignores the gates
    Kymograph k;
    k.Frame();
    // 256 pixels of 7.8125 ns: offset 10 sync + 10 ns = 510 ns is pixel 65.
    k.Line({{10, 1, 20}, {10, 1, 20}, {0, 1, 99}});
    k.Line({{10, 1, 21}});
    k.Frame();
    MemoryFile file(host, k.stream.words, 50, 0.5, 256, 0);
    LineScan scan;
    Reconstruct(scan, host, file);
    EXPECT_EQ(scan.gatedPhotonCount[0], 0u);

    // The cursors the first reconstruction set (3 decimals in s) would shut
    // out this microsecond measurement: open them.
    for (int c = 1; c <= 4; ++c)
        host.SetCursor(c, 0, 1);
    scan.BuildHistogramImages(0.5);
    EXPECT_TRUE(host.Logged("100 256"));
    EXPECT_EQ(scan.histogramBins, 100u);
    ASSERT_EQ(scan.histogramImages[0].size(), 25600u);
    EXPECT_EQ(scan.histogramImages[0][65 * 100 + 20], 2);
    EXPECT_EQ(scan.histogramImages[0][65 * 100 + 21], 1);
    // Offset 0 sync + 49.5 ns is pixel 6; 49.5 ns is delay bin 99 of 100.
    EXPECT_EQ(scan.histogramImages[0][6 * 100 + 99], 1);
    EXPECT_EQ(std::accumulate(scan.histogramImages[0].begin(), scan.histogramImages[0].end(), 0u), 4u);

    scan.BuildHistogramImages(0);
    EXPECT_TRUE(host.Logged("Invalid bin width 0 ns", MessageError));
}
