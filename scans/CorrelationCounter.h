#pragma once
/*!
 * \brief Exact photon pair counts of a correlation on a lag grid.
 *
 * For photon times X ("from") and Y ("to"), ascending, in ns, and lag edges
 * E[0] < E[1] < ... < E[n], lag bin k counts the pairs (x, y) with
 *
 *     E[k] < y - x <= E[k+1]      (the difference computed in double)
 *
 * over the photons x that see the whole bin, x + E[k+1] <= T, where T is the
 * last photon of either channel. This is exactly what one pass per bin with
 * two monotone indices into Y counts; the counter gets the same numbers
 * faster by splitting the grid in two:
 *
 * - short lags (narrow bins, few pairs per photon): every pair closer than
 *   the last short edge is visited once and placed into its bin through a
 *   table over the lag, then checked against the two edges themselves;
 * - long lags (wide bins, many pairs per photon): one monotone index into Y
 *   per edge, counting the photons of Y up to x + edge for every x; a bin is
 *   the difference of the sums at its two edges.
 *
 * Where the split lies follows from the pairs of a sample of photons: a bin
 * goes to the pair pass while its pairs cost less than an edge index.
 */
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class CorrelationCounter {
public:
    /*!
     * \brief \p edges must ascend strictly and be finite (see EdgesUsable).
     *
     * \p binDone is called once per finished bin with pairs, in ascending
     * order (not for the empty bin that ends the count); \p keepAlive between
     * long stretches of work that finish no bin. Either may be empty.
     */
    CorrelationCounter(std::vector<double> edges, std::function<void(std::size_t bin)> binDone = {},
                       std::function<void()> keepAlive = {});

    /// True when \p edges has at least two values, all finite, strictly ascending.
    static bool EdgesUsable(const std::vector<double> &edges);

    /*!
     * \brief Pair counts per bin into \p counts (edges - 1 entries).
     *
     * Counting stops at the first bin without a pair: that bin and all later
     * ones are 0. Returns the index of that bin, or the number of bins when
     * every bin has pairs. Empty X or Y give 0 everywhere and return 0.
     */
    std::size_t Count(const double *X, std::size_t nx, const double *Y, std::size_t ny, std::vector<uint64_t> &counts);

    /// Bins counted by the pair pass in the last Count (the rest used edge indices).
    std::size_t PairBins() const { return pairBins; }

    /// Counts on past bins without a pair, up to the end of the measurement:
    /// for time-tag (T2) files, whose shortest lags may hold no pair at all
    /// (antibunching). Off by default.
    void CountThroughEmptyBins(bool on) { throughEmpty = on; }

    /// Forces the split: the first \p bins bins by the pair pass (tests and benchmarks).
    void ForcePairBins(std::size_t bins) { forcedPairBins = static_cast<std::ptrdiff_t>(bins); }
    /// True when the edge indices take four tests at a time (AVX2); the
    /// plain walk gives the same counts.
    static bool VectorWalkAvailable();
    /// Walks the edge indices one test at a time even where AVX2 exists (tests).
    void ForcePlainWalk() { vectorWalk = false; }

private:
    std::size_t ChoosePairBins(const double *X, std::size_t nx, const double *Y, std::size_t ny) const;
    void CountPairs(std::size_t bins, const double *X, const double *Y, std::size_t ny,
                    const std::vector<std::size_t> &seeing, std::vector<uint64_t> &counts);
    /// For each of \p group edges E[e]: the sum over i < limits[e] of
    /// #{j : Y[j] - X[i] <= E[e]} into sums[e], and over i < innerLimits[e] into innerSums[e].
    void SumBelowEdges(std::size_t group, const double *E, const std::size_t *limits, const std::size_t *innerLimits,
                       const double *X, const double *Y, std::size_t ny, uint64_t *sums, uint64_t *innerSums) const;

    static constexpr std::size_t kGroup = 16;

    const std::vector<double> edges;  ///< ns, a copy: a few hundred values
    std::function<void(std::size_t)> binDone;
    std::function<void()> keepAlive;
    std::ptrdiff_t forcedPairBins = -1;
    bool throughEmpty = false;
    bool vectorWalk = VectorWalkAvailable();
    std::size_t pairBins = 0;
};
