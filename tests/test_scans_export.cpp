// Image export files of image and line scans, read back with libtiff and by their bytes.
//
// Unless a test says otherwise: sync period 50 ns, resolution 0.5 ns, an image scan of 4 x 3 pixels and 2 frames from
// the synthetic generator (lines of 800 syncs every 1000 syncs from sync 100, frame markers around the frames), only
// channel 1 with photons.
#include "files/AtomicFile.h"
#include "support/Files.h"
#include "support/MemoryFile.h"
#include "support/RealData.h"
#include "support/TestHost.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "tools/synth/ScanGenerator.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <tuple>

namespace {

// The tags of a count page: ImageWidth, ImageLength, BitsPerSample, SamplesPerPixel,
// Compression, PhotometricInterpretation, Orientation, PlanarConfiguration,
// SubfileType, PageNumber (page, pages; 0, 0 when absent).
using Tags = std::array<uint32_t, 11>;
struct Page {
    Tags tags{};
    std::optional<std::string> description;
    std::vector<uint16_t> pixels;
};

/// Every page of a TIFF file as libtiff reads it.
std::vector<Page> ReadTiff(const QString &name)
{
    std::vector<Page> pages;
    TIFF *tif = TIFFOpen(QFile::encodeName(name).constData(), "r");
    for (bool more = tif != nullptr; more; more = TIFFReadDirectory(tif) == 1) {
        Page p;
        uint32_t width = 0, height = 0, subfile = 0;
        uint16_t s[8] = {};
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        const ttag_t shorts[] = {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_COMPRESSION,
                                 TIFFTAG_PHOTOMETRIC, TIFFTAG_ORIENTATION, TIFFTAG_PLANARCONFIG};
        for (int i = 0; i < 6; ++i)
            TIFFGetField(tif, shorts[i], &s[i]);
        TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfile);
        TIFFGetField(tif, TIFFTAG_PAGENUMBER, &s[6], &s[7]);
        p.tags = {width, height, s[0], s[1], s[2], s[3], s[4], s[5], subfile, s[6], s[7]};
        char *text = nullptr;
        if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) == 1)
            p.description = text;
        std::vector<unsigned char> row(TIFFScanlineSize(tif));
        for (uint32_t y = 0; y < height && TIFFReadScanline(tif, row.data(), y, 0) == 1; ++y)
            for (uint32_t x = 0; x < width; ++x)
                p.pixels.push_back(s[0] == 16 ? static_cast<uint16_t>(row[2 * x] | row[2 * x + 1] << 8) : row[x]);
        pages.push_back(std::move(p));
    }
    if (tif)
        TIFFClose(tif);
    return pages;
}

/// The little-endian numbers at byte \p at.
uint32_t U32(const QByteArray &b, int at) { uint32_t v = 0; std::memcpy(&v, b.constData() + at, 4); return v; }
uint16_t U16(const QByteArray &b, int at) { uint16_t v = 0; std::memcpy(&v, b.constData() + at, 2); return v; }

/// Photons of pixel x of line y of frame f: pixel (0, 0) of frame 0 gets 300.
int Count(int f, int y, int x) { return (f == 0 && y == 0 && x == 0) ? 300 : 1 + x + 2 * y + f; }
/// dtime of photon k of a pixel: delays of 0 .. 49.5 ns, delay bin floor(dtime / 25) for w = 12.5 ns.
uint32_t DTime(int x, int k) { return static_cast<uint32_t>((30 * k + 7 * x) % 100); }

synth::ImageScanPlan Small(int frames = 2, synth::FrameMarkers markers = synth::FrameMarkers::AroundFrames)
{
    synth::ImageScanPlan s;
    s.width = 4;
    s.height = 3;
    s.frames = frames;
    s.frameMarkers = markers;
    s.photonCount = [](int f, int y, int x, uint32_t) { return Count(f, y, x); };
    s.dtimeOf = [](int, int, int x, uint32_t, int k) { return DTime(x, k); };
    return s;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    /// A scan of \p layout as \p Scan; line scans get 2 frame markers around their lines
    /// unless \p lineLayout is false (then the image layout's own markers bound one frame).
    template <class Scan> Scan &Make(synth::ImageScanPlan layout, bool lineLayout = true)
    {
        const bool line = std::is_same<Scan, LineScan>::value && lineLayout;
        const std::vector<uint32_t> words = (line ? synth::MakeLineScan(layout, 2) : synth::MakeImageScan(layout)).words;
        file = std::make_unique<MemoryFile>(host, words, 50.0, 0.5, layout.width, 0);
        if (fileChannels != file->channels) {
            file->channels = fileChannels;
            file->SetRecords(words);
        }
        file->exportFolder = dir.path();
        file->exportBase = dir.filePath("run");
        auto scan = std::make_unique<Scan>();
        Scan &ref = *scan;
        analysis = std::move(scan);
        ref.Init(host, *file);
        ref.ReconstructImages();
        return ref;
    }
    QString Path(const QString &name) const { return dir.filePath(name); }
    QStringList Files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }

    TestHost host;
    QTemporaryDir dir;
    int fileChannels = 4;  // channels of the files Make makes
    std::unique_ptr<MemoryFile> file;
    std::unique_ptr<RSD> analysis;
};

} // namespace

TEST_F(ExportTest, TiffStacksAndImagesOfImageAndLineScans)
{
    // 12 frames name their images _00 to _11; one frame is a stack of page 0 of 1.
    const struct {
        bool line;
        int depth, frames;
        const char *last;
    } cases[] = {{false, 1, 2, "run_ch1_1.tif"},  {false, 0, 2, "run_ch1_1.tif"},   {true, 1, 2, "run_ch1_0.tif"},
                 {true, 0, 2, "run_ch1_0.tif"},   {false, 1, 12, "run_ch1_11.tif"}, {false, 1, 1, "run_ch1_0.tif"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.line ? "line" : "image") + " scan, bit depth " + std::to_string(c.depth) + ", " +
                     std::to_string(c.frames) + " frames");
        for (const QString &old : Files())
            QFile::remove(Path(old));
        host.progress.clear();
        RasterScan &scan = c.line ? static_cast<RasterScan &>(Make<LineScan>(Small()))
                                  : static_cast<RasterScan &>(Make<ImageScan>(Small(c.frames)));
        scan.WriteImages(0, c.depth);
        scan.WriteImages(1, c.depth);
        EXPECT_TRUE(host.Logged("Saved TIFF stack " + Path("run_ch1.tif")));
        const uint32_t F = c.line ? 1 : c.frames, bits = c.depth == 0 ? 8 : 16;
        const std::vector<Page> pages = ReadTiff(Path("run_ch1.tif"));
        ASSERT_EQ(pages.size(), F);
        const QStringList names = Files();
        ASSERT_EQ(names.size(), static_cast<int>(F + 1));  // the stack, an image a frame; no channel 2, no .part
        EXPECT_EQ(names.back(), c.last);
        for (uint32_t f = 0; f < F; ++f) {
            EXPECT_EQ(pages[f].tags, (Tags{4, 3, bits, 1, COMPRESSION_LZW, PHOTOMETRIC_MINISBLACK, ORIENTATION_TOPLEFT,
                                           PLANARCONFIG_CONTIG, FILETYPE_PAGE, f, F}));
            // 300 photons become 44 in 8 bit: the count modulo 256.
            std::vector<uint16_t> expected;
            for (int i = 0; i < 12; ++i)
                expected.push_back(static_cast<uint16_t>(Count(f, i / 4, i % 4) % (c.depth == 0 ? 256 : 65536)));
            EXPECT_EQ(pages[f].pixels, expected);
            // The single image of the frame: the same page without SubfileType and PageNumber.
            const std::vector<Page> single = ReadTiff(Path(names[static_cast<int>(f) + 1]));
            ASSERT_EQ(single.size(), 1u);
            EXPECT_TRUE(single[0].pixels == expected && single[0].tags[10] == 0 &&
                        single[0].description == pages[f].description);
        }
        // Image pages carry the scan's times (ms, µs); line pages no description.
        if (c.frames == 2) {
            EXPECT_EQ(pages[0].description.value_or("none") + pages.back().description.value_or("none"),
                      c.line ? "nonenone"
                             : "lineSamplingPeriod = 0.05\npixelTime = 10\nframeTime = 0.145\n"
                               "lineSamplingPeriod = 0.05\npixelTime = 10\nframeTime = 0.295\n");
        }
        // No division by F - 1: every progress value lies in 0..100.
        for (int p : host.progress)
            EXPECT_TRUE(p >= 0 && p <= 100) << p;
    }
}

TEST_F(ExportTest, RawDataAndMacroBytes)
{
    ImageScan &scan = Make<ImageScan>(Small());
    const QString raw = Path("run_ch1.raw");
    for (int depth : {0, 1}) {
        scan.WriteImages(2, depth);
        EXPECT_TRUE(host.Logged("Saved imageJ macro file " + raw + ".ijm"));
        QByteArray expected;
        for (int i = 0; i < 24; ++i) {
            const int n = Count(i / 12, i / 4 % 3, i % 4);
            expected.append(depth == 0 ? QByteArray(1, static_cast<char>(n)) : QByteArray::fromRawData(
                reinterpret_cast<const char *>(&n), 2));  // little-endian 16 bit
        }
        EXPECT_EQ(ReadAll(raw), expected);
        EXPECT_EQ(ReadAll(raw + ".ijm"), "run(\"Raw...\", \"open=[" + QFile::encodeName(raw) + "] image=[" +
                                               (depth == 0 ? "8-bit" : "16-bit Unsigned") +
                                               "] width=4 height=3 offset=0 number=2 gap=0 little-endian\");");
    }
}

TEST_F(ExportTest, LifetimeResolvedStackBytes)
{
    ImageScan &scan = Make<ImageScan>(Small());
    host.SetGate(1, 0, 1);           // the gates do not apply to this export
    host.IStaubinsize.value = 12.5;  // N = ceil(50 / 12.5) = 4
    host.messages.clear();
    scan.WriteHistogramStack();
    EXPECT_EQ(host.Messages(), (QStringList{"Saving Histogram...", "Number of chunks 1", "0 4 4", "Histogram saved"}));

    const QByteArray bytes = ReadAll(Path("run_Histogram_ch1.tif"));
    const QByteArray text = "ImageJ=0.51\nimages=4\nslices=4\nloop=false\nmin=0.0\nmax=255.0\ndtau=12.5\n";
    const uint32_t L = static_cast<uint32_t>(text.size());
    ASSERT_EQ(bytes.size(), static_cast<int>(134 + L + 4 * 4 * 3 * 2));
    EXPECT_EQ(bytes.left(2) + QByteArray::number(U16(bytes, 2)) + QByteArray::number(U32(bytes, 4)), "II428");
    EXPECT_EQ(U16(bytes, 8), 10);
    const uint32_t entries[10][4] = {{254, 4, 1, 0}, {256, 4, 1, 4}, {257, 4, 1, 3},       {258, 3, 1, 16},
                                     {262, 3, 1, 1}, {270, 2, L, 134}, {273, 4, 1, 134 + L}, {277, 3, 1, 1},
                                     {278, 3, 1, 3}, {279, 4, 1, 24}};
    for (int i = 0; i < 10; ++i) {
        const int at = 10 + 12 * i;
        EXPECT_EQ(std::vector<uint32_t>({U16(bytes, at), U16(bytes, at + 2), U32(bytes, at + 4), U32(bytes, at + 8)}),
                  std::vector<uint32_t>(entries[i], entries[i] + 4)) << "entry " << i;
    }
    EXPECT_EQ(U32(bytes, 130), 0u);
    EXPECT_EQ(bytes.mid(134, static_cast<int>(L)), text);

    // Image k, row y, pixel x: photons of both frames with delay bin k.
    std::vector<uint16_t> expected(4 * 3 * 4, 0), written(expected.size());
    for (int i = 0; i < 24; ++i)
        for (int k = 0; k < Count(i / 12, i / 4 % 3, i % 4); ++k)
            ++expected[DTime(i % 4, k) / 25 * 12 + i % 12];
    std::memcpy(written.data(), bytes.constData() + 134 + L, 2 * written.size());
    EXPECT_EQ(written, expected);
}

TEST_F(ExportTest, LifetimeStackSpansThePeriodUnlessADamagedRateOutrunsTheDelays)
{
    // Delays reach 2048 ns: a 3000 ns period keeps its 6000 bins of 0.5 ns; a damaged 1 kHz rate (2,000,000 bins,
    // more than 8 x 4096) ends the stack at 4096 images with a warning.
    for (const auto &[period, images, warned] : {std::tuple{3000.0, 6000, false}, std::tuple{1e6, 4096, true}}) {
        ImageScan &scan = Make<ImageScan>(Small());
        file->syncPeriod = period;
        host.IStaubinsize.value = 0.5;
        host.messages.clear();
        scan.WriteHistogramStack();
        EXPECT_EQ(host.Logged("The delays of this file reach 2048 ns: 4096 delay bins, not the 2000000 of its sync "
                              "period of 1e+06 ns",
                              MessageWarning),
                  warned);
        const QByteArray bytes = ReadAll(Path("run_Histogram_ch1.tif"));
        const int L = static_cast<int>(U32(bytes, 8 + 2 + 5 * 12 + 4));  // count of the description entry
        EXPECT_EQ(bytes.size(), 134 + L + images * 24) << period;
        EXPECT_TRUE(bytes.mid(134, L).contains(QStringLiteral("images=%1\n").arg(images).toLatin1())) << period;
    }
}

TEST_F(ExportTest, LifetimeStackInBlocksEqualsTheRecordByRecordFill)
{
    // Two channels (cursors keep channel 2 out of the first two lines), dtime 0 .. 120 past the period's end;
    // 70000 photons of pixel (0, 0) saturate its count, and a first chunk beyond a pass's photons goes record by record.
    struct Case {
        int width, height, frames;
        uint32_t blockBytes;
        double chunkBytes, binWidth;
        bool saturated;
        int spread = 7;  // photons of the other pixels: 1 .. spread
        uint32_t second = 2;  // the second channel; channel 5 has no cursors of its own
        double resolution = 0.5;  // ns; 0.3 is no exact double: bins must be whole quotients
    };
    const Case cases[] = {
        {5, 3, 3, 64, 420, 0.5, false},         // 2 images a block, 15 chunks of 7 images
        {5, 3, 2, 20, 1500, 0.5, false},        // blocks of 2 rows and 1 row
        {7, 4, 2, 8, 300, 1.5, false},          // a row a block, chunks of 2 images
        {16, 16, 2, ImageScan::kStackBlockBytes, ImageScan::kChunkBytes, 0.5, false},  // one pass into pages
        {6, 5, 2, 100000, 600, 0.5, true},      // the first chunk record by record, the others in blocks
        {64, 64, 1, ImageScan::kStackBlockBytes, 1e9, 2.5, true},       // saturated in pages
        {64, 64, 1, ImageScan::kStackBlockBytes, 163840, 2.5, true, 3},  // saturated in a block counted first
        {257, 257, 1, 140000, 1e9, 2.5, false, 3},  // blocks of more than 65536 counts: places of 4 bytes
        {5, 3, 3, 64, 420, 0.5, false, 7, 5},       // empty images for channel 5
        {5, 3, 3, 64, 420, 0.9, false, 7, 2, 0.3},  // bins of 3 delay steps of 0.3 ns
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + ", block " +
                     std::to_string(c.blockBytes) + ", chunk " + std::to_string(c.chunkBytes));
        synth::ImageScanPlan plan = Small(c.frames);
        plan.width = c.width;
        plan.height = c.height;
        plan.channels = {1, c.second};
        fileChannels = static_cast<int>(c.second);
        plan.centred = false;
        plan.lineGap = 99200;  // a line every 5 ms
        plan.photonCount = [c](int f, int y, int x, uint32_t ch) {
            return c.saturated && f == 0 && y == 0 && x == 0 && ch == 1 ? 70000
                                                                          : 1 + (x * 5 + y * 3 + f + static_cast<int>(ch)) % c.spread;
        };
        plan.dtimeOf = [c](int f, int y, int x, uint32_t, int k) {
            return c.saturated && f == 0 && y == 0 && x == 0 ? 0u : static_cast<uint32_t>((x * 7 + y * 3 + k * 13 + f) % 121);
        };
        ImageScan &scan = Make<ImageScan>(plan);
        file->resolution = c.resolution;
        host.SetCursor(2, 0.009, 1);  // from the third line on
        host.IStaubinsize.value = c.binWidth;
        scan.stackBlockBytes = c.blockBytes;
        scan.stackChunkBytes = c.chunkBytes;
        QList<QByteArray> files[2];
        QStringList logs[2];
        for (const bool blocks : {false, true}) {
            scan.partitionStack = blocks;
            host.messages.clear();
            scan.WriteHistogramStack();
            logs[blocks] = host.Messages();
            for (const QString &name : {QStringLiteral("run_Histogram_ch1.tif"), QStringLiteral("run_Histogram_ch%1.tif").arg(c.second)})
                files[blocks] << ReadAll(Path(name));
        }
        EXPECT_EQ(logs[1], logs[0]);
        ASSERT_GT(files[0][0].size(), 300);
        EXPECT_TRUE(files[1] == files[0]);
            const int start = static_cast<int>(U32(files[1][0], 10 + 12 * 6 + 8));
        EXPECT_EQ(U16(files[1][0], start) == 65535, c.saturated);
    }
}

TEST(LifetimeStack, HeaderFailureAndChunks)
{
    TestHost host;
    AtomicFile nowhere(QDir::temp().filePath("no/such/folder/h.tif"));
    EXPECT_FALSE(nowhere.Open());
    EXPECT_FALSE(host.WriteTiffHeader(nowhere, 200, 2, 2, 16, ""));
    // 1024 x 1024, N = 800, one channel: 1,677,721,600 bytes in 7 chunks of 115 bins, the last of 110.
    uint32_t chunks = 0;
    EXPECT_EQ(ImageScan::HistogramChunkBounds(800, 1024, 1024, 1, chunks),
              (std::vector<uint32_t>{0, 115, 230, 345, 460, 575, 690, 800}));
    EXPECT_EQ(chunks, 7u);
    // Nine chunks of 10 bins: steps of 2 reach N after five, and no boundary passes N.
    EXPECT_EQ(ImageScan::HistogramChunkBounds(10, 10000, 11000, 1, chunks), (std::vector<uint32_t>{0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(chunks, 9u);
}

TEST_F(ExportTest, LineScanPositionDelayHistogram)
{
    LineScan &scan = Make<LineScan>(Small());
    host.LStaubinsize.value = 12.5;
    host.messages.clear();
    scan.WriteHistogramImages();
    EXPECT_EQ(host.Messages(), (QStringList{"4 4", "Saving histogram images for channel 1", "Saved TIFF images for channel 1"}));
    const std::vector<Page> pages = ReadTiff(Path("run_histogram_ch1.tif"));
    ASSERT_EQ(pages.size(), 1u);
    // N = 4 delay bins wide, W = 4 positions high, no page tags.
    EXPECT_EQ(pages[0].tags, (Tags{4, 4, 16, 1, COMPRESSION_LZW, PHOTOMETRIC_MINISBLACK, ORIENTATION_TOPLEFT,
                                   PLANARCONFIG_CONTIG, 0, 0, 0}));
    EXPECT_EQ(pages[0].description.value_or(""), "dtau=12.5\n");
    std::vector<uint16_t> expected(16, 0);
    for (int i = 0; i < 12; ++i)
        for (int k = 0; k < Count(0, i / 4, i % 4); ++k)
            ++expected[i % 4 * 4 + DTime(i % 4, k) / 25];
    EXPECT_EQ(pages[0].pixels, expected);
}

TEST_F(ExportTest, FramesKeptWithoutTheirMarkersExportAsBoundedOnes)
{
    // Frames before the first or after the last marker export as bounded ones: stacks, frame times, histograms,
    // cursor span and placed delays.
    host.IStaubinsize.value = 12.5;
    host.LStaubinsize.value = 12.5;
    auto exportsOf = [&](synth::FrameMarkers markers, bool line) {
        RasterScan &scan = line ? static_cast<RasterScan &>(Make<LineScan>(Small(1, markers), false))
                                : static_cast<RasterScan &>(Make<ImageScan>(Small(2, markers)));
        scan.WriteImages(0, 1);
        line ? static_cast<LineScan &>(scan).WriteHistogramImages() : static_cast<ImageScan &>(scan).WriteHistogramStack();
        double start = 0, end = 0;
        EXPECT_TRUE(scan.CursorSpan(start, end));
        const std::vector<uint32_t> &delays = scan.delayCounts[0];
        QList<QByteArray> bytes{QByteArray::number(start, 'g', 17) + ' ' + QByteArray::number(end, 'g', 17),
                                QByteArray(reinterpret_cast<const char *>(delays.data()), 4 * static_cast<int>(delays.size()))};
        for (const char *name : {"run_ch1.tif", line ? "run_histogram_ch1.tif" : "run_Histogram_ch1.tif"}) {
            bytes << ReadAll(Path(name));
            QFile::remove(Path(name));
        }
        return bytes;
    };
    for (const bool line : {false, true}) {
        const QList<QByteArray> bounded = exportsOf(synth::FrameMarkers::AroundFrames, line);
        ASSERT_FALSE(bounded[2].isEmpty() || bounded[3].isEmpty());
        for (synth::FrameMarkers markers : {synth::FrameMarkers::EndOfFrame, synth::FrameMarkers::StartOfFrame,
                                            synth::FrameMarkers::BetweenFrames})
            if (!line || markers == synth::FrameMarkers::EndOfFrame) {
                EXPECT_EQ(exportsOf(markers, line), bounded) << line << static_cast<int>(markers);
            }
    }
}

TEST_F(ExportTest, NoExportFolderNoFile)
{
    // Writers under a full disk: ExportFaults.EveryWriterUnderAFullDiskKeepsThePreviousFileWhole (test_convert_cli).
    ImageScan &scan = Make<ImageScan>(Small());
    QFile(Path("run.pt3")).open(QIODevice::WriteOnly);
    file->exportFolder = Path("run.pt3/export");
    scan.WriteImages(0, 1);
    EXPECT_TRUE(host.Logged("Export Folder " + file->exportFolder + " cannot be created: Not a directory", MessageError));
    EXPECT_EQ(Files(), QStringList{"run.pt3"});
}

TEST_F(ExportTest, LifetimeStackLargerThanTheFreeDiskIsRefusedBeforeAnyWrite)
{
    // 2048 x 2048 pixels (8 MiB an image); a period of 16384 ns in bins of 0.5 ns gives
    // 32768 images, eight times the 4096 that the delays reach: kept whole, 275 GB.
    synth::ImageScanPlan wide;
    wide.width = 2048;
    wide.height = 2048;
    wide.lineSyncs = 4096;
    wide.photonCount = [](int, int y, int x, uint32_t) { return x == 0 && y == 0 ? 1 : 0; };
    ImageScan &scan = Make<ImageScan>(wide);
    file->syncPeriod = 16384;
    host.IStaubinsize.value = 0.5;
    if (QStorageInfo(dir.path()).bytesAvailable() > 2.8e11)
        GTEST_SKIP() << "this disk has room for the 275 GB stack";
    host.messages.clear();
    scan.WriteHistogramStack();
    ASSERT_EQ(host.Messages(MessageError).size(), 1);
    EXPECT_TRUE(host.Messages(MessageError)[0].contains(QRegularExpression(
        "^Lifetime-resolved stacks of 274877\\d{6} bytes do not fit in the \\d+ bytes free in " + dir.path() + "$")));
    EXPECT_EQ(Files(), QStringList());
}

using RealExport = RealDataTest;

TEST_F(RealExport, HazelnutImageExportsMatchTheAnalysis)
{
    ASSERT_TRUE(OpenCopy("napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z1.ptu"));
    ImageScan scan;
    scan.Init(host, *file);
    scan.ReconstructImages();
    host.SetGate(1, 0, 100);  // open: every photon of the frames kept is counted
    scan.reconstructed = false;
    scan.ReconstructImages();
    const uint32_t F = scan.numberOfFrames, n = scan.pixelsPerImage;
    ASSERT_EQ(n, 256u * 256u);
    ASSERT_GT(F, 0u);
    const auto &counts = scan.images[0];
    const QString base = file->exportBase;
    scan.WriteImages(0, 1);
    scan.WriteImages(2, 1);
    const std::vector<Page> stack = ReadTiff(base + "_ch1.tif");
    ASSERT_EQ(stack.size(), F);
    for (uint32_t f = 0; f < F; ++f)
        EXPECT_TRUE(std::equal(counts.begin() + f * n, counts.begin() + (f + 1) * n, stack[f].pixels.begin(),
                               stack[f].pixels.end())) << "page " << f;
    EXPECT_EQ(ReadAll(base + "_ch1.raw"), QByteArray(reinterpret_cast<const char *>(counts.data()), 2 * counts.size()));

    // The lifetime-resolved stack summed over its images is the photon count of every pixel.
    scan.WriteHistogramStack();
    const QByteArray bytes = ReadAll(base + "_Histogram_ch1.tif");
    const uint32_t N = static_cast<uint32_t>(std::ceil(file->SyncPeriod() / host.IStaubinsize.value));
    const uint32_t start = U32(bytes, 10 + 12 * 6 + 8);
    ASSERT_EQ(bytes.size(), static_cast<int>(start + 2 * N * n));
    std::vector<uint32_t> sum(n, 0), expected(n, 0);
    for (uint32_t i = 0; i < N * n; ++i)
        sum[i % n] += U16(bytes, static_cast<int>(start + 2 * i));
    for (uint32_t i = 0; i < F * n; ++i)
        expected[i % n] += counts[i];
    EXPECT_EQ(sum, expected);
    EXPECT_EQ(ReadTiff(base + "_Histogram_ch1.tif").size(), 1u);
}
