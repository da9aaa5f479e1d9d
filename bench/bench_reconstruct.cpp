// Speed of the analyses on large in-memory measurements: an image scan of
// 256 x 256 pixels, 64 frames and two channels (about 50 million records),
// a line scan of 16384 lines of 256 pixels (one frame, the same record
// count) and a point measurement of 20 million photons on two channels.
// Prints records (or photons) per second of each step and the peak memory.
#include "bench/BenchFile.h"
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
