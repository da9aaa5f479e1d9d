#pragma once
/*!
 * \brief Checks of header values that no setting of the form can rescue:
 * a file that fails them is refused at open, naming the header field,
 * instead of being opened for every analysis to refuse it.
 */
#include <QString>

class FotonelServices;

namespace HeaderChecks {

/// Finest lifetime bin (ns) the form's bin boxes hold (five decimals): a
/// smaller resolution would give a default bin of 0.
constexpr double kFinestResolution = 0.00001;
/// Most lifetime bins one sync period may hold at the file's resolution;
/// the histograms of every analysis start with bins of one resolution step.
constexpr double kMaxLifetimeBins = 4194304.0;

/*!
 * \brief True when a sync period of \p syncPeriod ns and a resolution of
 * \p resolution ns (both already known to be positive and finite) can be
 * analysed. Otherwise logs an error naming \p resolutionField or
 * \p syncField with its value and returns false.
 */
bool TimingUsable(FotonelServices &mainWindow, double syncPeriod, double resolution, const QString &syncField,
                  double syncRate, const QString &resolutionField);

} // namespace HeaderChecks
