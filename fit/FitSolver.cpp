// The fit module's one exported symbol: the table of its fits.
#include "fit/FitSolver.h"

#include "fit/Solvers.h"

namespace {

const FotonelFitApi kApi = {FOTONEL_FIT_API_VERSION, fcs::SolveFit, flim::SolveDecay, flim::SolveLifetimeMap};

} // namespace

extern "C" __attribute__((visibility("default"))) const FotonelFitApi *fotonel_fit_api(void) { return &kApi; }
