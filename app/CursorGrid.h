#pragma once
#include <algorithm>
#include <cmath>

/// \p seconds on the thousandths the cursor boxes show: rounded to the
/// nearest unless that moves it inwards (down for an end, \p direction +1,
/// up for a start, -1), then one thousandth further out. So cursors set to the
/// span of the data still hold its first and last photon.
inline double OutwardThousandth(double seconds, int direction)
{
    double rounded = std::round(seconds * 1000) / 1000;
    if (direction > 0 && rounded < seconds)
        rounded += 0.001;
    if (direction < 0 && rounded > seconds)
        rounded = std::max(0.0, rounded - 0.001);
    return rounded;
}
