#pragma once
/*!
 * \brief Finds and loads the module through which the fits call Ceres
 * Solver (see fit/FitSolver.h).
 *
 * Searched for beside the running program, then in the folder it was built
 * into. FOTONEL_FIT_MODULE_DIR in the environment names the one folder to
 * search instead. The module is looked for once, on the first fit of the
 * program (from any thread), and stays loaded until the program ends; when
 * it cannot be loaded, every fit fails with the same reason.
 */
#include <string>

struct FotonelFitApi;

/// File name of the module (libfotonel_fit.so).
std::string FitModuleName();

/// The module's functions; null, with \p error naming the module and the loader's reasons, when it cannot be loaded.
const FotonelFitApi *LoadFitModule(std::string &error);
