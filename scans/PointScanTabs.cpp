#include "scans/PointScan.h"

#include <QString>

// The result tabs of a point measurement (traces, lifetimes, correlation
// curves) are built here; until their plots exist the builders add nothing.
// The data they show stays in the members: traceTimes and traceCounts,
// lifetimeAxis and lifetimeHistograms, lagEdges, lagAxis and correlations.

void PointScan::CreateTabs()
{
}

void PointScan::CreateCorrelationTab(const QString &)
{
}
