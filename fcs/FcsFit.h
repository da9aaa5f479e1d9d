#pragma once
/*!
 * \brief Weighted least-squares fit of one correlation curve to a model,
 * with the parameters' standard errors and the numbers derived from them.
 */
#include "fcs/FcsModel.h"
#include "fcs/FcsSettings.h"

#include <string>
#include <vector>

namespace fcs {

/// One curve: lag bin centres (ms), G, and its error per bin (empty: no error bars).
struct Curve {
    std::vector<double> lag;
    std::vector<double> G;
    std::vector<double> sigma;
};

struct FitResult {
    bool ok = false;
    std::string error;                ///< why there is no fit, when !ok
    std::vector<std::string> warnings;
    Model model = Model::Diffusion3D;
    Parameters value{};               ///< physical values (N as the number of molecules; inf for no amplitude)
    Parameters standardError{};       ///< from the covariance; 0 for fixed and unused parameters
    /// The scatter of the same fit over the segments, sd / sqrt(fits): it
    /// holds what the covariance misses, the noise lag bins share.
    Parameters segmentError{};
    int segmentFits = 0;              ///< segments whose fit went through (0: no segment scatter)
    std::array<bool, ParameterCount> used{};
    std::array<bool, ParameterCount> free{};
    bool weighted = false;            ///< weights 1/sigma; false: uniform
    std::size_t first = 0, last = 0;  ///< bins of the range, inclusive
    std::size_t points = 0;           ///< bins fitted
    double chiSquare = 0;
    double reducedChiSquare = 0;
    /// The model over every lag of the curve, and the residuals (G - model),
    /// divided by sigma when weighted, over the range (0 elsewhere).
    std::vector<double> modelCurve, residuals;
};

/// Fits \p curve with \p settings: weighted by sigma when the curve has
/// errors, bounds per WithinBounds, fixed parameters held.
FitResult Fit(const Curve &curve, const FitSettings &settings);

/*!
 * \brief Fits each of \p segments (the curve of one segment each, with the
 * errors of one segment) over the lags of \p whole, starting from its
 * values, and puts the scatter of the free parameters into
 * whole.segmentError. Needs two segment fits that went through.
 */
void AddSegmentScatter(FitResult &whole, const std::vector<Curve> &segments, const FitSettings &settings);

/// The larger of the two errors of parameter \p p.
double LargerError(const FitResult &fit, std::size_t p);

/// Numbers derived from a fit: with w0 given, D, V_eff and the concentration;
/// always the count rates and the brightness per molecule.
struct Derived {
    bool focus = false;          ///< w0 was given
    double D = 0, DError = 0;    ///< µm²/s
    double volume = 0;           ///< fL
    double concentration = 0, concentrationError = 0;  ///< nM
    double rateFrom = 0, rateTo = 0;     ///< kHz, mean count rates of the two channels
    double rate = 0;                     ///< kHz, the rate the brightness uses
    double brightness = 0, brightnessError = 0;  ///< kHz per molecule
};

/// \p rateFrom, \p rateTo in kHz; for a cross pair the brightness uses their geometric mean.
Derived Derive(const FitResult &fit, double w0, double rateFrom, double rateTo, bool cross);

} // namespace fcs
