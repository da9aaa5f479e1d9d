// The fits themselves run in the fit module, which alone links Ceres Solver
// (fit/FitSolver.h): a program that never fits does not load the solver.
#include "flim/DecayFit.h"

#include "fit/FitModule.h"
#include "fit/FitSolver.h"

#include <limits>

namespace flim {

DecayFitResult FitDecay(const Decay &decay, const DecayFitSettings &settings)
{
    std::string error;
    if (const FotonelFitApi *api = LoadFitModule(error))
        return api->fitDecay(decay, settings);
    DecayFitResult result;
    result.error = error;
    return result;
}

std::vector<float> FitLifetimeMap(const std::vector<uint32_t> &decays, uint32_t width, uint32_t height,
                                  uint32_t bins, const Decay &shape, const DecayFitResult &whole,
                                  const std::vector<double> &irf, int binning, int threshold)
{
    std::string error;
    if (const FotonelFitApi *api = LoadFitModule(error))
        return api->fitLifetimeMap(decays, width, height, bins, shape, whole, irf, binning, threshold);
    // No lifetime without the solver: every pixel NaN, as for a failed fit.
    return std::vector<float>(static_cast<std::size_t>(width) * height, std::numeric_limits<float>::quiet_NaN());
}

} // namespace flim
