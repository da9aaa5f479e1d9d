// The phasors of a scan count exactly the photons of its count stack (the same gates, cursors and kept
// frames), and the sums gathered in the photon pass equal those of the walk over the placed photons. On the
// real hazelnut image scans, the phase lifetimes of the bright pixels, calibrated with the response the
// decay fit found, lie between the shortest and the longest component of that fit.
#include "flim/FlimSettings.h"
#include "flim/Phasor.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/Lifetimes.h"
#include "support/MemoryFile.h"
#include "support/RealData.h"
#include "support/ScansHelpers.h"
#include "support/TestHost.h"
#include "support/VectorForm.h"
#include "tools/synth/ScanGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

/// A host whose Lifetime group asks for phasors of harmonic 2 alone, or not.
class PhasorHost : public TestHost {
public:
    bool phasorsAlone = false;
    bool PhasorsWithoutFits() override { return phasorsAlone; }
    flim::Settings GetLifetimeSettings() override
    {
        flim::Settings s;
        s.harmonic = 2;
        s.threshold = 0;
        return s;
    }
};

/// The lifetimes of \p words as \p Scan in the photon form \p level, channel 1 gated to 0..20 ns and
/// channel 2 cut by its cursor inside the second frame; \p gathered: whether the photon pass gathered
/// the sums; \p twoThreads: the pass of an image scan and the lifetime steps of either scan in two; \p ahead: the
/// geometry gathered again before the pass, so that an image scan's sums are made ahead. The phasor photons of each
/// pixel of an image scan are checked against its count stack.
template <class Scan>
std::shared_ptr<const LifetimeResults> Lifetimes(const std::vector<uint32_t> &words, bool inPass, int level, bool &gathered,
                                                 bool twoThreads = false, bool ahead = false)
{
    PhasorHost host;
    host.phasorsAlone = inPass;
    MemoryFile file(host, words, 50.0, 0.5, 37, 4);
    Scan scan;
    scan.Init(host, file);
    scan.ReconstructImages();
    if (ahead) {
        scan.gathered = false;
        RasterScan::parallelPassRecords = twoThreads ? 0 : SIZE_MAX;
        scan.GatherInformation();
    }
    host.SetGate(1, 0, 20);
    host.SetCursor(1, 0, 1);
    host.SetCursor(2, 0, 0.1);
    scan.reconstructed = false;
    RasterScan::vectorLevel = level;
    RasterScan::parallelPassRecords = twoThreads ? 0 : SIZE_MAX;
    scan.ReconstructImages();
    RasterScan::vectorLevel = 2;
    RasterScan::parallelPassRecords = std::size_t(1) << 20;
    gathered = scan.passPhasors.harmonic == 2;
    RSD::parallelLifetimePixels = twoThreads ? 0 : SIZE_MAX;
    EXPECT_TRUE(scan.ComputeLifetimes(host.GetLifetimeSettings(), true, false));
    RSD::parallelLifetimePixels = std::size_t(1) << 16;
    if (!scan.lifetimes || !std::is_same<Scan, ImageScan>::value)
        return scan.lifetimes;
    const uint32_t pixels = scan.pixelsPerImage;
    for (const LifetimeChannel &c : scan.lifetimes->channels) {
        uint64_t total = 0;
        for (uint32_t p = 0; p < pixels; ++p) {
            uint32_t stack = 0;
            for (uint32_t f = 0; f < scan.numberOfFrames; ++f)
                stack += scan.images[c.channel][f * pixels + p];
            EXPECT_EQ(c.phasor.photons[p], stack) << "channel " << c.channel << " pixel " << p;
            total += stack;
        }
        EXPECT_EQ(total, scan.gatedPhotonCount[c.channel]);
        // The gate and the cursor did cut.
        EXPECT_TRUE(total > 0 && total < file.photonsPerChannel[c.channel]) << c.channel;
    }
    return scan.lifetimes;
}

template <class Scan>
void ExpectSameSums(const char *kind, const std::vector<uint32_t> &words, int level)
{
    SCOPED_TRACE(kind);
    bool walked = true, gathered = false;
    const auto fromWalk = Lifetimes<Scan>(words, false, level, walked);
    ASSERT_TRUE(fromWalk);
    EXPECT_FALSE(walked);
    ASSERT_EQ(fromWalk->channels.size(), 2u);
    // The pass and the lifetime steps in one thread, then in two (the pass: an image scan's), then
    // in two with the sums made ahead.
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way == 0 ? "one thread" : way == 1 ? "two threads" : "two threads, sums made ahead");
        const auto fromPass = Lifetimes<Scan>(words, true, level, gathered, way > 0, way == 2);
        ASSERT_TRUE(fromPass);
        EXPECT_TRUE(gathered);
        ASSERT_EQ(fromPass->channels.size(), 2u);
        for (std::size_t c = 0; c < 2; ++c) {
            const flim::PhasorImage &a = fromWalk->channels[c].phasor, &b = fromPass->channels[c].phasor;
            EXPECT_EQ(a.photons, b.photons);
            // Bit for bit, NaN where no photon came.
            for (const auto &[x, y] : {std::pair{&a.g, &b.g}, {&a.s, &b.s}, {&a.tauPhase, &b.tauPhase},
                                       {&a.tauModulation, &b.tauModulation}}) {
                ASSERT_EQ(x->size(), y->size());
                EXPECT_EQ(std::memcmp(x->data(), y->data(), x->size() * sizeof(float)), 0) << c;
            }
        }
    }
}

using PassPhasors = VectorFormTest;

INSTANTIATE_TEST_SUITE_P(Forms, PassPhasors, testing::Values(0, 1, 2), FormParamName);

TEST_P(PassPhasors, GatheredBesideTheStackAsTheWalkGathersThem)
{
    synth::ImageScanPlan plan = ScansTestPlan();
    plan.centred = false;  // lines of 20 ms: the cursor boxes hold ms
    const std::vector<uint32_t> words = synth::MakeImageScan(plan).words;
    ExpectSameSums<ImageScan>("image scan", words, GetParam());
    ExpectSameSums<LineScan>("line scan", words, GetParam());
}

using RealLifetimes = RealDataTest;

TEST_F(RealLifetimes, MeanPhaseLifetimeOfBrightPixelsLiesBetweenTheFittedComponents)
{
    for (const char *name : {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z10.ptu",
                             "napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z2.ptu"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(OpenCopy(name));
        ImageScan scan;
        scan.Init(host, *file);
        scan.ReconstructImages();
        flim::Settings settings;
        settings.components = 2;
        settings.threshold = 100;
        ASSERT_TRUE(scan.ComputeLifetimes(settings, true, true)) << host.Messages(MessageError).join('\n').toStdString();
        const LifetimeChannel &c = scan.lifetimes->channels.at(0);
        ASSERT_TRUE(c.fit.ok);
        // The fitted Gaussian response as the reference of lifetime 0: its phasor e^{-(nωσ)²/2} at phase nωμ (μ less
        // half a delay step, where the phasor places a photon of a step).
        const double nOmega = scan.lifetimes->nOmega;
        const double phase = nOmega * (c.fit.shift - file->Resolution() / 2);
        const double m = std::exp(-0.5 * nOmega * nOmega * c.fit.irfWidth * c.fit.irfWidth);
        flim::Calibration calibration;
        std::string error;
        ASSERT_TRUE(flim::MakeCalibration({m * std::cos(phase), m * std::sin(phase), 1}, 0.0, nOmega, calibration, error));
        double sum = 0;
        int bright = 0;
        for (std::size_t p = 0; p < c.phasor.g.size(); ++p) {
            if (std::isnan(c.phasor.g[p]))
                continue;
            const flim::Phasor q = flim::Calibrate({c.phasor.g[p], c.phasor.s[p], 1}, calibration);
            sum += flim::PhaseLifetime(q.g, q.s, nOmega);
            ++bright;
        }
        ASSERT_GT(bright, 100);
        const double mean = sum / bright;
        EXPECT_GT(mean, c.fit.tau[0]);
        EXPECT_LT(mean, c.fit.tau[1]);
        EXPECT_FALSE(scan.lifetimes->calibrated);
    }
}

} // namespace
