// Error bars and fits of correlation curves on simulated measurements of
// known truth: diffusion, blinking and a Poisson stream.
#include "scans/PointScan.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/DiffusionSimulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

namespace {

/// A host whose Fit group holds \p settings.
struct FitHost : TestHost {
    fcs::FitSettings settings;
    fcs::FitSettings GetFitSettings() override { return settings; }
};

/// A point scan of \p words (40 MHz sync), correlated on 8 lags per cascade
/// from 1 µs over \p cascades cascades and fitted with \p settings.
struct Analysed {
    FitHost host;
    std::unique_ptr<MemoryFile> file;
    PointScan scan;

    Analysed(std::vector<uint32_t> words, const fcs::FitSettings &settings, int cascades = 12)
    {
        host.settings = settings;
        file = std::make_unique<MemoryFile>(host, std::move(words), 25.0, 0.004);
        scan.Init(host, *file);
        scan.ReconstructImages();
        host.dtau.Set(1);
        host.nrbins = 8;
        host.ncasc = cascades;
        scan.ComputeCorrelations();
        scan.FitCorrelations();
    }
    const fcs::FitResult &Fit(std::size_t k) const { return scan.fits.at(k); }
};

synth::DiffusionPlan Bright(uint64_t seed)
{
    synth::DiffusionPlan plan;
    plan.brightness = 400e3;
    plan.background = 0;
    plan.seed = seed;
    return plan;
}

} // namespace

TEST(DiffusionFit, TauDAndNOfTheTruthInAutoAndCrossCorrelations)
{
    // 2.8 s each; steps of 20 µs, a twentieth of the diffusion time.
    for (uint64_t seed : {12u, 14u}) {
        synth::DiffusionPlan plan = Bright(seed);
        plan.brightness = 300e3;
        plan.step = 20e-6;
        Analysed a(synth::SimulateDiffusion(plan, 1500000).words, {}, 10);
        ASSERT_EQ(a.scan.fits.size(), 4u);
        const fcs::FitResult &auto11 = a.Fit(0), &cross12 = a.Fit(1);
        for (const fcs::FitResult *fit : {&auto11, &cross12}) {
            ASSERT_TRUE(fit->ok) << fit->error;
            EXPECT_TRUE(fit->weighted);
            for (auto [p, truth] : {std::pair<std::size_t, double>{fcs::TauD, plan.TauD()}, {fcs::N, plan.molecules}}) {
                EXPECT_LT(std::abs(fit->value[p] - truth), 3 * fcs::LargerError(*fit, p))
                    << "seed " << seed << " " << fcs::ParameterName(p) << " " << fit->value[p];
                EXPECT_LT(std::abs(fit->value[p] / truth - 1), 0.1) << "seed " << seed << " " << fcs::ParameterName(p);
            }
        }
        // The cross-correlation sees the same diffusion as the autocorrelation.
        EXPECT_LT(std::abs(cross12.value[fcs::TauD] - auto11.value[fcs::TauD]),
                  3 * std::hypot(fcs::LargerError(cross12, fcs::TauD), fcs::LargerError(auto11, fcs::TauD)));
    }
}

TEST(CorrelationErrors, MatchTheScatterBetweenIndependentMeasurements)
{
    // Ten measurements of 0.24 s; bins up to 2 ms, far inside a segment.
    constexpr int runs = 10;
    std::vector<std::vector<double>> G, sigma;
    for (int r = 0; r < runs; ++r) {
        Analysed a(synth::SimulateDiffusion(Bright(100 + r), 120000).words, {}, 8);
        G.push_back(a.scan.correlations[0]);
        sigma.push_back(a.scan.correlationErrors.at(0));
        EXPECT_EQ(a.scan.errorSegments, 10);
    }
    double scatter = 0, reported = 0;
    for (std::size_t k = 0; k < 40; ++k) {
        double mean = 0, variance = 0, meanSigma = 0;
        for (int r = 0; r < runs; ++r) {
            mean += G[r][k] / runs;
            meanSigma += sigma[r][k] / runs;
        }
        for (int r = 0; r < runs; ++r)
            variance += (G[r][k] - mean) * (G[r][k] - mean) / (runs - 1);
        ASSERT_GT(meanSigma, 0) << k;
        scatter += variance;
        reported += meanSigma * meanSigma;
    }
    EXPECT_NEAR(std::sqrt(scatter / reported), 1.0, 0.25);
}

TEST(DiffusionFit, BlinkingGivesTheDarkFractionAndItsTime)
{
    // T = 7500 / (7500 + 17500) = 0.3, tauT = 1 / 25000 s = 0.04 ms.
    synth::DiffusionPlan plan = Bright(7);
    plan.toDark = 7500;
    plan.toBright = 17500;
    plan.step = 4e-6;
    fcs::FitSettings settings;
    settings.model = fcs::Model::Diffusion3DTriplet;
    Analysed a(synth::SimulateDiffusion(plan, 500000).words, settings);
    const fcs::FitResult &fit = a.Fit(0);
    ASSERT_TRUE(fit.ok) << fit.error;
    EXPECT_NEAR(fit.value[fcs::T], 0.3, std::max(0.05, 3 * fcs::LargerError(fit, fcs::T)));
    EXPECT_NEAR(fit.value[fcs::TauT], 0.04, std::max(0.01, 3 * fcs::LargerError(fit, fcs::TauT)));
    EXPECT_NEAR(fit.value[fcs::TauD], plan.TauD(), 0.15 * plan.TauD());
}

TEST(DiffusionFit, PoissonStreamHasNoAmplitude)
{
    // 100 kHz on one channel for 3 s, gaps drawn in whole sync periods.
    std::mt19937_64 random(5);
    std::exponential_distribution<double> gap(1.0 / 400);
    std::vector<synth::PointPhoton> photons;
    double t = 1000;
    for (int i = 0; i < 300000; ++i) {
        t += gap(random);
        photons.push_back({static_cast<uint64_t>(t), 1, 100});
    }
    Analysed a(synth::MakePointMeasurement(std::move(photons)).words, {}, 10);
    const fcs::FitResult &fit = a.Fit(0);
    ASSERT_TRUE(fit.ok) << fit.error;
    EXPECT_NEAR(fit.value[fcs::Ginf], 1, 3 * fit.standardError[fcs::Ginf] + 1e-4);
    // No amplitude: 1/N within three of its errors of 0.
    EXPECT_GT(fit.value[fcs::N], 100);
    EXPECT_LT(1 / fit.value[fcs::N], 3 * fcs::LargerError(fit, fcs::N) / (fit.value[fcs::N] * fit.value[fcs::N]));
    // sigma from ten segments scatters itself: the reduced chi square of
    // weights 1/s^2 with 9 degrees of freedom each is near 9/7.
    EXPECT_GT(fit.reducedChiSquare, 0.7);
    EXPECT_LT(fit.reducedChiSquare, 1.6);
}

TEST(CorrelationErrors, SegmentsOfAnOddRateAreLeftOutWhenAsked)
{
    // 1 s at 50 kHz; a passing aggregate doubles the rate of the fourth tenth.
    std::mt19937_64 random(9);
    std::exponential_distribution<double> gap(1.0 / 800);
    std::vector<synth::PointPhoton> photons;
    for (double t = 0; t < 4e7; t += gap(random))
        photons.push_back({static_cast<uint64_t>(t), 1, 100});
    for (double t = 1.2e7; t < 1.6e7; t += gap(random))
        photons.push_back({static_cast<uint64_t>(t), 1, 100});
    fcs::FitSettings settings;
    settings.rejectFactor = 1.5;
    Analysed a(synth::MakePointMeasurement(photons).words, settings, 8);
    EXPECT_EQ(a.scan.errorSegments, 9);
    const QStringList left = a.host.Messages(MessageWarning).filter("left out of the error bars");
    ASSERT_EQ(left.size(), 1);
    EXPECT_TRUE(left[0].startsWith("Segment 4 of 10 left out of the error bars: count rate 1")) << left[0].toStdString();
    settings.rejectFactor = 0;
    Analysed all(synth::MakePointMeasurement(std::move(photons)).words, settings, 8);
    EXPECT_EQ(all.scan.errorSegments, 10);
}
