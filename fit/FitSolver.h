#pragma once
/*!
 * \brief The model fits of fcs/FcsFit.h and flim/DecayFit.h, behind a table
 * of functions.
 *
 * Ceres Solver and the libraries it pulls in (glog, gflags, SuiteSparse,
 * LAPACK and BLAS, gfortran, METIS, OpenMP...) are loaded only when a fit
 * runs: the code that calls the solver lives in a module of its own
 * (libfotonel_fit.so beside the programs), which fcs::Fit, flim::FitDecay and
 * flim::FitLifetimeMap open with dlopen on their first call (fit/FitModule.h)
 * and ask for this table through the one exported factory. Most conversions
 * never fit, and their start no longer pays for loading the solver.
 *
 * The module is built with the programs by the same compiler, so the table
 * passes the fits' own C++ types; the version still guards against a module
 * left over from another build.
 */
#include "fcs/FcsFit.h"
#include "flim/DecayFit.h"

#include <cstdint>
#include <vector>

struct FotonelFitApi {
    /// FOTONEL_FIT_API_VERSION of the module.
    uint32_t version;
    /// fcs::Fit.
    fcs::FitResult (*fitCurve)(const fcs::Curve &curve, const fcs::FitSettings &settings);
    /// flim::FitDecay.
    flim::DecayFitResult (*fitDecay)(const flim::Decay &decay, const flim::DecayFitSettings &settings);
    /// flim::FitLifetimeMap.
    std::vector<float> (*fitLifetimeMap)(const std::vector<uint32_t> &decays, uint32_t width, uint32_t height,
                                         uint32_t bins, const flim::Decay &shape, const flim::DecayFitResult &whole,
                                         const std::vector<double> &irf, int binning, int threshold);
};

#define FOTONEL_FIT_API_VERSION 1u
/// Name of the factory the module exports.
#define FOTONEL_FIT_FACTORY "fotonel_fit_api"
extern "C" {
typedef const struct FotonelFitApi *(*FotonelFitFactory)(void);
}
