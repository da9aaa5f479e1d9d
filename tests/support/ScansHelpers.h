#pragma once
/// Shared set-ups of the scan tests.
#include "tools/synth/ScanGenerator.h"

/// Three frames of 37 x 4 pixels on channels 1 and 2, lines of 400000 syncs: runs long enough for the vector
/// forms, with counts and delays that differ from pixel to pixel, frame to frame and channel to channel.
inline synth::ImageScanPlan ScansTestPlan()
{
    synth::ImageScanPlan plan;
    plan.width = 37;
    plan.height = 4;
    plan.frames = 3;
    plan.channels = {1, 2};
    plan.lineSyncs = 400000;
    plan.photonCount = [](int f, int y, int x, uint32_t ch) { return (x * 3 + y + f + static_cast<int>(ch)) % 11; };
    plan.dtimeOf = [](int f, int y, int x, uint32_t ch, int k) {
        return static_cast<uint32_t>((k * 37 + x * 5 + y * 11 + f + ch * 3) % 100);
    };
    return plan;
}
