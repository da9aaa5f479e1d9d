#pragma once
/*!
 * \brief Errors of a correlation curve from the scatter between segments of
 * the measurement: sigma = (standard deviation over the M segments) / sqrt(M).
 */
#include <cstddef>
#include <vector>

namespace fcs {

/*!
 * \brief Per lag bin, the sample standard deviation of the \p curves over
 * sqrt(count). A bin gets 0 unless every curve reached it: \p reached holds,
 * per curve, the number of bins it holds values for (a segment's curve stops
 * where its lags run past the segment). Fewer than two curves give zeros.
 */
std::vector<double> SegmentSpread(const std::vector<std::vector<double>> &curves,
                                  const std::vector<std::size_t> &reached, std::size_t bins);

/*!
 * \brief Which segments to keep: those whose \p rates lie within \p factor
 * of their median (above rate <= median x factor, below rate >= median /
 * factor). A factor of 0 (or not above 1) keeps every segment.
 */
std::vector<bool> KeepSegments(const std::vector<double> &rates, double factor);

} // namespace fcs
