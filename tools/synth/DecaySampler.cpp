#include "tools/synth/DecaySampler.h"

#include <cmath>

namespace synth {

double DecaySampler::NextDelay()
{
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    if (plan_.backgroundFraction > 0 && uniform(random_) < plan_.backgroundFraction)
        return uniform(random_) * plan_.period;
    double pick = uniform(random_);
    std::size_t component = 0;
    while (component + 1 < plan_.tau.size() && pick >= plan_.fraction[component]) {
        pick -= plan_.fraction[component];
        ++component;
    }
    double t = plan_.irfCentre;
    if (plan_.irfWidth > 0)
        t += std::normal_distribution<double>(0.0, plan_.irfWidth)(random_);
    const double tau = plan_.tau.empty() ? 0 : plan_.tau[component];
    if (tau > 0)
        t += std::exponential_distribution<double>(1.0 / tau)(random_);
    t = std::fmod(t, plan_.period);
    return t < 0 ? t + plan_.period : t;
}

uint32_t DecaySampler::Next()
{
    return static_cast<uint32_t>(std::floor(NextDelay() / plan_.resolution));
}

} // namespace synth
