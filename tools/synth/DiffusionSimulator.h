#pragma once
/*!
 * \brief Point measurements of molecules diffusing through a 3-D Gaussian
 * focus, with known diffusion time and number of molecules in the focus.
 *
 * Molecules do Brownian steps of coefficient D in a box with periodic walls
 * around the focus. A molecule at (x, y, z) gives photons at the rate
 * brightness x exp(-2 (x^2 + y^2) / w0^2 - 2 z^2 / z0^2), z0 = kappa w0,
 * while it is bright; with blinking it leaves the bright state at rate
 * toDark and comes back at rate toBright. Each photon goes to channel 1 or,
 * with two channels, to channel 1 or 2 at random (a beam splitter: both see
 * the same molecules). Background photons come at their own rate per channel.
 *
 * Known truth for the 1/e^2 focus: tauD = w0^2 / (4 D), V_eff = pi^(3/2)
 * w0^2 z0 and N = c V_eff; with blinking T = toDark / (toDark + toBright)
 * and tauT = 1 / (toDark + toBright).
 */
#include "tools/synth/ScanGenerator.h"

#include <cstdint>

namespace synth {

struct DiffusionPlan {
    double w0 = 0.25;           ///< µm, 1/e^2 radius of the focus
    double kappa = 5;           ///< z0 / w0
    double D = 40;              ///< µm^2/s
    double molecules = 5;       ///< mean number in the focus, N = c V_eff
    double brightness = 100e3;  ///< photons per second of a bright molecule at the centre
    double background = 1e3;    ///< photons per second and channel
    int channels = 2;           ///< 1 or 2
    double toDark = 0;          ///< 1/s, bright to dark; 0: no blinking
    double toBright = 0;        ///< 1/s, dark to bright
    double step = 10e-6;        ///< s, time step of the walk
    double lifetime = 2.5;      ///< ns, of the dtime values
    uint64_t seed = 20240601;

    double TauD() const { return w0 * w0 / (4 * D) * 1e3; }  ///< ms
    double Volume() const;                                   ///< µm^3 (fL)
};

/// A point measurement of about \p photons photons (40 MHz sync, 4 ps bins).
GeneratedScan SimulateDiffusion(const DiffusionPlan &plan, uint64_t photons);

/// A Poisson number of mean \p mean from the uniform \p u in [0, 1) (inverse distribution).
int PoissonFrom(double mean, double u);

} // namespace synth
