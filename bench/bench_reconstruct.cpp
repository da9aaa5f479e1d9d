// Speed of the analyses on large in-memory measurements: an image scan of
// 256 x 256 pixels, 64 frames and two channels (about 50 million records),
// a line scan of 16384 lines of 256 pixels (one frame, the same record
// count) and a point measurement of 20 million photons on two channels.
// Prints records (or photons) per second of each step and the peak memory.
#include "bench/BenchHost.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "tools/synth/RecordStream.h"

#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {


class BenchFile : public pqFile {
public:
    BenchFile(FotonelServices &host, std::vector<uint32_t> words, int width) : pqFile(host), width(width)
    {
        records.Assign(std::move(words));
        recordsRead = true;
        ok = true;
        ScanRecords();
    }
    double SyncPeriod() const override { return 50; }
    double Resolution() const override { return 0.016; }
    int ImageWidth() const override { return width; }
    int ImageHeight() const override { return width; }
    int NumberOfChannels() const override { return 4; }
    int NumberOfRecords() const override { return static_cast<int>(records.size()); }
    int width;
};

double ProcessSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// Processor seconds of the last step timed by Seconds: on a shared machine
// the steadier figure.
double lastProcessorSeconds = 0;

double Seconds(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpu = ProcessSeconds();
    work();
    lastProcessorSeconds = ProcessSeconds() - cpu;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Report(const char *step, double items, double seconds, const char *unit)
{
    std::printf("%-34s %8.3f s  %8.1f M%s/s  (processor %.3f s)\n", step, seconds, items / seconds / 1e6, unit,
                lastProcessorSeconds);
}

long PeakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Frames of \p lines lines of \p size pixels of 4 sync periods; 12 photons
// per pixel and frame, alternating between channels 1 and 2.
std::vector<uint32_t> ImageRecords(uint32_t size, uint32_t lines, uint32_t frames, uint32_t photonsPerPixel)
{
    synth::RecordStream s;
    s.words.reserve(static_cast<size_t>(size) * lines * frames * photonsPerPixel + frames * lines * 2 + 4096);
    uint64_t t = 100;
    uint32_t n = 0;
    s.AddMarker(t, 4);
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t y = 0; y < lines; ++y) {
            t += 20;
            s.AddMarker(t, 1);
            for (uint32_t x = 0; x < size; ++x)
                for (uint32_t k = 0; k < photonsPerPixel; ++k, ++n)
                    s.AddPhoton(t + 4 * x + k % 4, 1 + (n & 1), (n * 37u) % 3000u);
            t += 4 * size;
            s.AddMarker(t, 2);
        }
        s.AddMarker(t, 4);
    }
    return s.words;
}

std::vector<uint32_t> PointRecords(uint32_t photons)
{
    synth::RecordStream s;
    s.words.reserve(photons + photons / 20000 + 16);
    uint64_t t = 0;
    for (uint32_t i = 0; i < photons; ++i) {
        t += 1 + (i * 7u) % 5u;
        s.AddPhoton(t, 1 + (i % 3 == 0), (i * 53u) % 3000u);
    }
    return s.words;
}

} // namespace

int main()
{
    BenchHost host;
    {
        std::vector<uint32_t> words = ImageRecords(256, 256, 64, 12);
        const double records = static_cast<double>(words.size());
        std::printf("image scan: %.1f M records, 256 x 256 x 64, 2 channels\n", records / 1e6);
        BenchFile *file = nullptr;
        const double scan = Seconds([&] { file = new BenchFile(host, std::move(words), 256); });
        Report("record scan (open)", records, scan, "rec");
        ImageScan image;
        image.Init(host, *file);
        Report("ReconstructImages (first)", records, Seconds([&] { image.ReconstructImages(); }), "rec");
        image.reconstructed = false;
        Report("ReconstructImages (again)", records, Seconds([&] { image.ReconstructImages(); }), "rec");
        const double photons = static_cast<double>(image.gatedPhotonCount[0] + image.gatedPhotonCount[1]);
        Report("BinLifetimes 0.016 ns", photons, Seconds([&] { image.BinLifetimes(0.016); }), "ph");
        Report("CalculateStats", records, Seconds([&] { image.CalculateStats(); }), "rec");
        delete file;
    }
    {
        std::vector<uint32_t> words = ImageRecords(256, 16384, 1, 12);
        const double records = static_cast<double>(words.size());
        std::printf("line scan: %.1f M records, 16384 lines of 256 pixels, 2 channels\n", records / 1e6);
        BenchFile file(host, std::move(words), 256);
        LineScan line;
        line.Init(host, file);
        Report("ReconstructImages (first)", records, Seconds([&] { line.ReconstructImages(); }), "rec");
        line.reconstructed = false;
        Report("ReconstructImages (again)", records, Seconds([&] { line.ReconstructImages(); }), "rec");
        const double photons = static_cast<double>(line.gatedPhotonCount[0] + line.gatedPhotonCount[1]);
        Report("BinLifetimes 0.016 ns", photons, Seconds([&] { line.BinLifetimes(0.016); }), "ph");
    }
    {
        std::vector<uint32_t> words = PointRecords(20000000);
        const double records = static_cast<double>(words.size());
        std::printf("point measurement: %.1f M records, 20 M photons, 2 channels\n", records / 1e6);
        BenchFile file(host, std::move(words), 0);
        PointScan point;
        point.Init(host, file);
        Report("ReconstructImages (first, + bins)", records, Seconds([&] { point.ReconstructImages(); }), "rec");
        point.reconstructed = false;
        Report("ReconstructImages (again, + bins)", records, Seconds([&] { point.ReconstructImages(); }), "rec");
        const double photons = static_cast<double>(point.photonTimes[0].size() + point.photonTimes[1].size());
        Report("BinTrace", photons, Seconds([&] { point.BinTrace(); }), "ph");
        Report("BinExportTrace 1000 ns", photons, Seconds([&] { point.BinExportTrace(1000); }), "ph");
        Report("BinLifetimes 0.016 ns", photons, Seconds([&] { point.BinLifetimes(0.016); }), "ph");
    }
    std::printf("peak memory: %ld MB\n", PeakMegabytes());
    return 0;
}
