// The fit itself runs in the fit module, which alone links Ceres Solver
// (fit/FitSolver.h): a program that never fits does not load the solver.
#include "fcs/FcsFit.h"

#include "fit/FitModule.h"
#include "fit/FitSolver.h"

#include <algorithm>
#include <cmath>

namespace fcs {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAvogadro = 6.02214076e23;  // 1/mol

} // namespace

FitResult Fit(const Curve &curve, const FitSettings &settings)
{
    std::string error;
    if (const FotonelFitApi *api = LoadFitModule(error))
        return api->fitCurve(curve, settings);
    FitResult result;
    result.model = settings.model;
    result.error = error;
    return result;
}

void AddSegmentScatter(FitResult &whole, const std::vector<Curve> &segments, const FitSettings &settings)
{
    if (!whole.ok || segments.empty())
        return;
    FitSettings each = settings;
    for (std::size_t p = 0; p < ParameterCount; ++p)
        if (whole.free[p] && std::isfinite(whole.value[p]))
            each.parameters[p] = {ParameterSetting::Free, whole.value[p]};
    std::vector<Parameters> values;
    for (const Curve &segment : segments) {
        if (segment.lag.size() <= whole.last)
            continue;
        each.rangeFrom = segment.lag[whole.first];
        each.rangeTo = segment.lag[whole.last];
        const FitResult fit = Fit(segment, each);
        if (fit.ok)
            values.push_back(fit.value);
    }
    whole.segmentFits = static_cast<int>(values.size());
    if (values.size() < 2)
        return;
    const double count = static_cast<double>(values.size());
    for (std::size_t p = 0; p < ParameterCount; ++p) {
        if (!whole.free[p])
            continue;
        double mean = 0, squares = 0;
        for (const Parameters &v : values)
            mean += v[p] / count;
        for (const Parameters &v : values)
            squares += (v[p] - mean) * (v[p] - mean);
        whole.segmentError[p] = std::sqrt(squares / (count - 1)) / std::sqrt(count);
    }
}

double LargerError(const FitResult &fit, std::size_t p)
{
    return std::max(fit.standardError[p], fit.segmentError[p]);
}

Derived Derive(const FitResult &fit, double w0, double rateFrom, double rateTo, bool cross)
{
    Derived d;
    d.rateFrom = rateFrom;
    d.rateTo = rateTo;
    d.rate = cross ? std::sqrt(rateFrom * rateTo) : rateFrom;
    const double molecules = fit.value[N];
    const double relativeN = molecules > 0 ? LargerError(fit, N) / molecules : 0;
    d.brightness = d.rate / molecules;
    d.brightnessError = d.brightness * relativeN;
    if (w0 > 0 && fit.value[TauD] > 0) {
        d.focus = true;
        // w0 in µm, tauD in ms: µm²/ms, times 1000 for µm²/s.
        d.D = w0 * w0 / (4 * fit.value[TauD]) * 1000;
        d.DError = d.D * LargerError(fit, TauD) / fit.value[TauD];
        const double kappa = fit.used[Kappa] ? fit.value[Kappa] : 0;
        // µm³ is fL; mol/L from molecules per fL (1e-15 L), then nM.
        d.volume = std::pow(kPi, 1.5) * w0 * w0 * w0 * kappa;
        d.concentration = d.volume > 0 ? molecules / (d.volume * 1e-15 * kAvogadro) * 1e9 : 0;
        d.concentrationError = d.concentration * relativeN;
    }
    return d;
}

} // namespace fcs
