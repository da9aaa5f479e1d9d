// The phasors of a scan count exactly the photons of its count stack: the
// same gates, cursors and kept frames.
#include "flim/FlimSettings.h"
#include "scans/ImageScan.h"
#include "scans/Lifetimes.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/ScanGenerator.h"

#include <gtest/gtest.h>

namespace {

TEST(ScanPhasors, CountThePhotonsOfTheStackUnderGatesAndCursors)
{
    synth::ImageScanPlan plan;
    plan.width = 8;
    plan.height = 4;
    plan.frames = 3;
    plan.channels = {1, 2};
    plan.centred = false;
    plan.lineSyncs = 400000;  // 20 ms per line: the cursor boxes hold ms
    plan.photonCount = [](int f, int y, int x, uint32_t ch) { return 5 + (x + y + f + static_cast<int>(ch)) % 7; };
    plan.dtimeOf = [](int, int y, int x, uint32_t, int k) { return static_cast<uint32_t>((k * 17 + x * 5 + y) % 100); };
    TestHost host;
    MemoryFile file(host, synth::MakeImageScan(plan).words, 50.0, 0.5, 8, 4);
    ImageScan scan;
    scan.Init(host, file);
    scan.ReconstructImages();
    // Channel 1 gated to 0..20 ns; channel 2 cut by its cursor inside the second frame.
    host.SetGate(1, 0, 20);
    host.SetCursor(1, 0, 1);
    host.SetCursor(2, 0, 0.1);
    scan.reconstructed = false;
    scan.ReconstructImages();
    flim::Settings settings;
    settings.threshold = 0;
    ASSERT_TRUE(scan.ComputeLifetimes(settings, true, false));
    ASSERT_EQ(scan.lifetimes->channels.size(), 2u);
    const uint32_t pixels = scan.pixelsPerImage;
    for (const LifetimeChannel &c : scan.lifetimes->channels) {
        SCOPED_TRACE(c.channel);
        uint64_t total = 0;
        for (uint32_t p = 0; p < pixels; ++p) {
            uint32_t stack = 0;
            for (uint32_t f = 0; f < scan.numberOfFrames; ++f)
                stack += scan.images[c.channel][f * pixels + p];
            EXPECT_EQ(c.phasor.photons[p], stack) << p;
            total += stack;
        }
        EXPECT_GT(total, 0u);
        EXPECT_EQ(total, scan.gatedPhotonCount[c.channel]);
    }
    // The gate and the cursor did cut: fewer photons than the file holds per channel.
    EXPECT_LT(scan.gatedPhotonCount[0], file.photonsPerChannel[0]);
    EXPECT_LT(scan.gatedPhotonCount[1], file.photonsPerChannel[1]);
}

} // namespace
