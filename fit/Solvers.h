#pragma once
/*!
 * \brief The fits inside the fit module, as its table (fit/FitSolver.cpp)
 * hands them out: the bodies of fcs::Fit, flim::FitDecay and
 * flim::FitLifetimeMap, documented with those.
 */
#include "fcs/FcsFit.h"
#include "flim/DecayFit.h"

namespace fcs {
FitResult SolveFit(const Curve &curve, const FitSettings &settings);
} // namespace fcs

namespace flim {
DecayFitResult SolveDecay(const Decay &decay, const DecayFitSettings &settings);
std::vector<float> SolveLifetimeMap(const std::vector<uint32_t> &decays, uint32_t width, uint32_t height,
                                    uint32_t bins, const Decay &shape, const DecayFitResult &whole,
                                    const std::vector<double> &irf, int binning, int threshold);
} // namespace flim
