#include "fcs/SegmentStatistics.h"

#include <algorithm>
#include <cmath>

namespace fcs {

std::vector<double> SegmentSpread(const std::vector<std::vector<double>> &curves,
                                  const std::vector<std::size_t> &reached, std::size_t bins)
{
    std::vector<double> sigma(bins, 0);
    const std::size_t m = curves.size();
    if (m < 2)
        return sigma;
    std::size_t common = bins;
    for (std::size_t s = 0; s < m; ++s)
        common = std::min({common, reached[s], curves[s].size()});
    const double count = static_cast<double>(m);
    for (std::size_t k = 0; k < common; ++k) {
        double mean = 0;
        for (const auto &c : curves)
            mean += c[k];
        mean /= count;
        double squares = 0;
        for (const auto &c : curves)
            squares += (c[k] - mean) * (c[k] - mean);
        sigma[k] = std::sqrt(squares / (count - 1)) / std::sqrt(count);
    }
    return sigma;
}

std::vector<bool> KeepSegments(const std::vector<double> &rates, double factor)
{
    std::vector<bool> keep(rates.size(), true);
    if (!(factor > 1) || rates.empty())
        return keep;
    std::vector<double> sorted = rates;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    for (std::size_t s = 0; s < n; ++s)
        keep[s] = rates[s] <= median * factor && rates[s] >= median / factor;
    return keep;
}

} // namespace fcs
