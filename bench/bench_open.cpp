// Open and record scan of a large image-scan .pt3 file.
//
//   bench_open [FOLDER]
//
// Writes FOLDER/bench_open_image.pt3 (default FOLDER /tmp) once: 256 x 256
// pixels, 96 frames, photons on channels 1 and 2, line and frame markers, a
// little over 50 million records (~200 MB). Then prints the time of
// `cat FILE > /dev/null`, of open plus record scan, of the record scan alone,
// and the peak resident memory. Never fails on time.

#include "bench/BenchHost.h"
#include "files/pt3File.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {


double ProcessSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

bool Generate(const QString &path)
{
    synth::ImageScanPlan layout;
    layout.width = 256;
    layout.height = 256;
    layout.frames = 96;
    layout.lineSyncs = 256 * 40;
    layout.lineGap = 1000;
    layout.channels = {1, 2};
    layout.centred = false;
    layout.photonCount = [](int f, int y, int x, uint32_t ch) { return 2 + (x + y + f + static_cast<int>(ch)) % 5; };
    layout.dtimeOf = [](int, int y, int x, uint32_t, int k) { return static_cast<uint32_t>((x * 7 + y * 3 + k * 131) % 3125); };
    const synth::GeneratedScan scan = synth::MakeImageScan(layout);
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, 256, 256, 0, 0};
    return synth::WritePt3(path, header, scan.words);
}

/// Generates in a child process so its memory does not count in our peak.
bool GenerateApart(const QString &path)
{
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0)
        _exit(Generate(path) ? 0 : 1);
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(QStringLiteral("bench_open_image.pt3"));
    if (!QFileInfo::exists(path)) {
        std::printf("generating %s ...\n", qPrintable(path));
        std::fflush(stdout);
        const auto t = std::chrono::steady_clock::now();
        if (!GenerateApart(path)) {
            std::printf("could not write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("generated in %.2f s\n", Seconds(t));
    }
    const double fileMB = static_cast<double>(QFileInfo(path).size()) / 1e6;

    {
        const QString cmd = QStringLiteral("cat '%1' > /dev/null").arg(path);
        for (int run = 0; run < 2; ++run) {
            const auto t = std::chrono::steady_clock::now();
            if (std::system(qPrintable(cmd)) != 0)
                std::printf("cat failed\n");
            const double s = Seconds(t);
            std::printf("cat FILE > /dev/null  run %d: %.3f s, %.0f MB/s\n", run + 1, s, fileMB / s);
        }
    }

    BenchHost host;
    std::vector<double> openTimes;
    uint64_t records = 0;
    for (int run = 0; run < 5; ++run) {
        pt3File file(host);
        const auto t = std::chrono::steady_clock::now();
        const bool ok = file.Open(path);
        openTimes.push_back(Seconds(t));
        records = file.records.size();
        if (!ok) {
            std::printf("open failed\n");
            return 1;
        }
        if (run == 0)
            std::printf("file %s: %.1f MB, %llu records, %u frames, %u lines per frame, mapped %s\n",
                        qPrintable(path), fileMB, static_cast<unsigned long long>(records), file.numberOfFrames,
                        file.linesPerFrame, file.records.IsMapped() ? "yes" : "no");
    }
    std::sort(openTimes.begin(), openTimes.end());
    const double openBest = openTimes.front();
    const double openMedian = openTimes[openTimes.size() / 2];
    std::printf("open + scan: best %.3f s (%.0f MB/s, %.0f M records/s), median %.3f s (%.0f M records/s)\n",
                openBest, fileMB / openBest, records / openBest / 1e6, openMedian, records / openMedian / 1e6);

    pt3File file(host);
    file.Open(path);
    std::vector<double> scanTimes, scanProcessor;
    for (int run = 0; run < 7; ++run) {
        file.scanned = false;
        const auto t = std::chrono::steady_clock::now();
        const double cpu = ProcessSeconds();
        file.ScanRecords();
        scanProcessor.push_back(ProcessSeconds() - cpu);
        scanTimes.push_back(Seconds(t));
    }
    std::sort(scanTimes.begin(), scanTimes.end());
    std::sort(scanProcessor.begin(), scanProcessor.end());
    std::printf("scan alone: best %.4f s (%.0f M records/s), median %.4f s (%.0f M records/s)\n", scanTimes.front(),
                records / scanTimes.front() / 1e6, scanTimes[scanTimes.size() / 2],
                records / scanTimes[scanTimes.size() / 2] / 1e6);
    // On a shared machine the processor time is the steadier figure.
    std::printf("scan alone, processor seconds: best %.4f s, median %.4f s\n", scanProcessor.front(),
                scanProcessor[scanProcessor.size() / 2]);

    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %.1f MB (file %.1f MB; mapped pages of the file count in it)\n",
                static_cast<double>(usage.ru_maxrss) / 1024.0, fileMB);
    return 0;
}
