#pragma once
/*!
 * \brief dtime values of photons from a pulsed excitation: an instrument
 * response (a Gaussian) followed by a mixture of exponential decays, the
 * tails of earlier pulses wrapping into the period, plus an even
 * background. Deterministic for a given seed.
 */
#include <cstdint>
#include <random>
#include <vector>

namespace synth {

struct DecayPlan {
    double period = 25;         ///< ns, the sync period
    double resolution = 0.008;  ///< ns per dtime step
    double irfCentre = 2;       ///< ns
    double irfWidth = 0.1;      ///< ns, standard deviation; 0: a sharp pulse
    /// Lifetimes (ns; 0: the response alone) and their photon fractions (summing to 1).
    std::vector<double> tau = {2.5};
    std::vector<double> fraction = {1};
    double backgroundFraction = 0;  ///< photons spread evenly over the period
};

class DecaySampler {
public:
    DecaySampler(DecayPlan plan, uint32_t seed) : plan_(std::move(plan)), random_(seed) {}
    /// The dtime of one photon (its delay modulo the period, in resolution steps).
    uint32_t Next();
    /// The delay in ns, before it becomes a dtime.
    double NextDelay();

private:
    DecayPlan plan_;
    std::mt19937_64 random_;
};

} // namespace synth
