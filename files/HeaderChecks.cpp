#include "files/HeaderChecks.h"

#include "host/FotonelServices.h"

#include <QObject>
#include <cmath>

bool HeaderChecks::TimingUsable(FotonelServices &mainWindow, double syncPeriod, double resolution,
                                const QString &syncField, double syncRate, const QString &resolutionField)
{
    if (resolution < kFinestResolution) {
        mainWindow.AddMessage(MessageError, QObject::tr("Resolution %1 ns (%2) is finer than %3 ns, the finest lifetime "
                                                        "bin this program can set")
                                                .arg(resolution)
                                                .arg(resolutionField)
                                                .arg(kFinestResolution));
        return false;
    }
    const double bins = std::ceil(syncPeriod / resolution);
    if (!(bins <= kMaxLifetimeBins)) {
        mainWindow.AddMessage(MessageError, QObject::tr("Sync rate %1 Hz (%2) gives a sync period of %3 ns: %4 lifetime "
                                                        "bins of the resolution %5 ns, more than %6")
                                                .arg(syncRate)
                                                .arg(syncField)
                                                .arg(syncPeriod)
                                                .arg(bins, 0, 'f', 0)
                                                .arg(resolution)
                                                .arg(kMaxLifetimeBins, 0, 'f', 0));
        return false;
    }
    return true;
}
