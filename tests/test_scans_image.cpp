// Image scan reconstruction on synthetic records whose every photon's pixel,
// frame, delay and time is chosen here.
//
// Unless a test says otherwise: sync period 50 ns, resolution 0.5 ns (dtime d
// is a delay of d/2 ns), image width 4 from the header, lines of 40 sync
// periods (2000 ns), so a pixel is 10 sync periods (500 ns) wide.
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "scans/ImageScan.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

namespace {

struct Photon {
    uint32_t x;       // pixel
    uint32_t k;       // sync periods into the pixel, 0..9
    uint32_t channel;
    uint32_t dtime;
};

class Raster {
public:
    void Frame() { stream.AddMarker(now, 4); now += 10; }
    void FrameAt(uint64_t sync) { now = sync; Frame(); }
    /// A line from \p start (or the current time) of \p length sync periods.
    void Line(std::vector<Photon> photons, uint64_t length = 40)
    {
        const uint64_t start = now;
        stream.AddMarker(start, 1);
        std::stable_sort(photons.begin(), photons.end(),
                         [](const Photon &a, const Photon &b) { return a.x * 10 + a.k < b.x * 10 + b.k; });
        for (const Photon &p : photons)
            stream.AddPhoton(start + 10 * p.x + p.k, p.channel, p.dtime);
        stream.AddMarker(start + length, 2);
        now = start + length + 10;
    }
    void LineAt(uint64_t start, std::vector<Photon> photons) { now = start; Line(std::move(photons)); }
    /// A frame of two empty lines closed by its marker.
    void EmptyFrame() { Line({}); Line({}); Frame(); }
    /// A photon outside any line, at the current time.
    void Stray(uint32_t channel, uint32_t dtime) { stream.AddPhoton(now, channel, dtime); now += 5; }

    synth::RecordStream stream;
    uint64_t now = 100;
};

std::unique_ptr<MemoryFile> Make(TestHost &host, const Raster &r, int width = 4)
{
    return std::make_unique<MemoryFile>(host, r.stream.words, 50.0, 0.5, width, 0);
}

void Reconstruct(ImageScan &scan, TestHost &host, MemoryFile &file)
{
    host.summary.clear();
    scan.Init(host, file);
    scan.ReconstructImages();
}

// These measurements last microseconds: the cursor boxes (3 decimals in s)
// set by the first reconstruction would shut every photon out of the next
// one, so tests that reconstruct again open them as a user would.
void OpenCursors(TestHost &host)
{
    for (int c = 1; c <= 4; ++c)
        host.SetCursor(c, 0, 1);
}

void ExpectTimes(const std::vector<double> &actual, const std::vector<double> &expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "entry " << i;
}

void Reapply(ImageScan &scan)
{
    scan.reconstructed = false;
    scan.ReconstructImages();
}

// Two frames of two lines; channel 3 has no photons in the file. The file
// opens with its first frame marker as record 0, and that frame is kept.
Raster BasicRaster()
{
    Raster r;
    r.Frame();
    r.Line({{0, 1, 1, 10}, {1, 2, 1, 20}, {1, 5, 1, 30}, {2, 0, 2, 0}});
    r.Line({{3, 9, 1, 98}, {3, 1, 1, 99}});
    r.Frame();
    r.Line({{0, 0, 1, 10}});
    r.Line({{1, 3, 1, 40}, {3, 0, 2, 4}});
    r.Frame();
    return r;
}

// The dtime values that hold placed photons, with their counts.
std::map<uint32_t, uint32_t> Placed(const std::vector<uint32_t> &delayCounts)
{
    std::map<uint32_t, uint32_t> placed;
    for (size_t k = 0; k < delayCounts.size(); ++k)
        if (delayCounts[k] != 0)
            placed[static_cast<uint32_t>(k)] = delayCounts[k];
    return placed;
}

std::vector<uint16_t> Page(const ImageScan &s, int c, int f)
{
    const auto first = s.images[c].begin() + f * s.pixelsPerImage;
    return std::vector<uint16_t>(first, first + s.pixelsPerImage);
}

} // namespace

TEST(ImageScanReconstruct, StackCountsAndStatistics)
{
    TestHost host;
    Raster r = BasicRaster();
    auto file = Make(host, r);
    ASSERT_EQ(file->ScanType, ScanImage);
    ImageScan scan;
    Reconstruct(scan, host, *file);

    ASSERT_TRUE(scan.reconstructed);
    EXPECT_EQ(scan.numberOfFrames, 2u);
    EXPECT_EQ(scan.totalPixels, 16u);
    EXPECT_EQ(scan.activeChannelCount, 2u);
    EXPECT_DOUBLE_EQ(scan.lineTime, 2000.0);

    EXPECT_EQ(Page(scan, 0, 0), (std::vector<uint16_t>{1, 2, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(Page(scan, 0, 1), (std::vector<uint16_t>{1, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(Page(scan, 1, 0), (std::vector<uint16_t>{0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Page(scan, 1, 1), (std::vector<uint16_t>{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(scan.images[2].empty());
    EXPECT_TRUE(scan.images[3].empty());
    EXPECT_EQ(scan.photonCounts, (std::vector<uint32_t>{7, 2, 0, 0}));
    EXPECT_EQ(scan.gatedPhotonCount, (std::vector<uint32_t>{7, 2, 0, 0}));
    EXPECT_EQ(scan.minimum[2], 65536u);

    // Placed photons per dtime: 5 ns twice, 10, 15, 49.5, 49 and 20 ns; 0 and 2 ns.
    ASSERT_EQ(scan.delayCounts[0].size(), 4096u);
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{10, 2}, {20, 1}, {30, 1}, {40, 1}, {98, 1}, {99, 1}}));
    EXPECT_EQ(Placed(scan.delayCounts[1]), (std::map<uint32_t, uint32_t>{{0, 1}, {4, 1}}));
    EXPECT_TRUE(scan.delayCounts[2].empty());

    EXPECT_EQ(scan.meanImages[0], (std::vector<double>{1, 1, 0, 0, 0, 0.5, 0, 1}));
    EXPECT_EQ(scan.varianceImages[0], (std::vector<double>{0, 2, 0, 0, 0, 0.5, 0, 2}));
    EXPECT_EQ(scan.timeCourse[0], (std::vector<double>{0.625, 0.25}));
    EXPECT_EQ(scan.timeCourse[1], (std::vector<double>{0.125, 0.125}));
    EXPECT_TRUE(scan.meanImages[2].empty());

    // Frame 0 starts at sync 110, frame 1 at 220 (markers at 100, 210, 320).
    ExpectTimes(scan.frameStartTimes, {110 * 50e-9, 220 * 50e-9});
    ExpectTimes(scan.frameMarkerTimes, {210 * 50e-9, 320 * 50e-9});
    EXPECT_EQ(host.toolBoxPage, 5);

    const QString expected = QString::fromUtf8(
        "              Image Width : 4\n"
        "             Image Height : 2\n"
        " Orignal Number of Images : 2\n"
        " Number of Images removed : 0\n"
        "   Final Number of Images : 2\n"
        "               Line nSync : 40\n"
        "                Line Time : 0.002000 ms\n"
        "               Pixel Time : 0.500000 µs\n"
        "     Line Sampling Period : 0.002500 ms\n"
        "    Image Sampling Period : 0.005500 ms\n"
        "                Channel 1 : Min = 0, Max = 2, Photon count = 7, Gated photon count = 7\n"
        "                Channel 2 : Min = 0, Max = 1, Photon count = 2, Gated photon count = 2\n");
    EXPECT_EQ(scan.infoText, expected);
    EXPECT_EQ(host.summary, expected);
    for (const char *step : {"Information gathered", "Images reconstructed", "Images checked", "Calculated stats",
                             "Binned Life Time Data"})
        EXPECT_TRUE(host.Logged(step)) << step;

    // Once reconstructed, a call returns at once; a cursor apply gives the same
    // stack and the same text, not repeated.
    const auto images = scan.images;
    const auto delays = scan.delayCounts;
    const auto histograms = scan.lifetimeHistograms;
    const size_t messages = host.messages.size();
    scan.ReconstructImages();
    EXPECT_EQ(host.messages.size(), messages);
    host.summary.clear();
    OpenCursors(host);
    Reapply(scan);
    EXPECT_EQ(host.summary, expected);
    EXPECT_EQ(scan.images, images);
    EXPECT_EQ(scan.delayCounts, delays);
    EXPECT_EQ(scan.lifetimeHistograms, histograms);
}

TEST(ImageScanReconstruct, LifetimeHistogramsOfNinetyNineBins)
{
    TestHost host;
    auto file = Make(host, BasicRaster());
    ImageScan scan;
    Reconstruct(scan, host, *file);

    // The bin box is reset to the resolution, 0.5 ns: ceil(50 / 0.5) = 100 bins, the last dropped.
    EXPECT_DOUBLE_EQ(scan.lifetimeBinWidth, 0.5);
    ASSERT_EQ(scan.lifetimeAxis.size(), 99u);
    EXPECT_DOUBLE_EQ(scan.lifetimeAxis.front(), 0.25);
    EXPECT_DOUBLE_EQ(scan.lifetimeAxis.back(), 49.25);
    ASSERT_EQ(scan.lifetimeHistograms[0].size(), 99u);
    // Two photons at 5 ns, one at 10, 15, 20 and 49 ns; bin 0 empty.
    const std::pair<int, double> bins[] = {{0, 0}, {10, 2}, {20, 1}, {30, 1}, {40, 1}, {98, 1}};
    for (const auto &[bin, count] : bins)
        EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[0][bin], count + 1e-12) << "bin " << bin;
    // 49.5 ns falls in the dropped guard bin: 6 of the 7 delays are counted.
    const double sum = std::accumulate(scan.lifetimeHistograms[0].begin(), scan.lifetimeHistograms[0].end(), 0.0);
    EXPECT_NEAR(sum, 6.0, 1e-9);
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[1][0], 1 + 1e-12);
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[1][4], 1 + 1e-12);
    EXPECT_TRUE(scan.lifetimeHistograms[2].empty());

    // Invalid bin widths are refused and change nothing.
    const auto histograms = scan.lifetimeHistograms;
    for (double width : {0.0, -1.0, std::nan("")}) {
        scan.BinLifetimes(width);
        EXPECT_TRUE(host.Logged(QString("Invalid bin width %1 ns").arg(width), MessageError)) << width;
    }
    EXPECT_EQ(scan.lifetimeHistograms, histograms);
    EXPECT_EQ(scan.lifetimeAxis.size(), 99u);

    // Rebinning on demand with 20 ns: ceil(2.5) = 3 bins, 2 kept.
    scan.BinLifetimes(20);
    EXPECT_EQ(scan.lifetimeAxis, (std::vector<double>{10, 30}));
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[0][0], 4 + 1e-12);  // 5, 10, 15 and 5 ns
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[0][1], 1 + 1e-12);  // 20 ns; 49 and 49.5 ns lie beyond 40 ns
}

TEST(ImageScanReconstruct, GateLimitsAndPixelClockDecideWhatIsPlaced)
{
    const struct {
        const char *name;
        double gateLow, gateHigh;
        std::vector<Photon> first;
        uint64_t secondLength;
        std::vector<Photon> second;
        std::vector<uint16_t> page;
        std::map<uint32_t, uint32_t> placed;
    } cases[] = {
        // Gate 5..10 ns, inclusive: 4.5, 5, 10 and 10.5 ns.
        {"gate", 5, 10, {{0, 0, 1, 9}, {1, 0, 1, 10}, {2, 0, 1, 20}, {3, 0, 1, 21}}, 40, {},
         {0, 1, 1, 0, 0, 0, 0, 0}, {{10, 1}, {20, 1}}},
        // Offset 39 sync + 49.5 ns = 1999.5 ns is pixel 3; offset 40 sync = lineTime is x = W.
        // A longer second line: offset 42 sync is beyond lineTime although the line has not ended.
        {"pixel clock", 0, 1e9, {{3, 9, 1, 99}, {4, 0, 1, 0}}, 45, {{4, 2, 1, 0}, {0, 0, 1, 0}},
         {0, 0, 0, 1, 1, 0, 0, 0}, {{0, 1}, {99, 1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestHost host;
        if (c.gateHigh < 1e9)
            host.SetGate(1, c.gateLow, c.gateHigh);
        Raster r;
        r.Frame();
        r.Line(c.first);
        r.Line(c.second, c.secondLength);
        r.Frame();
        r.EmptyFrame();
        auto file = Make(host, r);
        ImageScan scan;
        Reconstruct(scan, host, *file);
        EXPECT_EQ(Page(scan, 0, 0), c.page);
        EXPECT_EQ(Placed(scan.delayCounts[0]), c.placed);
        EXPECT_EQ(scan.photonCounts[0], 4u);
    }
}

TEST(ImageScanReconstruct, CursorLimitsAreInclusiveAndRangesComeFromTheFirstReconstruction)
{
    // Lines around 1 ms and 2 ms so that cursor values of 3 decimals in s meet
    // photon times exactly: sync 20000 is 1e6 ns, sync 40000 is 2e6 ns.
    Raster r;
    r.FrameAt(100);
    r.LineAt(19990, {{0, 9, 1, 99}, {1, 0, 1, 0}});  // 999999.5 ns and 1e6 ns
    r.LineAt(39990, {{1, 0, 1, 0}, {1, 0, 1, 1}});   // 2e6 ns and 2e6 + 0.5 ns
    r.FrameAt(60000);
    r.LineAt(60010, {});
    r.LineAt(60060, {});
    r.FrameAt(80000);
    TestHost host;
    auto file = Make(host, r);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_EQ(scan.gatedPhotonCount[0], 4u);

    // First frame marker at sync 100 (5000 ns), last photon in a line at 2e6 + 0.5 ns.
    EXPECT_DOUBLE_EQ(scan.firstFrameTime, 5000.0);
    EXPECT_DOUBLE_EQ(scan.lastPhotonTime, 2000000.5);
    double start = -1, end = -1;
    ASSERT_TRUE(scan.CursorSpan(start, end));
    EXPECT_DOUBLE_EQ(start, 5e-6);
    EXPECT_DOUBLE_EQ(end, 2000000.5e-9);
    for (int c = 0; c < 4; ++c) {
        // 5 µs .. 2.0000005 ms on the boxes' thousandths, rounded outwards.
        EXPECT_DOUBLE_EQ(host.cursorMin[c].value, 0.0);
        EXPECT_DOUBLE_EQ(host.cursorMax[c].value, 0.003);
    }

    // Applying those cursors unchanged keeps every photon, also the last one
    // at 2.0000005 ms (rounded to the nearest thousandth it was lost).
    Reapply(scan);
    EXPECT_EQ(scan.gatedPhotonCount[0], 4u);

    host.SetCursor(1, 0.001, 0.002);
    Reapply(scan);
    EXPECT_EQ(scan.gatedPhotonCount[0], 2u);
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{0, 2}}));  // 1e6 and 2e6 ns, both 0 ns delays
    EXPECT_EQ(Page(scan, 0, 0), (std::vector<uint16_t>{0, 1, 0, 0, 0, 1, 0, 0}));
    EXPECT_TRUE(host.Logged("1: 0.003000"));
    EXPECT_TRUE(host.Logged("2: 0.004000"));

    // A cursor apply keeps what the user set.
    host.SetCursor(1, 0.001, 0.001);
    Reapply(scan);
    EXPECT_DOUBLE_EQ(host.cursorMin[0].value, 0.001);
    EXPECT_DOUBLE_EQ(host.cursorMax[0].value, 0.001);
    EXPECT_EQ(scan.gatedPhotonCount[0], 1u);
    ASSERT_TRUE(scan.CursorSpan(start, end));
    EXPECT_DOUBLE_EQ(end, 2000000.5e-9);

    // A gating apply gathers again: cursors open to 0 .. 1e16 s and stay there.
    scan.gathered = false;
    Reapply(scan);
    for (int c = 0; c < 4; ++c) {
        EXPECT_DOUBLE_EQ(host.cursorMin[c].value, 0.0);
        EXPECT_DOUBLE_EQ(host.cursorMax[c].value, 1e16);
    }
    EXPECT_EQ(scan.gatedPhotonCount[0], 4u);
}

TEST(ImageScanReconstruct, PhotonsOutsideLinesAreNotPlaced)
{
    TestHost host;
    Raster r;
    r.Frame();
    r.Stray(1, 0);  // before the first line start of the frame
    r.Line({{2, 0, 1, 0}});
    r.Stray(1, 0);  // between a line end and the next line start
    r.Line({});
    r.Frame();
    r.Line({{0, 0, 1, 0}});
    const uint64_t lastInLine = r.now - 50;  // line start of that line, photon at offset 0
    r.Line({});
    r.Stray(1, 0);  // after the last line of the measurement
    r.Frame();
    auto file = Make(host, r);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_EQ(scan.photonCounts[0], 5u);
    EXPECT_EQ(scan.gatedPhotonCount[0], 2u);
    EXPECT_EQ(Page(scan, 0, 0), (std::vector<uint16_t>{0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Page(scan, 0, 1), (std::vector<uint16_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_DOUBLE_EQ(scan.lastPhotonTime, lastInLine * 50.0);
}

TEST(ImageScanCheck, ShortFrameRemovedAfterBinning)
{
    // Three frames; the middle one holds only one of the two lines and a pixel of 5.
    Raster r;
    r.Frame();
    r.Line({{0, 0, 1, 10}});
    r.Line({{1, 0, 1, 10}, {1, 1, 1, 10}});
    r.Frame();
    r.Line({{2, 0, 1, 20}, {2, 1, 1, 20}, {2, 2, 1, 20}, {2, 3, 1, 20}, {2, 4, 1, 20}});
    r.Frame();
    r.Line({{0, 0, 1, 10}});
    r.Line({});
    r.Frame();
    TestHost host;
    auto file = Make(host, r);
    ImageScan scan;
    Reconstruct(scan, host, *file);

    EXPECT_EQ(scan.imagesRemoved, 1u);
    EXPECT_EQ(scan.numberOfFrames, 2u);
    EXPECT_EQ(scan.totalPixels, 16u);
    EXPECT_EQ(scan.images[0].size(), 16u);
    EXPECT_EQ(scan.linesInFrame, (std::vector<uint32_t>{2, 1, 2}));
    EXPECT_EQ(Page(scan, 0, 0), (std::vector<uint16_t>{1, 0, 0, 0, 0, 2, 0, 0}));
    EXPECT_EQ(Page(scan, 0, 1), (std::vector<uint16_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    // Kept frames: the first and the third (markers at 100, 210, 270, 380).
    ExpectTimes(scan.frameMarkerTimes, {210 * 50e-9, 380 * 50e-9});
    ExpectTimes(scan.frameStartTimes, {110 * 50e-9, 280 * 50e-9});

    // Still counted: the photons of the removed frame.
    EXPECT_EQ(scan.gatedPhotonCount[0], 9u);
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{10, 4}, {20, 5}}));
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[0][20], 5 + 1e-12);  // the five 10 ns delays of the removed frame
    // Not counted: the statistics of the stack.
    EXPECT_EQ(scan.maximum[0], 2u);
    EXPECT_EQ(scan.meanImages[0], (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(scan.varianceImages[0], (std::vector<double>{0, 0, 0, 0, 0, 2, 0, 0}));
    EXPECT_EQ(scan.timeCourse[0], (std::vector<double>{3.0 / 8, 1.0 / 8}));
    EXPECT_TRUE(scan.infoText.contains(" Orignal Number of Images : 3\n"
                                       " Number of Images removed : 1\n"));
    EXPECT_TRUE(scan.infoText.contains("    Image Sampling Period : 0.008500 ms\n"));

    // A cursor apply after the removal gives the same stack.
    const auto images = scan.images;
    const auto histograms = scan.lifetimeHistograms;
    OpenCursors(host);
    Reapply(scan);
    EXPECT_EQ(scan.numberOfFrames, 2u);
    EXPECT_EQ(scan.imagesRemoved, 1u);
    EXPECT_EQ(scan.images, images);
    EXPECT_EQ(scan.lifetimeHistograms, histograms);
    EXPECT_EQ(scan.photonCount[0], 9u);
}

TEST(ImageScanCheck, EveryFrameRemoved)
{
    TestHost host;
    Raster r;
    // Three line ends before the first frame marker make linesPerFrame 3; the
    // first has no start, so that run is no frame. Later frames have 2 lines.
    r.stream.AddMarker(r.now, 2);
    r.now += 10;
    r.Line({});
    r.Line({});
    r.Frame();
    r.Line({{0, 0, 1, 10}});
    r.Line({});
    r.Frame();
    r.EmptyFrame();
    auto file = Make(host, r);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_EQ(scan.imageHeight, 3u);
    EXPECT_EQ(scan.numberOfFrames, 0u);
    EXPECT_EQ(scan.imagesRemoved, 2u);
    EXPECT_TRUE(scan.images[0].empty());
    // Mean of no frame is 0, no variance, no time course.
    EXPECT_EQ(scan.meanImages[0], std::vector<double>(12, 0.0));
    EXPECT_EQ(scan.varianceImages[0], std::vector<double>(12, 0.0));
    EXPECT_TRUE(scan.timeCourse[0].empty());
    EXPECT_TRUE(scan.infoText.contains("   Final Number of Images : 0\n"));
    EXPECT_TRUE(scan.infoText.contains("                Channel 1 : Min = 65536, Max = 0, Photon count = 1, "
                                       "Gated photon count = 1\n"));
}

TEST(ImageScanGuards, SingleFrameHasZeroVarianceAndNoSamplingPeriod)
{
    TestHost host;
    Raster r;
    r.Frame();
    r.Line({{0, 0, 1, 10}, {0, 1, 1, 10}});
    r.Line({{3, 0, 1, 10}});
    r.Frame();
    auto file = Make(host, r);
    ASSERT_EQ(file->numberOfFrames, 1u);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_EQ(scan.numberOfFrames, 1u);
    EXPECT_EQ(scan.meanImages[0], (std::vector<double>{2, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(scan.varianceImages[0], std::vector<double>(8, 0.0));
    EXPECT_TRUE(scan.infoText.contains("    Image Sampling Period : 0.000000 ms\n"));
}

TEST(ImageScanGuards, CountsSaturateAtSixteenBits)
{
    TestHost host;
    Raster r;
    r.Frame();
    r.stream.AddMarker(r.now, 1);
    for (int i = 0; i < 70000; ++i)
        r.stream.AddPhoton(r.now + 1, 1, 10);
    r.stream.AddMarker(r.now + 40, 2);
    r.now += 50;
    r.Line({});
    r.Frame();
    r.EmptyFrame();
    auto file = Make(host, r);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_EQ(scan.images[0][0], 65535);
    EXPECT_EQ(scan.maximum[0], 65535u);
    EXPECT_EQ(scan.photonCount[0], 70000u);
    EXPECT_EQ(scan.delayCounts[0][10], 70000u);
    // 70000 photons at 5 ns: the bin holds what adding them one by one gives.
    double oneByOne = 1e-12;
    for (int i = 0; i < 70000; ++i)
        oneByOne += 1;
    EXPECT_EQ(scan.lifetimeHistograms[0][10], oneByOne);
}

TEST(ImageScanGuards, ChannelsOutsideTheFileAreSkipped)
{
    TestHost host;
    Raster r;
    r.Frame();
    r.Line({{0, 0, 0, 10}, {1, 0, 1, 10}, {2, 0, 3, 10}, {3, 0, 14, 10}});
    r.Line({});
    r.Frame();
    r.EmptyFrame();
    auto file = Make(host, r);
    file->channels = 2;
    file->scanned = false;
    file->ScanRecords();
    ImageScan scan;
    Reconstruct(scan, host, *file);
    ASSERT_EQ(scan.numberOfChannels, 2u);
    EXPECT_EQ(Page(scan, 0, 0), (std::vector<uint16_t>{0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(scan.gatedPhotonCount, (std::vector<uint32_t>{1, 0}));
    EXPECT_TRUE(scan.images[1].empty());
}

TEST(ImageScanGuards, MissingWidthFallsBackToTheOverrideBox)
{
    TestHost host;
    auto file = Make(host, BasicRaster(), 0);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_EQ(scan.imageWidth, 32u);
    EXPECT_TRUE(host.Logged("No image width in the file header: using 32 pixels per line "
                            "(the image width override changes it)",
                            MessageWarning));
    // 500 ns pixels become 62.5 ns pixels: offsets of 50, 600 and 750 ns are pixels 0, 9 and 12.
    for (int x : {0, 9, 12})
        EXPECT_EQ(scan.images[0][x], 1) << x;

    TestHost other;
    other.ISImageWidthcheck = Qt::Checked;
    other.ISImageWidth = 8;
    ImageScan second;
    Reconstruct(second, other, *file);
    EXPECT_EQ(second.imageWidth, 8u);
    EXPECT_TRUE(other.Messages(MessageWarning).isEmpty());
}

TEST(ImageScanGuards, NoCompleteLineGivesEmptyResults)
{
    TestHost host;
    Raster r;
    r.Frame();
    r.stream.AddMarker(r.now, 1);
    r.stream.AddPhoton(r.now + 1, 1, 10);
    r.now += 50;
    r.Frame();
    r.Frame();
    auto file = Make(host, r);
    ASSERT_EQ(file->ScanType, ScanImage);
    ImageScan scan;
    Reconstruct(scan, host, *file);
    EXPECT_TRUE(host.Logged("No complete line found after the first frame marker", MessageError));
    EXPECT_TRUE(scan.reconstructed);
    EXPECT_EQ(scan.numberOfFrames, 0u);
    EXPECT_TRUE(scan.images[0].empty());
    EXPECT_EQ(scan.photonCount[0], 0u);
    EXPECT_TRUE(scan.infoText.contains("                Line Time : 0.000000 ms\n"));
}

TEST(ImageScanGuards, MalformedMarkerCountsStayInsideTheArrays)
{
    TestHost host;
    auto file = Make(host, BasicRaster());
    // A record scan that saw fewer lines and frames than the pass will meet.
    file->linesPerFrame = 1;
    file->numberOfFrames = 1;
    ImageScan scan;
    Reconstruct(scan, host, *file);
    // Line 1 lies beyond H = 1: only the three photons of line 0 are placed.
    EXPECT_EQ(scan.photonCount[0], 3u);
    EXPECT_EQ(scan.photonCount[1], 1u);
    // Frame 0 ended with two lines, not H: removed, nothing left.
    EXPECT_EQ(scan.numberOfFrames, 0u);
    EXPECT_EQ(scan.imagesRemoved, 1u);
    EXPECT_TRUE(scan.images[0].empty());
}
