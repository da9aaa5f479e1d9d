// Lifetimes of the real hazelnut image scans: the phase lifetimes of the
// bright pixels, calibrated with the response the decay fit found, lie
// between the shortest and the longest component of that fit.
#include "flim/Phasor.h"
#include "scans/ImageScan.h"
#include "scans/Lifetimes.h"
#include "support/RealData.h"

#include <cmath>

namespace {

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
        // The fitted Gaussian response as the reference of lifetime 0: its
        // phasor e^{-(nωσ)²/2} at phase nωμ (μ less half a delay step, where
        // the phasor places a photon of a step).
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
