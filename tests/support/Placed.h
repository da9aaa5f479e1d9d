#pragma once
/// The dtime values of a channel's delay counts that hold placed photons, with their counts.
#include <cstdint>
#include <map>
#include <vector>

inline std::map<uint32_t, uint32_t> Placed(const std::vector<uint32_t> &delayCounts)
{
    std::map<uint32_t, uint32_t> placed;
    for (uint32_t k = 0; k < delayCounts.size(); ++k)
        if (delayCounts[k] != 0)
            placed[k] = delayCounts[k];
    return placed;
}
