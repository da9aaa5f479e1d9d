#pragma once
/*!
 * \brief Phasors of fluorescence decays: per-photon sums of cos and sin of
 * n ω t, their calibration against a reference of known lifetime, the
 * phase and modulation lifetimes, the photon threshold and the 3 x 3
 * median filter.
 *
 * A phasor is the n-th Fourier coefficient of the decay at the repetition
 * frequency ω = 2π / T (T the sync period): g = Σ cos(nωt) / K,
 * s = Σ sin(nωt) / K over the K photons of a pixel, t each photon's delay
 * in ns. A single exponential of lifetime τ lies on the semicircle
 * g² + s² = g at g = 1 / (1 + (nωτ)²), s = nωτ g.
 */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace flim {

/// cos and sin of n ω t per dtime value, so a photon costs a lookup and three adds.
struct PhasorTable {
    std::vector<double> cosine, sine;  ///< per dtime value k: t = k x resolution ns
    double omega = 0;                  ///< rad/ns, 2π / sync period
    int harmonic = 1;
    /// n ω in rad/ns.
    double NOmega() const { return omega * harmonic; }
};

/// The table of \p delayBins dtime values of \p resolution ns for a sync period of \p syncPeriod ns.
PhasorTable MakePhasorTable(uint32_t delayBins, double resolution, double syncPeriod, int harmonic);

/*!
 * \brief Per pixel: photons and the sums of cos and sin of their delays.
 *
 * The sums are either cosine and sine, or (both empty) whole numbers of
 * fixedUnit at fixed, cos then sin per pixel side by side, as the photon
 * pass gathers them; that storage belongs to whoever gathered it and must
 * outlive these sums.
 */
struct PhasorSums {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> count;
    std::vector<double> cosine, sine;
    const int64_t *fixed = nullptr;
    double fixedUnit = 0;

    void Resize(uint32_t w, uint32_t h);
    double Cosine(std::size_t pixel) const
    {
        return fixed ? static_cast<double>(fixed[2 * pixel]) * fixedUnit : cosine[pixel];
    }
    double Sine(std::size_t pixel) const
    {
        return fixed ? static_cast<double>(fixed[2 * pixel + 1]) * fixedUnit : sine[pixel];
    }
    /// One photon of dtime \p dtime (inside the table) in pixel \p pixel.
    void Add(std::size_t pixel, uint32_t dtime, const PhasorTable &table)
    {
        count[pixel] += 1;
        cosine[pixel] += table.cosine[dtime];
        sine[pixel] += table.sine[dtime];
    }
};

struct Phasor {
    double g = 0, s = 0;
    uint64_t photons = 0;
};

/// The phasor of every photon of \p sums together.
Phasor TotalPhasor(const PhasorSums &sums);
/// The phasor of a histogram of photons per dtime value.
Phasor HistogramPhasor(const std::vector<uint32_t> &delayCounts, const PhasorTable &table);

/// The correction every phasor of a measurement takes: phase and modulation.
struct Calibration {
    bool calibrated = false;
    double phaseShift = 0;        ///< rad, subtracted from every phase
    double modulationFactor = 1;  ///< every modulation is multiplied by it
};

/*!
 * \brief The correction from a reference of lifetime \p tauRef ns whose
 * phasor is \p reference: φ → φ − (φr − atan(nωτref)), m → m / √(1 + (nωτref)²) / mr.
 * False, with \p error, for a reference without photons or modulation.
 */
bool MakeCalibration(const Phasor &reference, double tauRef, double nOmega, Calibration &calibration,
                     std::string &error);
/// \p p corrected by \p calibration.
Phasor Calibrate(const Phasor &p, const Calibration &calibration);

/// τφ = tan φ / (nω) = s / (g nω), ns.
double PhaseLifetime(double g, double s, double nOmega);
/// τm = √(1/m² − 1) / (nω), ns; NaN for a modulation above 1 or 0.
double ModulationLifetime(double g, double s, double nOmega);

/*!
 * \brief \p passes passes of a 3 x 3 median filter over the \p width x
 * \p height values of \p v: each finite value becomes the median of the
 * finite values of its neighbourhood inside the image (the mean of the two
 * middle ones for an even count); NaN stays NaN.
 */
void MedianFilter3x3(std::vector<float> &v, uint32_t width, uint32_t height, int passes);

/// Phasors and lifetimes per pixel, NaN below the threshold.
struct PhasorImage {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> photons;
    std::vector<float> g, s, tauPhase, tauModulation;
    bool calibrated = false;
    uint64_t pixelsAbove = 0;  ///< pixels with at least the threshold's photons
};

/*!
 * \brief Per pixel of \p sums: the phasor, calibrated, NaN when the pixel
 * holds fewer than \p threshold photons (or none); then \p medianPasses
 * passes of the median filter over g and s; then τφ and τm.
 */
PhasorImage MakePhasorImage(const PhasorSums &sums, const Calibration &calibration, double nOmega, int threshold,
                            int medianPasses);
/*!
 * \brief The same, taking the photons per pixel from \p sums rather than
 * copying them, and writing into the arrays of \p storage where they have
 * the image's size (arrays made ahead, whose memory is already in place;
 * whatever they hold is overwritten).
 */
PhasorImage MakePhasorImage(PhasorSums &&sums, const Calibration &calibration, double nOmega, int threshold,
                            int medianPasses, PhasorImage &&storage = PhasorImage());

/// A circle on the phasor plot: centre (g, s) and radius.
struct PhasorCursor {
    double g = 0, s = 0, radius = 0;
    /// Three finite numbers and a radius above 0.
    bool Usable() const;
};

/*!
 * \brief The pixels of \p image whose (g, s) lies inside the circle of
 * \p cursor or on its edge; pixels below the threshold (NaN) never do.
 */
std::vector<bool> PixelsInside(const PhasorImage &image, const PhasorCursor &cursor);

} // namespace flim
