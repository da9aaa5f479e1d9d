// Reconvolution fits of simulated decays with 1, 2 and 3 components under a
// Gaussian or a measured instrument response, and the per-pixel fit map.
#include "flim/DecayFit.h"
#include "flim/DecayModel.h"
#include "tools/synth/DecaySampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPeriod = 25, kResolution = 0.008;
constexpr int kSteps = 10;  // dtime steps per fit bin: 0.08 ns
constexpr std::size_t kBins = 312;  // 312 x 0.08 = 24.96 ns, inside the period

flim::Decay Histogram(const synth::DecayPlan &plan, int photons, uint32_t seed)
{
    flim::Decay d{kSteps * kResolution, kPeriod, std::vector<double>(kBins, 0.0)};
    synth::DecaySampler sampler(plan, seed);
    for (int k = 0; k < photons; ++k) {
        const uint32_t bin = sampler.Next() / kSteps;
        if (bin < kBins)
            d.counts[bin] += 1;
    }
    return d;
}

struct FitCase {
    const char *name;
    std::vector<double> tau, fraction;
    int photons;
    bool measuredIrf;
};

TEST(DecayFit, RecoversLifetimesAmplitudesAndShiftWithinTheirErrors)
{
    const FitCase cases[] = {
        {"one component", {2.5}, {1}, 200000, false},
        {"one component, measured response", {2.5}, {1}, 200000, true},
        {"lifetime longer than the period's tail", {40}, {1}, 400000, false},
        {"two components", {0.8, 3.5}, {0.4, 0.6}, 1000000, false},
        {"two components, measured response", {0.8, 3.5}, {0.4, 0.6}, 1000000, true},
        {"three components", {0.4, 2.0, 7.0}, {0.25, 0.35, 0.4}, 4000000, false},
    };
    for (const FitCase &c : cases) {
        SCOPED_TRACE(c.name);
        synth::DecayPlan plan;
        plan.tau = c.tau;
        plan.fraction = c.fraction;
        plan.irfCentre = 2.3;
        plan.irfWidth = 0.12;
        plan.backgroundFraction = 0.02;
        flim::DecayFitSettings settings;
        settings.components = static_cast<int>(c.tau.size());
        if (c.measuredIrf) {
            synth::DecayPlan irf = plan;
            irf.tau = {0.0};
            irf.fraction = {1};
            irf.backgroundFraction = 0;
            irf.irfCentre = 1.98;  // the decay comes 0.32 ns (4 bins) later
            settings.irf = Histogram(irf, 500000, 99).counts;
        }
        const flim::DecayFitResult fit = flim::FitDecay(Histogram(plan, c.photons, 17), settings);
        ASSERT_TRUE(fit.ok) << fit.error;
        // Amplitudes: photon fraction over lifetime, normalised.
        double norm = 0;
        for (std::size_t i = 0; i < c.tau.size(); ++i)
            norm += c.fraction[i] / c.tau[i];
        for (std::size_t i = 0; i < c.tau.size(); ++i) {
            EXPECT_GT(fit.tauError[i], 0);
            EXPECT_NEAR(fit.tau[i], c.tau[i], 4 * fit.tauError[i]) << "component " << i;
            EXPECT_NEAR(fit.amplitude[i], c.fraction[i] / c.tau[i] / norm, 4 * fit.amplitudeError[i] + 1e-3)
                << "component " << i;
        }
        if (c.measuredIrf) {
            EXPECT_NEAR(fit.shift, 0.32, 4 * fit.shiftError + 0.01);
            EXPECT_EQ(fit.irfWidth, 0);
        } else {
            EXPECT_NEAR(fit.shift, 2.3, 4 * fit.shiftError + 0.005);
            // The response is taken as even inside its bin: a little narrower than drawn.
            EXPECT_NEAR(fit.irfWidth, 0.12, 4 * fit.irfWidthError + 0.006);
        }
        // A measured response brings its own noise and its spread inside a bin.
        EXPECT_NEAR(fit.reducedChiSquare, 1.0, c.measuredIrf ? 0.3 : 0.15);
        EXPECT_NEAR(fit.background, 0.02 * c.photons / (kPeriod / (kSteps * kResolution)),
                    4 * fit.backgroundError + 1);
        // The weighted means from the fitted components.
        double a = 0, at = 0, att = 0;
        for (int i = 0; i < fit.components; ++i) {
            a += fit.amplitude[i];
            at += fit.amplitude[i] * fit.tau[i];
            att += fit.amplitude[i] * fit.tau[i] * fit.tau[i];
        }
        EXPECT_NEAR(fit.tauAmplitude, at / a, 1e-9);
        EXPECT_NEAR(fit.tauIntensity, att / at, 1e-9);
        EXPECT_DOUBLE_EQ(fit.rangeTo, kBins * kSteps * kResolution);
    }
}

TEST(DecayFit, RefusesEmptyDecaysAndResponses)
{
    flim::Decay empty{0.08, kPeriod, std::vector<double>(kBins, 0.0)};
    EXPECT_EQ(flim::FitDecay(empty, {}).error, "the decay holds no photons");
    synth::DecayPlan plan;
    flim::DecayFitSettings settings;
    settings.irf.assign(kBins, 0.0);
    EXPECT_EQ(flim::FitDecay(Histogram(plan, 1000, 1), settings).error, "the instrument response holds no photons");
    settings.irf.clear();
    settings.components = 4;
    EXPECT_EQ(flim::FitDecay(Histogram(plan, 1000, 1), settings).error, "the decay fit takes 1 to 3 components");
}

TEST(DecayFit, MapFollowsALifetimeGradientWithBinningAndThreshold)
{
    const uint32_t W = 12, H = 4, bins = 50;  // 0.5 ns bins
    const double w = kPeriod / bins;
    std::vector<uint32_t> decays(static_cast<std::size_t>(W) * H * bins, 0);
    flim::Decay whole{w, kPeriod, std::vector<double>(bins, 0.0)};
    const auto tauAt = [](uint32_t x) { return 1.0 + 0.3 * x; };
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            synth::DecayPlan plan;
            plan.tau = {tauAt(x)};
            synth::DecaySampler sampler(plan, 1000 + y * W + x);
            const int photons = y == 3 ? 30 : 4000;  // the last row is below the threshold
            for (int k = 0; k < photons; ++k) {
                const uint32_t bin = static_cast<uint32_t>(sampler.NextDelay() / w);
                decays[(static_cast<std::size_t>(y) * W + x) * bins + bin] += 1;
                whole.counts[bin] += 1;
            }
        }
    // The summed image holds many lifetimes: three components describe it
    // well enough to place the response.
    flim::DecayFitSettings three;
    three.components = 3;
    const flim::DecayFitResult fit = flim::FitDecay(whole, three);
    ASSERT_TRUE(fit.ok) << fit.error;
    const std::vector<float> map = flim::FitLifetimeMap(decays, W, H, bins, whole, fit, {}, 1, 50);
    const std::vector<float> binned = flim::FitLifetimeMap(decays, W, H, bins, whole, fit, {}, 3, 50);
    for (uint32_t x = 0; x < W; ++x) {
        for (uint32_t y = 0; y < 3; ++y) {
            // 4000 photons: about 1.6 % of τ.
            EXPECT_NEAR(map[y * W + x], tauAt(x), 0.08 * tauAt(x)) << x << "," << y;
            // 3 x 3 binning mixes the neighbours' lifetimes: their mean at the edge.
            const double mean = x == 0 ? (tauAt(0) + tauAt(1)) / 2 : x == W - 1 ? (tauAt(x - 1) + tauAt(x)) / 2 : tauAt(x);
            EXPECT_NEAR(binned[y * W + x], mean, 0.05 * mean) << x << "," << y;
        }
        EXPECT_TRUE(std::isnan(map[3 * W + x]));
    }
}

TEST(DecayFit, MapPixelLandsOnTheLikelihoodOptimumNotOnItsStart)
{
    // Two lifetimes far apart in one pixel: the one-component optimum lies
    // far from the phase lifetime the pixel's fit starts from. The pixel's
    // deviance, worked out here from the response of the whole decay's fit,
    // rises on either side of the map's lifetime.
    const uint32_t bins = 64;
    const double w = kPeriod / bins;
    const auto histogram = [&](const synth::DecayPlan &plan, int photons, uint32_t seed) {
        synth::DecaySampler sampler(plan, seed);
        std::vector<double> counts(bins, 0.0);
        for (int k = 0; k < photons; ++k)
            counts[std::min<std::size_t>(bins - 1, static_cast<std::size_t>(sampler.NextDelay() / w))] += 1;
        return counts;
    };
    synth::DecayPlan plan;
    plan.tau = {0.4, 7.0};
    plan.fraction = {0.6, 0.4};
    plan.irfCentre = 2.3;
    plan.irfWidth = 0.12;
    plan.backgroundFraction = 0.02;
    synth::DecayPlan response = plan;
    response.tau = {0.0};
    response.fraction = {1};
    response.backgroundFraction = 0;
    flim::DecayFitSettings settings;
    settings.irf = histogram(response, 200000, 5);
    const flim::Decay whole{w, kPeriod, histogram(plan, 400000, 3)};
    const flim::DecayFitResult fit = flim::FitDecay(whole, settings);
    ASSERT_TRUE(fit.ok) << fit.error;
    const std::vector<uint32_t> decay(whole.counts.begin(), whole.counts.end());
    const double tau = flim::FitLifetimeMap(decay, 1, 1, bins, whole, fit, settings.irf, 1, 0)[0];

    const std::vector<double> h = flim::FittedResponse(whole, fit, settings.irf);
    const double photons = 400000, share = fit.background * bins / photons;
    const auto deviance = [&](double t) {
        std::vector<double> y(bins);
        flim::ExponentialResponse(h.data(), bins, w, kPeriod, t, y.data());
        double total = 0, d = 0;
        for (double v : y)
            total += v;
        for (uint32_t k = 0; k < bins; ++k) {
            const double m = photons * (1 - share) * y[k] / total + photons * share / bins, c = whole.counts[k];
            d += 2 * (m - c + (c > 0 ? c * std::log(c / m) : 0.0));
        }
        return d;
    };
    EXPECT_LT(deviance(tau), deviance(tau * 1.01));
    EXPECT_LT(deviance(tau), deviance(tau * 0.99));
}

} // namespace
