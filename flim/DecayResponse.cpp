// Plain C++, built into flim and into the fit module: the response a fit
// convolves with needs no solver, and the lifetime map's fit starts from it.
#include "flim/DecayFit.h"

#include "flim/DecayModel.h"

namespace flim {

std::vector<double> FittedResponse(const Decay &shape, const DecayFitResult &whole, const std::vector<double> &irf)
{
    const std::size_t n = shape.counts.size();
    std::vector<double> h(n, 0.0);
    if (irf.empty()) {
        GaussianResponse(whole.shift, whole.irfWidth, n, shape.binWidth, shape.period, h.data());
    } else {
        double sum = 0;
        for (double v : irf)
            sum += v;
        std::vector<double> normalised(irf.size());
        for (std::size_t k = 0; k < irf.size(); ++k)
            normalised[k] = sum > 0 ? irf[k] / sum : 0;
        if (normalised.size() == n)
            ShiftedResponse(normalised, whole.shift, shape.binWidth, h.data(), [](double v) { return v; });
    }
    return h;
}

} // namespace flim
