// Lifetimes at the sizes users meet:
//   1. phasors (and their four maps) of the 512 x 512 x 23-frame image scan of
//      bench_convert (about 60 million records), as fotonel-convert --phasor
//      against its plain conversion, both as processes on the warm file; then
//      both in this process with the photon pass held to each vector form
//      the processor has (AVX2, AVX-512), in wall and processor seconds;
//   2. the one-component fit map of 512 x 512 pixels of 64-bin decays
//      (about 300 photons each);
//   3. a whole-image two-component reconvolution fit (512 bins, 10 million photons).
//
//   bench_flim [FOLDER] [RUNS] [CONVERTER]
//
// Writes FOLDER/bench_convert_image.pt3 (default FOLDER /tmp) when it is not
// there, with the layout bench_convert uses. Prints best and median seconds.
// Never fails on time; the machine may be shared.

#include "bench/BenchFile.h"
#include "flim/DecayFit.h"
#include "scans/RasterScan.h"
#include "scans/VectorForms.h"
#include "tools/convert/Converter.h"
#include "tools/synth/DecaySampler.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QApplication>
#include <QFileInfo>
#include <QString>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}


struct Times {
    std::vector<double> s;
    double Best() const { return *std::min_element(s.begin(), s.end()); }
    double Median() const
    {
        std::vector<double> v = s;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

double RunProcess(const std::string &command)
{
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", command.c_str());
    return Since(start);
}

/// Processor and wall seconds of the converter run in this process on \p arguments.
void RunInProcess(const QStringList &arguments, Times &cpu, Times &wall)
{
    QString text;
    QTextStream out(&text);
    const std::clock_t cpuStart = std::clock();
    const auto start = Clock::now();
    if (RunConverter(arguments, out) != 0)
        std::fprintf(stderr, "failed: %s\n", arguments.join(QLatin1Char(' ')).toLocal8Bit().constData());
    wall.s.push_back(Since(start));
    cpu.s.push_back(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "minimal");
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string converter = argc > 3 ? argv[3] : FOTONEL_CONVERT;
    const QString image = folder + QStringLiteral("/bench_convert_image.pt3");
    if (!QFileInfo::exists(image) && !GenerateBenchImage(image)) {
        std::fprintf(stderr, "cannot write %s\n", image.toLocal8Bit().constData());
        return 1;
    }
    const std::string file = image.toStdString();
    const std::string quiet = " > /dev/null 2>&1";
    RunProcess("cat '" + file + "' > /dev/null");
    Times plain, phasor;
    for (int r = 0; r < runs; ++r) {
        plain.s.push_back(RunProcess("QT_QPA_PLATFORM=offscreen '" + converter + "' '" + file + "'" + quiet));
        phasor.s.push_back(RunProcess("QT_QPA_PLATFORM=offscreen '" + converter + "' --phasor '" + file + "'" + quiet));
    }
    std::printf("image 512x512x23, conversion          best %.3f s  median %.3f s\n", plain.Best(), plain.Median());
    // Both ratios: on a shared machine one lucky run moves the bests.
    std::printf("image 512x512x23, conversion + phasor best %.3f s  median %.3f s  ratio (best) %.2f  (median) %.2f\n",
                phasor.Best(), phasor.Median(), phasor.Best() / plain.Best(), phasor.Median() / plain.Median());
    for (int level = 1; level <= VectorLevelOfProcessor(); ++level) {
        RasterScan::vectorLevel = level;
        Times plainCpu, phasorCpu, plainWall, phasorWall;
        for (int r = 0; r < runs; ++r) {
            RunInProcess({image}, plainCpu, plainWall);
            RunInProcess({QStringLiteral("--phasor"), image}, phasorCpu, phasorWall);
        }
        std::printf("in process, %-7s conversion %.3f s, + phasor %.3f s (best)  ratio (best) %.2f  (median) %.2f;"
                    "  processor %.3f s, %.3f s  ratio %.2f\n",
                    level == 1 ? "AVX2" : "AVX-512", plainWall.Best(), phasorWall.Best(), phasorWall.Best() / plainWall.Best(),
                    phasorWall.Median() / plainWall.Median(), plainCpu.Best(), phasorCpu.Best(),
                    phasorCpu.Best() / plainCpu.Best());
    }
    RasterScan::vectorLevel = 2;

    // Fit map: 512 x 512 pixels, lifetimes 1 to 4 ns across, 64 bins of 25/64 ns.
    const uint32_t W = 512, H = 512, bins = 64;
    const double period = 25, w = period / bins;
    std::vector<uint32_t> decays(static_cast<std::size_t>(W) * H * bins, 0);
    flim::Decay whole{w, period, std::vector<double>(bins, 0.0)};
    for (uint32_t y = 0; y < H; ++y) {
        synth::DecayPlan plan;
        plan.tau = {1.0 + 3.0 * y / H};
        synth::DecaySampler sampler(plan, y + 1);
        for (uint32_t x = 0; x < W; ++x)
            for (int k = 0; k < 300; ++k) {
                const uint32_t b = std::min<uint32_t>(bins - 1, static_cast<uint32_t>(sampler.NextDelay() / w));
                decays[(static_cast<std::size_t>(y) * W + x) * bins + b] += 1;
                whole.counts[b] += 1;
            }
    }
    flim::DecayFitSettings two;
    two.components = 2;
    const flim::DecayFitResult fit = flim::FitDecay(whole, two);
    Times map, mapCpu;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        const std::clock_t cpu = std::clock();
        const std::vector<float> tau = flim::FitLifetimeMap(decays, W, H, bins, whole, fit, {}, 1, 50);
        map.s.push_back(Since(start));
        mapCpu.s.push_back(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
        if (r == 0)
            std::printf("fit map: tau of the first row %.3f ns, of the last %.3f ns\n", tau[W / 2], tau[(H - 1) * W + W / 2]);
    }
    std::printf("fit map 512x512, 1 component          best %.3f s  median %.3f s  (processor: best %.3f s)\n",
                map.Best(), map.Median(), mapCpu.Best());

    // Whole-image fit: 10 million photons of 0.8 and 3.5 ns on 512 bins.
    synth::DecayPlan plan;
    plan.tau = {0.8, 3.5};
    plan.fraction = {0.4, 0.6};
    plan.backgroundFraction = 0.01;
    synth::DecaySampler sampler(plan, 7);
    flim::Decay image2{period / 512, period, std::vector<double>(512, 0.0)};
    for (int k = 0; k < 10000000; ++k)
        image2.counts[std::min<std::size_t>(511, static_cast<std::size_t>(sampler.NextDelay() / image2.binWidth))] += 1;
    Times whole2;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        const flim::DecayFitResult f = flim::FitDecay(image2, two);
        whole2.s.push_back(Since(start));
        if (r == 0)
            std::printf("whole fit: tau %.3f, %.3f ns, reduced chi square %.3f\n", f.tau[0], f.tau[1], f.reducedChiSquare);
    }
    std::printf("whole-image fit, 2 components         best %.3f s  median %.3f s\n", whole2.Best(), whole2.Median());
    return 0;
}
