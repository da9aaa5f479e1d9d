#pragma once
/*!
 * \brief What the lifetime analysis of a scan gathers in its pass over the
 * records and what it derives: per active channel the phasor sums of every
 * pixel (image), position (line) or of the whole measurement (point), the
 * decays per pixel for the fit map, and the phasor images, decay fits and
 * lifetime maps made from them.
 */
#include "flim/DecayFit.h"
#include "flim/FlimSettings.h"
#include "flim/Phasor.h"

#include <QString>
#include <cstdint>
#include <vector>

/// Filled by an analysis's pass over the kept photons.
struct LifetimeSums {
    flim::PhasorTable table;
    /// Decays per pixel: dtime values per bin and bins (0 bins: none gathered).
    uint32_t mapSteps = 0, mapBins = 0;
    uint32_t width = 1, height = 1;
    std::vector<flim::PhasorSums> phasors;         ///< per channel; empty sums for inactive channels
    std::vector<std::vector<uint32_t>> decays;      ///< per channel: pixel p's bin k at p x mapBins + k
    /// Per channel: arrays made ahead for its phasor image (empty: none).
    std::vector<flim::PhasorImage> storage;
};

struct LifetimeChannel {
    uint32_t channel = 0;  ///< 0-based
    flim::PhasorImage phasor;
    flim::Decay decay;                 ///< the whole decay on the fit's bins
    flim::DecayFitResult fit;
    std::vector<float> tauFit;         ///< the one-component map; empty without one
    /// Per pixel the decay on the map's bins (pixel p's bin k at p x bins + k),
    /// for fits of the pixels chosen on the phasor plot; empty without a fit.
    std::vector<uint32_t> pixelDecays;
    flim::Decay mapShape;              ///< the map's bins (counts unused)
    std::vector<double> mapIrf;        ///< the measured response on the map's bins; empty: Gaussian
};

struct LifetimeResults {
    flim::Settings settings;
    bool phasors = false, fits = false;
    uint32_t width = 1, height = 1;
    double nOmega = 0;                 ///< rad/ns
    bool calibrated = false;
    QString referenceName;             ///< the reference file's name, without folder
    QString irfName;                   ///< the response file's name, without folder; empty: Gaussian
    std::vector<LifetimeChannel> channels;  ///< active channels only

    /// The line every file written from the phasors carries about their calibration.
    QString CalibrationText() const;
    /// The fit table of one channel's whole decay: "%1 : %2" lines.
    QString FitText(const LifetimeChannel &channel) const;
    /// The table of \p fit, a fit of a decay of channel \p channel (0-based).
    QString FitText(uint32_t channel, const flim::DecayFitResult &fit) const;
};
