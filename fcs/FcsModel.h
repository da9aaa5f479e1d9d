#pragma once
/*!
 * \brief Correlation models of fluorescence correlation spectroscopy.
 *
 * Every model is G(tau) = Ginf + A(tau), tau the lag in ms, with the
 * amplitude 1/N on top of a baseline that tends to 1 for the normalisation
 * the correlation counter uses. Parameters live in one array indexed by
 * Parameter; a model reads only the entries it uses. Evaluate is a template
 * so the fit can differentiate it automatically.
 */
#include <array>
#include <cmath>
#include <cstddef>
#include <string>

namespace fcs {

enum class Model { Diffusion3D, Diffusion3DTriplet, Diffusion2D, TwoSpecies3D };

/// Indices into a parameter array. Times in ms; T and f are fractions.
enum Parameter : std::size_t { Ginf, N, TauD, Kappa, T, TauT, F, TauD2, ParameterCount };

using Parameters = std::array<double, ParameterCount>;

/// "3D", "3D+T", "2D", "3D+3D".
const char *ModelName(Model model);
/// The model of a name above; false when there is none.
bool ModelFromName(const std::string &name, Model &model);
/// "Ginf", "N", "tauD", "kappa", "T", "tauT", "f", "tauD2": the names options use.
const char *ParameterName(std::size_t parameter);
bool ParameterFromName(const std::string &name, std::size_t &parameter);
/// "ms" for times, "" otherwise.
const char *ParameterUnit(std::size_t parameter);
/// True when \p model reads \p parameter.
bool ModelUses(Model model, std::size_t parameter);
/// Bounds of a parameter's physical value: N > 0, times > 0, 0 <= T < 1,
/// 0 <= f <= 1, kappa > 0; Ginf any value.
bool WithinBounds(std::size_t parameter, double value);

/// Diffusion through a 3-D Gaussian focus: (1 + tau/tauD)^-1 (1 + tau/(kappa^2 tauD))^-1/2.
template <class V>
V Diffusion3DTerm(const V &tau, const V &tauD, const V &kappa)
{
    using std::sqrt;
    return 1.0 / ((1.0 + tau / tauD) * sqrt(1.0 + tau / (kappa * kappa * tauD)));
}

/*!
 * \brief G at lag \p tau (ms). \p p holds the parameters with p[N] the
 * amplitude 1/N (the fit works with 1/N, which stays finite for an
 * uncorrelated stream); see ModelValue for physical values.
 */
template <class V>
V EvaluateWithAmplitude(Model model, const V *const *p, const V &tau)
{
    using std::exp;
    const V &amplitude = *p[N];
    switch (model) {
    case Model::Diffusion3D:
        return *p[Ginf] + amplitude * Diffusion3DTerm(tau, *p[TauD], *p[Kappa]);
    case Model::Diffusion3DTriplet:
        return *p[Ginf] + amplitude * Diffusion3DTerm(tau, *p[TauD], *p[Kappa])
                              * (1.0 + *p[T] / (1.0 - *p[T]) * exp(-tau / *p[TauT]));
    case Model::Diffusion2D:
        return *p[Ginf] + amplitude / (1.0 + tau / *p[TauD]);
    case Model::TwoSpecies3D:
        return *p[Ginf] + amplitude * (*p[F] * Diffusion3DTerm(tau, *p[TauD], *p[Kappa])
                                       + (1.0 - *p[F]) * Diffusion3DTerm(tau, *p[TauD2], *p[Kappa]));
    }
    return *p[Ginf];
}

/// G at lag \p tau (ms) for physical parameters (p[N] the number of molecules).
double ModelValue(Model model, const Parameters &p, double tau);

} // namespace fcs
