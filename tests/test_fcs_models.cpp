// FCS numerics alone: model values at hand-worked points, noise-free curves
// fitted back, refused input, the segment spread and the derived numbers.
#include "fcs/FcsFit.h"
#include "fcs/FcsModel.h"
#include "fcs/SegmentStatistics.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace fcs;

namespace {
Parameters Make(double g, double n, double tauD, double kappa, double t = 0, double tauT = 1, double f = 1,
                double tauD2 = 1)
{
    return {g, n, tauD, kappa, t, tauT, f, tauD2};
}

/// 150 lags from 1 µs to 100 ms, evenly spaced in log.
std::vector<double> Lags()
{
    std::vector<double> lag(150);
    for (std::size_t k = 0; k < lag.size(); ++k)
        lag[k] = 1e-3 * std::pow(10.0, 5.0 * static_cast<double>(k) / 149);
    return lag;
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
        Curve curve;
        curve.lag = Lags();
        for (double tau : curve.lag)
            curve.G.push_back(ModelValue(c.model, c.truth, tau));
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
    Curve curve;
    curve.lag = Lags();
    for (double tau : curve.lag)
        curve.G.push_back(ModelValue(Model::Diffusion3D, Make(1, 5, 0.4, 5), tau));
    FitSettings narrow;  // three bins for three free parameters
    narrow.rangeFrom = curve.lag[10];
    narrow.rangeTo = curve.lag[12];
    FitSettings outside;
    outside.model = Model::Diffusion3DTriplet;
    outside.parameters[T] = {ParameterSetting::Fixed, 1.5};
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
        {curve, outside, "1.5 for T is outside its bounds"},
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
