// The decay fits through Ceres Solver, in the fit module (fit/FitSolver.h).
// The one translation unit of flim that includes Ceres and Eigen.
#include "fit/Solvers.h"

#include "files/TwoThreads.h"
#include "flim/DecayModel.h"

#include <ceres/ceres.h>
#include <ceres/tiny_solver.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace flim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Lifetimes stay inside these limits (ns) so that a component the data do
// not determine cannot run off.
constexpr double kShortestTau = 1e-3;
constexpr double kLongestTau = 1e4;
// The fit map's decays have at most this many bins.
constexpr std::size_t kMaxMapBins = 256;
/// Maps of at least this many pixels are fitted in two threads.
constexpr std::size_t kParallelMapPixels = 4096;
// A Gaussian response narrower than the map's bins is placed on sub-bins
// of at most half its width, at most this many per bin.
constexpr int kMaxSubBins = 8;

inline double Scalar(double v)
{
    return v;
}
template <class T, int N>
double Scalar(const ceres::Jet<T, N> &j)
{
    return j.a;
}

/*!
 * \brief The Poisson deviance of count \p c against the model \p m as a
 * signed residual, sign(c − m) √(2 (m − c + c ln(c/m))): the sum of their
 * squares is −2 log likelihood ratio, what least squares then minimises.
 * Near c = m the root is replaced by its first order, (c − m)/√m.
 */
template <class T>
T DevianceResidual(double c, T m)
{
    using std::log;
    using std::sqrt;
    if (Scalar(m) < 1e-12)
        m = T(1e-12);
    if (c <= 0)
        return -sqrt(2.0 * m);
    const T d = 2.0 * (m - c + c * log(c / m));
    if (Scalar(d) <= 1e-10 * c)
        return (c - m) / sqrt(m);
    return c > Scalar(m) ? sqrt(d) : -sqrt(d);
}

/// Parameters of a fit with C components: τ_i, α_i, background, shift, width.
template <int C>
constexpr int ParameterCount()
{
    return 2 * C + 3;
}

/*!
 * The fit varies amplitudes in photons of the decay and the background in
 * photons per bin of an even spread, so that every parameter is of order 1
 * and the covariance sees no spread of scales.
 */
struct Scales {
    double amplitude = 1, background = 1;
};

template <int C>
struct DecayResiduals {
    const Decay &decay;
    const std::vector<double> &irf;  // normalised; empty: Gaussian
    Scales scale;

    template <class T>
    bool operator()(const T *x, T *r) const
    {
        const std::size_t n = decay.counts.size();
        std::vector<T> h(n), y(n), m(n, x[2 * C] * scale.background);
        if (!irf.empty())
            ShiftedResponse(irf, x[2 * C + 1], decay.binWidth, h.data(), [](const T &v) { return Scalar(v); });
        for (int i = 0; i < C; ++i) {
            if (irf.empty())
                GaussianExponential(x[2 * C + 1], x[2 * C + 2], x[i], n, decay.binWidth, decay.period, y.data(),
                                    [](const T &v) { return Scalar(v); });
            else
                ExponentialResponse(h.data(), n, decay.binWidth, decay.period, x[i], y.data());
            const T alpha = x[C + i] * scale.amplitude;
            for (std::size_t k = 0; k < n; ++k)
                m[k] += alpha * y[k];
        }
        for (std::size_t k = 0; k < n; ++k)
            r[k] = DevianceResidual(decay.counts[k], m[k]);
        return true;
    }
};

/// The model of \p x over every bin of \p decay.
template <int C>
std::vector<double> ModelOf(const Decay &decay, const std::vector<double> &irf, const double *x)
{
    const std::size_t n = decay.counts.size();
    std::vector<double> h(n), y(n), m(n, x[2 * C]);
    if (!irf.empty())
        ShiftedResponse(irf, x[2 * C + 1], decay.binWidth, h.data(), [](double v) { return v; });
    for (int i = 0; i < C; ++i) {
        if (irf.empty())
            GaussianExponential(x[2 * C + 1], x[2 * C + 2], x[i], n, decay.binWidth, decay.period, y.data(),
                                [](double v) { return v; });
        else
            ExponentialResponse(h.data(), n, decay.binWidth, decay.period, x[i], y.data());
        for (std::size_t k = 0; k < n; ++k)
            m[k] += x[C + i] * y[k];
    }
    return m;
}

std::size_t PeakBin(const std::vector<double> &v)
{
    return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

/// Start values: background from the quietest tenth of the bins, the
/// response at the peak, lifetimes spread around the mean delay after it.
template <int C>
std::array<double, ParameterCount<C>()> Start(const Decay &decay, const std::vector<double> &irf)
{
    std::array<double, ParameterCount<C>()> x{};
    const std::vector<double> &c = decay.counts;
    const std::size_t n = c.size();
    const double w = decay.binWidth;
    const std::size_t window = std::max<std::size_t>(1, n / 10);
    double background = HUGE_VAL, sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        sum += c[k];
        if (k >= window)
            sum -= c[k - window];
        if (k + 1 >= window)
            background = std::min(background, sum / static_cast<double>(window));
    }
    const std::size_t peak = PeakBin(c);
    double weight = 0, moment = 0, total = 0;
    for (std::size_t k = 0; k < n; ++k)
        total += c[k];
    for (std::size_t k = peak; k < n; ++k) {
        const double above = std::max(0.0, c[k] - background);
        weight += above;
        moment += above * (static_cast<double>(k - peak) + 0.5) * w;
    }
    double tau = weight > 0 ? moment / weight : decay.period / 4;
    tau = std::clamp(tau, 2 * w, decay.period);
    static const double spread[3][3] = {{1, 0, 0}, {0.4, 1.6, 0}, {0.25, 1, 3}};
    const double signal = std::max(total - background * static_cast<double>(n), total * 0.5);
    for (int i = 0; i < C; ++i) {
        x[i] = tau * spread[C - 1][i];
        x[C + i] = signal / C / x[i];
    }
    x[2 * C] = std::max(background, 0.0);
    if (irf.empty()) {
        x[2 * C + 2] = std::max(1.5 * w, 0.1);
        x[2 * C + 1] = (static_cast<double>(peak) + 0.5) * w - x[2 * C + 2];
    } else {
        x[2 * C + 1] = (static_cast<double>(peak) - static_cast<double>(PeakBin(irf))) * w;
        x[2 * C + 2] = 0;
    }
    return x;
}

template <int C>
DecayFitResult FitComponents(const Decay &decay, const std::vector<double> &irf)
{
    constexpr int P = ParameterCount<C>();
    DecayFitResult result;
    result.components = C;
    result.gaussianIrf = irf.empty();
    const std::size_t n = decay.counts.size();
    const double w = decay.binWidth, period = decay.period;
    // Physical start values, then in the fit's units.
    std::array<double, P> x = Start<C>(decay, irf);
    Scales scale;
    for (double c : decay.counts)
        scale.amplitude += c;
    scale.background = scale.amplitude / static_cast<double>(n);
    for (int i = 0; i < C; ++i)
        x[static_cast<std::size_t>(C + i)] /= scale.amplitude;
    x[2 * C] /= scale.background;

    ceres::Problem problem;
    auto *cost = new ceres::AutoDiffCostFunction<DecayResiduals<C>, ceres::DYNAMIC, P>(
        new DecayResiduals<C>{decay, irf, scale}, static_cast<int>(n));
    problem.AddResidualBlock(cost, nullptr, x.data());
    for (int i = 0; i < C; ++i) {
        problem.SetParameterLowerBound(x.data(), i, kShortestTau);
        problem.SetParameterUpperBound(x.data(), i, kLongestTau);
        problem.SetParameterLowerBound(x.data(), C + i, 0.0);
    }
    problem.SetParameterLowerBound(x.data(), 2 * C, 0.0);
    if (irf.empty()) {
        problem.SetParameterLowerBound(x.data(), 2 * C + 1, -period / 2);
        problem.SetParameterUpperBound(x.data(), 2 * C + 1, period);
        problem.SetParameterLowerBound(x.data(), 2 * C + 2, w / 10);
        problem.SetParameterUpperBound(x.data(), 2 * C + 2, period / 4);
    } else {
        problem.SetParameterLowerBound(x.data(), 2 * C + 1, -period / 4);
        problem.SetParameterUpperBound(x.data(), 2 * C + 1, period / 4);
        // A measured response has no width to fit.
        problem.SetManifold(x.data(), new ceres::SubsetManifold(P, {2 * C + 2}));
    }
    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_QR;
    options.logging_type = ceres::SILENT;
    options.max_num_iterations = 200;
    options.function_tolerance = 1e-12;
    options.gradient_tolerance = 1e-14;
    options.parameter_tolerance = 1e-12;
    options.num_threads = 1;
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    if (!summary.IsSolutionUsable()) {
        result.error = "the fit did not converge: " + summary.message;
        return result;
    }
    if (summary.termination_type == ceres::NO_CONVERGENCE)
        result.warnings.push_back("the fit stopped after its iteration limit");

    // The deviance residuals' J^T J is the Poisson information, so the
    // covariance needs no scaling by the chi square.
    std::array<double, P * P> cov{};
    ceres::Covariance::Options covarianceOptions;
    covarianceOptions.algorithm_type = ceres::DENSE_SVD;
    covarianceOptions.null_space_rank = -1;
    covarianceOptions.num_threads = 1;
    ceres::Covariance covariance(covarianceOptions);
    std::vector<std::pair<const double *, const double *>> blocks{{x.data(), x.data()}};
    if (covariance.Compute(blocks, &problem)) {
        covariance.GetCovarianceBlock(x.data(), x.data(), cov.data());
    } else {
        result.warnings.push_back("the covariance at the optimum could not be computed: no standard errors");
        cov.fill(kNaN);
    }
    const auto error = [&](int i) { return std::sqrt(std::max(0.0, cov[static_cast<std::size_t>(i * P + i)])); };

    // Shortest lifetime first.
    std::array<int, C> order{};
    for (int i = 0; i < C; ++i)
        order[static_cast<std::size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int a, int b) { return x[static_cast<std::size_t>(a)] < x[static_cast<std::size_t>(b)]; });
    double alphaSum = 0, weighted = 0, weighted2 = 0;
    for (int i = 0; i < C; ++i)
        alphaSum += x[static_cast<std::size_t>(C + i)];
    for (int slot = 0; slot < C; ++slot) {
        const int i = order[static_cast<std::size_t>(slot)];
        const double tau = x[static_cast<std::size_t>(i)];
        const double a = alphaSum > 0 ? x[static_cast<std::size_t>(C + i)] / alphaSum : 0;
        result.tau[slot] = tau;
        result.tauError[slot] = error(i);
        result.amplitude[slot] = a;
        // a_i = α_i / Σα: gradient (δ_ij − a_i) / Σα over the amplitudes.
        double variance = 0;
        for (int j = 0; j < C; ++j)
            for (int k = 0; k < C; ++k) {
                const double gj = ((i == j ? 1.0 : 0.0) - a) / alphaSum;
                const double gk = ((i == k ? 1.0 : 0.0) - a) / alphaSum;
                variance += gj * gk * cov[static_cast<std::size_t>((C + j) * P + (C + k))];
            }
        result.amplitudeError[slot] = std::sqrt(std::max(0.0, variance));
        if (std::isnan(variance))
            result.amplitudeError[slot] = kNaN;
        weighted += a * tau;
        weighted2 += a * tau * tau;
    }
    result.tauAmplitude = weighted;
    result.tauIntensity = weighted > 0 ? weighted2 / weighted : 0;
    result.background = x[2 * C] * scale.background;
    result.backgroundError = error(2 * C) * scale.background;
    result.shift = x[2 * C + 1];
    result.shiftError = error(2 * C + 1);
    result.irfWidth = irf.empty() ? x[2 * C + 2] : 0;
    result.irfWidthError = irf.empty() ? error(2 * C + 2) : 0;

    std::array<double, P> physical = x;
    for (int i = 0; i < C; ++i)
        physical[static_cast<std::size_t>(C + i)] *= scale.amplitude;
    physical[2 * C] *= scale.background;
    result.model = ModelOf<C>(decay, irf, physical.data());
    result.residuals.assign(n, 0);
    double pearson = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double m = result.model[k];
        if (m > 0) {
            result.residuals[k] = (decay.counts[k] - m) / std::sqrt(m);
            pearson += result.residuals[k] * result.residuals[k];
        }
    }
    const int freeCount = irf.empty() ? P : P - 1;
    result.points = n;
    result.reducedChiSquare = pearson / static_cast<double>(n - static_cast<std::size_t>(freeCount));
    result.rangeFrom = 0;
    result.rangeTo = static_cast<double>(n) * w;
    result.ok = true;
    return result;
}

/*!
 * \brief The normalised one-component shape (photon fractions per bin) on
 * a fine grid of u = ln τ, with its derivative in u: every pixel of the map
 * shares the response, so the shape of a lifetime is computed once and a
 * pixel's fit reads it by cubic Hermite interpolation, smooth in u.
 */
struct ShapeTable {
    double u0 = 0, step = 0;
    int nodes = 0, bins = 0;
    std::vector<double> value, slope;  // node j, bin k at j x bins + k
    // Node j: the shape's phasor at the repetition frequency over the bin
    // centres, whose phase grows with τ; and that of an even spread.
    std::vector<double> g, s;
    double flatG = 0, flatS = 0;
    std::vector<double> cosine, sine;  // per bin, at its centre

    // Per node, the phase of its shape with the background's share spread
    // evenly, relative to the shortest lifetime's (SetBackground).
    std::vector<double> phase;
    double firstPhase = 0;

    /// The phases of the nodes with the background's share \p beta.
    void SetBackground(double beta)
    {
        const auto absolute = [&](int j) {
            return std::atan2((1 - beta) * s[static_cast<std::size_t>(j)] + beta * flatS,
                              (1 - beta) * g[static_cast<std::size_t>(j)] + beta * flatG);
        };
        // Phases relative to the shortest lifetime's: the response's own
        // phase may lie anywhere on the circle, the lifetimes add less than π.
        firstPhase = absolute(0);
        phase.resize(static_cast<std::size_t>(nodes));
        for (int j = 0; j < nodes; ++j)
            phase[static_cast<std::size_t>(j)] = std::remainder(absolute(j) - firstPhase, 2 * M_PI);
    }

    /// The node whose phase (SetBackground) lies nearest to the phase of a
    /// pixel's phasor (\p pg, \p ps): a start close to the pixel's optimum.
    double StartFor(double pg, double ps) const
    {
        const double target = std::remainder(std::atan2(ps, pg) - firstPhase, 2 * M_PI);
        int lo = 0, hi = nodes - 1;
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            (phase[static_cast<std::size_t>(mid)] < target ? lo : hi) = mid;
        }
        const double pLo = phase[static_cast<std::size_t>(lo)], pHi = phase[static_cast<std::size_t>(hi)];
        return u0 + (std::fabs(pLo - target) < std::fabs(pHi - target) ? lo : hi) * step;
    }
};

ShapeTable MakeShapeTable(const std::vector<double> &h, int sub, int bins, double w, double period, double tauMin,
                          double tauMax, int nodes)
{
    using J = ceres::Jet<double, 1>;
    ShapeTable table;
    table.nodes = nodes;
    table.bins = bins;
    table.u0 = std::log(tauMin);
    table.step = (std::log(tauMax) - table.u0) / (nodes - 1);
    table.value.resize(static_cast<std::size_t>(nodes) * bins);
    table.slope.resize(table.value.size());
    table.g.resize(static_cast<std::size_t>(nodes));
    table.s.resize(static_cast<std::size_t>(nodes));
    std::vector<double> cosine(static_cast<std::size_t>(bins)), sine(static_cast<std::size_t>(bins));
    for (int k = 0; k < bins; ++k) {
        const double angle = 2 * M_PI / period * (k + 0.5) * w;
        cosine[static_cast<std::size_t>(k)] = std::cos(angle);
        sine[static_cast<std::size_t>(k)] = std::sin(angle);
        table.flatG += cosine[static_cast<std::size_t>(k)] / bins;
        table.flatS += sine[static_cast<std::size_t>(k)] / bins;
    }
    table.cosine = cosine;
    table.sine = sine;
    const std::size_t fineBins = static_cast<std::size_t>(bins) * static_cast<std::size_t>(sub);
    std::vector<J> fine(fineBins), y(static_cast<std::size_t>(bins));
    for (int j = 0; j < nodes; ++j) {
        const double tau = std::exp(table.u0 + j * table.step);
        J t(tau, 0);
        t.v[0] = tau;  // dτ/du
        ExponentialResponse(h.data(), fineBins, w / sub, period, t, fine.data());
        J total(0.0);
        for (int k = 0; k < bins; ++k) {
            J sum(0.0);
            for (int i = 0; i < sub; ++i)
                sum += fine[static_cast<std::size_t>(k * sub + i)];
            y[static_cast<std::size_t>(k)] = sum;
            total += sum;
        }
        double pg = 0, ps = 0;
        for (int k = 0; k < bins; ++k) {
            const J shape = y[static_cast<std::size_t>(k)] / total;
            table.value[static_cast<std::size_t>(j) * bins + k] = shape.a;
            table.slope[static_cast<std::size_t>(j) * bins + k] = shape.v[0];
            pg += shape.a * cosine[static_cast<std::size_t>(k)];
            ps += shape.a * sine[static_cast<std::size_t>(k)];
        }
        table.g[static_cast<std::size_t>(j)] = pg;
        table.s[static_cast<std::size_t>(j)] = ps;
    }
    return table;
}

/*!
 * \brief The one-component fit of one pixel: only τ is varied (as u = ln τ);
 * the photons and the background's share are those of the pixel and the
 * whole. The residuals are the deviance residuals of DevianceResidual, with
 * their derivative in u written out: the shape and its slope come from the
 * table's cubic Hermite piece, the deviance's c ln c is the pixel's own
 * (set once per pixel in Load), so a residual costs one logarithm and one root.
 */
struct PixelCost {
    using Scalar = double;
    enum { NUM_RESIDUALS = Eigen::Dynamic, NUM_PARAMETERS = 1 };

    const ShapeTable *table = nullptr;
    int n = 0;
    double signal = 0, flat = 0;
    const double *counts = nullptr;
    std::vector<double> cLogC;  // per bin: c ln c, 0 for an empty bin

    int NumResiduals() const { return n; }

    /// The pixel whose \p photons are \p counts per bin (kept by the caller).
    void Load(const double *c, double photons, double backgroundShare)
    {
        counts = c;
        signal = photons * (1.0 - backgroundShare);
        flat = photons * backgroundShare / n;
        for (int k = 0; k < n; ++k)
            cLogC[static_cast<std::size_t>(k)] = c[k] > 0 ? c[k] * std::log(c[k]) : 0.0;
    }

    bool operator()(const double *u, double *r, double *jacobian) const
    {
        const ShapeTable &s = *table;
        const double position = std::clamp((u[0] - s.u0) / s.step, 0.0, s.nodes - 1.000001);
        const int j = static_cast<int>(position);
        const double t = (u[0] - (s.u0 + j * s.step)) / s.step;
        const double t2 = t * t, t3 = t2 * t;
        const double h00 = 2.0 * t3 - 3.0 * t2 + 1.0, h10 = (t3 - 2.0 * t2 + t) * s.step;
        const double h01 = 3.0 * t2 - 2.0 * t3, h11 = (t3 - t2) * s.step;
        // Their derivatives in u.
        const double e00 = (6.0 * t2 - 6.0 * t) / s.step, e10 = 3.0 * t2 - 4.0 * t + 1.0;
        const double e01 = -e00, e11 = 3.0 * t2 - 2.0 * t;
        const double *v0 = s.value.data() + static_cast<std::size_t>(j) * s.bins;
        const double *d0 = s.slope.data() + static_cast<std::size_t>(j) * s.bins;
        const double *v1 = v0 + s.bins, *d1 = d0 + s.bins;
        for (int k = 0; k < n; ++k) {
            double m = signal * (h00 * v0[k] + h10 * d0[k] + h01 * v1[k] + h11 * d1[k]) + flat;
            double dm = jacobian ? signal * (e00 * v0[k] + e10 * d0[k] + e01 * v1[k] + e11 * d1[k]) : 0.0;
            if (m < 1e-12) {
                m = 1e-12;
                dm = 0;
            }
            const double c = counts[k];
            double residual, slope;
            if (c <= 0) {
                residual = -std::sqrt(2.0 * m);
                slope = 1.0 / residual;
            } else {
                const double d = 2.0 * (m - c + cLogC[static_cast<std::size_t>(k)] - c * std::log(m));
                if (d <= 1e-10 * c) {
                    const double root = std::sqrt(m);
                    residual = (c - m) / root;
                    slope = -1.0 / root - residual / (2.0 * m);
                } else {
                    residual = c > m ? std::sqrt(d) : -std::sqrt(d);
                    slope = (1.0 - c / m) / residual;
                }
            }
            r[k] = residual;
            if (jacobian)
                jacobian[k] = slope * dm;
        }
        return true;
    }
};

} // namespace

DecayFitResult SolveDecay(const Decay &decay, const DecayFitSettings &settings)
{
    DecayFitResult result;
    const std::size_t n = decay.counts.size();
    double photons = 0;
    for (double c : decay.counts)
        photons += c;
    if (settings.components < 1 || settings.components > kMaxComponents) {
        result.error = "the decay fit takes 1 to 3 components";
        return result;
    }
    if (!(decay.binWidth > 0) || !(decay.period > 0) || static_cast<double>(n) * decay.binWidth > decay.period * (1 + 1e-9)) {
        result.error = "the decay's bins do not fit in its period";
        return result;
    }
    if (!(photons > 0)) {
        result.error = "the decay holds no photons";
        return result;
    }
    std::vector<double> irf;
    if (!settings.irf.empty()) {
        double sum = 0;
        for (double v : settings.irf)
            sum += v;
        if (settings.irf.size() != n || !(sum > 0)) {
            result.error = settings.irf.size() != n ? "the instrument response has other bins than the decay"
                                                    : "the instrument response holds no photons";
            return result;
        }
        irf.reserve(n);
        for (double v : settings.irf)
            irf.push_back(v / sum);
    }
    if (n <= static_cast<std::size_t>(2 * settings.components + 3)) {
        result.error = "too few bins for the decay fit";
        return result;
    }
    switch (settings.components) {
    case 1: result = FitComponents<1>(decay, irf); break;
    case 2: result = FitComponents<2>(decay, irf); break;
    default: result = FitComponents<3>(decay, irf); break;
    }
    result.photons = photons;
    return result;
}

std::vector<float> SolveLifetimeMap(const std::vector<uint32_t> &decays, uint32_t width, uint32_t height,
                                    uint32_t bins, const Decay &shape, const DecayFitResult &whole,
                                    const std::vector<double> &irf, int binning, int threshold)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    std::vector<float> map(pixels, std::numeric_limits<float>::quiet_NaN());
    if (!whole.ok || bins == 0 || bins > kMaxMapBins || decays.size() < pixels * bins)
        return map;
    int sub = 1;
    if (irf.empty() && whole.irfWidth > 0)
        sub = std::clamp(static_cast<int>(std::ceil(shape.binWidth / (whole.irfWidth / 2))), 1, kMaxSubBins);
    else if (!irf.empty())
        sub = static_cast<int>(irf.size() / bins);
    if (sub < 1 || sub > kMaxSubBins || (!irf.empty() && irf.size() != static_cast<std::size_t>(sub) * bins))
        return map;
    Decay fineShape{shape.binWidth / sub, shape.period, std::vector<double>(static_cast<std::size_t>(bins) * sub, 0.0)};
    const std::vector<double> h = FittedResponse(sub == 1 ? shape : fineShape, whole, irf);
    const double backgroundShare =
        whole.photons > 0 ? std::clamp(whole.background * static_cast<double>(whole.points) / whole.photons, 0.0, 0.99) : 0;
    // Lifetimes from a twentieth of a bin to a hundred periods.
    const double tauMin = std::max(kShortestTau, shape.binWidth / 20), tauMax = std::min(kLongestTau, 100 * shape.period);
    ShapeTable table = MakeShapeTable(h, sub, static_cast<int>(bins), shape.binWidth, shape.period, tauMin, tauMax,
                                      2048);
    table.SetBackground(backgroundShare);
    const int radius = binning >= 5 ? 2 : binning >= 3 ? 1 : 0;

    // Rows alternate between two threads (bright and dim parts of an image
    // fall to both); each has one solver and one cost for all its pixels, so
    // nothing is allocated per pixel. A pixel's fit depends on nothing else:
    // the map is the same in one thread or two.
    const uint32_t threads = pixels >= kParallelMapPixels && height >= 2 ? 2 : 1;
    RunInTwoThreads(threads, threads == 2, [&](std::size_t first) {
        std::vector<double> counts(bins);
        PixelCost cost;
        cost.table = &table;
        cost.n = static_cast<int>(bins);
        cost.cLogC.resize(bins);
        ceres::TinySolver<PixelCost> solver;
        solver.options.max_num_iterations = 30;
        // The start lies near the optimum. The solver stops at a step below a
        // thousandth of |ln tau| or a change of the deviance (its Σ r²) below
        // 1e-3: near the optimum the deviance rises by (Δ ln tau / its error)²,
        // so either stop lies far inside any pixel's error.
        solver.options.parameter_tolerance = 1e-3;
        solver.options.function_tolerance = 1e-3;
        Eigen::Matrix<double, 1, 1> u;
        for (uint32_t y = static_cast<uint32_t>(first); y < height; y += threads)
            for (uint32_t x = 0; x < width; ++x) {
                const std::size_t p = static_cast<std::size_t>(y) * width + x;
                uint64_t own = 0;
                for (uint32_t k = 0; k < bins; ++k)
                    own += decays[p * bins + k];
                if (own == 0 || static_cast<int64_t>(own) < threshold)
                    continue;
                std::fill(counts.begin(), counts.end(), 0.0);
                double photons = 0, pg = 0, ps = 0;
                for (int dy = -radius; dy <= radius; ++dy)
                    for (int dx = -radius; dx <= radius; ++dx) {
                        const long yy = static_cast<long>(y) + dy, xx = static_cast<long>(x) + dx;
                        if (yy < 0 || xx < 0 || yy >= static_cast<long>(height) || xx >= static_cast<long>(width))
                            continue;
                        const uint32_t *d =
                            decays.data() + (static_cast<std::size_t>(yy) * width + static_cast<std::size_t>(xx)) * bins;
                        for (uint32_t k = 0; k < bins; ++k)
                            counts[k] += d[k];
                    }
                for (uint32_t k = 0; k < bins; ++k) {
                    photons += counts[k];
                    pg += counts[k] * table.cosine[k];
                    ps += counts[k] * table.sine[k];
                }
                cost.Load(counts.data(), photons, backgroundShare);
                u(0) = table.StartFor(pg, ps);
                solver.Solve(cost, &u);
                const double tau = std::exp(u(0));
                // A lifetime at the table's ends is no fit.
                if (std::isfinite(tau) && tau > tauMin * 1.01 && tau < tauMax / 1.01)
                    map[p] = static_cast<float>(tau);
            }
    });
    return map;
}

} // namespace flim
