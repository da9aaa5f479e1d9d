#pragma once
/*!
 * \brief Reconvolution fits of fluorescence decays: 1 to 3 exponentials
 * convolved with an instrument response (a measured histogram or a Gaussian
 * whose width and position are fitted), with the tails of earlier pulses
 * that wrap into the period, a constant background and a shift, by Poisson
 * maximum likelihood.
 *
 * Decays are histograms of bins of equal width w (ns) starting at delay 0;
 * the excitation repeats every period T (ns). A component of amplitude α
 * and lifetime τ contributes α ∫ e^{-t/τ} over each bin, convolved with the
 * response and summed over all earlier pulses.
 */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace flim {

/// One histogram to fit: counts per bin of binWidth ns from delay 0, period ns.
struct Decay {
    double binWidth = 0;
    double period = 0;
    std::vector<double> counts;
};

struct DecayFitSettings {
    int components = 1;          ///< 1 to 3
    /// The measured response on the decay's bins (any scale); empty: a Gaussian is fitted.
    std::vector<double> irf;
};

constexpr int kMaxComponents = 3;

struct DecayFitResult {
    bool ok = false;
    std::string error;
    std::vector<std::string> warnings;
    int components = 0;
    bool gaussianIrf = true;
    double tau[kMaxComponents] = {}, tauError[kMaxComponents] = {};              ///< ns, shortest first
    double amplitude[kMaxComponents] = {}, amplitudeError[kMaxComponents] = {};  ///< fractions of Σα
    double background = 0, backgroundError = 0;  ///< counts per bin
    double shift = 0, shiftError = 0;             ///< ns: the Gaussian's centre, or the measured response's shift
    double irfWidth = 0, irfWidthError = 0;       ///< ns, the Gaussian's standard deviation (0 for a measured one)
    double tauAmplitude = 0;                      ///< Σ aτ / Σ a, ns
    double tauIntensity = 0;                      ///< Σ aτ² / Σ aτ, ns
    double reducedChiSquare = 0;                  ///< Pearson: Σ (c − m)² / m over (bins − free parameters)
    double rangeFrom = 0, rangeTo = 0;            ///< ns, the fitted bins' outer edges
    std::size_t points = 0;
    std::vector<double> model;      ///< per bin
    std::vector<double> residuals;  ///< per bin, (c − m) / √m
    double photons = 0;
};

/// Fits \p decay. Refuses (ok false, error) an empty decay or response and a bad component count.
DecayFitResult FitDecay(const Decay &decay, const DecayFitSettings &settings);

/*!
 * \brief The one-component lifetime of each pixel of a \p width x \p height
 * image whose pixel p holds the decay of \p bins bins (of \p shape's width
 * and period) at decays[p x bins ...], summed over the \p binning x
 * \p binning square around it (1, 3 or 5). The response's shift and width,
 * the background's share and the start lifetime come from \p whole, a fit
 * of the summed decay on any bins; \p irf is the measured response on a
 * whole number (1 to 8) of sub-bins per bin, or empty for the Gaussian of
 * \p whole. Pixels whose own photons are fewer than \p threshold get NaN,
 * as do fits that fail.
 */
std::vector<float> FitLifetimeMap(const std::vector<uint32_t> &decays, uint32_t width, uint32_t height,
                                  uint32_t bins, const Decay &shape, const DecayFitResult &whole,
                                  const std::vector<double> &irf, int binning, int threshold);

/// The response the fit of \p whole convolves with, on the bins of \p shape (sums to 1).
std::vector<double> FittedResponse(const Decay &shape, const DecayFitResult &whole, const std::vector<double> &irf);

} // namespace flim
