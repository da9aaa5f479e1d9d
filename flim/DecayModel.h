#pragma once
/*!
 * \brief The reconvolution model of a decay histogram, written once for
 * plain numbers and for Ceres' automatic derivatives (any T with the usual
 * arithmetic, exp and erfc).
 *
 * Bins of width w from delay 0, n bins spanning at most one period T. The
 * response h (photons of the excitation per bin) is taken as spread evenly
 * inside its bin; the decay e^{-t/τ} integrated over each bin is then
 *   d0 = τ − (τ²/w)(1 − r)                      in the response's own bin,
 *   (τ²/w)(1 − r)² e^{−(δ − w)/τ}               in a bin starting δ ≥ w later,
 * with r = e^{−w/τ}; pulses m periods earlier add δ + mT, summed as a
 * geometric series (1/(1 − q), q = e^{−T/τ}). One pass forward makes the
 * sum over earlier bins; the wrapped tails of every bin fall off together.
 */
#include <cmath>
#include <cstddef>
#include <vector>

namespace flim {

/*!
 * \brief Photons per bin (\p y, \p n entries) of a unit-amplitude
 * exponential of lifetime \p tau ns excited by the response \p h on \p n bins
 * of \p w ns, repeated every \p period ns (n w ≤ period).
 */
template <class T, class H>
void ExponentialResponse(const H *h, std::size_t n, double w, double period, const T &tau, T *y)
{
    using std::exp;
    const T r = exp(-w / tau);
    const T q = exp(-period / tau);
    const T oneMinusR = 1.0 - r;
    const T c = tau * tau / w * oneMinusR * oneMinusR;
    const T d0 = tau - tau * tau / w * oneMinusR;
    // V: the wrapped tails at bin k, Σ_j h_j e^{−((k−j−1)w + T)/τ}; every exponent ≥ 0.
    // From the last bin down, each term is the one above it times r.
    T v = T(0.0);
    T e = exp(-(period - static_cast<double>(n) * w) / tau);
    for (std::size_t j = n; j-- > 0;) {
        v += h[j] * e;
        e = e * r;
    }
    const T wrap = 1.0 / (1.0 - q);
    // S: Σ_{j<k} h_j r^{k−j−1}.
    T s = T(0.0);
    for (std::size_t k = 0; k < n; ++k) {
        y[k] = h[k] * d0 + c * (s + v * wrap);
        s = s * r + h[k];
        v = v * r;
    }
}

/*!
 * \brief A Gaussian response of centre \p mu and standard deviation
 * \p sigma ns on \p n bins of \p w ns, with its images one period before and
 * after (photons of a bin: the integral of the unit Gaussian over it).
 */
template <class T>
void GaussianResponse(const T &mu, const T &sigma, std::size_t n, double w, double period, T *h)
{
    using std::erfc;
    const double inverseRoot2 = 0.70710678118654752440;
    for (std::size_t k = 0; k < n; ++k)
        h[k] = T(0.0);
    for (int image = -1; image <= 1; ++image) {
        const T centre = mu + image * period;
        T lower = 0.5 * erfc(-((0.0 - centre) / sigma) * inverseRoot2);
        for (std::size_t k = 0; k < n; ++k) {
            const T upper = 0.5 * erfc(-((static_cast<double>(k + 1) * w - centre) / sigma) * inverseRoot2);
            h[k] += upper - lower;
            lower = upper;
        }
    }
}

/*!
 * \brief The measured response \p irf (on \p n = irf.size() bins of \p w ns)
 * shifted by \p shift ns into \p h: linear interpolation, 0 outside its bins.
 * \p scalar gives the plain number of a T (where the bin falls is no
 * derivative).
 */
template <class T, class Scalar>
void ShiftedResponse(const std::vector<double> &irf, const T &shift, double w, T *h, Scalar scalar)
{
    const std::size_t n = irf.size();
    const T u = -shift / w;
    const double base = std::floor(scalar(u));
    const T frac = u - base;
    const long j0 = static_cast<long>(base);
    const auto at = [&](long j) { return j >= 0 && j < static_cast<long>(n) ? irf[static_cast<std::size_t>(j)] : 0.0; };
    for (std::size_t k = 0; k < n; ++k) {
        const long j = static_cast<long>(k) + j0;
        h[k] = (1.0 - frac) * at(j) + frac * at(j + 1);
    }
}

} // namespace flim

namespace flim {

/// e^{u²} erfc(u) for u ≥ 0, without overflow: directly up to 25, then its asymptotic series.
template <class T>
T ScaledErfc(const T &u, double scalarU)
{
    using std::erfc;
    using std::exp;
    if (scalarU < 25)
        return exp(u * u) * erfc(u);
    const T inverse2 = 1.0 / (u * u);
    // 1/(u√π) (1 − 1/(2u²) + 3/(4u⁴) − 15/(8u⁶)); the next term is below 1e-11 here.
    return 0.56418958354775628695 / u * (1.0 - 0.5 * inverse2 + 0.75 * inverse2 * inverse2 - 1.875 * inverse2 * inverse2 * inverse2);
}

/*!
 * \brief The distribution function of the delay of a photon excited by a
 * Gaussian pulse (centre \p mu, standard deviation \p sigma) and emitted
 * with lifetime \p tau, at time \p t (all ns): the exponentially modified
 * Gaussian, Φ(z) − e^{σ²/2τ² − (t−μ)/τ} Φ(z − σ/τ), z = (t − μ)/σ, written
 * so that no factor overflows.
 */
template <class T>
T ExGaussianCdf(double t, const T &mu, const T &sigma, const T &tau, double scalarMu, double scalarSigma,
                double scalarTau)
{
    using std::erfc;
    using std::exp;
    const double root2 = 1.41421356237309504880;
    const T z = (t - mu) / sigma;
    const T u = (sigma / tau - z) / root2;
    const double scalarU = (scalarSigma / scalarTau - (t - scalarMu) / scalarSigma) / root2;
    const T phi = 0.5 * erfc(-z / root2);
    if (scalarU < 0)
        return phi - 0.5 * exp(sigma * sigma / (2.0 * tau * tau) - (t - mu) / tau) * erfc(u);
    return phi - 0.5 * exp(-0.5 * z * z) * ScaledErfc(u, scalarU);
}

/*!
 * \brief Photons per bin (\p y, \p n bins of \p w ns from 0) of a
 * unit-amplitude exponential of lifetime \p tau excited by a Gaussian pulse
 * every \p period ns: the pulse of this period and of the next exactly, the
 * fully passed earlier pulses as their summed tails.
 */
template <class T, class Scalar>
void GaussianExponential(const T &mu, const T &sigma, const T &tau, std::size_t n, double w, double period, T *y,
                         Scalar scalar)
{
    using std::exp;
    const double m = scalar(mu), s = scalar(sigma), ta = scalar(tau);
    const T q = exp(-period / tau);
    const T tailScale = 1.0 / (1.0 - q);
    const T muNext = mu + period, muLast = mu - period;
    const double mNext = m + period, mLast = m - period;
    const auto cumulative = [&](double t) {
        // The pulse of this period and the next exactly; the one before as
        // what is left of it, 1 − F; the ones before that have passed, their
        // tails e^{σ²/2τ² − (t + mT − μ)/τ} summed over m ≥ 2 (none where the
        // lifetime is so short against the pulse that they have not).
        T value = ExGaussianCdf(t, mu, sigma, tau, m, s, ta) + ExGaussianCdf(t, muNext, sigma, tau, mNext, s, ta)
                  - (1.0 - ExGaussianCdf(t, muLast, sigma, tau, mLast, s, ta));
        if ((t + 2 * period - m) / s > s / ta + 8)
            value -= exp(sigma * sigma / (2.0 * tau * tau) - (t + 2 * period - mu) / tau) * tailScale;
        return value;
    };
    T lower = cumulative(0.0);
    for (std::size_t k = 0; k < n; ++k) {
        const T upper = cumulative(static_cast<double>(k + 1) * w);
        y[k] = tau * (upper - lower);
        lower = upper;
    }
}

} // namespace flim
