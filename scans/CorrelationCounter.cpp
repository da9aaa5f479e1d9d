#include "scans/CorrelationCounter.h"

#include "scans/VectorForms.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {
// The pair pass places a lag through a table of cells no wider than its
// narrowest bin; this many cells (256 KiB of bin numbers) is plenty for the
// short lags it is meant for.
constexpr std::size_t kMaxCells = 65536;
// Photons of X between two keep-alive calls of the pair pass and the edge walks.
constexpr std::size_t kKeepAliveStride = std::size_t(1) << 18;
// Photons of X whose pairs are counted to choose where the pair pass ends.
constexpr std::size_t kPairSamples = 2048;
// Measured time of placing one pair against that of one photon of X in an
// edge index (a run of tests on Y, four at a time with AVX2).
constexpr double kPairCost = 1.0;
constexpr double kEdgeStepCost = 1.0;
constexpr double kVectorEdgeStepCost = 0.7;
} // namespace

bool CorrelationCounter::VectorWalkAvailable()
{
    // The edge walk has a vector form for processors with AVX2.
    return VectorLevelOfProcessor() >= 1;
}

CorrelationCounter::CorrelationCounter(std::vector<double> edges, std::function<void(std::size_t)> binDone,
                                       std::function<void()> keepAlive)
    : edges(std::move(edges)), binDone(std::move(binDone)), keepAlive(std::move(keepAlive))
{
}

bool CorrelationCounter::EdgesUsable(const std::vector<double> &edges)
{
    if (edges.size() < 2)
        return false;
    for (std::size_t m = 0; m < edges.size(); ++m) {
        if (!std::isfinite(edges[m]))
            return false;
        if (m > 0 && !(edges[m] > edges[m - 1]))
            return false;
    }
    return true;
}

std::size_t CorrelationCounter::ChoosePairBins(const double *X, std::size_t nx, const double *Y, std::size_t ny) const
{
    const std::size_t bins = edges.size() - 1;
    if (forcedPairBins >= 0)
        return std::min(bins, static_cast<std::size_t>(forcedPairBins));

    // Pairs per bin, estimated from a sample of the photons of X spread over
    // the whole measurement: bursts of photons, where pairs crowd, are
    // sampled as often as they hold photons. Each count is a difference of
    // two edge indices, found by galloping on from the one before.
    const std::size_t samples = std::min(nx, kPairSamples);
    std::vector<double> pairs(bins, 0);
    for (std::size_t s = 0; s < samples; ++s) {
        const double x = X[static_cast<std::size_t>(static_cast<double>(s) * static_cast<double>(nx) / samples)];
        std::size_t below = 0;
        for (std::size_t m = 0; m <= bins; ++m) {
            const double edge = edges[m];
            const auto inside = [&](std::size_t j) { return Y[j] - x <= edge; };
            std::size_t step = 1;
            while (below + step <= ny && inside(below + step - 1))
                step *= 2;
            // The index lies in [below + step / 2, below + step], within Y.
            std::size_t lo = below + step / 2, hi = std::min(below + step, ny);
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo) / 2;
                if (inside(mid))
                    lo = mid + 1;
                else
                    hi = mid;
            }
            if (m > 0)
                pairs[m - 1] += static_cast<double>(lo - below);
            below = lo;
        }
    }

    // A bin goes to the pair pass while placing its pairs costs less than
    // walking one more edge index over X (a few tests per photon).
    const double scale = static_cast<double>(nx) / static_cast<double>(samples);
    const double edgeCost = (vectorWalk ? kVectorEdgeStepCost : kEdgeStepCost) * static_cast<double>(nx);
    double narrowest = edges[1] - edges[0];
    std::size_t k = 0;
    for (; k < bins; ++k) {
        if (kPairCost * pairs[k] * scale > edgeCost)
            break;
        narrowest = std::min(narrowest, edges[k + 1] - edges[k]);
        if ((edges[k + 1] - edges[0]) / narrowest + 2 > static_cast<double>(kMaxCells))
            break;
    }
    return k;
}

std::size_t CorrelationCounter::Count(const double *X, std::size_t nx, const double *Y, std::size_t ny,
                                      std::vector<uint64_t> &counts)
{
    const std::size_t bins = edges.size() - 1;
    counts.assign(bins, 0);
    pairBins = 0;
    if (nx == 0 || ny == 0 || bins == 0)
        return 0;

    // seeing[k]: the photons of X that see the whole of bin k, x + E[k+1] <= T;
    // X ascends, so they are its first seeing[k] photons, fewer for later bins.
    const double T = std::max(X[nx - 1], Y[ny - 1]);
    std::vector<std::size_t> seeing(bins);
    for (std::size_t k = 0; k < bins; ++k) {
        const double hi = edges[k + 1];
        seeing[k] = static_cast<std::size_t>(std::partition_point(X, X + nx, [&](double x) { return !(x + hi > T); }) - X);
    }

    pairBins = ChoosePairBins(X, nx, Y, ny);
    if (pairBins > 0) {
        CountPairs(pairBins, X, Y, ny, seeing, counts);
        for (std::size_t k = 0; k < pairBins; ++k) {
            if (counts[k] == 0 && !throughEmpty) {
                std::fill(counts.begin() + static_cast<std::ptrdiff_t>(k), counts.end(), 0);
                return k;
            }
            if (binDone)
                binDone(k);
        }
    }

    // Edge indices for the rest, a group of edges at a time. Edge m is the
    // upper edge of bin m - 1 and the lower edge of bin m: its sum is needed
    // over the photons that see each of the two bins.
    const std::size_t firstEdge = pairBins;
    if (firstEdge == bins)
        return bins;
    if (seeing[firstEdge] == 0)
        return firstEdge;  // the lag reaches beyond the measurement
    uint64_t below[kGroup], above[kGroup];
    double groupEdges[kGroup];
    std::size_t limits[kGroup], innerLimits[kGroup];
    uint64_t lowerSum = 0;  // sum at E[k] over the first seeing[k] photons
    for (std::size_t m = firstEdge; m <= bins;) {
        std::size_t g = 0;
        for (; g < kGroup && m + g <= bins; ++g) {
            const std::size_t edge = m + g;
            if (edge > firstEdge && seeing[edge - 1] == 0)
                break;  // bin edge - 1 lies beyond the measurement
            groupEdges[g] = edges[edge];
            limits[g] = edge > firstEdge ? seeing[edge - 1] : seeing[edge];
            innerLimits[g] = edge < bins ? seeing[edge] : limits[g];
        }
        if (g > 0)
            SumBelowEdges(g, groupEdges, limits, innerLimits, X, Y, ny, above, below);
        for (std::size_t e = 0; e < g; ++e) {
            const std::size_t edge = m + e;
            if (edge > firstEdge) {
                const std::size_t k = edge - 1;
                counts[k] = above[e] - lowerSum;
                if (counts[k] == 0 && !throughEmpty)
                    return k;
                if (binDone)
                    binDone(k);
            }
            lowerSum = below[e];
        }
        m += g;
        if (m <= bins && (g < kGroup))
            return m - 1;  // edge m was left out: bin m - 1 has no photon that sees it
    }
    return bins;
}

void CorrelationCounter::CountPairs(std::size_t bins, const double *X, const double *Y, std::size_t ny,
                                    const std::vector<std::size_t> &seeing, std::vector<uint64_t> &counts)
{
    const double *E = edges.data();
    const double first = E[0];
    double narrowest = E[1] - E[0];
    for (std::size_t k = 1; k < bins; ++k)
        narrowest = std::min(narrowest, E[k + 1] - E[k]);

    // cell c covers lags from about first + c * narrowest; it holds the bin
    // that such a lag starts in. A cell meets at most two bins, and the
    // exact comparison with the edges below settles which.
    const double cellsWanted = std::ceil((E[bins] - first) / narrowest) + 1;
    const std::size_t cells = static_cast<std::size_t>(std::min(cellsWanted, static_cast<double>(kMaxCells)));
    const double perCell = 1 / narrowest;
    std::vector<uint32_t> table(cells);
    std::size_t k = 0;
    for (std::size_t c = 0; c < cells; ++c) {
        const double lag = first + static_cast<double>(c) * narrowest;
        while (k + 1 < bins && E[k + 1] <= lag)
            ++k;
        table[c] = static_cast<uint32_t>(k);
    }

    // Neighbouring pairs of a wide bin land in the same bin; counting them
    // into four interleaved copies keeps one increment from waiting for the last.
    constexpr std::size_t kCopies = 4;
    std::vector<uint64_t> pairs(bins * kCopies, 0);
    std::size_t start = 0;    // first photon of Y beyond x + E[0]
    std::size_t seen = bins;  // the bins that photon i sees: i < seeing[k] for k < seen
    const std::size_t last = seeing[0];
    for (std::size_t chunk = 0; chunk < last; chunk += kKeepAliveStride) {
        if (chunk > 0 && keepAlive)
            keepAlive();
        const std::size_t chunkEnd = std::min(last, chunk + kKeepAliveStride);
        for (std::size_t i = chunk; i < chunkEnd; ++i) {
            const double x = X[i];
            while (start < ny && Y[start] - x <= first)
                ++start;
            while (i >= seeing[seen - 1])
                --seen;  // stops at 1 at the latest: i < seeing[0]
            const double top = E[seen];
            for (std::size_t j = start; j < ny; ++j) {
                const double d = Y[j] - x;
                if (d > top)
                    break;
                // Times of a damaged file need not ascend: a pair at or
                // before the first edge belongs to no bin.
                if (!(d > first))
                    continue;
                std::size_t c = static_cast<std::size_t>((d - first) * perCell);
                if (c >= cells)
                    c = cells - 1;
                std::size_t b = table[c];
                // first < d <= top keeps b inside 0 .. seen - 1.
                while (d > E[b + 1])
                    ++b;
                while (d <= E[b])
                    --b;
                ++pairs[b * kCopies + (j & (kCopies - 1))];
            }
        }
    }
    for (std::size_t b = 0; b < bins; ++b)
        counts[b] = pairs[b * kCopies] + pairs[b * kCopies + 1] + pairs[b * kCopies + 2] + pairs[b * kCopies + 3];
}

namespace {
/*!
 * \brief Sums of the edge indices over X[0 .. count), every edge of the group
 * together. Y ascends, so y - x <= edge holds for a run of photons from the
 * index on: the next Steps tests are independent loads added up, which keeps
 * the chains of the edges short and the loop exit predictable. Needs Y to
 * hold at least Steps photons from every index past x + edge (the caller
 * stops before the last photons of Y).
 */
template <int Steps>
void WalkTogether(std::size_t group, const double *E, const double *X, std::size_t count, const double *Y,
                  std::size_t *j, uint64_t *total)
{
    for (std::size_t i = 0; i < count; ++i) {
        const double x = X[i];
        for (std::size_t e = 0; e < group; ++e) {
            const double edge = E[e];
            std::size_t k = j[e];
            std::size_t run = 0;
            for (int s = 0; s < Steps; ++s)
                run += static_cast<std::size_t>(Y[k + s] - x <= edge);
            k += run;
            if (run == Steps) {
                while (Y[k] - x <= edge)
                    ++k;
            }
            j[e] = k;
            total[e] += k;
        }
    }
}
#ifdef FOTONEL_VECTOR_FORMS
/// WalkTogether with four tests in one vector compare, for processors with AVX2.
template <int Steps>
FOTONEL_AVX2_TARGET void WalkTogetherAvx2(std::size_t group, const double *E, const double *X, std::size_t count,
                                          const double *Y, std::size_t *j, uint64_t *total)
{
    for (std::size_t i = 0; i < count; ++i) {
        const __m256d x = _mm256_set1_pd(X[i]);
        for (std::size_t e = 0; e < group; ++e) {
            const __m256d edge = _mm256_set1_pd(E[e]);
            std::size_t k = j[e];
            std::size_t run = 0;
            for (int s = 0; s < Steps; s += 4) {
                const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(Y + k + s), x);
                run += static_cast<std::size_t>(__builtin_popcount(_mm256_movemask_pd(_mm256_cmp_pd(d, edge, _CMP_LE_OQ))));
            }
            k += run;
            if (run == Steps) {
                while (Y[k] - X[i] <= E[e])
                    ++k;
            }
            j[e] = k;
            total[e] += k;
        }
    }
}
#endif
} // namespace

void CorrelationCounter::SumBelowEdges(std::size_t group, const double *E, const std::size_t *limits,
                                       const std::size_t *innerLimits, const double *X, const double *Y, std::size_t ny,
                                       uint64_t *sums, uint64_t *innerSums) const
{
    // For edge e and photon x the index is the number of photons y with
    // y - x <= E[e]; it only grows with x. Start each where the first x puts it.
    std::size_t j[kGroup];
    uint64_t total[kGroup];
    std::size_t common = limits[0];  // photons every edge of the group walks
    const double x0 = X[0];
    for (std::size_t e = 0; e < group; ++e) {
        const double edge = E[e];
        j[e] = static_cast<std::size_t>(std::partition_point(Y, Y + ny, [&](double y) { return y - x0 <= edge; }) - Y);
        total[e] = 0;
        sums[e] = innerSums[e] = 0;
        common = std::min({common, limits[e], innerLimits[e]});
    }
    // All edges together, as long as the photon Steps - 1 before the last of
    // Y lies beyond x + the largest edge: then no test reads past the end.
    const double ratio = static_cast<double>(ny) / static_cast<double>(std::max<std::size_t>(limits[0], 1));
    const std::size_t steps = ratio < 1.5 ? 4 : 8;
    if (ny >= steps) {
        const double guard = Y[ny - steps];
        const double widest = E[group - 1];
        common = static_cast<std::size_t>(
            std::partition_point(X, X + common, [&](double x) { return guard - x > widest; }) - X);
        using Walk = void (*)(std::size_t, const double *, const double *, std::size_t, const double *, std::size_t *,
                              uint64_t *);
        Walk walk = steps == 4 ? WalkTogether<4> : WalkTogether<8>;
#ifdef FOTONEL_VECTOR_FORMS
        if (vectorWalk)
            walk = steps == 4 ? WalkTogetherAvx2<4> : WalkTogetherAvx2<8>;
#endif
        for (std::size_t start = 0; start < common; start += kKeepAliveStride) {
            if (start > 0 && keepAlive)
                keepAlive();
            walk(group, E, X + start, std::min(kKeepAliveStride, common - start), Y, j, total);
        }
    } else {
        common = 0;
    }
    // Each edge on its own for the rest of its photons, with the bound check.
    for (std::size_t e = 0; e < group; ++e) {
        const double edge = E[e];
        std::size_t k = j[e];
        uint64_t t = total[e];
        const std::size_t inner = std::min(innerLimits[e], limits[e]);
        std::size_t i = common;
        for (; i < inner; ++i) {
            const double x = X[i];
            while (k < ny && Y[k] - x <= edge)
                ++k;
            t += k;
        }
        innerSums[e] = t;
        for (; i < limits[e]; ++i) {
            const double x = X[i];
            while (k < ny && Y[k] - x <= edge)
                ++k;
            t += k;
        }
        sums[e] = t;
    }
}
