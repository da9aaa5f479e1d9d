// The Phasor and Lifetime tabs of a lifetime analysis.
#include "scans/RSD.h"

#include "host/FotonelServices.h"
#include "scans/Lifetimes.h"

void RSD::CreateLifetimeTabs()
{
    if (!lifetimes || !mainWindow)
        return;
}
