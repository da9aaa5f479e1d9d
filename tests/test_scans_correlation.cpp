// Correlation of point measurements: the cascaded lag grid, exact pair counts
// against a count over all photon pairs, the normalisation on hand-worked
// values, and the statistics of Poisson and blinking sources.
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/CorrelationCounter.h"
#include "scans/PointScan.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

/// A point scan attached to a tiny measurement: Correlate and MakeLagGrid
/// only need the host.
struct Attached {
    TestHost host;
    MemoryFile file{host, {synth::PhotonWord(1, 0, 0), synth::PhotonWord(1, 0, 20)}};
    PointScan scan;
    Attached() { scan.Init(host, file); }
};

std::vector<double> Grid(double dtau, int p, int q)
{
    Attached a;
    EXPECT_TRUE(a.scan.MakeLagGrid(dtau, p, q));
    return a.scan.lagEdges;
}

/// Every pair of photons looked at: bin k counts lo < y - x <= hi for the x
/// with x + hi <= T, and counting ends at the first bin without pairs.
std::vector<uint64_t> AllPairs(const std::vector<double> &X, const std::vector<double> &Y, const std::vector<double> &E)
{
    std::vector<uint64_t> counts(E.size() - 1, 0);
    if (X.empty() || Y.empty())
        return counts;
    const double T = std::max(X.back(), Y.back());
    for (std::size_t k = 0; k + 1 < E.size(); ++k) {
        for (double x : X) {
            if (x + E[k + 1] > T)
                continue;
            for (double y : Y) {
                const double d = y - x;
                counts[k] += d > E[k] && d <= E[k + 1];
            }
        }
        if (counts[k] == 0)
            break;
    }
    return counts;
}

/// Photon times as the record cursor makes them: whole sync periods of
/// \p period ns plus dtime steps of \p resolution ns.
std::vector<double> Photons(std::mt19937_64 &random, std::size_t n, double meanSyncs, double period, double resolution,
                            uint32_t dtimes)
{
    std::exponential_distribution<double> gap(1 / meanSyncs);
    std::uniform_int_distribution<uint32_t> dtime(0, dtimes - 1);
    std::vector<double> t(n);
    double sync = 0;
    for (double &v : t) {
        sync += std::floor(gap(random));
        v = sync * period + dtime(random) * resolution;
    }
    std::sort(t.begin(), t.end());
    return t;
}

/// Poisson photons at \p rate per ns during [0, duration) ns.
std::vector<double> Poisson(std::mt19937_64 &random, double rate, double duration)
{
    std::exponential_distribution<double> gap(rate);
    std::vector<double> t;
    for (double v = gap(random); v < duration; v += gap(random))
        t.push_back(std::floor(v));
    return t;
}

} // namespace

TEST(MakeLagGrid, CascadedEdgesAndCentres)
{
    EXPECT_EQ(Grid(1000, 2, 1), (std::vector<double>{1000, 2000}));
    EXPECT_EQ(Grid(1000, 3, 2), (std::vector<double>{1000, 2000, 3000, 5000, 7000, 9000}));
    Attached a;
    ASSERT_TRUE(a.scan.MakeLagGrid(1000, 3, 2));
    const std::vector<double> centres{0.0015, 0.0025, 0.004, 0.006, 0.008};
    ASSERT_EQ(a.scan.lagAxis.size(), centres.size());
    for (std::size_t k = 0; k < centres.size(); ++k)
        EXPECT_DOUBLE_EQ(a.scan.lagAxis[k], centres[k]);

    // The start-up values: 159 bins, the last edge 16 x 1023 x dtau.
    const std::vector<double> startUp = Grid(50, 16, 10);
    EXPECT_EQ(startUp.size(), 160u);
    EXPECT_EQ(startUp.back(), 16 * 1023 * 50.0);

    // A step of 0 or none at all, and steps that overflow: refused, the grid kept.
    for (double dtau : {0.0, -50.0, std::nan("")}) {
        EXPECT_FALSE(a.scan.MakeLagGrid(dtau, 16, 10));
        EXPECT_EQ(a.scan.lagEdges.size(), 6u);
    }
    EXPECT_FALSE(a.scan.MakeLagGrid(1e306, 2, 20));
    EXPECT_FALSE(a.scan.MakeLagGrid(50, 1, 1));
    EXPECT_TRUE(a.host.Logged("Invalid correlation lag grid: step 0 ns, 16 lags per cascade, 10 cascades", MessageError));
    EXPECT_EQ(a.scan.lagEdges.size(), 6u);
}

TEST(Correlate, WorkedExampleAndItsLog)
{
    Attached a;
    std::vector<double> G;
    const std::vector<double> t{0, 1000, 2000, 3000};
    a.scan.Correlate(t, t, G, {1000, 2000});
    // 2 pairs, nX 1, nY 2: 2 x (3000 - 1000) / (1 x 2 x 1000).
    EXPECT_EQ(G, (std::vector<double>{2}));
    const QStringList lines = a.host.Messages();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[lines.size() - 3], "Calculating Correlation function");
    EXPECT_TRUE(lines[lines.size() - 2].startsWith("Loop 1 calculated in ")) << lines[lines.size() - 2].toStdString();
    EXPECT_TRUE(lines.last().startsWith("Loop 2 calculated in "));
    EXPECT_TRUE(lines.last().endsWith(" seconds"));

    // Shifted 10 s into the measurement (as after moving the cursors): only
    // the photon at 10 s lies a whole lag before the last one, so nX stays 1
    // and G stays 2 (counting nX against T - t0 would give 4 and G 0.5).
    std::vector<double> late = t;
    for (double &v : late)
        v += 1e10;
    a.scan.Correlate(late, late, G, {1000, 2000});
    EXPECT_EQ(G, (std::vector<double>{2}));

    // No photon pairs with itself: at lags up to 1 ns only self-pairs exist.
    a.scan.Correlate(t, t, G, {0.5, 1, 1.5});
    EXPECT_EQ(G, (std::vector<double>{0, 0}));
}

TEST(Correlate, EarlyStopZeroTailAndEmptyChannels)
{
    Attached a;
    std::mt19937_64 random(7);
    const std::vector<double> t = Poisson(random, 0.01, 4e5);  // 10 MHz for 0.4 ms
    ASSERT_TRUE(a.scan.MakeLagGrid(50, 16, 10));             // reaches 0.818 ms
    std::vector<double> G;
    a.host.progress.clear();
    a.scan.Correlate(t, t, G, a.scan.lagEdges);
    ASSERT_EQ(G.size(), 159u);
    EXPECT_TRUE(a.host.Logged("Bin range exceeds measurement time"));
    const auto stop = std::find(G.begin(), G.end(), 0.0);
    ASSERT_NE(stop, G.end());
    const std::size_t K = static_cast<std::size_t>(stop - G.begin());
    EXPECT_GT(K, 100u);
    EXPECT_TRUE(std::all_of(stop, G.end(), [](double g) { return g == 0; }));
    // The progress bar: 0, once per bin before the stop, then 100.
    EXPECT_EQ(a.host.progress.size(), K + 2);
    EXPECT_EQ(a.host.progress.back(), 100);

    for (const auto &pair : {std::make_pair(std::vector<double>(), t), std::make_pair(t, std::vector<double>())}) {
        a.host.messages.clear();
        a.scan.Correlate(pair.first, pair.second, G, a.scan.lagEdges);
        EXPECT_EQ(G, std::vector<double>(159, 0.0));
        EXPECT_TRUE(a.host.Logged("Bin range exceeds measurement time"));
    }
}

TEST(CorrelationCounter, EqualsTheCountOverAllPairs)
{
    // Times from sync counts and dtime steps: with a 50 ns period and 0.5 ns
    // steps many differences fall exactly on the edges (multiples of 50 ns);
    // with 50.0022 ns and 16 ps they fall within a rounding step of them.
    struct Case {
        double period, resolution;
        uint32_t dtimes;
        double meanSyncs;
        double dtau;
        int p, q;
    };
    const Case cases[] = {
        {50, 0.5, 100, 3, 50, 4, 5},      {50, 0.5, 2, 1.5, 100, 3, 6},
        {50.0022, 0.016, 3125, 4, 50.0022, 4, 6}, {12.5, 0.004, 3125, 20, 25, 16, 4},
    };
    std::mt19937_64 random(11);
    for (const Case &c : cases) {
        const std::vector<double> E = Grid(c.dtau, c.p, c.q);
        const std::size_t bins = E.size() - 1;
        for (int trial = 0; trial < 3; ++trial) {
            const std::vector<double> X = Photons(random, 300, c.meanSyncs, c.period, c.resolution, c.dtimes);
            const std::vector<double> Y = trial == 0 ? X : Photons(random, 250, c.meanSyncs, c.period, c.resolution, c.dtimes);
            const std::vector<uint64_t> expected = AllPairs(X, Y, E);
            // The split between the pair pass and the edge indices chosen by
            // the rate, and forced to each end and between.
            for (long forced : {-1L, 0L, 1L, static_cast<long>(bins / 2), static_cast<long>(bins)}) {
                CorrelationCounter counter(E);
                if (forced >= 0)
                    counter.ForcePairBins(static_cast<std::size_t>(forced));
                std::vector<uint64_t> counts;
                const std::size_t K = counter.Count(X.data(), X.size(), Y.data(), Y.size(), counts);
                EXPECT_EQ(counts, expected) << "period " << c.period << " trial " << trial << " split " << forced;
                const auto empty = std::find(expected.begin(), expected.end(), 0u);
                EXPECT_EQ(K, static_cast<std::size_t>(empty - expected.begin()));
            }
        }
    }
}

TEST(Correlate, IndependentPoissonStreamsGiveOne)
{
    Attached a;
    std::mt19937_64 random(3);
    // 100 kHz each for 2 s.
    const std::vector<double> X = Poisson(random, 1e-4, 2e9);
    const std::vector<double> Y = Poisson(random, 1e-4, 2e9);
    ASSERT_TRUE(a.scan.MakeLagGrid(1000, 8, 8));
    const std::vector<double> &E = a.scan.lagEdges;
    for (const auto *pair : {&X, &Y}) {
        std::vector<double> G;
        a.scan.Correlate(X, *pair, G, E);
        ASSERT_EQ(G.size(), E.size() - 1);
        for (std::size_t k = 0; k < G.size(); ++k) {
            // About nX nY w / T pairs per bin: relative error 1 / sqrt of that.
            const double pairs = static_cast<double>(X.size()) * pair->size() * (E[k + 1] - E[k]) / 2e9;
            EXPECT_NEAR(G[k], 1, 5 / std::sqrt(pairs)) << "bin " << k << (pair == &X ? " auto" : " cross");
        }
    }
}

TEST(Correlate, BlinkingSourceFollowsItsRates)
{
    // Switched on at rate kOn, off at rate kOff (on for 100 µs, off for 50 µs
    // on average), with Poisson photons at 1 MHz while on, for 1 s:
    // G = 1 + kOff / kOn exp(-(kOn + kOff) tau), amplitude 0.5, decay 33 µs.
    const double kOn = 2e-5, kOff = 1e-5;  // per ns
    std::mt19937_64 random(5);
    std::exponential_distribution<double> onTime(kOff), offTime(kOn), gap(1e-3);
    std::vector<double> t;
    for (double start = 0; start < 1e9;) {
        const double end = start + onTime(random);
        for (double v = start + gap(random); v < end; v += gap(random))
            t.push_back(std::floor(v));
        start = end + offTime(random);
    }
    Attached a;
    ASSERT_TRUE(a.scan.MakeLagGrid(1000, 8, 7));
    const std::vector<double> &E = a.scan.lagEdges;
    std::vector<double> G;
    a.scan.Correlate(t, t, G, E);
    const double rate = kOn + kOff;
    const double duration = t.back() - t.front();
    for (std::size_t k = 0; k < G.size(); ++k) {
        const double lo = E[k], hi = E[k + 1];
        // The model averaged over the bin.
        const double model = 1 + kOff / kOn * (std::exp(-rate * lo) - std::exp(-rate * hi)) / (rate * (hi - lo));
        const double pairs = static_cast<double>(t.size()) * t.size() * (hi - lo) / duration * model;
        // Bunched photons scatter more than Poisson counts: a wider margin.
        EXPECT_NEAR(G[k], model, 8 * model / std::sqrt(pairs) + 0.01) << "bin " << k;
    }
}

TEST(ComputeCorrelations, EveryOrderedPairInRowOrder)
{
    TestHost host;
    synth::RecordStream s;
    std::mt19937_64 random(9);
    std::exponential_distribution<double> gap(0.05);  // a photon every 20 syncs
    std::uniform_int_distribution<uint32_t> channel(1, 3);
    uint64_t sync = 0;
    for (int i = 0; i < 3000; ++i)
        s.AddPhoton(sync += 1 + static_cast<uint64_t>(gap(random)), channel(random) == 2 ? 3 : 1, 0);
    MemoryFile file(host, s.words);
    PointScan scan;
    scan.Init(host, file);
    scan.ReconstructImages();
    host.dtau.Set(0.05);
    host.nrbins = 4;
    host.ncasc = 3;
    scan.ComputeCorrelations();

    EXPECT_EQ(scan.lagEdges, (std::vector<double>{50, 100, 150, 200, 300, 400, 500, 600, 800, 1000, 1200, 1400}));
    ASSERT_EQ(scan.correlations.size(), 4u);
    for (const auto &G : scan.correlations)
        EXPECT_EQ(G.size(), 11u);
    const QStringList done = host.Messages().filter("Correlation function G");
    ASSERT_EQ(done.size(), 4);
    const char *order[] = {"G11", "G13", "G31", "G33"};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(done[i].startsWith(QString("Correlation function %1 calculated in ").arg(order[i])))
            << done[i].toStdString();
}

TEST(ComputeCorrelations, RealTwoChannelMeasurement)
{
    const QByteArray folder = qgetenv("FOTONEL_REAL_DATA");
    if (folder.isEmpty())
        GTEST_SKIP() << "FOTONEL_REAL_DATA is not set: no real point measurement to correlate";
    const QString name = "FCS_point_correlator_topfluorPE_2_1_1_1.pt3";
    QTemporaryDir dir;
    const QString copy = dir.filePath(name);
    ASSERT_TRUE(QFile::copy(QDir(QString::fromLocal8Bit(folder)).filePath(name), copy));

    TestHost host;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, copy);
    ASSERT_TRUE(file && file->Open(copy));
    PointScan scan;
    scan.Init(host, *file);
    scan.ReconstructImages();
    ASSERT_EQ(scan.activeChannels, (std::vector<uint32_t>{0, 1}));
    // The start-up step (4 sync periods, 0.051 µs) and 16 steps, with 15
    // cascades: lags up to 26 ms, where the slow decay of this sample has ended.
    host.ncasc = 15;
    scan.ComputeCorrelations();

    ASSERT_EQ(scan.correlations.size(), 4u);
    EXPECT_EQ(scan.lagEdges.front(), 51);
    const std::vector<double> &G12 = scan.correlations[1];
    const std::vector<double> &G21 = scan.correlations[2];
    ASSERT_EQ(G12.size(), 239u);
    // The last cascade (13 to 26 ms): every curve near 1; the two
    // cross-correlations alike from the first lag on.
    for (std::size_t k = 223; k < 239; ++k)
        for (const auto &G : scan.correlations)
            EXPECT_NEAR(G[k], 1, 0.03) << "bin " << k;
    for (std::size_t k = 0; k < 239; k += 16)
        EXPECT_NEAR(G12[k], G21[k], 0.05 * G12[k]) << "bin " << k;
}
