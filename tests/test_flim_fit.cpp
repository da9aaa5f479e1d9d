// Lifetime models on simulated decays of known truth: reconvolution fits with
// 1, 2 and 3 components under a Gaussian or a measured instrument response, the
// per-pixel fit map, and phasors, with the hand-worked cases of the harmonic,
// the calibration, the median filter and the threshold.
#include "flim/DecayFit.h"
#include "flim/DecayModel.h"
#include "flim/Phasor.h"
#include "tools/synth/DecaySampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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
        double norm = 0, intensity = 0;
        for (std::size_t i = 0; i < c.tau.size(); ++i) {
            norm += c.fraction[i] / c.tau[i];
            intensity += c.fraction[i] * c.tau[i];
        }
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
        // The mean lifetimes of the truth: weighted by photons, and by amplitude (1 / norm).
        EXPECT_NEAR(fit.tauIntensity, intensity, 0.05 * intensity);
        EXPECT_NEAR(fit.tauAmplitude, 1 / norm, 0.05 / norm);
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
    // The image 86 times over, tall enough to be fitted in two threads:
    // unbinned pixels fit alone, so every copy is the map above bit for bit.
    const uint32_t copies = 86;
    std::vector<uint32_t> tall;
    for (uint32_t k = 0; k < copies; ++k)
        tall.insert(tall.end(), decays.begin(), decays.end());
    const std::vector<float> tallMap = flim::FitLifetimeMap(tall, W, H * copies, bins, whole, fit, {}, 1, 50);
    ASSERT_EQ(tallMap.size(), map.size() * copies);
    for (std::size_t p = 0; p < tallMap.size(); ++p)
        ASSERT_EQ(std::memcmp(&tallMap[p], &map[p % map.size()], sizeof(float)), 0) << p;
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

constexpr uint32_t kDelayBins = 4096;

/// The summed phasor of \p photons photons of \p plan (one pixel).
flim::PhasorSums Simulate(const synth::DecayPlan &plan, int photons, uint32_t seed, const flim::PhasorTable &table)
{
    flim::PhasorSums sums;
    sums.Resize(1, 1);
    synth::DecaySampler sampler(plan, seed);
    for (int k = 0; k < photons; ++k)
        sums.Add(0, sampler.Next(), table);
    return sums;
}

TEST(Phasor, CalibratedDecaysLieOnTheSemicircleAndMixturesOnItsChord)
{
    for (int harmonic : {1, 2}) {
        const flim::PhasorTable table = flim::MakePhasorTable(kDelayBins, kResolution, kPeriod, harmonic);
        const double nOmega = table.NOmega();
        const auto onCircle = [&](double tau) {
            const double x = nOmega * tau;
            return flim::Phasor{1 / (1 + x * x), x / (1 + x * x), 0};
        };
        // Reference: a 4 ns dye under the same instrument response.
        synth::DecayPlan reference;
        reference.tau = {4.0};
        flim::Calibration calibration;
        std::string error;
        ASSERT_TRUE(flim::MakeCalibration(flim::TotalPhasor(Simulate(reference, 400000, 1, table)), 4.0, nOmega,
                                          calibration, error));
        for (double tau : {0.5, 1.0, 2.5, 6.0}) {
            SCOPED_TRACE(testing::Message() << "harmonic " << harmonic << ", tau " << tau);
            synth::DecayPlan plan;
            plan.tau = {tau};
            const int photons = 200000;
            const flim::Phasor p = flim::Calibrate(flim::TotalPhasor(Simulate(plan, photons, 7, table)), calibration);
            // Standard error of a mean of cos and sin over the photons (each at most 1/√2 spread),
            // with the reference's own error added.
            const double sigma = std::sqrt(0.5 / photons) + std::sqrt(0.5 / 400000);
            EXPECT_NEAR(p.g, onCircle(tau).g, 4 * sigma);
            EXPECT_NEAR(p.s, onCircle(tau).s, 4 * sigma);
            EXPECT_NEAR(flim::PhaseLifetime(p.g, p.s, nOmega), tau, tau * 0.03 + 0.02);
            EXPECT_NEAR(flim::ModulationLifetime(p.g, p.s, nOmega), tau, tau * 0.05 + 0.05);
        }
        // Mixtures of 1 and 5 ns: the photon fraction of 1 ns is the position along the chord from 5 ns to 1 ns.
        const flim::Phasor a = onCircle(1.0), b = onCircle(5.0);
        for (double f : {0.2, 0.5, 0.8}) {
            SCOPED_TRACE(testing::Message() << "harmonic " << harmonic << ", fraction " << f);
            synth::DecayPlan plan;
            plan.tau = {1.0, 5.0};
            plan.fraction = {f, 1 - f};
            const flim::Phasor p = flim::Calibrate(flim::TotalPhasor(Simulate(plan, 300000, 5, table)), calibration);
            const double along = ((p.g - b.g) * (a.g - b.g) + (p.s - b.s) * (a.s - b.s)) /
                                 ((a.g - b.g) * (a.g - b.g) + (a.s - b.s) * (a.s - b.s));
            const double across = ((p.g - b.g) * (a.s - b.s) - (p.s - b.s) * (a.g - b.g)) /
                                  std::hypot(a.g - b.g, a.s - b.s);
            EXPECT_NEAR(along, f, 0.01);
            EXPECT_NEAR(across, 0.0, 0.005);
        }
    }
}

TEST(Phasor, HandWorkedHarmonicCalibrationAndLifetimes)
{
    // 100 ns period, 1 ns steps: dtime 25 is a quarter period.
    const flim::PhasorTable first = flim::MakePhasorTable(100, 1.0, 100.0, 1);
    const flim::PhasorTable second = flim::MakePhasorTable(100, 1.0, 100.0, 2);
    EXPECT_NEAR(first.cosine[25], 0.0, 1e-12);
    EXPECT_NEAR(first.sine[25], 1.0, 1e-12);
    EXPECT_NEAR(second.cosine[25], -1.0, 1e-12);
    EXPECT_NEAR(second.sine[25], 0.0, 1e-12);
    EXPECT_NEAR(second.NOmega(), 2 * 2 * M_PI / 100, 1e-15);

    // A response at phase 45° with modulation 1/√2, taken as lifetime 0:
    // turns its own phasor to (1, 0).
    flim::Calibration c;
    std::string error;
    ASSERT_TRUE(flim::MakeCalibration({0.5, 0.5, 10}, 0.0, 1.0, c, error));
    EXPECT_NEAR(c.phaseShift, M_PI / 4, 1e-15);
    EXPECT_NEAR(c.modulationFactor, std::sqrt(2.0), 1e-15);
    const flim::Phasor p = flim::Calibrate({0.5, 0.5, 10}, c);
    EXPECT_NEAR(p.g, 1.0, 1e-15);
    EXPECT_NEAR(p.s, 0.0, 1e-15);
    // Reference of τref = 1 at nω = 1: phase atan(1) and modulation 1/√2 expected.
    ASSERT_TRUE(flim::MakeCalibration({1.0, 0.0, 10}, 1.0, 1.0, c, error));
    const flim::Phasor q = flim::Calibrate({1.0, 0.0, 10}, c);
    EXPECT_NEAR(q.g, 0.5, 1e-15);
    EXPECT_NEAR(q.s, 0.5, 1e-15);
    // On the semicircle at nωτ = 1 both lifetimes are 1 / nω.
    EXPECT_NEAR(flim::PhaseLifetime(0.5, 0.5, 2.0), 0.5, 1e-15);
    EXPECT_NEAR(flim::ModulationLifetime(0.5, 0.5, 2.0), 0.5, 1e-15);
    EXPECT_TRUE(std::isnan(flim::ModulationLifetime(1.0, 0.5, 2.0)));
    EXPECT_FALSE(flim::MakeCalibration({0, 0, 0}, 0.0, 1.0, c, error));
    EXPECT_EQ(error, "the reference holds no photons");
}

TEST(Phasor, MedianFilterAndThresholdOnHandWorkedImages)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 3 x 3 with a NaN: no pass leaves it as it is. One pass: the centre's window holds the other eight, a corner
    // four (mean of the middle two); NaN stays NaN and is no neighbour.
    const std::vector<float> hand = {9, 1, 2, 3, 5, nan, 4, 8, 7};
    std::vector<float> v = hand;
    flim::MedianFilter3x3(v, 3, 3, 0);
    EXPECT_EQ(std::memcmp(v.data(), hand.data(), hand.size() * sizeof(float)), 0);
    flim::MedianFilter3x3(v, 3, 3, 1);
    EXPECT_FLOAT_EQ(v[4], 4.5f);  // {9,1,2,3,5,4,8,7}: middle 4 and 5
    EXPECT_FLOAT_EQ(v[0], 4.0f);  // {9,1,3,5}: 3 and 5
    EXPECT_FLOAT_EQ(v[1], 3.0f);  // {9,1,2,3,5}
    EXPECT_TRUE(std::isnan(v[5]));
    EXPECT_FLOAT_EQ(v[8], 7.0f);  // {5,8,7}
    // The second pass filters the first's values: 4 3 2 / 4.5 4.5 NaN / 4.5 5 7.
    std::vector<float> twice = hand;
    flim::MedianFilter3x3(twice, 3, 3, 2);
    EXPECT_FLOAT_EQ(twice[0], 4.25f);  // {4,3,4.5,4.5}
    EXPECT_FLOAT_EQ(twice[8], 5.0f);   // {4.5,5,7}

    // The threshold: 49 photons make no phasor, 50 do; no photons none.
    const flim::PhasorTable table = flim::MakePhasorTable(100, 1.0, 100.0, 1);
    flim::PhasorSums sums;
    sums.Resize(3, 1);
    for (int k = 0; k < 49; ++k)
        sums.Add(0, 25, table);
    for (int k = 0; k < 50; ++k)
        sums.Add(1, 0, table);
    const flim::PhasorImage image = flim::MakePhasorImage(sums, {}, table.NOmega(), 50, 0);
    EXPECT_FALSE(image.calibrated);
    EXPECT_EQ(image.pixelsAbove, 1u);
    EXPECT_TRUE(std::isnan(image.g[0]) && std::isnan(image.tauPhase[0]) && std::isnan(image.tauModulation[0]));
    EXPECT_FLOAT_EQ(image.g[1], 1.0f);
    EXPECT_FLOAT_EQ(image.tauPhase[1], 0.0f);
    EXPECT_TRUE(std::isnan(image.g[2]));  // no photons

    // Arrays made ahead are written whole, whatever they held and whatever
    // their size: the same bits as fresh ones, calibrated or not.
    const auto bits = [](const std::vector<float> &v) {
        return std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(v.data()),
                                    reinterpret_cast<const uint8_t *>(v.data() + v.size()));
    };
    flim::Calibration calibration;
    calibration.calibrated = true;
    calibration.phaseShift = 0.3;
    calibration.modulationFactor = 0.9;
    for (const flim::Calibration &c : {flim::Calibration(), calibration}) {
        const flim::PhasorImage fresh = flim::MakePhasorImage(sums, c, table.NOmega(), 50, 1);
        for (const std::size_t size : {std::size_t{3}, std::size_t{2}, std::size_t{5}}) {
            flim::PhasorImage storage;
            storage.photons.assign(size, 99);
            for (std::vector<float> *map : {&storage.g, &storage.s, &storage.tauPhase, &storage.tauModulation})
                map->assign(size, 7.0f);
            storage.pixelsAbove = 99;
            flim::PhasorSums moved = sums;
            const flim::PhasorImage made =
                flim::MakePhasorImage(std::move(moved), c, table.NOmega(), 50, 1, std::move(storage));
            EXPECT_EQ(made.photons, fresh.photons);
            EXPECT_EQ(made.pixelsAbove, fresh.pixelsAbove);
            EXPECT_EQ(made.calibrated, c.calibrated);
            for (const auto map : {&flim::PhasorImage::g, &flim::PhasorImage::s, &flim::PhasorImage::tauPhase,
                                   &flim::PhasorImage::tauModulation})
                EXPECT_EQ(bits(made.*map), bits(fresh.*map)) << "size " << size << ", calibrated " << c.calibrated;
        }
    }
}

} // namespace
