// Speed of the export files: the count exports of an image scan of 512 x 512
// pixels and 20 frames on two channels (TIFF stack, TIFF images and raw data,
// 8 and 16 bit), next to cp of a file of the same size on the same disk and
// to the same pages written without LZW; then the lifetime-resolved stacks of
// a 50-million-record image scan, per chunk next to one reconstruction pass.
// Prints seconds, MB/s and peak memory; never fails on time.
//
// Usage: bench_export [FOLDER]   (files are written to a temporary folder inside
// FOLDER, default the system's temporary folder, and removed at the end)
#include "bench/BenchFile.h"
#include "bench/BenchHost.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "tools/synth/RecordStream.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <sys/resource.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

double Seconds(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// The best of three runs of \p work, each followed by \p after (not timed):
/// the figure least disturbed by the other work on the machine.
double BestOfThree(const std::function<void()> &work, const std::function<void()> &after)
{
    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        best = std::min(best, Seconds(work));
        after();
    }
    return best;
}

long PeakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

/// Bytes of the files in \p folder whose names match \p pattern; removes them when \p remove.
double FolderBytes(const QString &folder, const QString &pattern, bool remove)
{
    double bytes = 0;
    for (const QFileInfo &info : QDir(folder).entryInfoList({pattern}, QDir::Files)) {
        bytes += static_cast<double>(info.size());
        if (remove)
            QFile::remove(info.filePath());
    }
    return bytes;
}

void Report(const char *step, double seconds, double stackBytes, double fileBytes)
{
    std::printf("%-36s %7.3f s  %7.1f MB/s of counts  %8.1f MB on disk (%6.1f MB/s)\n", step, seconds,
                stackBytes / seconds / 1e6, fileBytes / 1e6, fileBytes / seconds / 1e6);
}

/// The pages of \p scan's channel 1 through libtiff without compression: what LZW adds.
void UncompressedStack(const ImageScan &scan, const QString &name)
{
    [&] {
        TIFF *tif = TIFFOpen(QFile::encodeName(name).constData(), "w");
        if (!tif)
            return;
        const uint32_t W = scan.imageWidth, H = scan.imageHeight;
        for (uint32_t f = 0; f < scan.numberOfFrames; ++f) {
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, W);
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, H);
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
            const uint16_t *page = scan.images[0].data() + static_cast<size_t>(f) * W * H;
            for (uint32_t y = 0; y < H; ++y)
                TIFFWriteScanline(tif, const_cast<uint16_t *>(page + static_cast<size_t>(y) * W), y, 0);
            TIFFWriteDirectory(tif);
        }
        TIFFClose(tif);
    }();
}

} // namespace

int main(int argc, char **argv)
{
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir dir(parent + "/bench_export-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", qPrintable(parent));
        return 1;
    }
    const QString folder = dir.path();
    BenchHost host;
    std::printf("Export benchmark in %s (other work on this machine slows every figure)\n\n", qPrintable(folder));

    {
        BenchFile file(host, ImageRecords(512, 512, 20, 0), 512, folder);
        ImageScan scan;
        scan.Init(host, file);
        scan.ReconstructImages();
        const double stack = 2.0 * scan.totalPixels;  // 16-bit counts of one channel
        std::printf("Image scan %u x %u x %u frames, %zu records, two channels (%.1f MB of 16-bit counts each)\n",
                    scan.imageWidth, scan.imageHeight, scan.numberOfFrames, file.records.size(), stack / 1e6);

        struct Case {
            const char *step;
            int type, depth;
            const char *pattern;
        };
        const Case cases[] = {
            {"TIFF stack, 16 bit (LZW)", 0, 1, "bench_ch*.tif"}, {"TIFF stack, 8 bit (LZW)", 0, 0, "bench_ch*.tif"},
            {"TIFF images, 16 bit (LZW)", 1, 1, "bench_ch*_*.tif"}, {"TIFF images, 8 bit (LZW)", 1, 0, "bench_ch*_*.tif"},
            {"raw + macro, 16 bit", 2, 1, "bench_ch*.raw*"},       {"raw + macro, 8 bit", 2, 0, "bench_ch*.raw*"},
        };
        for (const Case &c : cases) {
            double bytes = 0;
            const double s = BestOfThree([&] { scan.WriteImages(c.type, c.depth); },
                                         [&] { bytes = FolderBytes(folder, c.pattern, true); });
            Report(c.step, s, 2 * stack * (c.depth == 0 ? 0.5 : 1), bytes);
        }
        const QString plain = folder + "/plain.tif";
        double plainBytes = 0;
        const double s = BestOfThree([&] { UncompressedStack(scan, plain); },
                                     [&] { plainBytes = FolderBytes(folder, "plain.tif", true); });
        Report("same pages uncompressed (channel 1)", s, stack, plainBytes);

        // cp of a file of the size of both channels' 16-bit raw files.
        QFile sample(folder + "/sample.bin");
        if (sample.open(QIODevice::WriteOnly)) {
            sample.write(QByteArray(static_cast<int>(2 * stack), '\x5a'));
            sample.close();
            const QString command = QStringLiteral("cp '%1' '%2/copy.bin'").arg(sample.fileName(), folder);
            const double cp = BestOfThree(
                [&] {
                    if (std::system(command.toLocal8Bit().constData()) != 0)
                        std::fprintf(stderr, "cp failed\n");
                },
                [&] { QFile::remove(folder + "/copy.bin"); });
            Report("cp of a file of 2 x the counts", cp, 2 * stack, 2 * stack);
            FolderBytes(folder, "*.bin", true);
        }
        std::printf("peak memory %ld MB\n\n", PeakMegabytes());
    }

    {
        BenchFile file(host, ImageRecords(256, 256, 64, 12), 256, folder);
        ImageScan scan;
        scan.Init(host, file);
        scan.ReconstructImages();
        const double pass = Seconds([&] {
            scan.reconstructed = false;
            scan.ReconstructImages();
        });
        // w = 0.05 ns: N = 1000 images of 256 x 256 per channel, 262 MB for both: two chunks.
        host.tauBin = 0.05;
        const double N = 1000;
        uint32_t chunks = 0;
        ImageScan::HistogramChunkBounds(1000, 256, 256, scan.activeChannelCount, chunks);
        const double written = 2.0 * N * 256 * 256 * scan.activeChannelCount;
        const double s = Seconds([&] { scan.WriteHistogramStack(); });
        std::printf("Lifetime-resolved stacks of %zu records, N = 1000, 256 x 256, two channels\n", file.records.size());
        std::printf("%-36s %7.3f s\n", "one reconstruction pass", pass);
        std::printf("%-36s %7.3f s  in %u chunks: %.3f s per chunk, %.1f MB/s written\n", "lifetime-resolved stacks", s,
                    chunks, s / chunks, written / s / 1e6);
        const double disk = FolderBytes(folder, "bench_Histogram_ch*.tif", false);
        std::printf("%-36s %7.1f MB\n", "written", disk / 1e6);
        const QString command = QStringLiteral("cp '%1/bench_Histogram_ch1.tif' '%1/copy.tif'").arg(folder);
        const double cp = Seconds([&] {
            if (std::system(command.toLocal8Bit().constData()) != 0)
                std::fprintf(stderr, "cp failed\n");
        });
        std::printf("%-36s %7.3f s  (%.1f MB/s)\n", "cp of one channel's stack", cp, disk / 2 / cp / 1e6);
        // The same walk with N = 10 (w = 5 ns): buffers of 2.6 MB stay in the cache,
        // which parts the cost of the walk from that of counting into 131 MB.
        FolderBytes(folder, "*.tif", true);
        host.tauBin = 5;
        const double small = Seconds([&] { scan.WriteHistogramStack(); });
        std::printf("%-36s %7.3f s  in 1 chunk\n", "the same with N = 10", small);
        std::printf("peak memory %ld MB\n", PeakMegabytes());
    }
    return 0;
}
