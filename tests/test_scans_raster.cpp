// Image and line scans of synthetic records. Unless a test says otherwise: sync period 50 ns, resolution
// 0.5 ns (dtime d is a delay of d/2 ns), width 4 from the header, lines of 40 sync periods (2000 ns) with 10
// between them, so a pixel is 10 sync periods (500 ns) wide.
#include "support/MemoryFile.h"
#include "support/Placed.h"
#include "support/ScansHelpers.h"
#include "support/TestHost.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>
#include <tuple>

namespace {

struct Photon {
    uint32_t offset;  // sync periods after the line start, in time order
    uint32_t channel;
    uint32_t dtime;
};

using Lines = std::vector<std::vector<Photon>>;

struct Records {
    void Frame() { stream.AddMarker(now, 4); now += 10; }
    void FrameAt(uint64_t sync) { now = sync; Frame(); }
    void Line(const std::vector<Photon> &photons, uint64_t length = 40)
    {
        stream.AddMarker(now, 1);
        for (const Photon &p : photons)
            stream.AddPhoton(now + p.offset, p.channel, p.dtime);
        stream.AddMarker(now + length, 2);
        now += length + 10;
    }
    void LineAt(uint64_t start, const std::vector<Photon> &photons) { now = start; Line(photons); }
    /// Per frame its marker and its lines, then the closing marker.
    Records &Frames(const std::vector<Lines> &frames)
    {
        for (const Lines &lines : frames) {
            Frame();
            for (const auto &line : lines)
                Line(line);
        }
        Frame();
        return *this;
    }
    /// A line start whose end never comes, with one photon.
    void Unended(Photon p)
    {
        stream.AddMarker(now, 1);
        stream.AddPhoton(now + p.offset, p.channel, p.dtime);
        now += 50;
    }
    /// A line end without its start.
    void End() { stream.AddMarker(now, 2); now += 10; }
    /// A photon outside any line, at the current time.
    void Stray(uint32_t channel) { stream.AddPhoton(now, channel, 0); now += 5; }

    synth::RecordStream stream;
    uint64_t now = 100;
};

template <class Scan>
struct Analysis {
    explicit Analysis(const Records &r, int width = 4) : file(host, r.stream.words, 50.0, 0.5, width, 0) {}
    Scan &Run()
    {
        host.summary.clear();
        scan.Init(host, file);
        scan.ReconstructImages();
        return scan;
    }
    void Again() { scan.reconstructed = false; scan.ReconstructImages(); }
    // These measurements last microseconds: the cursor boxes (3 decimals in s)
    // set by the first reconstruction would shut every photon out of the next one.
    void OpenCursors() { for (int c = 1; c <= 4; ++c) host.SetCursor(c, 0, 1); }

    TestHost host;
    MemoryFile file;
    Scan scan;
};

// Two frames of two lines; channel 3 has no photons in the file. The file
// opens with its first frame marker, and that frame is kept.
Records TwoFrames()
{
    Records r;
    r.Frame();
    r.Stray(1);  // before the first line start: not placed
    r.Line({{1, 1, 10}, {12, 1, 20}, {15, 1, 30}, {20, 2, 0}});
    r.Line({{31, 1, 99}, {39, 1, 98}});
    r.Frame();
    r.Line({{0, 1, 10}});
    r.Line({{13, 1, 40}, {30, 2, 4}});
    r.Frame();
    return r;
}

using Counts = LargeArray<uint16_t>;

void ExpectTimes(const std::vector<double> &times, const std::vector<uint64_t> &syncs)
{
    ASSERT_EQ(times.size(), syncs.size());
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_DOUBLE_EQ(times[i], syncs[i] * 50e-9) << "entry " << i;
}

} // namespace

TEST(ImageScanReconstruct, StackCountsStatisticsAndLifetimes)
{
    Analysis<ImageScan> a(TwoFrames());
    ASSERT_EQ(a.file.ScanType, ScanImage);
    ImageScan &scan = a.Run();
    EXPECT_EQ(scan.images[0], (Counts{1, 2, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(scan.images[1], (Counts{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(scan.images[2].empty() && scan.images[3].empty() && scan.meanImages[2].empty() &&
                scan.delayCounts[2].empty() && scan.lifetimeHistograms[2].empty());

    // Placed photons per dtime: 5 ns twice, 10, 15, 49.5, 49 and 20 ns; 0 and 2 ns.
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{10, 2}, {20, 1}, {30, 1}, {40, 1}, {98, 1}, {99, 1}}));
    EXPECT_EQ(Placed(scan.delayCounts[1]), (std::map<uint32_t, uint32_t>{{0, 1}, {4, 1}}));

    EXPECT_EQ(scan.meanImages[0], (std::vector<double>{1, 1, 0, 0, 0, 0.5, 0, 1}));
    EXPECT_EQ(scan.varianceImages[0], (std::vector<double>{0, 2, 0, 0, 0, 0.5, 0, 2}));
    EXPECT_EQ(scan.timeCourse[0], (std::vector<double>{0.625, 0.25}));
    EXPECT_EQ(scan.timeCourse[1], (std::vector<double>{0.125, 0.125}));
    EXPECT_EQ(a.host.toolBoxPage, 5);

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
    EXPECT_EQ(a.host.summary, expected);
    for (const char *step : {"Information gathered", "Images reconstructed", "Images checked", "Calculated stats",
                             "Binned Life Time Data"})
        EXPECT_TRUE(a.host.Logged(step)) << step;
    // Once reconstructed, a call returns at once.
    const size_t messages = a.host.messages.size();
    scan.ReconstructImages();
    EXPECT_EQ(a.host.messages.size(), messages);

    // Lifetime bins of the resolution, 0.5 ns (the bins one by one: PointScan.GatedListsTraceExportAndLifetimes);
    // 49.5 ns falls in the dropped guard bin: 6 of the 7 delays are counted.
    ASSERT_EQ(scan.lifetimeHistograms[0].size(), 99u);
    EXPECT_DOUBLE_EQ(scan.lifetimeHistograms[1][4], 1 + 1e-12);
    const double sum = std::accumulate(scan.lifetimeHistograms[0].begin(), scan.lifetimeHistograms[0].end(), 0.0);
    EXPECT_NEAR(sum, 6.0, 1e-9);
}

TEST(ImageScanReconstruct, TwoThreadsGiveWhatOneGives)
{
    // A leading frame before the first marker, gaps that overflow the 16-bit
    // sync counter between frames, and a trailing frame after the last marker.
    Records edges;
    edges.Line({{1, 1, 10}, {20, 2, 7}});
    for (uint32_t f = 0; f < 4; ++f) {
        edges.FrameAt(edges.now + 70000 * (f + 1));
        edges.Line({{2, 1, f}, {25, 2, 30 + f}, {33, 1, 99}});
        edges.Line({{0, 2, 5}, {9, 1, 6}, {39, 2, 7}});
    }
    edges.Line({{5, 1, 1}});
    edges.Stray(2);
    Records wide;
    wide.stream.words = synth::MakeImageScan(ScansTestPlan()).words;
    const std::tuple<const char *, Records, int> files[] = {
        {"two frames", TwoFrames(), 4}, {"leading, trailing, overflows", edges, 4}, {"vector runs", wide, 37}};
    for (const auto &[what, records, width] : files) {
        // The record scan's second half keeps 1 marker (the first thread counts on from there), 5, or all of them.
        for (int level : {0, 1, 2}) {
            SCOPED_TRACE(std::string(what) + ", vector form " + std::to_string(level));
            RasterScan::vectorLevel = level;
            RasterScan::parallelPassRecords = RasterScan::parallelStatisticsCounts = pqFile::parallelScanRecords = SIZE_MAX;
            Analysis<ImageScan> one(records, width);
            one.Run();
            RasterScan::parallelPassRecords = RasterScan::parallelStatisticsCounts = pqFile::parallelScanRecords = 0;
            pqFile::deferredMarkersKept = level == 0 ? 1 : level == 1 ? 5 : SIZE_MAX;
            Analysis<ImageScan> two(records, width);
            two.Run();
            RasterScan::parallelPassRecords = pqFile::parallelScanRecords = pqFile::deferredMarkersKept = std::size_t(1) << 20;
            RasterScan::parallelStatisticsCounts = std::size_t(1) << 22;
            RasterScan::vectorLevel = 2;
            ASSERT_GE(one.scan.numberOfFrames, 2u);
            const pqFile &a = one.file, &b = two.file;
            EXPECT_EQ(a.eventsPerMarker, b.eventsPerMarker);
            EXPECT_EQ(a.photonsPerChannel, b.photonsPerChannel);
            EXPECT_EQ((std::vector<uint64_t>{a.frames.count, a.frames.lines, a.frames.leading, a.frames.trailing, a.frames.opening, a.frames.stop}),
                      (std::vector<uint64_t>{b.frames.count, b.frames.lines, b.frames.leading, b.frames.trailing, b.frames.opening, b.frames.stop}));
            ASSERT_EQ(a.frameMarkers.size(), b.frameMarkers.size());
            for (std::size_t m = 0; m < a.frameMarkers.size(); ++m)
                EXPECT_EQ(std::make_pair(a.frameMarkers[m].index, a.frameMarkers[m].overflowOffset),
                          std::make_pair(b.frameMarkers[m].index, b.frameMarkers[m].overflowOffset)) << "frame marker " << m;
            EXPECT_EQ(one.host.progress, two.host.progress);
            for (std::size_t c = 0; c < one.scan.images.size(); ++c)
                EXPECT_TRUE(std::equal(one.scan.images[c].begin(), one.scan.images[c].end(), two.scan.images[c].begin(),
                                       two.scan.images[c].end())) << "channel " << c;
            EXPECT_EQ(one.scan.delayCounts, two.scan.delayCounts);
            EXPECT_EQ(one.scan.photonCount, two.scan.photonCount);
            EXPECT_EQ(one.scan.linesInFrame, two.scan.linesInFrame);
            EXPECT_EQ(one.scan.frameStartTimes, two.scan.frameStartTimes);
            EXPECT_EQ(one.scan.frameMarkerTimes, two.scan.frameMarkerTimes);
            EXPECT_EQ(one.scan.lastPhotonTime, two.scan.lastPhotonTime);
            EXPECT_EQ(one.scan.meanImages, two.scan.meanImages);
            EXPECT_EQ(one.scan.varianceImages, two.scan.varianceImages);
            EXPECT_EQ(one.scan.timeCourse, two.scan.timeCourse);
            EXPECT_EQ(one.host.Messages(), two.host.Messages());
        }
    }
}

TEST(ImageScanReconstruct, PixelClockDecidesWhatIsPlaced)
{
    // Offset 39 sync + 49.5 ns = 1999.5 ns is pixel 3; offset 40 sync = lineTime is x = W. A longer
    // second line: offset 42 sync is beyond lineTime although the line has not ended.
    Records r;
    r.Frame();
    r.Line({{39, 1, 99}, {40, 1, 0}});
    r.Line({{0, 1, 0}, {42, 1, 0}}, 45);
    Analysis<ImageScan> a(r.Frames({{{}, {}}}));
    const ImageScan &scan = a.Run();
    EXPECT_EQ(scan.images[0], (Counts{0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{0, 1}, {99, 1}}));
}

TEST(ImageScanReconstruct, CursorLimitsAreInclusiveAndRangesComeFromTheFirstReconstruction)
{
    // Lines around 1 ms and 2 ms so that cursor values of 3 decimals in s meet
    // photon times exactly: sync 20000 is 1e6 ns, sync 40000 is 2e6 ns.
    Records r;
    r.FrameAt(100);
    r.LineAt(19990, {{9, 1, 99}, {10, 1, 0}});  // 999999.5 ns and 1e6 ns
    r.LineAt(39990, {{10, 1, 0}, {10, 1, 1}});  // 2e6 ns and 2e6 + 0.5 ns
    r.FrameAt(60000);
    r.LineAt(60010, {});
    r.LineAt(60060, {});
    r.FrameAt(80000);
    Analysis<ImageScan> a(r);
    TestHost &host = a.host;
    const ImageScan &scan = a.Run();
    EXPECT_EQ(scan.gatedPhotonCount[0], 4u);
    // From the first frame marker (sync 100) to the last photon in a line; the
    // boxes get 5 µs .. 2.0000005 ms on their thousandths, rounded outwards.
    double start = -1, end = -1;
    ASSERT_TRUE(scan.CursorSpan(start, end));
    EXPECT_DOUBLE_EQ(start, 5e-6);
    EXPECT_DOUBLE_EQ(end, 2000000.5e-9);
    for (int c = 0; c < 4; ++c)
        EXPECT_TRUE(host.cursorMin[c].value == 0.0 && host.cursorMax[c].value == 0.003) << c;

    // Applying those cursors unchanged keeps every photon, also the last one
    // at 2.0000005 ms (rounded to the nearest thousandth it was lost).
    a.Again();
    EXPECT_EQ(scan.gatedPhotonCount[0], 4u);

    host.SetCursor(1, 0.001, 0.002);
    a.Again();
    EXPECT_EQ(scan.gatedPhotonCount[0], 2u);
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{0, 2}}));  // 1e6 and 2e6 ns
    EXPECT_EQ(scan.images[0], (Counts{0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(host.Logged("1: 0.003000"));
    EXPECT_TRUE(host.Logged("2: 0.004000"));

    // A cursor apply keeps what the user set and the span of the data.
    host.SetCursor(1, 0.001, 0.001);
    a.Again();
    EXPECT_TRUE(host.cursorMin[0].value == 0.001 && host.cursorMax[0].value == 0.001);
    EXPECT_EQ(scan.gatedPhotonCount[0], 1u);
    ASSERT_TRUE(scan.CursorSpan(start, end));
    EXPECT_DOUBLE_EQ(end, 2000000.5e-9);

    // A gating apply gathers again: cursors open to 0 .. 1e16 s and stay there.
    a.scan.gathered = false;
    a.Again();
    for (int c = 0; c < 4; ++c)
        EXPECT_TRUE(host.cursorMin[c].value == 0.0 && host.cursorMax[c].value == 1e16) << c;
    EXPECT_EQ(scan.gatedPhotonCount[0], 4u);
}

TEST(ImageScanCheck, ShortFrameRemovedAfterBinning)
{
    // Three frames; the middle one holds only one of the two lines and a pixel of 5.
    Analysis<ImageScan> a(Records().Frames({{{{0, 1, 10}}, {{10, 1, 10}, {11, 1, 10}}},
                                            {{{20, 1, 20}, {21, 1, 20}, {22, 1, 20}, {23, 1, 20}, {24, 1, 20}}},
                                            {{{0, 1, 10}}, {}}}));
    const ImageScan &scan = a.Run();
    EXPECT_EQ(scan.images[0], (Counts{1, 0, 0, 0, 0, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    // Kept frames: the first and the third (markers at 100, 210, 270, 380).
    ExpectTimes(scan.frameMarkerTimes, {210, 380});
    ExpectTimes(scan.frameStartTimes, {110, 280});

    // Still counted: the photons of the removed frame.
    EXPECT_EQ(scan.gatedPhotonCount[0], 9u);
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{10, 4}, {20, 5}}));
    // Not counted: the statistics of the stack.
    EXPECT_EQ(scan.maximum[0], 2u);
    EXPECT_EQ(scan.meanImages[0], (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(scan.varianceImages[0], (std::vector<double>{0, 0, 0, 0, 0, 2, 0, 0}));
    EXPECT_EQ(scan.timeCourse[0], (std::vector<double>{3.0 / 8, 1.0 / 8}));
    EXPECT_TRUE(scan.infoText.contains(" Orignal Number of Images : 3\n"
                                       " Number of Images removed : 1\n"
                                       "   Final Number of Images : 2\n"));
    EXPECT_TRUE(scan.infoText.contains("    Image Sampling Period : 0.008500 ms\n"));

    // A cursor apply after the removal gives the same stack and the same text, not repeated.
    const auto images = scan.images;
    const auto histograms = scan.lifetimeHistograms;
    a.host.summary.clear();
    a.OpenCursors();
    a.Again();
    EXPECT_EQ(scan.images, images);
    EXPECT_EQ(scan.lifetimeHistograms, histograms);
    EXPECT_EQ(a.host.summary, scan.infoText);
}

TEST(RasterScanCheck, StatisticsOfOneFrameOneLineOrNoFrame)
{
    // Three line ends before the first frame marker make H = 3; the first has
    // no start, so that run is no frame. Later frames have 2 lines.
    Records none;
    none.End();
    none.Line({});
    none.Line({});
    const struct {
        const char *name;
        Records records;
        bool line;  // a line scan; else an image scan
        bool fewerLines;  // a record scan that saw one line and one frame, fewer than the pass meets
        std::vector<double> mean;  // and no variance
        std::vector<double> timeCourse;
        std::vector<const char *> text;
    } cases[] = {
        {"one frame", Records().Frames({{{{0, 1, 10}, {1, 1, 10}}, {{30, 1, 10}}}}), false, false,
         {2, 0, 0, 0, 0, 0, 0, 1}, {3.0 / 8}, {"    Image Sampling Period : 0.000000 ms\n"}},
        {"one line", Records().Frames({{{{5, 1, 10}, {6, 1, 10}}}}), true, false, {2, 0, 0, 0}, {0.5},
         {"     Line Sampling Period : 0.000000 ms\n"}},
        {"every frame removed", none.Frames({{{{0, 1, 10}}, {}}, {{}, {}}}), false, false,
         std::vector<double>(12, 0.0), {},
         {" Number of Images removed : 2\n   Final Number of Images : 0\n",
          "                Channel 1 : Min = 65536, Max = 0, Photon count = 1, Gated photon count = 1\n"}},
        // Line 1 lies beyond H = 1: only the photons of line 0 are placed. Frame 0
        // ended with two lines, not H: removed, nothing left.
        {"marker counts of the record scan too small", TwoFrames(), false, true, std::vector<double>(4, 0.0), {},
         {" Number of Images removed : 1\n   Final Number of Images : 0\n",
          "Channel 1 : Min = 65536, Max = 0, Photon count = 3, Gated photon count = 3\n",
          "Channel 2 : Min = 65536, Max = 0, Photon count = 1, Gated photon count = 1\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<Analysis<ImageScan>> image;
        std::optional<Analysis<LineScan>> line;
        if (c.line)
            line.emplace(c.records);
        else
            image.emplace(c.records);
        if (c.fewerLines)
            image->file.linesPerFrame = image->file.numberOfFrames = 1;
        const RasterScan &scan = c.line ? static_cast<RasterScan &>(line->Run()) : image->Run();
        EXPECT_EQ(scan.images[0].empty(), c.timeCourse.empty());
        EXPECT_EQ(scan.meanImages[0], c.mean);
        EXPECT_EQ(scan.varianceImages[0], std::vector<double>(c.mean.size(), 0.0));
        EXPECT_EQ(scan.timeCourse[0], c.timeCourse);
        for (const char *text : c.text)
            EXPECT_TRUE(scan.infoText.contains(text)) << text;
    }
}

TEST(ImageScanGuards, MissingWidthFallsBackToTheOverrideBox)
{
    Analysis<ImageScan> a(TwoFrames(), 0);
    const ImageScan &scan = a.Run();
    EXPECT_EQ(scan.imageWidth, 32u);
    EXPECT_TRUE(a.host.Logged("No image width in the file header: using 32 pixels per line "
                              "(the image width override changes it)",
                              MessageWarning));
    // 500 ns pixels become 62.5 ns pixels: offsets of 50, 600 and 750 ns are pixels 0, 9 and 12.
    for (int x : {0, 9, 12})
        EXPECT_EQ(scan.images[0][x], 1) << x;

    a.host.messages.clear();
    a.host.ISImageWidthcheck = Qt::Checked;
    a.host.ISImageWidth = 8;
    ImageScan second;
    second.Init(a.host, a.file);
    second.ReconstructImages();
    EXPECT_EQ(second.imageWidth, 8u);
    EXPECT_TRUE(a.host.Messages(MessageWarning).isEmpty());
}

TEST(RasterScanGuards, NoCompleteLineGivesEmptyResults)
{
    Records r;
    r.Frame();
    r.Unended({1, 1, 10});
    r.Frame();
    r.Frame();
    Analysis<ImageScan> image(r);
    ASSERT_EQ(image.file.ScanType, ScanImage);
    image.Run();
    EXPECT_TRUE(image.scan.reconstructed);
    EXPECT_TRUE(image.scan.images[0].empty());
    EXPECT_EQ(image.scan.photonCount[0], 0u);
    EXPECT_TRUE(image.scan.infoText.contains("                Line Time : 0.000000 ms\n"));

    // A line end without its start: H = 1, but no whole line before the marker.
    Records k;
    k.End();
    k.Frame();
    k.Stray(1);
    k.Frame();
    Analysis<LineScan> line(k, 0);
    line.Run();
    EXPECT_TRUE(line.host.Logged("No complete line found after the first frame marker", MessageError));
    EXPECT_TRUE(line.host.Logged("No line width in the file header: using 32 pixels per line "
                                 "(the line width override changes it)",
                                 MessageWarning));
    EXPECT_TRUE(line.scan.reconstructed);
    EXPECT_TRUE(line.scan.images[0].empty());
    EXPECT_EQ(line.scan.meanImages[0], std::vector<double>(32, 0.0));
    EXPECT_EQ(line.scan.timeCourse[0], std::vector<double>(1, 0.0));
}

TEST(LineScanReconstruct, KymographRowsProfilesAndText)
{
    // Rows [1 2 0 0], [0 0 0 1], [3 0 0 0], and photons outside the lines.
    Records k;
    k.Stray(1);  // before the first frame marker
    k.Frame();
    k.Stray(1);  // before the first line start
    k.Line({{0, 1, 10}, {10, 1, 10}, {15, 1, 20}});
    k.Line({{35, 1, 30}});
    k.Line({{1, 1, 10}, {2, 1, 10}, {3, 1, 10}});
    k.Unended({5, 1, 40});  // linesPerFrame counts line ends, so H = 3: this line is dropped
    k.Frame();
    Analysis<LineScan> a(k);
    ASSERT_EQ(a.file.ScanType, ScanLine);
    const LineScan &scan = a.Run();
    EXPECT_EQ(scan.images[0], (Counts{1, 2, 0, 0, 0, 0, 0, 1, 3, 0, 0, 0}));
    // Placed photons per dtime; the strays (dtime 0) and the photon of the dropped line (dtime 40) are not among them.
    EXPECT_EQ(Placed(scan.delayCounts[0]), (std::map<uint32_t, uint32_t>{{10, 5}, {20, 1}, {30, 1}}));
    const double mean[] = {4.0 / 3, 2.0 / 3, 0, 1.0 / 3}, variance[] = {7.0 / 3, 4.0 / 3, 0, 1.0 / 3};
    ASSERT_EQ(scan.meanImages[0].size(), 4u);
    for (int x = 0; x < 4; ++x) {
        EXPECT_DOUBLE_EQ(scan.meanImages[0][x], mean[x]) << x;
        EXPECT_DOUBLE_EQ(scan.varianceImages[0][x], variance[x]) << x;
    }
    EXPECT_EQ(scan.timeCourse[0], (std::vector<double>{0.75, 0.25, 0.75}));
    ExpectTimes(scan.lineStartTimes, {120, 170, 220});
    EXPECT_EQ(a.host.toolBoxPage, 4);
    EXPECT_TRUE(a.host.Logged("Lines reconstructed"));

    // Photons outside lines move the last photon time: the first frame marker
    // is at sync 105, the photon of the dropped line at sync 275 + 20 ns.
    EXPECT_DOUBLE_EQ(scan.firstFrameTime, 105 * 50.0);
    EXPECT_DOUBLE_EQ(scan.lastPhotonTime, 275 * 50.0 + 20);

    const QString expected = QString::fromUtf8(
        "              Image Width : 4\n"
        "          Number of Lines : 3\n"
        "               Line nSync : 40\n"
        "               Pixel Time : 0.500000 µs\n"
        "           Line Scan Time : 0.002000 ms\n"
        "     Line Sampling Period : 0.002500 ms\n"
        "                Channel 1 : Min = 0, Max = 3, Photon count = 7, Gated photon count = 7\n");
    EXPECT_EQ(scan.infoText, expected);
    EXPECT_EQ(a.host.summary, expected);
}

TEST(LineScanHistogram, PositionDelayHistogram)
{
    // 256 pixels of 7.8125 ns: offset 10 sync + 10 ns = 510 ns is pixel 65.
    Analysis<LineScan> a(Records().Frames({{{{0, 1, 99}, {10, 1, 20}, {10, 1, 20}}, {{10, 1, 21}}}}), 256);
    a.host.SetGate(1, 0, 1);  // the histogram ignores the gates
    LineScan &scan = a.Run();
    EXPECT_EQ(scan.gatedPhotonCount[0], 0u);

    a.OpenCursors();
    scan.BuildHistogramImages(0.5);
    EXPECT_TRUE(a.host.Logged("100 256"));
    EXPECT_EQ(scan.histogramBins, 100u);
    ASSERT_EQ(scan.histogramImages[0].size(), 25600u);
    EXPECT_EQ(scan.histogramImages[0][65 * 100 + 20], 2);
    EXPECT_EQ(scan.histogramImages[0][65 * 100 + 21], 1);
    // Offset 0 sync + 49.5 ns is pixel 6; 49.5 ns is delay bin 99 of 100.
    EXPECT_EQ(scan.histogramImages[0][6 * 100 + 99], 1);
    EXPECT_EQ(std::accumulate(scan.histogramImages[0].begin(), scan.histogramImages[0].end(), 0u), 4u);

    scan.BuildHistogramImages(0);
    EXPECT_TRUE(a.host.Logged("Invalid bin width 0 ns", MessageError));
}
