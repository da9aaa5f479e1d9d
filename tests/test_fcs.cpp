// FCS numerics: model values at hand-worked points, noise-free curves fitted back, refused input, the segment spread
// and the derived numbers; then error bars and fits of correlation curves on simulated measurements of known truth:
// diffusion, blinking and a Poisson stream.
#include "fcs/FcsFit.h"
#include "fcs/FcsModel.h"
#include "fcs/SegmentStatistics.h"
#include "scans/PointScan.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/DiffusionSimulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

using namespace fcs;

namespace {
Parameters Make(double g, double n, double tauD, double kappa, double t = 0, double tauT = 1, double f = 1,
                double tauD2 = 1)
{
    return {g, n, tauD, kappa, t, tauT, f, tauD2};
}

/// The noise-free curve of \p model on 150 lags from 1 µs to 100 ms, evenly spaced in log.
Curve Noiseless(Model model, const Parameters &p)
{
    Curve curve;
    for (int k = 0; k < 150; ++k) {
        curve.lag.push_back(1e-3 * std::pow(10.0, 5.0 * k / 149));
        curve.G.push_back(ModelValue(model, p, curve.lag.back()));
    }
    return curve;
}
} // namespace

TEST(FcsModel, ValuesAtHandWorkedPoints)
{
    const struct {
        Model model;
        Parameters p;
        double tau, expected;
    } cases[] = {
        // 1 + (1/4) (1/2) / sqrt(1 + 1/25)
        {Model::Diffusion3D, Make(1, 4, 1, 5), 1, 1.12257258},
        // 1 + (1/2) / (1 + 3)
        {Model::Diffusion2D, Make(1, 2, 0.5, 5), 1.5, 1.125},
        // 1 + 1/(2 sqrt 2) (1 + e^-1) = 1 + 0.35355339 x 1.36787944
        {Model::Diffusion3DTriplet, Make(1, 1, 1, 1, 0.5, 1), 1, 1.48361842},
        // 0.9 + (1/2) (0.25 / (2 sqrt 2) + 0.75 / ((4/3) sqrt(4/3)))
        {Model::TwoSpecies3D, Make(0.9, 2, 1, 1, 0, 1, 0.25, 3), 1, 1.18776382},
    };
    for (const auto &c : cases)
        EXPECT_NEAR(ModelValue(c.model, c.p, c.tau), c.expected, 1e-8) << ModelName(c.model);
    Model m;
    std::size_t p;
    EXPECT_TRUE(ModelFromName("3D+3D", m) && m == Model::TwoSpecies3D);
    EXPECT_FALSE(ModelFromName("3d", m));
    EXPECT_TRUE(ParameterFromName("tauT", p) && p == TauT);
}

TEST(FcsFit, NoiseFreeCurvesGiveTheirParametersBack)
{
    const struct {
        Model model;
        Parameters truth;
    } cases[] = {
        {Model::Diffusion3D, Make(1.002, 5, 0.39, 5)},
        {Model::Diffusion2D, Make(0.998, 12, 2.5, 5)},
        {Model::Diffusion3DTriplet, Make(1.0, 3, 0.4, 5, 0.25, 0.005)},
        {Model::TwoSpecies3D, Make(1.0, 8, 0.1, 5, 0, 1, 0.4, 3)},
    };
    for (const auto &c : cases) {
        const Curve curve = Noiseless(c.model, c.truth);
        FitSettings settings;
        settings.model = c.model;
        const FitResult fit = Fit(curve, settings);
        ASSERT_TRUE(fit.ok) << ModelName(c.model) << " " << fit.error;
        EXPECT_FALSE(fit.weighted);
        EXPECT_EQ(fit.points, 150u);
        for (std::size_t p = 0; p < ParameterCount; ++p) {
            if (fit.used[p]) {
                EXPECT_NEAR(fit.value[p], c.truth[p], 1e-6 * std::abs(c.truth[p])) << ModelName(c.model) << " " << ParameterName(p);
            }
        }
        EXPECT_FALSE(fit.free[Kappa]);
        EXPECT_LT(fit.reducedChiSquare, 1e-20);
    }
}

TEST(FcsFit, RefusesBadInputWithAReason)
{
    const Curve curve = Noiseless(Model::Diffusion3D, Make(1, 5, 0.4, 5));
    // A fixed value outside its bounds: FitFiles.WindowAndConverterWriteTheSameFilesARefusedFitNone.
    FitSettings narrow;  // three bins for three free parameters
    narrow.rangeFrom = curve.lag[10];
    narrow.rangeTo = curve.lag[12];
    FitSettings unvalued;
    unvalued.parameters[TauD].state = ParameterSetting::Fixed;
    Curve zeros = curve;
    std::fill(zeros.G.begin(), zeros.G.end(), 0.0);
    const struct {
        const Curve &curve;
        const FitSettings &settings;
        const char *error;
    } cases[] = {
        {curve, narrow, "3 points in the fit range for 3 free parameters: need more points"},
        {curve, unvalued, "a fixed tauD needs a value"},
        {zeros, FitSettings{}, "the correlation curve is zero over the fit range"},
    };
    for (const auto &c : cases) {
        const FitResult fit = Fit(c.curve, c.settings);
        EXPECT_FALSE(fit.ok);
        EXPECT_EQ(fit.error, c.error);
    }
    // Ginf held without a value is 1.
    FitSettings held;
    held.parameters[Ginf].state = ParameterSetting::Fixed;
    const FitResult fit = Fit(curve, held);
    ASSERT_TRUE(fit.ok);
    EXPECT_EQ(fit.value[Ginf], 1.0);
    EXPECT_EQ(fit.standardError[Ginf], 0.0);
}

TEST(SegmentStatistics, SpreadOverSegmentsAndRejectedRates)
{
    // Bin 0: values 1, 2, 3: sd 1, over sqrt 3. Bin 1: the third curve stopped.
    const std::vector<std::vector<double>> curves = {{1, 5}, {2, 5}, {3, 0}};
    const std::vector<double> sigma = SegmentSpread(curves, {2, 2, 1}, 2);
    ASSERT_EQ(sigma.size(), 2u);
    EXPECT_NEAR(sigma[0], 1 / std::sqrt(3.0), 1e-15);
    EXPECT_EQ(sigma[1], 0);
    EXPECT_EQ(SegmentSpread({{1}}, {1}, 1), std::vector<double>{0});
    // Median 10: a factor 2 keeps 5 .. 20.
    EXPECT_EQ(KeepSegments({10, 9, 25, 11, 4, 20}, 2), std::vector<bool>({true, true, false, true, false, true}));
    EXPECT_EQ(KeepSegments({10, 100}, 0), std::vector<bool>({true, true}));
}

TEST(FcsFit, DerivedNumbers)
{
    FitResult fit;
    fit.used.fill(true);
    fit.value = Make(1, 5, 0.390625, 5);
    fit.standardError = Make(0, 0.5, 0.0390625, 0);
    // D = 0.0625 / (4 x 0.390625 ms) = 40 µm²/s; V = pi^1.5 x 0.25³ x 5 = 0.4350256 fL;
    // c = 5 / (V x 1e-15 L x N_A) = 19.0857 nM.
    const Derived d = Derive(fit, 0.25, 100, 400, true);
    EXPECT_NEAR(d.D, 40, 1e-12);
    EXPECT_NEAR(d.DError, 4, 1e-12);
    EXPECT_NEAR(d.volume, 0.4350256, 1e-6);
    EXPECT_NEAR(d.concentration, 19.0857, 1e-3);
    EXPECT_NEAR(d.concentrationError, 1.90857, 1e-4);
    EXPECT_NEAR(d.rate, 200, 1e-12);  // geometric mean of 100 and 400 kHz
    EXPECT_NEAR(d.brightness, 40, 1e-12);
    EXPECT_FALSE(Derive(fit, 0, 100, 100, false).focus);
}

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

/// Channel-1 photons of a Poisson stream with \p meanGap sync periods between them, from \p from to \p to.
void AddPoisson(std::vector<synth::PointPhoton> &photons, std::mt19937_64 &random, double meanGap, double from, double to)
{
    std::exponential_distribution<double> gap(1.0 / meanGap);
    for (double t = from + gap(random); t < to; t += gap(random))
        photons.push_back({static_cast<uint64_t>(t), 1, 100});
}

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
    // 100 kHz on one channel for 3 s.
    std::mt19937_64 random(5);
    std::vector<synth::PointPhoton> photons;
    AddPoisson(photons, random, 400, 1000, 1.2e8);
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
    std::vector<synth::PointPhoton> photons;
    AddPoisson(photons, random, 800, 0, 4e7);
    AddPoisson(photons, random, 800, 1.2e7, 1.6e7);
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
