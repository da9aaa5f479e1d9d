// Speed of the correlation error bars and of one model fit: two channels of
// 10 million photons (100 kHz each for 100 s) on the start-up lag grid
// (0.05 µs, 16 steps, 10 cascades). Prints processor seconds (and wall
// seconds) of the four plain curves, of their error bars from 10 segments
// and their ratio, then the time of one weighted 3D fit of G12.
//
// bench_fcs [PHOTONS_PER_CHANNEL] [RATE_HZ]
#include "bench/BenchHost.h"
#include "bench/PointBench.h"
#include "fcs/FcsFit.h"
#include "files/pqFile.h"
#include "scans/PointScan.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

namespace {


/// Poisson photons at \p rate Hz: whole sync periods plus a random dtime.
PointScan::PhotonTimes Photons(std::size_t n, double rate, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::exponential_distribution<double> gap(rate * 50e-9);
    std::uniform_int_distribution<uint32_t> dtime(0, 3124);
    PointScan::PhotonTimes t(n);
    double sync = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sync += gap(random);
        t[i] = static_cast<double>(static_cast<uint64_t>(sync)) * 50 + dtime(random) * 0.016;
    }
    std::sort(t.begin(), t.end());
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    const double rate = argc > 2 ? std::atof(argv[2]) : 1e5;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("two channels of %zu photons at %.0f Hz (%.1f s); 2 shared cores, other builds running\n", n, rate,
                n / rate);
    BenchHost host;
    PointBenchFile file(host);
    PointScan scan;
    scan.Init(host, file);
    // The photon lists a reconstruction would leave, set directly.
    scan.channelCount = 4;
    scan.activeChannels = {0, 1};
    scan.photonTimes.resize(4);
    scan.photonTimes[0] = Photons(n, rate, 1);
    scan.photonTimes[1] = Photons(n, rate, 2);
    scan.firstTime = 0;
    scan.lastTime = std::max(scan.photonTimes[0].back(), scan.photonTimes[1].back());
    scan.gathered = scan.reconstructed = true;

    double wall = 0;
    const double plain = Seconds([&] { scan.ComputeCorrelations(); }, wall);
    std::printf("plain correlation, 4 curves      %7.3f s  (wall %.3f s)\n", plain, wall);
    const double errors = Seconds([&] { scan.ComputeCorrelationErrors(); }, wall);
    std::printf("error bars, 10 segments          %7.3f s  (wall %.3f s)  ratio %.2f\n", errors, wall, errors / plain);

    fcs::Curve curve{scan.lagAxis, scan.correlations[1], scan.correlationErrors[1]};
    fcs::FitResult fit;
    constexpr int fits = 20;
    const double fitting = Seconds([&] {
        for (int i = 0; i < fits; ++i)
            fit = fcs::Fit(curve, fcs::FitSettings{});
    }, wall);
    std::printf("one 3D fit of G12 (%zu points)   %7.3f ms  (wall %.3f ms; %s, Ginf %.5f)\n", fit.points,
                fitting / fits * 1e3, wall / fits * 1e3, fit.ok ? "converged" : fit.error.c_str(), fit.value[fcs::Ginf]);
    return fit.ok ? 0 : 1;
}
