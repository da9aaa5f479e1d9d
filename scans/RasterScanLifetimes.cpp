// The lifetime pass of image and line scans: one walk over the kept lines.
#include "scans/Lifetimes.h"
#include "scans/RasterScan.h"

bool RasterScan::AccumulateLifetimes(LifetimeSums &sums)
{
    // A line scan's phasors are per position along the line, summed over its lines.
    const bool alongLine = ProfilesAsPlots();
    const uint32_t W = imageWidth, H = alongLine ? 1 : imageHeight;
    sums.width = W;
    sums.height = H;
    const std::size_t pixels = static_cast<std::size_t>(W) * H;
    sums.phasors.assign(numberOfChannels, {});
    sums.decays.assign(numberOfChannels, {});

    // The channels, gates and cursors of the reconstruction that made the stack.
    PassLimits limits;
    mainWindow->GetGating(limits.gateMin, limits.gateMax);
    mainWindow->GetCursors(limits.cursorMin, limits.cursorMax, kNsPerS);
    std::vector<uint8_t> gates(static_cast<std::size_t>(numberOfChannels) * delayBins, 0);
    std::vector<bool> used(kChannelSlots, false);
    for (uint32_t c = 0; c < numberOfChannels && c + 1 < kChannelSlots; ++c) {
        if (photonCounts[c] == 0 || images[c].empty() || c >= limits.gateMin.size() || c >= limits.cursorMin.size())
            continue;
        used[c + 1] = true;
        FillGateTable(gates.data() + static_cast<std::size_t>(c) * delayBins, delayBins, file->Resolution(),
                      limits.gateMin[c], limits.gateMax[c]);
        sums.phasors[c].Resize(W, H);
        if (sums.mapBins > 0)
            sums.decays[c].assign(pixels * sums.mapBins, 0);
    }
    // dtime value to the map's bin; beyond the last bin: none.
    const uint32_t noBin = UINT32_MAX;
    std::vector<uint32_t> mapBin(delayBins, noBin);
    for (uint32_t k = 0; k < delayBins && sums.mapBins > 0; ++k)
        if (k / sums.mapSteps < sums.mapBins)
            mapBin[k] = k / sums.mapSteps;

    const flim::PhasorTable &table = sums.table;
    const uint32_t bins = delayBins, mapBins = sums.mapBins;
    WalkKeptLines([&](const auto &cursor, uint32_t line, uint32_t x) {
        const uint32_t ch = cursor.channel;
        if (ch >= kChannelSlots || !used[ch] || cursor.dtime >= bins)
            return;
        const uint32_t c = ch - 1;
        if (!gates[static_cast<std::size_t>(c) * bins + cursor.dtime] || cursor.truetime < limits.cursorMin[c] ||
            cursor.truetime > limits.cursorMax[c])
            return;
        const std::size_t pixel = alongLine ? x : static_cast<std::size_t>(line) * W + x;
        sums.phasors[c].Add(pixel, cursor.dtime, table);
        if (mapBins > 0 && mapBin[cursor.dtime] != noBin)
            sums.decays[c][pixel * mapBins + mapBin[cursor.dtime]] += 1;
    });
    return true;
}
