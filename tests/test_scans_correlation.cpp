// Correlation of point measurements: the lag grid, exact pair counts against a count over all photon pairs, the
// normalisation on hand-worked values and the statistics of Poisson and blinking sources.
#include "scans/CorrelationCounter.h"
#include "scans/PointScan.h"
#include "scans/VectorForms.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <tuple>

namespace {

using Times = std::vector<double>;

/// A point scan attached to a tiny measurement: enough for Correlate and MakeLagGrid.
struct Attached {
    TestHost host;
    MemoryFile file{host, {synth::PhotonWord(1, 0, 0), synth::PhotonWord(1, 0, 20)}};
    PointScan scan;
    Attached() { scan.Init(host, file); }
};

/// Every photon pair looked at; counting ends at the first bin without pairs.
std::vector<uint64_t> AllPairs(const Times &X, const Times &Y, const Times &E)
{
    std::vector<uint64_t> counts(E.size() - 1, 0);
    const double T = std::max(X.back(), Y.back());
    for (std::size_t k = 0; k < counts.size() && (k == 0 || counts[k - 1] > 0); ++k)
        for (double x : X)
            for (double y : Y)
                counts[k] += !(x + E[k + 1] > T) && y - x > E[k] && y - x <= E[k + 1];
    return counts;
}

/// Photons of a Poisson stream with \p meanGap ns between them, on whole
/// steps of \p period ns plus a random multiple of \p resolution (as sync
/// counts and dtimes make them), until \p duration ns.
Times Photons(std::mt19937_64 &random, double meanGap, double duration, double period = 1, double resolution = 0,
              double steps = 1)
{
    std::exponential_distribution<double> gap(period / meanGap);
    std::uniform_int_distribution<uint32_t> step(0, static_cast<uint32_t>(steps) - 1);
    Times t;
    for (double sync = gap(random); sync * period < duration; sync += gap(random))
        t.push_back(std::floor(sync) * period + step(random) * resolution);
    std::sort(t.begin(), t.end());
    return t;
}

} // namespace

TEST(MakeLagGrid, CascadedEdgesCentresAndRefusals)
{
    Attached a;
    ASSERT_TRUE(a.scan.MakeLagGrid(1000, 2, 1));
    EXPECT_EQ(a.scan.lagEdges, (Times{1000, 2000}));
    EXPECT_EQ(a.scan.lagAxis, (Times{0.0015}));
    ASSERT_TRUE(a.scan.MakeLagGrid(50, 16, 10));  // the start-up values
    EXPECT_EQ(a.scan.lagEdges.size(), 160u);
    EXPECT_EQ(a.scan.lagEdges.back(), 16 * 1023 * 50.0);
    ASSERT_TRUE(a.scan.MakeLagGrid(1000, 3, 2));
    EXPECT_EQ(a.scan.lagEdges, (Times{1000, 2000, 3000, 5000, 7000, 9000}));
    EXPECT_EQ(a.scan.lagAxis, (Times{0.0015, 0.0025, 0.004, 0.006, 0.008}));

    // No step, steps that overflow to infinity, a single edge: refused, the grid kept.
    for (auto [dtau, p, q] : {std::tuple{0.0, 16, 10}, {-50.0, 16, 10}, {std::nan(""), 16, 10}, {1e306, 2, 20}, {50.0, 1, 1}})
        EXPECT_FALSE(a.scan.MakeLagGrid(dtau, p, q)) << dtau;
    EXPECT_TRUE(a.host.Logged("Invalid correlation lag grid: step 0 ns, 16 lags per cascade, 10 cascades", MessageError));
    EXPECT_EQ(a.scan.lagEdges.size(), 6u);
}

TEST(Correlate, WorkedExampleItsLogAndLateStart)
{
    Attached a;
    Times G;
    const Times t{0, 1000, 2000, 3000};
    a.scan.Correlate(t, t, G, {1000, 2000});
    EXPECT_EQ(G, (Times{2}));  // 2 pairs x (3000 - 1000) / (nX 1 x nY 2 x 1000)
    const QStringList log = a.host.Messages().mid(a.host.Messages().size() - 3);
    EXPECT_TRUE(log[0] == "Calculating Correlation function" && log[1].startsWith("Loop 1 calculated in ") &&
                log[2].endsWith(" seconds")) << log.join('|').toStdString();

    // 10 s into the measurement (cursors moved): nX must still be 1, not the
    // 4 photons below T - hi when t0 is left out of T.
    const Times late{1e10, 1e10 + 1000, 1e10 + 2000, 1e10 + 3000};
    a.scan.Correlate(late, late, G, {1000, 2000});
    EXPECT_EQ(G, (Times{2}));

    // No photon pairs with itself: below 1 ns there are only self-pairs.
    a.scan.Correlate(t, t, G, {0.5, 1, 1.5});
    EXPECT_EQ(G, (Times{0, 0}));
}

TEST(Correlate, EarlyStopZeroTailAndEmptyChannels)
{
    Attached a;
    std::mt19937_64 random(7);
    const Times t = Photons(random, 100, 4e5);    // 10 MHz for 0.4 ms
    ASSERT_TRUE(a.scan.MakeLagGrid(50, 16, 10));  // up to 0.818 ms
    Times G;
    a.host.progress.clear();
    a.scan.Correlate(t, t, G, a.scan.lagEdges);
    EXPECT_TRUE(a.host.Logged("Bin range exceeds measurement time"));
    const std::size_t K = static_cast<std::size_t>(std::find(G.begin(), G.end(), 0.0) - G.begin());
    EXPECT_TRUE(K > 100 && K < 159 && std::count(G.begin(), G.end(), 0.0) == 159 - long(K)) << K;
    EXPECT_EQ(a.host.progress.size(), K + 2);  // 0, once per bin, 100

    a.host.messages.clear();
    a.scan.Correlate({}, t, G, a.scan.lagEdges);
    EXPECT_EQ(G, Times(159, 0.0));
    a.scan.Correlate(t, {}, G, a.scan.lagEdges);
    EXPECT_EQ(G, Times(159, 0.0));
    EXPECT_EQ(a.host.Messages().filter("Bin range exceeds measurement time").size(), 2);
}

// Without AVX2 every case below ran the plain edge walk: the test says so
// instead of passing as if the vector walk had been checked.
static void ReportPlainWalkOnly()
{
    if (VectorLevelOfProcessor() < 1)
        GTEST_SKIP() << "the AVX2 edge walk does not run on this processor: only the plain walk was checked";
}

TEST(CorrelationCounter, EqualsTheCountOverAllPairs)
{
    // Sync period, dtime step and steps, mean gap, dtau (ns), p, q: 50 ns and 0.5 ns put many differences exactly
    // on the edges (a pair on an edge belongs to the bin below it), 50.0022 ns and 16 ps within a rounding step.
    struct Case {
        double period, resolution, steps, meanGap, dtau;
        int p, q;
    };
    const Case cases[] = {{50, 0.5, 100, 150, 50, 4, 5}, {50, 0.5, 2, 75, 100, 3, 6},
                          {50.0022, 0.016, 3125, 200, 50.0022, 4, 6}, {12.5, 0.004, 3125, 250, 25, 16, 4}};
    std::mt19937_64 random(11);
    for (const Case &c : cases) {
        Attached a;
        ASSERT_TRUE(a.scan.MakeLagGrid(c.dtau, c.p, c.q));
        const Times &E = a.scan.lagEdges;
        for (int trial = 0; trial < 3; ++trial) {
            const Times X = Photons(random, c.meanGap, 300 * c.meanGap, c.period, c.resolution, c.steps);
            const Times Y = trial == 0 ? X : Photons(random, c.meanGap, 250 * c.meanGap, c.period, c.resolution, c.steps);
            const std::vector<uint64_t> expected = AllPairs(X, Y, E);
            // The split chosen from the pairs, forced to each end and between,
            // and all edge indices walked without vector tests (-2).
            for (long split : {-1L, 0L, 1L, long(E.size() / 2), long(E.size() - 1), -2L}) {
                CorrelationCounter counter(E);
                if (split == -2)
                    counter.ForcePlainWalk();
                if (split != -1)
                    counter.ForcePairBins(static_cast<std::size_t>(std::max(split, 0L)));
                std::vector<uint64_t> counts;
                const std::size_t K = counter.Count(X.data(), X.size(), Y.data(), Y.size(), counts);
                EXPECT_EQ(counts, expected) << c.period << " trial " << trial << " split " << split;
                EXPECT_EQ(K, static_cast<std::size_t>(std::find(expected.begin(), expected.end(), 0u) - expected.begin()));
            }
        }
    }
    ReportPlainWalkOnly();
}

TEST(Correlate, PoissonStreamsGiveOneAndABlinkingSourceItsRates)
{
    Attached a;
    std::mt19937_64 random(3);
    ASSERT_TRUE(a.scan.MakeLagGrid(1000, 8, 7));
    const Times &E = a.scan.lagEdges;
    // Within 5 standard errors of the pair count, 1 / sqrt(nX nY w / T).
    const auto near = [&](const Times &X, const Times &Y, const std::function<double(double, double)> &model,
                          double spread) {
        Times G;
        a.scan.Correlate(X, Y, G, E);
        const double T = std::max(X.back(), Y.back()) - X.front();
        for (std::size_t k = 0; k < G.size(); ++k) {
            const double m = model(E[k], E[k + 1]);
            const double pairs = static_cast<double>(X.size()) * Y.size() * (E[k + 1] - E[k]) / T * m;
            EXPECT_NEAR(G[k], m, spread * m / std::sqrt(pairs) + 0.002) << "bin " << k;
        }
    };
    const Times X = Photons(random, 1e4, 2e9), Y = Photons(random, 1e4, 2e9);  // 100 kHz for 2 s
    near(X, X, [](double, double) { return 1.0; }, 5);
    near(X, Y, [](double, double) { return 1.0; }, 5);

    // On at rate kOn, off at rate kOff (on 100 µs, off 50 µs on average), Poisson
    // photons at 1 MHz while on: G = 1 + kOff / kOn exp(-(kOn + kOff) tau).
    const double kOn = 2e-5, kOff = 1e-5;
    std::exponential_distribution<double> onTime(kOff), offTime(kOn);
    Times t;
    for (double start = 0; start < 1e9; start += offTime(random)) {
        const double end = start + onTime(random);
        for (double v : Photons(random, 1000, end - start))
            t.push_back(start + v);
        start = end;
    }
    const double r = kOn + kOff;
    // The model averaged over the bin; bunched photons scatter more than a Poisson count.
    near(t, t, [&](double lo, double hi) { return 1 + kOff / kOn * (std::exp(-r * lo) - std::exp(-r * hi)) / (r * (hi - lo)); },
         8);
}
