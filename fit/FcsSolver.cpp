// The correlation fit through Ceres Solver, in the fit module (fit/FitSolver.h).
// The one translation unit of fcs that includes Ceres and Eigen: they compile slowly.
#include "fit/Solvers.h"

#include <ceres/ceres.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace fcs {

namespace {

// Time constants stay inside these limits (ms) so that a parameter the data
// do not determine cannot run off to infinity.
constexpr double kShortestTime = 1e-9;
constexpr double kLongestTime = 1e9;

std::string Format(const char *format, double a)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

/// Residuals (model - G) x weight of every fitted point, as Ceres wants them.
struct Residuals {
    const std::vector<double> &lag, &G, &weight;
    Model model;

    template <class V>
    bool operator()(const V *g, const V *a, const V *tauD, const V *kappa, const V *t, const V *tauT, const V *f,
                    const V *tauD2, V *r) const
    {
        const V *p[ParameterCount] = {g, a, tauD, kappa, t, tauT, f, tauD2};
        for (std::size_t i = 0; i < lag.size(); ++i)
            r[i] = (EvaluateWithAmplitude<V>(model, p, V(lag[i])) - G[i]) * weight[i];
        return true;
    }
};

/// Starting values guessed from the curve over bins first..last: the
/// baseline from the last points, the amplitude from the first, the
/// diffusion time where the curve has fallen half way.
Parameters GuessStart(const Curve &curve, std::size_t first, std::size_t last, double kappa)
{
    Parameters p{};
    const std::size_t tail = std::min<std::size_t>(5, last - first + 1);
    double baseline = 0;
    for (std::size_t k = last + 1 - tail; k <= last; ++k)
        baseline += curve.G[k];
    p[Ginf] = baseline / static_cast<double>(tail);
    const double amplitude = std::max(curve.G[first] - p[Ginf], 1e-6);
    p[N] = 1.0 / amplitude;
    p[TauD] = std::sqrt(curve.lag[first] * curve.lag[last]);
    for (std::size_t k = first; k <= last; ++k)
        if (curve.G[k] - p[Ginf] <= amplitude / 2) {
            p[TauD] = curve.lag[k];
            break;
        }
    p[Kappa] = kappa;
    p[T] = 0.1;
    p[TauT] = std::max(curve.lag[first] * 2, p[TauD] / 100);
    p[F] = 0.5;
    p[TauD2] = p[TauD] * 3;
    return p;
}

/// True when the curve has an error bar to weight by over its bins.
bool HasErrors(const Curve &curve, std::size_t bins)
{
    return curve.sigma.size() >= bins
           && std::any_of(curve.sigma.begin(), curve.sigma.begin() + static_cast<std::ptrdiff_t>(bins),
                          [](double s) { return s > 0; });
}

/// The range into result.first and result.last: by default the first bin to
/// the last with an error (or, without errors, the last before the curve
/// stopped), else the user's lags in ms.
void ChooseRange(const Curve &curve, std::size_t bins, const FitSettings &settings, FitResult &result)
{
    std::size_t first = 0, last = bins - 1;
    const auto counts = [&](std::size_t k) { return result.weighted ? curve.sigma[k] > 0 : curve.G[k] != 0; };
    if (std::isnan(settings.rangeTo)) {
        while (last > 0 && !counts(last))
            --last;
    } else {
        while (last > 0 && curve.lag[last] > settings.rangeTo)
            --last;
    }
    if (!std::isnan(settings.rangeFrom))
        while (first < bins && curve.lag[first] < settings.rangeFrom)
            ++first;
    result.first = first;
    result.last = last;
}

/// The points the fit sees: the bins of the range with a finite G (and, when
/// weighted, an error), with their weights.
struct FitPoints {
    std::vector<double> lag, G, weight;
    bool anyValue = false;  ///< some G is not 0
};

FitPoints CollectPoints(const Curve &curve, std::size_t bins, const FitResult &result)
{
    FitPoints points;
    for (std::size_t k = result.first; k <= result.last && k < bins; ++k) {
        if (!std::isfinite(curve.G[k]) || (result.weighted && !(curve.sigma[k] > 0)))
            continue;
        points.lag.push_back(curve.lag[k]);
        points.G.push_back(curve.G[k]);
        points.weight.push_back(result.weighted ? 1.0 / curve.sigma[k] : 1.0);
        points.anyValue = points.anyValue || curve.G[k] != 0;
    }
    return points;
}

/// Marks the parameters the model uses and those of them the fit varies;
/// returns how many it varies.
std::size_t MarkFree(const FitSettings &settings, FitResult &result)
{
    std::size_t freeCount = 0;
    for (std::size_t p = 0; p < ParameterCount; ++p) {
        result.used[p] = ModelUses(settings.model, p);
        result.free[p] = result.used[p] && settings.IsFree(p);
        freeCount += result.free[p] ? 1 : 0;
    }
    return freeCount;
}

/// Starting values: the guess from the curve where the user gave none.
/// False, with result.error, for a given value outside its bounds or a
/// fixed parameter without a value.
bool ChooseStart(const Curve &curve, std::size_t bins, const FitSettings &settings, FitResult &result, Parameters &start)
{
    start = GuessStart(curve, result.first, std::min(result.last, bins - 1), settings.kappa);
    for (std::size_t p = 0; p < ParameterCount; ++p) {
        if (!result.used[p])
            continue;
        const double given = settings.parameters[p].value;
        if (!std::isnan(given)) {
            if (!WithinBounds(p, given)) {
                result.error = Format("%g", given) + " for " + ParameterName(p) + " is outside its bounds";
                return false;
            }
            start[p] = given;
        } else if (!result.free[p]) {
            // A held baseline without a value is the uncorrelated 1; kappa
            // defaults to the settings' structure parameter.
            if (p == Ginf)
                start[p] = 1;
            else if (p != Kappa) {
                result.error = std::string("a fixed ") + ParameterName(p) + " needs a value";
                return false;
            }
        }
    }
    if (settings.model == Model::TwoSpecies3D && std::isnan(settings.parameters[TauD].value)
        && std::isnan(settings.parameters[TauD2].value))
        start[TauD] /= 3;
    return true;
}

/// The least-squares problem over \p points in the parameter blocks x[p]:
/// each within its bounds, the fixed ones held.
void BuildProblem(ceres::Problem &problem, const FitPoints &points, Model model,
                  const std::array<bool, ParameterCount> &free, Parameters &x)
{
    auto *cost = new ceres::AutoDiffCostFunction<Residuals, ceres::DYNAMIC, 1, 1, 1, 1, 1, 1, 1, 1>(
        new Residuals{points.lag, points.G, points.weight, model}, static_cast<int>(points.lag.size()));
    problem.AddResidualBlock(cost, nullptr, &x[0], &x[1], &x[2], &x[3], &x[4], &x[5], &x[6], &x[7]);
    for (std::size_t p = 0; p < ParameterCount; ++p) {
        double *block = &x[p];
        switch (p) {
        case Ginf:
            break;
        case N:
            problem.SetParameterLowerBound(block, 0, 0.0);
            break;
        case T:
            problem.SetParameterLowerBound(block, 0, 0.0);
            problem.SetParameterUpperBound(block, 0, 1.0 - 1e-9);
            break;
        case F:
            problem.SetParameterLowerBound(block, 0, 0.0);
            problem.SetParameterUpperBound(block, 0, 1.0);
            break;
        default:
            problem.SetParameterLowerBound(block, 0, kShortestTime);
            problem.SetParameterUpperBound(block, 0, kLongestTime);
        }
        if (!free[p])
            problem.SetParameterBlockConstant(block);
    }
}

/// Solves \p problem and puts its chi square into \p result. False, with
/// result.error, when the solver found nothing usable.
bool Minimise(ceres::Problem &problem, std::size_t freeCount, FitResult &result)
{
    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_QR;
    options.logging_type = ceres::SILENT;
    options.minimizer_progress_to_stdout = false;
    options.max_num_iterations = 500;
    options.function_tolerance = 1e-15;
    options.gradient_tolerance = 1e-16;
    options.parameter_tolerance = 1e-14;
    options.num_threads = 1;
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    if (!summary.IsSolutionUsable()) {
        result.error = "the fit did not converge: " + summary.message;
        return false;
    }
    if (summary.termination_type == ceres::NO_CONVERGENCE)
        result.warnings.push_back("the fit stopped after its iteration limit");

    result.chiSquare = 2 * summary.final_cost;
    result.reducedChiSquare = result.chiSquare / static_cast<double>(result.points - freeCount);
    return true;
}

/// Variances of the free parameters at the optimum \p x (0 for the others;
/// NaN for all, with a warning, when the covariance cannot be had).
Parameters Variances(ceres::Problem &problem, const Parameters &x, FitResult &result)
{
    Parameters variance{};
    ceres::Covariance::Options covarianceOptions;
    covarianceOptions.algorithm_type = ceres::DENSE_SVD;
    covarianceOptions.null_space_rank = -1;
    covarianceOptions.num_threads = 1;
    ceres::Covariance covariance(covarianceOptions);
    std::vector<std::pair<const double *, const double *>> blocks;
    for (std::size_t p = 0; p < ParameterCount; ++p)
        if (result.free[p])
            blocks.emplace_back(&x[p], &x[p]);
    if (covariance.Compute(blocks, &problem)) {
        for (std::size_t p = 0; p < ParameterCount; ++p)
            if (result.free[p])
                covariance.GetCovarianceBlock(&x[p], &x[p], &variance[p]);
    } else {
        result.warnings.push_back("the covariance at the optimum could not be computed: no standard errors");
        for (double &v : variance)
            v = std::numeric_limits<double>::quiet_NaN();
    }
    return variance;
}

/// The fitted values and their standard errors from the optimum \p x:
/// the amplitude back to the number of molecules, the faster species first.
void SetValues(const Parameters &x, const Parameters &variance, Model model, FitResult &result)
{
    for (std::size_t p = 0; p < ParameterCount; ++p) {
        result.value[p] = result.used[p] ? x[p] : 0;
        result.standardError[p] = result.free[p] ? std::sqrt(std::max(0.0, variance[p] * result.reducedChiSquare)) : 0;
        if (result.free[p] && std::isnan(variance[p]))
            result.standardError[p] = variance[p];
    }
    // Back from the amplitude to the number of molecules.
    const double amplitude = x[N];
    result.value[N] = amplitude > 0 ? 1.0 / amplitude : std::numeric_limits<double>::infinity();
    result.standardError[N] = amplitude > 0 ? result.standardError[N] / (amplitude * amplitude)
                                            : std::numeric_limits<double>::infinity();
    if (!result.free[N])
        result.standardError[N] = 0;
    if (model == Model::TwoSpecies3D && result.value[TauD] > result.value[TauD2]) {
        // The faster species is the first.
        std::swap(result.value[TauD], result.value[TauD2]);
        std::swap(result.standardError[TauD], result.standardError[TauD2]);
        result.value[F] = 1 - result.value[F];
    }
}

/// The model at \p x over every lag of the curve, and the residuals over the range.
void EvaluateModel(const Curve &curve, std::size_t bins, const Parameters &x, Model model, FitResult &result)
{
    result.modelCurve.resize(bins);
    result.residuals.assign(bins, 0);
    const double *pointers[ParameterCount];
    for (std::size_t p = 0; p < ParameterCount; ++p)
        pointers[p] = &x[p];
    for (std::size_t k = 0; k < bins; ++k) {
        result.modelCurve[k] = EvaluateWithAmplitude<double>(model, pointers, curve.lag[k]);
        if (k >= result.first && k <= result.last && std::isfinite(curve.G[k])) {
            const double difference = curve.G[k] - result.modelCurve[k];
            if (!result.weighted)
                result.residuals[k] = difference;
            else if (curve.sigma[k] > 0)
                result.residuals[k] = difference / curve.sigma[k];
        }
    }
}

} // namespace

FitResult SolveFit(const Curve &curve, const FitSettings &settings)
{
    FitResult result;
    result.model = settings.model;
    const std::size_t bins = std::min(curve.lag.size(), curve.G.size());
    result.weighted = HasErrors(curve, bins);
    if (bins == 0) {
        result.error = "no correlation curve to fit";
        return result;
    }

    ChooseRange(curve, bins, settings, result);
    const FitPoints points = CollectPoints(curve, bins, result);
    result.points = points.lag.size();
    const std::size_t freeCount = MarkFree(settings, result);
    if (!points.lag.empty() && !points.anyValue) {
        result.error = "the correlation curve is zero over the fit range";
        return result;
    }
    if (result.points <= freeCount) {
        result.error = Format("%g points in the fit range", static_cast<double>(result.points))
                       + Format(" for %g free parameters: need more points", static_cast<double>(freeCount));
        return result;
    }
    Parameters start{};
    if (!ChooseStart(curve, bins, settings, result, start))
        return result;

    // The fit works with the amplitude 1/N: finite (0) for an uncorrelated stream.
    Parameters x = start;
    x[N] = 1.0 / start[N];
    ceres::Problem problem;
    BuildProblem(problem, points, settings.model, result.free, x);
    if (!Minimise(problem, freeCount, result))
        return result;
    // Covariance of the free parameters at the optimum, scaled by the reduced
    // chi square: the errors then follow the scatter the fit actually saw.
    const Parameters variance = Variances(problem, x, result);
    SetValues(x, variance, settings.model, result);
    EvaluateModel(curve, bins, x, settings.model, result);
    result.ok = true;
    return result;
}

} // namespace fcs
