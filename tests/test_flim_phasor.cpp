// Phasors on simulated decays of known lifetime, and the hand-worked cases
// of the harmonic, the calibration, the median filter and the threshold.
#include "flim/Phasor.h"
#include "tools/synth/DecaySampler.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kPeriod = 25, kResolution = 0.008;
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

flim::Phasor Calibrated(const flim::PhasorSums &sums, const flim::Calibration &calibration)
{
    return flim::Calibrate(flim::TotalPhasor(sums), calibration);
}

TEST(Phasor, MonoExponentialsLandOnTheSemicircleAfterCalibration)
{
    for (int harmonic : {1, 2}) {
        const flim::PhasorTable table = flim::MakePhasorTable(kDelayBins, kResolution, kPeriod, harmonic);
        const double nOmega = table.NOmega();
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
            const flim::Phasor p = Calibrated(Simulate(plan, photons, 7, table), calibration);
            const double x = nOmega * tau;
            const double g = 1 / (1 + x * x), s = x / (1 + x * x);
            // Standard error of a mean of cos and sin over the photons (each at most 1/√2 spread),
            // with the reference's own error added.
            const double sigma = std::sqrt(0.5 / photons) + std::sqrt(0.5 / 400000);
            EXPECT_NEAR(p.g, g, 4 * sigma);
            EXPECT_NEAR(p.s, s, 4 * sigma);
            EXPECT_NEAR(p.g * p.g + p.s * p.s, p.g, 8 * sigma);
            EXPECT_NEAR(flim::PhaseLifetime(p.g, p.s, nOmega), tau, tau * 0.03 + 0.02);
            EXPECT_NEAR(flim::ModulationLifetime(p.g, p.s, nOmega), tau, tau * 0.05 + 0.05);
        }
    }
}

TEST(Phasor, UncalibratedPhasorsAreShiftedByTheResponse)
{
    const flim::PhasorTable table = flim::MakePhasorTable(kDelayBins, kResolution, kPeriod, 1);
    synth::DecayPlan plan;
    plan.tau = {2.0};
    const flim::Phasor p = flim::TotalPhasor(Simulate(plan, 100000, 3, table));
    // The response 2 ns late turns the phase by ω x 2 ns: far from the lifetime.
    EXPECT_GT(flim::PhaseLifetime(p.g, p.s, table.NOmega()), 4.0);
}

TEST(Phasor, MixturesLieOnTheChordInTheirProportion)
{
    const flim::PhasorTable table = flim::MakePhasorTable(kDelayBins, kResolution, kPeriod, 1);
    const double nOmega = table.NOmega();
    synth::DecayPlan irf;
    irf.tau = {0.0};
    flim::Calibration calibration;
    std::string error;
    ASSERT_TRUE(flim::MakeCalibration(flim::TotalPhasor(Simulate(irf, 400000, 11, table)), 0.0, nOmega, calibration,
                                      error));
    const double tau1 = 1.0, tau2 = 5.0;
    const auto onCircle = [&](double tau) {
        const double x = nOmega * tau;
        return flim::Phasor{1 / (1 + x * x), x / (1 + x * x), 0};
    };
    const flim::Phasor a = onCircle(tau1), b = onCircle(tau2);
    for (double f : {0.2, 0.5, 0.8}) {
        synth::DecayPlan plan;
        plan.tau = {tau1, tau2};
        plan.fraction = {f, 1 - f};
        const flim::Phasor p = Calibrated(Simulate(plan, 300000, 5, table), calibration);
        // The photon fraction of the first lifetime: the position along the chord from b to a.
        const double along = ((p.g - b.g) * (a.g - b.g) + (p.s - b.s) * (a.s - b.s)) /
                             ((a.g - b.g) * (a.g - b.g) + (a.s - b.s) * (a.s - b.s));
        const double across = ((p.g - b.g) * (a.s - b.s) - (p.s - b.s) * (a.g - b.g)) /
                              std::hypot(a.g - b.g, a.s - b.s);
        EXPECT_NEAR(along, f, 0.01) << "fraction " << f;
        EXPECT_NEAR(across, 0.0, 0.005) << "fraction " << f;
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

TEST(Phasor, MedianFilterOnHandWorkedImages)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 3 x 3: the centre's window holds all nine (median 5); a corner holds
    // four (mean of the middle two); NaN stays NaN and is no neighbour.
    std::vector<float> v = {9, 1, 2, 3, 5, nan, 4, 8, 7};
    flim::MedianFilter3x3(v, 3, 3, 1);
    EXPECT_FLOAT_EQ(v[4], 4.5f);  // {9,1,2,3,5,4,8,7}: middle 4 and 5
    EXPECT_FLOAT_EQ(v[0], 4.0f);  // {9,1,3,5}: 3 and 5
    EXPECT_FLOAT_EQ(v[1], 3.0f);  // {9,1,2,3,5}
    EXPECT_TRUE(std::isnan(v[5]));
    EXPECT_FLOAT_EQ(v[8], 7.0f);  // {5,8,7}
    // A lone outlier in a flat field is gone after one pass; k passes apply k times.
    std::vector<float> flat(25, 1.0f);
    flat[12] = 100;
    std::vector<float> twice = flat;
    flim::MedianFilter3x3(flat, 5, 5, 1);
    EXPECT_FLOAT_EQ(flat[12], 1.0f);
    flim::MedianFilter3x3(twice, 5, 5, 0);
    EXPECT_FLOAT_EQ(twice[12], 100.0f);
}

TEST(Phasor, ThresholdMakesDimPixelsNaN)
{
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
}

} // namespace
