// Speed of the correlation on a two-channel point measurement: 10 million
// photons per channel (100 kHz each for 100 s, times built from sync counts
// of 50 ns and 16 ps dtime steps as the record cursor builds them), on the
// start-up lag grid (0.05 µs, 16 steps, 10 cascades) and a long grid (20
// cascades, reaching beyond the measurement). Prints processor seconds per
// curve (and wall seconds), ns per photon of X and Y together, and the peak
// memory; then times the plain one-pass-per-bin count on the start-up grid
// and checks that every bin agrees with it.
//
// bench_correlate [PHOTONS_PER_CHANNEL] [RATE_HZ]
#include "bench/BenchHost.h"
#include "bench/PointBench.h"
#include "files/pqFile.h"
#include "scans/CorrelationCounter.h"
#include "scans/PointScan.h"

#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

namespace {


long PeakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

/// Poisson photons at \p rate Hz: whole sync periods plus a random dtime.
std::vector<double> Photons(std::size_t n, double rate, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::exponential_distribution<double> gap(rate * 50e-9);  // in sync periods
    std::uniform_int_distribution<uint32_t> dtime(0, 3124);
    std::vector<double> t(n);
    double sync = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sync += gap(random);
        t[i] = static_cast<double>(static_cast<uint64_t>(sync)) * 50 + dtime(random) * 0.016;
    }
    std::sort(t.begin(), t.end());
    return t;
}

/// The plain count: one pass over X per bin with two monotone indices into Y.
std::vector<uint64_t> CountPerBin(const std::vector<double> &X, const std::vector<double> &Y, const std::vector<double> &E)
{
    const std::size_t nx = X.size(), ny = Y.size(), bins = E.size() - 1;
    const double T = std::max(X.back(), Y.back());
    std::vector<uint64_t> G(bins, 0);
    for (std::size_t k = 0; k < bins; ++k) {
        std::size_t s = 0, e = 0;
        for (std::size_t i = 0; i < nx; ++i) {
            const double x = X[i];
            while (s < ny && Y[s] - x <= E[k])
                ++s;
            if (x + E[k + 1] > T)
                break;
            while (e < ny && Y[e] - x <= E[k + 1])
                ++e;
            G[k] += e - s;
        }
        if (G[k] == 0)
            break;
    }
    return G;
}

} // namespace

int main(int argc, char **argv)
{
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    const double rate = argc > 2 ? std::atof(argv[2]) : 1e5;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("two channels of %zu photons at %.0f Hz (%.1f s); 2 shared cores, other builds running\n", n, rate,
                n / rate);
    const std::vector<double> X = Photons(n, rate, 1);
    const std::vector<double> Y = Photons(n, rate, 2);
    std::printf("photons generated, peak memory %ld MB; edge indices walked %s\n", PeakMegabytes(),
                CorrelationCounter::VectorWalkAvailable() ? "four tests at a time (AVX2)" : "one test at a time");

    BenchHost host;
    PointBenchFile file(host);
    PointScan scan;
    scan.Init(host, file);
    const double photons = static_cast<double>(X.size() + Y.size());
    struct Grid {
        const char *name;
        int p, q;
    };
    for (const Grid &grid : {Grid{"start-up grid (16, 10)", 16, 10}, Grid{"long grid (16, 20)", 16, 20}}) {
        scan.MakeLagGrid(50, grid.p, grid.q);
        std::vector<double> G;
        double wall = 0;
        const double auto11 = Seconds([&] { scan.Correlate(X, X, G, scan.lagEdges); }, wall);
        std::printf("%-24s G11 %7.3f s  %6.1f ns/photon  (wall %.3f s)\n", grid.name, auto11, auto11 / photons * 1e9,
                    wall);
        const double cross12 = Seconds([&] { scan.Correlate(X, Y, G, scan.lagEdges); }, wall);
        std::printf("%-24s G12 %7.3f s  %6.1f ns/photon  (wall %.3f s)  G12 first %.4f, last %.4f\n", grid.name,
                    cross12, cross12 / photons * 1e9, wall, G.front(), G[std::min<std::size_t>(G.size() - 1, 158)]);
        CorrelationCounter counter(scan.lagEdges);
        std::vector<uint64_t> counts;
        counter.Count(X.data(), X.size(), Y.data(), Y.size(), counts);
        std::printf("%-24s pair pass took %zu of %zu bins; peak memory %ld MB\n", grid.name, counter.PairBins(),
                    counts.size(), PeakMegabytes());
    }

    scan.MakeLagGrid(50, 16, 10);
    std::vector<uint64_t> plain;
    double wall = 0;
    const double perBin = Seconds([&] { plain = CountPerBin(X, Y, scan.lagEdges); }, wall);
    CorrelationCounter counter(scan.lagEdges);
    std::vector<uint64_t> counts;
    const double fast = Seconds([&] { counter.Count(X.data(), X.size(), Y.data(), Y.size(), counts); }, wall);
    std::printf("one pass per bin        G12 %7.3f s  %6.1f ns/photon (counts only; split counter %.3f s)\n", perBin,
                perBin / photons * 1e9, fast);
    std::printf("every bin agrees with the one-pass-per-bin count: %s\n", plain == counts ? "yes" : "NO");
    return plain == counts ? 0 : 1;
}
