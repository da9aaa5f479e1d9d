#include "tools/synth/DiffusionSimulator.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace synth {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kSyncNs = 25.0;  // 40 MHz
constexpr double kBinNs = 0.004;  // 4 ps
constexpr uint32_t kMaxDtime = 4095;

/// dtime of a single-exponential decay after a 0.1 ns wide response at 1 ns.
uint32_t DecayDtime(double lifetime, double u1, double u2)
{
    const double irf = 1.0 + 0.1 * std::sqrt(-2 * std::log(u2)) * std::cos(2 * kPi * u1);
    const double delay = std::fmod(irf - lifetime * std::log(u1 * 0.999 + 0.0005), kSyncNs);
    return std::min<uint32_t>(kMaxDtime, static_cast<uint32_t>(std::max(0.0, delay) / kBinNs));
}

/// xoshiro256** (Blackman and Vigna): fast, and the same numbers on every platform.
class Random {
public:
    explicit Random(uint64_t seed)
    {
        for (uint64_t &word : state) {
            seed += 0x9E3779B97F4A7C15ULL;  // splitmix64 fills the state
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            word = z ^ (z >> 31);
        }
    }
    /// Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    /// Standard normal (Marsaglia's polar method, the second value kept for the next call).
    double Normal()
    {
        if (hasSpare) {
            hasSpare = false;
            return spare;
        }
        double u, v, r;
        do {
            u = 2 * Uniform() - 1;
            v = 2 * Uniform() - 1;
            r = u * u + v * v;
        } while (r >= 1 || r == 0);
        const double f = std::sqrt(-2 * std::log(r) / r);
        spare = v * f;
        hasSpare = true;
        return u * f;
    }

private:
    static uint64_t Rotate(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t Next()
    {
        const uint64_t result = Rotate(state[1] * 5, 7) * 9;
        const uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = Rotate(state[3], 45);
        return result;
    }
    uint64_t state[4];
    double spare = 0;
    bool hasSpare = false;
};

// Photons come from inside 2 (x^2 + y^2) / w0^2 + 2 z^2 / z0^2 <= 12 only
// (below 1e-5 of the peak outside).
constexpr double kLastExponent = 12;

/// The box, the step and the rates of the walk, from the plan.
struct WalkPlan {
    double z0 = 0;
    double halfX = 0, halfZ = 0;  ///< the walls at +-halfX laterally, +-halfZ along the axis
    uint64_t stepSyncs = 0;       ///< sync periods per step
    double step = 0;              ///< s
    int molecules = 0;            ///< in the box
    bool blinking = false;
    double darkFraction = 0;      ///< T
    double relaxation = 0;        ///< per step
    double reach = 0;             ///< the lateral distance photons come from within
    double sigma = 0;             ///< of one step along each axis
    double expected = 0;          ///< photons per step of a bright molecule at the centre
};

WalkPlan PlanWalk(const DiffusionPlan &plan)
{
    WalkPlan walk;
    walk.z0 = plan.kappa * plan.w0;
    // Walls far enough that a molecule's periodic image does not come back
    // into the focus within the lags a fit looks at (tens of diffusion times).
    walk.halfX = 5 * plan.w0;
    walk.halfZ = 2 * walk.z0;
    const double concentration = plan.molecules / plan.Volume();
    walk.stepSyncs = std::max<uint64_t>(1, static_cast<uint64_t>(plan.step * 1e9 / kSyncNs));
    walk.step = static_cast<double>(walk.stepSyncs) * kSyncNs * 1e-9;
    walk.molecules = static_cast<int>(
        std::lround(concentration * (2 * walk.halfX) * (2 * walk.halfX) * (2 * walk.halfZ)));
    walk.blinking = plan.toDark > 0 && plan.toBright > 0;
    // Two-state blinking: after a time t in the walk a molecule is dark with
    // probability T + (dark at the start - T) exp(-(toDark + toBright) t).
    walk.darkFraction = walk.blinking ? plan.toDark / (plan.toDark + plan.toBright) : 0;
    walk.relaxation = (plan.toDark + plan.toBright) * walk.step;
    // Laterally within sqrt 6 w0.
    walk.reach = std::sqrt(kLastExponent / 2) * plan.w0;
    walk.sigma = std::sqrt(2 * plan.D * walk.step);
    walk.expected = plan.brightness * walk.step;
    return walk;
}

/// Where every molecule is, whether it is dark, and the steps it last moved
/// and next moves at. A molecule far outside the focus takes its steps in
/// one go when it wakes: the sum of k steps is one step of k times the
/// variance. It sleeps only as long as 4 sigma of that walk cannot bring it
/// within reach.
struct Molecules {
    std::vector<double> x, y, z;
    std::vector<char> dark;
    std::vector<uint64_t> last, wake;
};

/// The molecules spread evenly over the box, each dark with probability T.
Molecules PlaceMolecules(const WalkPlan &walk, Random &rng)
{
    const int count = walk.molecules;
    Molecules mol{std::vector<double>(count), std::vector<double>(count), std::vector<double>(count),
                  std::vector<char>(count, 0), std::vector<uint64_t>(count, 0), std::vector<uint64_t>(count, 0)};
    for (int m = 0; m < count; ++m) {
        mol.x[m] = (rng.Uniform() * 2 - 1) * walk.halfX;
        mol.y[m] = (rng.Uniform() * 2 - 1) * walk.halfX;
        mol.z[m] = (rng.Uniform() * 2 - 1) * walk.halfZ;
        if (walk.blinking)
            mol.dark[m] = rng.Uniform() < walk.darkFraction;
    }
    return mol;
}

/// \p v brought back into [-half, half] through the periodic walls.
double Wrap(double v, double half)
{
    while (v > half)
        v -= 2 * half;
    while (v < -half)
        v += 2 * half;
    return v;
}

/// Walks molecule \p m from the step it last moved at to step \p s, in one
/// draw, and lets it blink over that time. False when that leaves it too far
/// out to give photons: it then sleeps until 4 sigma of its walk could
/// bring it within reach.
bool WalkTo(Molecules &mol, int m, uint64_t s, const WalkPlan &walk, Random &rng)
{
    const double elapsed = static_cast<double>(s - mol.last[m]);
    const double spread = walk.sigma * std::sqrt(elapsed);
    mol.last[m] = s;
    if (walk.blinking)
        mol.dark[m] = rng.Uniform()
                      < walk.darkFraction + ((mol.dark[m] ? 1 : 0) - walk.darkFraction) * std::exp(-walk.relaxation * elapsed);
    mol.x[m] = Wrap(mol.x[m] + spread * rng.Normal(), walk.halfX);
    mol.y[m] = Wrap(mol.y[m] + spread * rng.Normal(), walk.halfX);
    mol.z[m] = Wrap(mol.z[m] + spread * rng.Normal(), walk.halfZ);
    const double lateral = std::sqrt(mol.x[m] * mol.x[m] + mol.y[m] * mol.y[m]) - walk.reach;
    if (lateral > 0) {
        const double steps = std::floor(lateral * lateral / (16 * walk.sigma * walk.sigma));
        mol.wake[m] = s + static_cast<uint64_t>(std::max(1.0, steps));
        return false;
    }
    mol.wake[m] = s + 1;
    return true;
}

/// The photons of the measurement as they are made: each at a random sync
/// within its step, with a delay from the decay.
struct Emitter {
    const DiffusionPlan &plan;
    uint64_t stepSyncs;
    Random &rng;
    std::vector<PointPhoton> &photons;

    void Add(uint64_t start, uint32_t channel)
    {
        const uint64_t sync = start + static_cast<uint64_t>(rng.Uniform() * static_cast<double>(stepSyncs));
        const double u1 = rng.Uniform();
        const double u2 = rng.Uniform();
        photons.push_back({sync, channel, DecayDtime(plan.lifetime, u2, u1)});
    }
    /// A molecule's photon goes to either channel of two with equal chance.
    uint32_t Channel() { return plan.channels == 2 && rng.Uniform() >= 0.5 ? 2u : 1u; }
};

/// The photons molecule \p m gives in step \p s (starting at sync \p start):
/// a Poisson number of mean the focus profile at its place, none while dark.
void EmitFromMolecule(Molecules &mol, int m, uint64_t s, uint64_t start, const WalkPlan &walk, Emitter &emit)
{
    const DiffusionPlan &plan = emit.plan;
    if (s < mol.wake[m] || !WalkTo(mol, m, s, walk, emit.rng))
        return;
    const double exponent = 2 * (mol.x[m] * mol.x[m] + mol.y[m] * mol.y[m]) / (plan.w0 * plan.w0)
                            + 2 * mol.z[m] * mol.z[m] / (walk.z0 * walk.z0);
    if (exponent > kLastExponent || mol.dark[m])
        return;
    for (int n = PoissonFrom(walk.expected * std::exp(-exponent), emit.rng.Uniform()); n > 0; --n)
        emit.Add(start, emit.Channel());
}

/// The background photons of one step, a Poisson number per channel.
void EmitBackground(uint64_t start, const WalkPlan &walk, Emitter &emit)
{
    for (uint32_t channel = 1; channel <= static_cast<uint32_t>(emit.plan.channels); ++channel)
        for (int n = PoissonFrom(emit.plan.background * walk.step, emit.rng.Uniform()); n > 0; --n)
            emit.Add(start, channel);
}

} // namespace

/// A Poisson number of mean \p mean from the uniform \p u (inverse distribution).
int PoissonFrom(double mean, double u)
{
    double p = std::exp(-mean);
    double cumulative = p;
    int n = 0;
    while (u > cumulative && n < 1000) {
        ++n;
        p *= mean / n;
        cumulative += p;
    }
    return n;
}

double DiffusionPlan::Volume() const
{
    return std::pow(kPi, 1.5) * w0 * w0 * (kappa * w0);
}

GeneratedScan SimulateDiffusion(const DiffusionPlan &plan, uint64_t records)
{
    const WalkPlan walk = PlanWalk(plan);
    Random rng(plan.seed);
    Molecules molecules = PlaceMolecules(walk, rng);
    std::vector<PointPhoton> photons;
    photons.reserve(records + 100);
    Emitter emit{plan, walk.stepSyncs, rng, photons};
    for (uint64_t s = 1; photons.size() < records; ++s) {
        const uint64_t start = 1000 + (s - 1) * walk.stepSyncs;
        for (int m = 0; m < walk.molecules; ++m)
            EmitFromMolecule(molecules, m, s, start, walk, emit);
        EmitBackground(start, walk, emit);
    }
    // Photons of one sync period in the order of their delays, as the
    // electronics would deliver them: macro times ascend in every channel.
    std::sort(photons.begin(), photons.end(), [](const PointPhoton &a, const PointPhoton &b) {
        return a.sync != b.sync ? a.sync < b.sync : a.dtime < b.dtime;
    });
    return MakePointMeasurement(std::move(photons));
}

} // namespace synth
