// Image export files of image and line scans, read back with libtiff and by
// their bytes.
//
// Unless a test says otherwise: sync period 50 ns, resolution 0.5 ns, an
// image scan of 4 x 3 pixels and 2 frames from the synthetic generator
// (lines of 800 syncs every 1000 syncs from sync 100, frame markers around
// the frames), only channel 1 with photons.
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "files/PhotonFileFactory.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "tools/synth/ScanGenerator.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <tiffio.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <optional>

namespace {

struct Page {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, compression = 0, photometric = 0, orientation = 0, planar = 0;
    uint32_t subfile = 0;
    uint16_t page = 0, pages = 0;
    bool hasPageNumber = false;
    std::optional<std::string> description;
    std::vector<uint16_t> pixels;
};

/// Every page of a TIFF file as libtiff reads it.
std::vector<Page> ReadTiff(const QString &name)
{
    std::vector<Page> pages;
    TIFF *tif = TIFFOpen(QFile::encodeName(name).constData(), "r");
    if (!tif)
        return pages;
    do {
        Page p;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height);
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &p.bits);
        TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &p.samples);
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &p.compression);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric);
        TIFFGetField(tif, TIFFTAG_ORIENTATION, &p.orientation);
        TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &p.planar);
        TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &p.subfile);
        p.hasPageNumber = TIFFGetField(tif, TIFFTAG_PAGENUMBER, &p.page, &p.pages) == 1;
        char *text = nullptr;
        if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) == 1)
            p.description = text;
        std::vector<unsigned char> row(TIFFScanlineSize(tif));
        for (uint32_t y = 0; y < p.height; ++y) {
            if (TIFFReadScanline(tif, row.data(), y, 0) != 1)
                break;
            for (uint32_t x = 0; x < p.width; ++x) {
                uint16_t v = row[x];
                if (p.bits == 16)
                    std::memcpy(&v, row.data() + 2 * x, 2);
                p.pixels.push_back(v);
            }
        }
        pages.push_back(std::move(p));
    } while (TIFFReadDirectory(tif) == 1);
    TIFFClose(tif);
    return pages;
}

QByteArray ReadBytes(const QString &name)
{
    QFile in(name);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

uint32_t U32(const QByteArray &b, int at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.constData() + at, 4);
    return v;
}
uint16_t U16(const QByteArray &b, int at)
{
    uint16_t v = 0;
    std::memcpy(&v, b.constData() + at, 2);
    return v;
}

/// Photons of pixel x of line y of frame f: pixel (0, 0) of frame 0 gets 300.
int Count(int f, int y, int x) { return (f == 0 && y == 0 && x == 0) ? 300 : 1 + x + 2 * y + f; }
/// dtime of photon k of a pixel: delays of 0 .. 49.5 ns, delay bin floor(dtime / 25) for w = 12.5 ns.
uint32_t DTime(int, int, int x, int k) { return static_cast<uint32_t>((30 * k + 7 * x) % 100); }

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    /// A scan of \p layout as \p Scan; line scans get 2 frame markers around their lines.
    template <class Scan> Scan &Make(synth::ImageScanSpec layout)
    {
        const synth::GeneratedScan words = std::is_same<Scan, LineScan>::value ? synth::MakeLineScan(layout, 2)
                                                                                : synth::MakeImageScan(layout);
        file = std::make_unique<MemoryFile>(host, words.words, 50.0, 0.5, layout.width, 0);
        file->exportFolder = dir.path();
        file->exportBase = dir.filePath("run");
        auto scan = std::make_unique<Scan>();
        Scan &ref = *scan;
        analysis = std::move(scan);
        ref.Init(host, *file);
        ref.ReconstructImages();
        return ref;
    }
    synth::ImageScanSpec Small(int frames = 2)
    {
        synth::ImageScanSpec s;
        s.width = 4;
        s.height = 3;
        s.frames = frames;
        s.photonCount = [](int f, int y, int x, uint32_t) { return Count(f, y, x); };
        s.dtimeOf = [](int f, int y, int x, uint32_t, int k) { return DTime(f, y, x, k); };
        return s;
    }
    QString Path(const QString &name) const { return dir.filePath(name); }

    TestHost host;
    QTemporaryDir dir;
    std::unique_ptr<MemoryFile> file;
    std::unique_ptr<RSD> analysis;
};

/// Makes writes past \p bytes fail (EFBIG) for the rest of the scope, as a full disk would.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};

} // namespace

TEST_F(ExportTest, TiffStacksOfImageAndLineScans)
{
    struct Case {
        bool line;
        int bitDepth;
    };
    for (const Case &c : {Case{false, 1}, Case{false, 0}, Case{true, 1}, Case{true, 0}}) {
        SCOPED_TRACE(std::string(c.line ? "line" : "image") + " scan, bit depth " + std::to_string(c.bitDepth));
        host.messages.clear();
        RasterScan &scan = c.line ? static_cast<RasterScan &>(Make<LineScan>(Small()))
                                  : static_cast<RasterScan &>(Make<ImageScan>(Small()));
        scan.WriteImages(0, c.bitDepth);
        const QString name = Path("run_ch1.tif");
        EXPECT_TRUE(host.Logged("Saving TIFF stack file " + name + "..."));
        EXPECT_TRUE(host.Logged("Saved TIFF stack " + name));
        EXPECT_FALSE(QFile::exists(Path("run_ch2.tif")));  // no photons on channel 2
        EXPECT_FALSE(QFile::exists(name + ".part"));

        const std::vector<Page> pages = ReadTiff(name);
        const uint32_t F = c.line ? 1 : 2, H = c.line ? 3 : 3;
        ASSERT_EQ(pages.size(), F);
        for (uint32_t f = 0; f < F; ++f) {
            const Page &p = pages[f];
            EXPECT_EQ(p.width, 4u);
            EXPECT_EQ(p.height, H);
            EXPECT_EQ(p.bits, c.bitDepth == 0 ? 8 : 16);
            EXPECT_EQ(p.samples, 1);
            EXPECT_EQ(p.compression, COMPRESSION_LZW);
            EXPECT_EQ(p.photometric, PHOTOMETRIC_MINISBLACK);
            EXPECT_EQ(p.orientation, ORIENTATION_TOPLEFT);
            EXPECT_EQ(p.planar, PLANARCONFIG_CONTIG);
            EXPECT_EQ(p.subfile, static_cast<uint32_t>(FILETYPE_PAGE));
            EXPECT_TRUE(p.hasPageNumber);
            EXPECT_EQ(p.page, f);
            EXPECT_EQ(p.pages, F);
            ASSERT_EQ(p.pixels.size(), 4u * H);
            for (uint32_t y = 0; y < H; ++y)
                for (uint32_t x = 0; x < 4; ++x) {
                    // 300 photons become 44 in 8 bit: the count modulo 256.
                    const int expected = Count(f, y, x);
                    EXPECT_EQ(p.pixels[y * 4 + x], c.bitDepth == 0 ? expected % 256 : expected) << f << y << x;
                }
        }
        // Image pages carry the scan's times (ms, µs); line pages no description.
        if (c.line) {
            EXPECT_FALSE(pages[0].description.has_value());
        } else {
            EXPECT_EQ(pages[0].description.value_or(""), "lineSamplingPeriod = 0.05\npixelTime = 10\nframeTime = 0.145\n");
            EXPECT_EQ(pages[1].description.value_or(""), "lineSamplingPeriod = 0.05\npixelTime = 10\nframeTime = 0.295\n");
        }
    }
}

TEST_F(ExportTest, TiffImageNamesArePaddedToTheDigitsOfTheFrameCount)
{
    for (int frames : {1, 12}) {
        SCOPED_TRACE(frames);
        host.progress.clear();
        ImageScan &scan = Make<ImageScan>(Small(frames));
        ASSERT_EQ(scan.numberOfFrames, static_cast<uint32_t>(frames));
        scan.WriteImages(1, 1);
        EXPECT_TRUE(host.Logged("Saving TIFF images for channel 1"));
        EXPECT_TRUE(host.Logged("Saved TIFF images for channel 1"));
        const QStringList names = QDir(dir.path()).entryList({"run_ch1_*.tif"}, QDir::Files, QDir::Name);
        ASSERT_EQ(names.size(), frames);
        EXPECT_EQ(names.first(), frames == 1 ? "run_ch1_0.tif" : "run_ch1_00.tif");
        EXPECT_EQ(names.last(), frames == 1 ? "run_ch1_0.tif" : "run_ch1_11.tif");
        const std::vector<Page> last = ReadTiff(Path(names.last()));
        ASSERT_EQ(last.size(), 1u);
        EXPECT_FALSE(last[0].hasPageNumber);
        EXPECT_EQ(last[0].pixels[5], Count(frames - 1, 1, 1));
        // A single frame is complete at once: no division by F - 1.
        for (int p : host.progress)
            EXPECT_TRUE(p >= 0 && p <= 100) << p;

        // And a one-page stack is page 0 of 1.
        scan.WriteImages(0, 1);
        const std::vector<Page> stack = ReadTiff(Path("run_ch1.tif"));
        if (frames == 1) {
            ASSERT_EQ(stack.size(), 1u);
            EXPECT_EQ(stack[0].page, 0);
            EXPECT_EQ(stack[0].pages, 1);
        }
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files))
            QFile::remove(Path(name));
    }
}

TEST_F(ExportTest, RawDataAndMacroBytes)
{
    ImageScan &scan = Make<ImageScan>(Small());
    for (int bitDepth : {0, 1}) {
        scan.WriteImages(2, bitDepth);
        const QString raw = Path("run_ch1.raw");
        EXPECT_TRUE(host.Logged("Saving Raw binary file " + raw + "..."));
        EXPECT_TRUE(host.Logged("Saved raw binary file " + raw));
        EXPECT_TRUE(host.Logged("Saved imageJ macro file " + raw + ".ijm"));
        QByteArray expected;
        for (int f = 0; f < 2; ++f)
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 4; ++x) {
                    const int n = Count(f, y, x);
                    expected.append(static_cast<char>(n & 0xFF));
                    if (bitDepth == 1)
                        expected.append(static_cast<char>(n >> 8));
                }
        EXPECT_EQ(ReadBytes(raw), expected);
        EXPECT_EQ(ReadBytes(raw + ".ijm"),
                  "run(\"Raw...\", \"open=[" + QFile::encodeName(raw) + "] image=[" +
                      (bitDepth == 0 ? "8-bit" : "16-bit Unsigned") +
                      "] width=4 height=3 offset=0 number=2 gap=0 little-endian\");");
    }
}

TEST_F(ExportTest, LifetimeResolvedStackBytes)
{
    ImageScan &scan = Make<ImageScan>(Small());
    // The gates do not apply to this export: shut channel 1's gate.
    host.SetGate(1, 0, 1);
    host.IStaubinsize.value = 12.5;  // N = ceil(50 / 12.5) = 4
    host.messages.clear();
    scan.WriteHistogramStack();
    EXPECT_EQ(host.Messages(), (QStringList{"Saving Histogram...", "Number of chunks 1", "0 4 4", "Histogram saved"}));

    const QString name = Path("run_Histogram_ch1.tif");
    const QByteArray bytes = ReadBytes(name);
    const QByteArray text = "Fotonel=0.51\nimages=4\nslices=4\nloop=false\nmin=0.0\nmax=255.0\ndtau=12.5\n";
    const uint32_t L = static_cast<uint32_t>(text.size());
    ASSERT_EQ(bytes.size(), static_cast<int>(134 + L + 4 * 4 * 3 * 2));
    EXPECT_EQ(bytes.left(2), "II");
    EXPECT_EQ(U16(bytes, 2), 42);
    EXPECT_EQ(U32(bytes, 4), 8u);
    EXPECT_EQ(U16(bytes, 8), 10);
    const uint32_t entries[10][4] = {{254, 4, 1, 0},  {256, 4, 1, 4},       {257, 4, 1, 3}, {258, 3, 1, 16},
                                     {262, 3, 1, 1},  {270, 2, L, 134},     {273, 4, 1, 134 + L},
                                     {277, 3, 1, 1},  {278, 3, 1, 3},       {279, 4, 1, 24}};
    for (int i = 0; i < 10; ++i) {
        const int at = 10 + 12 * i;
        EXPECT_EQ(U16(bytes, at), entries[i][0]) << "entry " << i;
        EXPECT_EQ(U16(bytes, at + 2), entries[i][1]) << "entry " << i;
        EXPECT_EQ(U32(bytes, at + 4), entries[i][2]) << "entry " << i;
        EXPECT_EQ(U32(bytes, at + 8), entries[i][3]) << "entry " << i;
    }
    EXPECT_EQ(U32(bytes, 130), 0u);
    EXPECT_EQ(bytes.mid(134, static_cast<int>(L)), text);

    // Image k, row y, pixel x: photons of both frames with delay bin k.
    std::vector<uint16_t> expected(4 * 3 * 4, 0);
    for (int f = 0; f < 2; ++f)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                for (int k = 0; k < Count(f, y, x); ++k)
                    ++expected[(DTime(f, y, x, k) / 25 * 3 + y) * 4 + x];
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(U16(bytes, static_cast<int>(134 + L + 2 * i)), expected[i]) << "pixel " << i;

    // libtiff sees the first image with its description.
    const std::vector<Page> pages = ReadTiff(name);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].description.value_or(""), text.toStdString());
    EXPECT_EQ(pages[0].pixels, std::vector<uint16_t>(expected.begin(), expected.begin() + 12));
}

TEST(LifetimeStack, DescriptionAndChunks)
{
    TestHost host;
    QTemporaryDir dir;
    const QString name = dir.filePath("h.tif");
    ASSERT_TRUE(host.WriteTiffHeader(name, 200, 2, 2, 16, "dtau=0.25\n"));
    const QByteArray bytes = ReadBytes(name);
    const QByteArray text = "Fotonel=0.51\nimages=200\nslices=200\nloop=false\nmin=0.0\nmax=255.0\ndtau=0.25\n";
    EXPECT_EQ(bytes.mid(134), text);
    EXPECT_EQ(U32(bytes, 10 + 12 * 5 + 4), static_cast<uint32_t>(text.size()));
    EXPECT_EQ(U32(bytes, 10 + 12 * 6 + 8), 134u + text.size());
    EXPECT_FALSE(host.WriteTiffHeader(dir.filePath("no/such/folder/h.tif"), 200, 2, 2, 16, ""));

    // 1024 x 1024, N = 800, one channel: 1,677,721,600 bytes in 7 chunks of 115 bins, the last of 110.
    uint32_t chunks = 0;
    std::vector<uint32_t> bounds = ImageScan::HistogramChunkBounds(800, 1024, 1024, 1, chunks);
    EXPECT_EQ(chunks, 7u);
    EXPECT_EQ(bounds, (std::vector<uint32_t>{0, 115, 230, 345, 460, 575, 690, 800}));
    // Nine chunks of 10 bins: steps of 2 reach N after five, and no boundary passes N.
    bounds = ImageScan::HistogramChunkBounds(10, 10000, 11000, 1, chunks);
    EXPECT_EQ(chunks, 9u);
    EXPECT_EQ(bounds, (std::vector<uint32_t>{0, 2, 4, 6, 8, 10}));
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
    EXPECT_EQ(pages[0].width, 4u);   // N delay bins
    EXPECT_EQ(pages[0].height, 4u);  // W positions
    EXPECT_EQ(pages[0].bits, 16);
    EXPECT_FALSE(pages[0].hasPageNumber);
    EXPECT_EQ(pages[0].description.value_or(""), "dtau=12.5\n");
    std::vector<uint16_t> expected(16, 0);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int k = 0; k < Count(0, y, x); ++k)
                ++expected[x * 4 + DTime(0, y, x, k) / 25];
    EXPECT_EQ(pages[0].pixels, expected);
}

TEST_F(ExportTest, FailedWritesLeaveNoFinishedFile)
{
    synth::ImageScanSpec big;
    big.width = 64;
    big.height = 64;
    big.photonCount = [](int f, int y, int x, uint32_t) { return (x * y + f) % 5; };
    big.dtimeOf = [](int, int, int x, uint32_t, int k) { return static_cast<uint32_t>((x + 13 * k) % 100); };
    ImageScan &scan = Make<ImageScan>(big);
    host.IStaubinsize.value = 12.5;
    struct Case {
        std::function<void()> run;
        QString file;
        QString error;
    };
    const QString stack = Path("run_ch1.tif"), raw = Path("run_ch1.raw"), decay = Path("run_Histogram_ch1.tif");
    const std::vector<Case> cases = {
        {[&] { scan.WriteImages(0, 1); }, stack, "Failed to save TIFF stack file " + stack},
        {[&] { scan.WriteImages(2, 1); }, raw, "Failed to save raw binary file " + raw},
        {[&] { scan.WriteHistogramStack(); }, decay, "Failed to save TIFF file " + decay},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        {
            FileSizeLimit full(1000);
            c.run();
        }
        EXPECT_TRUE(host.Logged(c.error, MessageError)) << host.Messages().join("\n").toStdString();
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList());
    }

    // A lifetime stack larger than the free disk space is refused before anything is written.
    host.messages.clear();
    host.IStaubinsize.value = 1e-6;  // 5e7 images of 8 KiB
    scan.WriteHistogramStack();
    ASSERT_EQ(host.Messages(MessageError).size(), 1) << host.Messages().join("\n").toStdString();
    EXPECT_TRUE(host.Messages(MessageError)[0].contains(QRegularExpression(
        "^Lifetime-resolved stacks of 4096000\\d{5} bytes do not fit in the \\d+ bytes free in " + dir.path() + "$")))
        << host.Messages(MessageError)[0].toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList());

    // Without an export folder nothing is written.
    file->exportFolder = Path("run.pt3/export");
    file->exportBase = file->exportFolder + "/run";
    QFile(Path("run.pt3")).open(QIODevice::WriteOnly);
    scan.WriteImages(0, 1);
    EXPECT_TRUE(host.Logged("Export Folder " + file->exportFolder + " does not exist", MessageError));
}

TEST(RealExport, HazelnutImageExportsMatchTheAnalysis)
{
    const QByteArray folder = qgetenv("FOTONEL_REAL_DATA");
    if (folder.isEmpty())
        GTEST_SKIP() << "FOTONEL_REAL_DATA is not set: real instrument files skipped";
    QTemporaryDir dir;
    const QString name = dir.filePath("z1.ptu");
    ASSERT_TRUE(QFile::copy(QDir(QString::fromLocal8Bit(folder)).filePath("napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z1.ptu"), name));
    TestHost host;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, name);
    ASSERT_TRUE(file && file->Open(name));
    ImageScan scan;
    scan.Init(host, *file);
    scan.ReconstructImages();
    const uint32_t W = scan.imageWidth, H = scan.imageHeight, F = scan.numberOfFrames, n = W * H;
    ASSERT_EQ(W, 256u);
    ASSERT_GT(F, 0u);
    const std::vector<uint16_t> &counts = scan.images[0];

    scan.WriteImages(0, 1);
    const std::vector<Page> stack = ReadTiff(file->exportBase + "_ch1.tif");
    ASSERT_EQ(stack.size(), F);
    for (uint32_t f = 0; f < F; ++f)
        EXPECT_TRUE(std::equal(stack[f].pixels.begin(), stack[f].pixels.end(), counts.begin() + f * n)) << "page " << f;
    scan.WriteImages(1, 0);
    const std::vector<Page> last = ReadTiff(QStringLiteral("%1_ch1_%2.tif").arg(file->exportBase).arg(F - 1));
    ASSERT_EQ(last.size(), 1u);
    for (uint32_t p = 0; p < n; ++p)
        ASSERT_EQ(last[0].pixels[p], counts[(F - 1) * n + p] & 0xFF) << "pixel " << p;
    scan.WriteImages(2, 1);
    EXPECT_EQ(ReadBytes(file->exportBase + "_ch1.raw"),
              QByteArray(reinterpret_cast<const char *>(counts.data()), static_cast<int>(counts.size() * 2)));

    // With open gates the lifetime-resolved stack, summed over its images,
    // is the photon count of every pixel over the frames kept.
    host.SetGate(1, 0, 100);
    scan.reconstructed = false;
    scan.ReconstructImages();
    scan.WriteHistogramStack();
    const QByteArray bytes = ReadBytes(file->exportBase + "_Histogram_ch1.tif");
    const uint32_t N = static_cast<uint32_t>(std::ceil(file->SyncPeriod() / host.IStaubinsize.value));
    const int start = static_cast<int>(U32(bytes, 10 + 12 * 6 + 8));
    ASSERT_EQ(bytes.size(), static_cast<int>(start + 2 * N * n));
    std::vector<uint32_t> sum(n, 0), expected(n, 0);
    for (uint32_t k = 0; k < N; ++k)
        for (uint32_t p = 0; p < n; ++p)
            sum[p] += U16(bytes, static_cast<int>(start + 2 * (k * n + p)));
    for (uint32_t f = 0; f < F; ++f)
        for (uint32_t p = 0; p < n; ++p)
            expected[p] += scan.images[0][f * n + p];
    EXPECT_EQ(sum, expected);
    EXPECT_EQ(ReadTiff(file->exportBase + "_Histogram_ch1.tif").size(), 1u);
}
