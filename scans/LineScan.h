#pragma once
/*!
 * \brief Analysis of one line scanned over and over: a kymograph per channel.
 *
 * Each line (start marker 1 to end marker 2) becomes one row of W pixels, in
 * time order (H rows, F = 1 for a line-scan file); photons are placed with
 * the gate, cursor and pixel rules of the image scan. From the rows come the
 * mean and variance profiles along the line (W per channel), the time course
 * over the lines (H per channel), lifetime histograms and, on request, a
 * position-versus-delay histogram per channel. lastPhotonTime is the last
 * photon met anywhere, inside a line or not.
 */
#include "scans/RasterScan.h"

#include <cstdint>
#include <vector>

class LineScan : public RasterScan {
public:
    void ReconstructImages() override;
    void GatherInformation() override;

    /// Position-delay histograms with delay bins of \p binWidth ns (cursors
    /// apply, gates do not); false, with the cause logged, when none was built.
    bool BuildHistogramImages(double binWidth);
    /// Builds the position-delay histograms with the form's line lifetime bin
    /// and writes one single-page TIFF per active channel.
    void WriteHistogramImages();
    /// Mean and variance profiles over the lines and the time course per line.
    void CalculateStats();
    /// Builds the information text and appends it to the Summary pane.
    void BuildInfoText();

    std::vector<double> lineStartTimes;   ///< s, H entries
    /// Per channel W x N counts: row = pixel position, column = delay bin.
    std::vector<std::vector<uint16_t>> histogramImages;
    uint32_t histogramBins = 0;           ///< N

protected:
    bool ProfilesAsPlots() const override { return true; }
    const std::vector<double> &TimeCourseTimes() const override { return lineStartTimes; }

private:
};
