// The whole converter on two large files, against `cat` of the same file:
// an image scan of 512 x 512 pixels x 23 frames (about 60 million records,
// 242 MB) and a point measurement of 2 x 10 million photons (80 MB).
//
//   bench_convert [FOLDER] [RUNS] [CONVERTER] [--inversions | --decay]
//
// Writes FOLDER/bench_convert_image.pt3 and FOLDER/bench_convert_point.pt3
// (default FOLDER /tmp) once. Then runs `cat FILE` and `fotonel-convert FILE`
// RUNS times each (default 5), alternating, with the file warm in the page
// cache, and prints per file the best and median wall and processor seconds
// (user + system), page faults and peak resident memory of the converter
// process, and the ratios converter / cat. CONVERTER (default: the
// fotonel-convert of this build) lets two builds be compared.
//
// The breakdown reads the converter's log as it is written (every line is
// flushed) and stamps each line on arrival:
//   start-up        exec to the first log line
//   open            "Trying to open file" to the summary of the record scan,
//                   less the record scan
//   record scan     the record scan alone, timed in this process on the
//                   same file (the log has no line where it starts)
//   reconstruction  "Succesfully openend file" to "... reconstructed"
//   statistics      "... reconstructed" to the converter's last line
//   exit            the last line to the end of the process
// --inversions times, instead, two point files of 2 x 10 M photons in which
// about 12 k pairs of photons per channel share a sync period: with the delays
// of each pair descending (photon times that run backwards, sorted by the
// analysis) and ascending (the same photons in order).
// --decay times the lifetime-resolved stack of the image scan (bins of 32 ps)
// against its plain conversion plus `cp` of the stacks it writes.
// Never fails on time. The machine may be shared: compare processor seconds.

#include "bench/BenchFile.h"
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
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point from, Clock::time_point to = Clock::now())
{
    return std::chrono::duration<double>(to - from).count();
}


/// 2 x 10 M photons, alternating between channels 1 and 2, 1 to 600 syncs
/// apart. With \p pairs, every 833rd photon shares its sync period with the
/// next two, so each channel has about 12 k pairs of photons of one period:
/// their delays descend in the file when \p descending (times that run
/// backwards), and ascend otherwise (the same photons in order).
bool GeneratePointOf(const QString &path, bool pairs, bool descending)
{
    std::vector<synth::PointPhoton> photons;
    photons.reserve(20000000);
    uint64_t state = 0x2545F4914F6CDD1DULL;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    };
    uint64_t t = 1000;
    for (uint32_t i = 0; i < 20000000; ++i) {
        const uint32_t step = 1 + next() % 600;
        const uint32_t dtime = 500 + next() % 2500;
        const uint32_t k = i % 833;
        if (!pairs || k == 0 || k > 2)
            t += step;
        photons.push_back({t, 1 + (i & 1u), dtime});
        if (pairs && k == 2) {
            // Photons i - 2 and i: one channel, one sync period.
            uint32_t &early = photons[i - 2].dtime, &late = photons[i].dtime;
            if (early == late)
                late = early + 1;
            if ((early > late) != descending)
                std::swap(early, late);
        }
    }
    return synth::WritePt3(path, synth::Pt3Header(), synth::MakePointMeasurement(std::move(photons)).words);
}

bool GeneratePoint(const QString &path) { return GeneratePointOf(path, false, false); }
bool GenerateBackwards(const QString &path) { return GeneratePointOf(path, true, true); }
bool GenerateForwards(const QString &path) { return GeneratePointOf(path, true, false); }

/// Generates in a child process so its memory does not count in our peak.
bool GenerateApart(bool (*generate)(const QString &), const QString &path)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0)
        _exit(generate(path) ? 0 : 1);
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Run {
    double wall = 0;       // s
    double cpu = 0;        // s, user + system
    double user = 0, sys = 0;
    long minorFaults = 0, majorFaults = 0;
    double peakMB = 0;
    // Arrival time (s after fork) of each log line, with the line.
    std::vector<std::pair<double, std::string>> lines;
    int status = -1;
};

/// Runs \p argv with stdout to a pipe that is read line by line (or to
/// /dev/null when \p readLog is false) and returns its times and usage.
Run Execute(const std::vector<std::string> &argv, bool readLog)
{
    Run run;
    int fds[2] = {-1, -1};
    if (readLog && pipe(fds) != 0)
        return run;
    std::fflush(stdout);
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int out = readLog ? fds[1] : open("/dev/null", O_WRONLY);
        dup2(out, 1);
        if (readLog) {
            close(fds[0]);
            close(fds[1]);
        }
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (readLog) {
        close(fds[1]);
        std::string pending;
        char buffer[65536];
        ssize_t got;
        while ((got = read(fds[0], buffer, sizeof buffer)) > 0) {
            const double at = Since(start);
            pending.append(buffer, static_cast<std::size_t>(got));
            std::size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                run.lines.emplace_back(at, pending.substr(0, eol));
                pending.erase(0, eol + 1);
            }
        }
        close(fds[0]);
    }
    struct rusage usage {};
    wait4(child, &run.status, 0, &usage);
    run.wall = Since(start);
    run.user = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
    run.sys = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.cpu = run.user + run.sys;
    run.minorFaults = usage.ru_minflt;
    run.majorFaults = usage.ru_majflt;
    run.peakMB = usage.ru_maxrss / 1024.0;
    return run;
}

/// Time of the first log line containing \p text, or -1.
double LineTime(const Run &run, const char *text)
{
    for (const auto &line : run.lines)
        if (line.second.find(text) != std::string::npos)
            return line.first;
    return -1;
}

/// Processor seconds of the record scan alone on \p path, best of a few.
double ScanSeconds(const QString &path)
{
    BenchHost host;
    pt3File file(host);
    if (!file.Open(path))
        return 0;
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        file.scanned = false;
        const Clock::time_point t = Clock::now();
        file.ScanRecords();
        best = std::min(best, Since(t));
    }
    return best;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Best(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

struct Phases {
    std::vector<double> startup, open, reconstruction, statistics, exit;
};

void Measure(const char *label, const std::string &converter, const QString &path, int runs, double limit)
{
    const double fileMB = static_cast<double>(QFileInfo(path).size()) / 1e6;
    const std::string file = QFile::encodeName(path).toStdString();
    std::vector<double> catWall, catCpu, wall, cpu, faults, peak;
    Phases phases;
    uint64_t records = 0;
    {
        BenchHost host;
        pt3File f(host);
        f.Open(path);
        records = f.records.size();
    }
    const double scan = ScanSeconds(path);
    // One run of each first so both see a warm page cache.
    Execute({"/bin/cat", file}, false);
    Execute({converter, file}, false);
    for (int i = 0; i < runs; ++i) {
        const Run c = Execute({"/bin/cat", file}, false);
        catWall.push_back(c.wall);
        catCpu.push_back(c.cpu);
        const Run r = Execute({converter, file}, true);
        if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0)
            std::printf("  converter run %d ended with status %d\n", i + 1, r.status);
        wall.push_back(r.wall);
        cpu.push_back(r.cpu);
        faults.push_back(static_cast<double>(r.minorFaults + r.majorFaults));
        peak.push_back(r.peakMB);
        const double first = r.lines.empty() ? r.wall : r.lines.front().first;
        const double opened = LineTime(r, "Succesfully openend file");
        double rebuilt = LineTime(r, "Images reconstructed");
        if (rebuilt < 0)
            rebuilt = LineTime(r, "Traces reconstructed");
        if (rebuilt < 0)
            rebuilt = LineTime(r, "Lines reconstructed");
        const double last = r.lines.empty() ? r.wall : r.lines.back().first;
        phases.startup.push_back(first);
        phases.open.push_back(std::max(0.0, opened - first - scan));
        phases.reconstruction.push_back(rebuilt - opened);
        phases.statistics.push_back(last - rebuilt);
        phases.exit.push_back(r.wall - last);
    }
    std::printf("\n%s: %s, %.1f MB, %.1f M records, %d runs\n", label, qPrintable(path), fileMB, records / 1e6, runs);
    std::printf("  cat                 wall best %.3f s  median %.3f s   cpu median %.3f s\n", Best(catWall),
                Median(catWall), Median(catCpu));
    std::printf("  fotonel-convert     wall best %.3f s  median %.3f s  worst %.3f s   cpu best %.3f s  median %.3f s\n",
                Best(wall), Median(wall), *std::max_element(wall.begin(), wall.end()), Best(cpu), Median(cpu));
    std::printf("                      wall of each run:");
    for (double w : wall)
        std::printf(" %.3f", w);
    std::printf(" s\n");
    std::printf("                      %.0f M records/s (best wall), page faults median %.0f, peak resident %.1f MB\n",
                records / Best(wall) / 1e6, Median(faults), Median(peak));
    std::printf("  ratio to cat        wall best/best %.2f  median/median %.2f  cpu median/median %.2f  (target at most %.0f)\n",
                Best(wall) / Best(catWall), Median(wall) / Median(catWall), Median(cpu) / Median(catCpu), limit);
    std::printf("  breakdown (median wall s): start-up %.3f  open %.3f  record scan %.3f  reconstruction %.3f  "
                "statistics %.3f  exit %.3f\n",
                Median(phases.startup), Median(phases.open), scan, Median(phases.reconstruction),
                Median(phases.statistics), Median(phases.exit));
}

/// The lifetime-resolved stack of the image scan (--decay with bins of 32 ps:
/// 782 images of 512 x 512 per channel, 820 MB), against the plain
/// conversion and `cp` of the bytes it writes, in rounds.
void MeasureDecay(const std::string &converter, const QString &path, int runs)
{
    const std::string file = QFile::encodeName(path).toStdString();
    const QString exportFolder = QFileInfo(path).absolutePath() + "/" + QFileInfo(path).completeBaseName() + "_export";
    const std::string copies = QFile::encodeName(QFileInfo(path).absolutePath() + "/bench_convert_copies").toStdString();
    QDir().mkpath(QString::fromStdString(copies));
    std::vector<double> plain, decay, decayCpu, copy, peak;
    Execute({converter, "--decay", "--tau-bin", "0.032", file}, false);
    for (int i = 0; i < runs; ++i) {
        plain.push_back(Execute({converter, file}, false).wall);
        const Run r = Execute({converter, "--decay", "--tau-bin", "0.032", file}, false);
        decay.push_back(r.wall);
        decayCpu.push_back(r.cpu);
        peak.push_back(r.peakMB);
        std::vector<std::string> cp{"/bin/cp"};
        for (const QString &name : QDir(exportFolder).entryList({QStringLiteral("*_Histogram_ch*.tif")}, QDir::Files))
            cp.push_back(QFile::encodeName(exportFolder + "/" + name).toStdString());
        cp.push_back(copies);
        copy.push_back(Execute(cp, false).wall);
        for (const QString &name : QDir(QString::fromStdString(copies)).entryList(QDir::Files))
            QFile::remove(QString::fromStdString(copies) + "/" + name);
    }
    QDir().rmdir(QString::fromStdString(copies));
    auto row = [](const char *what, const std::vector<double> &v) {
        std::printf("  %-34s best %.3f s  median %.3f s  worst %.3f s\n", what, Best(v), Median(v),
                    *std::max_element(v.begin(), v.end()));
    };
    std::printf("\nlifetime-resolved stack: %s, --decay --tau-bin 0.032, %d rounds\n", qPrintable(path), runs);
    row("plain conversion", plain);
    row("cp of the stacks written", copy);
    row("conversion with --decay", decay);
    std::printf("  --decay processor median %.3f s, peak resident median %.1f MB\n", Median(decayCpu), Median(peak));
    std::printf("  ratio --decay / (plain + cp), median/median %.2f  (target at most 2)\n",
                Median(decay) / (Median(plain) + Median(copy)));
}

std::string ConverterPath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "fotonel-convert";
    self[n] = 0;
    // build/bench/bench_convert -> build/fotonel-convert
    return QFileInfo(QString::fromLocal8Bit(self)).dir().absoluteFilePath(QStringLiteral("../fotonel-convert")).toStdString();
}

} // namespace

int main(int argc, char *argv[])
{
    // --inversions: the two point files whose photon pairs of one sync
    // period run backwards or forwards, instead of the image and point files.
    const bool inversions = argc > 1 && std::strcmp(argv[argc - 1], "--inversions") == 0;
    // --decay: the lifetime-resolved stack of the image scan instead.
    const bool decay = argc > 1 && std::strcmp(argv[argc - 1], "--decay") == 0;
    if (inversions || decay)
        --argc;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    QDir().mkpath(folder);
    const QString image = QDir(folder).filePath(QStringLiteral("bench_convert_image.pt3"));
    const QString point = QDir(folder).filePath(QStringLiteral("bench_convert_point.pt3"));
    const QString backwards = QDir(folder).filePath(QStringLiteral("bench_convert_point_backwards.pt3"));
    const QString forwards = QDir(folder).filePath(QStringLiteral("bench_convert_point_forwards.pt3"));
    struct Input {
        const QString &path;
        bool (*generate)(const QString &);
    };
    const std::vector<Input> files = inversions ? std::vector<Input>{{backwards, GenerateBackwards}, {forwards, GenerateForwards}}
                                                : std::vector<Input>{{image, GenerateBenchImage}, {point, GeneratePoint}};
    for (const Input &f : files) {
        if (QFileInfo::exists(f.path))
            continue;
        std::printf("generating %s ...\n", qPrintable(f.path));
        if (!GenerateApart(f.generate, f.path)) {
            std::printf("could not write %s\n", qPrintable(f.path));
            return 1;
        }
    }
    const std::string converter = argc > 3 ? std::string(argv[3]) : ConverterPath();
    if (access(converter.c_str(), X_OK) != 0) {
        std::printf("no converter at %s\n", converter.c_str());
        return 1;
    }
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) > 0)
        std::printf("load average at start %.2f %.2f %.2f on %ld processors\n", load[0], load[1], load[2],
                    sysconf(_SC_NPROCESSORS_ONLN));
    if (decay) {
        MeasureDecay(converter, image, runs);
    } else if (inversions) {
        Measure("point measurement, pairs of one period backwards", converter, backwards, runs, 6);
        Measure("point measurement, the same pairs forwards", converter, forwards, runs, 6);
    } else {
        Measure("image scan", converter, image, runs, 5);
        Measure("point measurement", converter, point, runs, 6);
    }
    if (getloadavg(load, 3) > 0)
        std::printf("\nload average at end %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
