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
    const double z0 = plan.kappa * plan.w0;
    // Walls far enough that a molecule's periodic image does not come back
    // into the focus within the lags a fit looks at (tens of diffusion times).
    const double halfX = 5 * plan.w0, halfZ = 2 * z0;
    const double concentration = plan.molecules / plan.Volume();
    const uint64_t stepSyncs = std::max<uint64_t>(1, static_cast<uint64_t>(plan.step * 1e9 / kSyncNs));
    const double step = static_cast<double>(stepSyncs) * kSyncNs * 1e-9;
    const int molecules = static_cast<int>(std::lround(concentration * (2 * halfX) * (2 * halfX) * (2 * halfZ)));
    const bool blinking = plan.toDark > 0 && plan.toBright > 0;
    // Two-state blinking: after a time t in the walk a molecule is dark with
    // probability T + (dark at the start - T) exp(-(toDark + toBright) t).
    const double darkFraction = blinking ? plan.toDark / (plan.toDark + plan.toBright) : 0;
    const double relaxation = (plan.toDark + plan.toBright) * step;  // per step
    // Photons come from inside 2 (x^2 + y^2) / w0^2 + 2 z^2 / z0^2 <= 12 only
    // (below 1e-5 of the peak outside): laterally within sqrt 6 w0.
    constexpr double kLastExponent = 12;
    const double reach = std::sqrt(kLastExponent / 2) * plan.w0;
    const double sigma = std::sqrt(2 * plan.D * step);

    Random rng(plan.seed);
    std::vector<double> x(molecules), y(molecules), z(molecules);
    std::vector<char> dark(molecules, 0);
    // A molecule far outside the focus takes its steps in one go when it
    // wakes: the sum of k steps is one step of k times the variance. It
    // sleeps only as long as 4 sigma of that walk cannot bring it within reach.
    std::vector<uint64_t> last(molecules, 0), wake(molecules, 0);
    for (int m = 0; m < molecules; ++m) {
        x[m] = (rng.Uniform() * 2 - 1) * halfX;
        y[m] = (rng.Uniform() * 2 - 1) * halfX;
        z[m] = (rng.Uniform() * 2 - 1) * halfZ;
        if (blinking)
            dark[m] = rng.Uniform() < darkFraction;
    }
    const auto wrap = [](double v, double half) {
        while (v > half)
            v -= 2 * half;
        while (v < -half)
            v += 2 * half;
        return v;
    };
    std::vector<PointPhoton> photons;
    photons.reserve(records + 100);
    const auto addPhoton = [&](uint64_t start, uint32_t channel) {
        const uint64_t sync = start + static_cast<uint64_t>(rng.Uniform() * static_cast<double>(stepSyncs));
        const double u1 = rng.Uniform();
        const double u2 = rng.Uniform();
        photons.push_back({sync, channel, DecayDtime(plan.lifetime, u2, u1)});
    };
    const auto channelOf = [&] { return plan.channels == 2 && rng.Uniform() >= 0.5 ? 2u : 1u; };
    const double expected = plan.brightness * step;
    for (uint64_t s = 1; photons.size() < records; ++s) {
        const uint64_t start = 1000 + (s - 1) * stepSyncs;
        for (int m = 0; m < molecules; ++m) {
            if (s < wake[m])
                continue;
            const double elapsed = static_cast<double>(s - last[m]);
            const double spread = sigma * std::sqrt(elapsed);
            last[m] = s;
            if (blinking)
                dark[m] = rng.Uniform() < darkFraction + ((dark[m] ? 1 : 0) - darkFraction) * std::exp(-relaxation * elapsed);
            x[m] = wrap(x[m] + spread * rng.Normal(), halfX);
            y[m] = wrap(y[m] + spread * rng.Normal(), halfX);
            z[m] = wrap(z[m] + spread * rng.Normal(), halfZ);
            const double lateral = std::sqrt(x[m] * x[m] + y[m] * y[m]) - reach;
            if (lateral > 0) {
                const double steps = std::floor(lateral * lateral / (16 * sigma * sigma));
                wake[m] = s + static_cast<uint64_t>(std::max(1.0, steps));
                continue;
            }
            wake[m] = s + 1;
            const double exponent = 2 * (x[m] * x[m] + y[m] * y[m]) / (plan.w0 * plan.w0) + 2 * z[m] * z[m] / (z0 * z0);
            if (exponent > kLastExponent || dark[m])
                continue;
            for (int n = PoissonFrom(expected * std::exp(-exponent), rng.Uniform()); n > 0; --n)
                addPhoton(start, channelOf());
        }
        for (uint32_t channel = 1; channel <= static_cast<uint32_t>(plan.channels); ++channel)
            for (int n = PoissonFrom(plan.background * step, rng.Uniform()); n > 0; --n)
                addPhoton(start, channel);
    }
    // Photons of one sync period in the order of their delays, as the
    // electronics would deliver them: macro times ascend in every channel.
    std::sort(photons.begin(), photons.end(), [](const PointPhoton &a, const PointPhoton &b) {
        return a.sync != b.sync ? a.sync < b.sync : a.dtime < b.dtime;
    });
    return MakePointMeasurement(std::move(photons));
}

} // namespace synth
