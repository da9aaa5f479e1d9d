#pragma once
/*!
 * \brief Analysis of one line scanned over and over: a kymograph per channel.
 *
 * Each line (start marker 1 to end marker 2) becomes one row of W pixels, in
 * time order; photons are placed with the gate, cursor and pixel rules of the
 * image scan. From the rows come the mean and variance profiles along the
 * line, the time course over the lines, lifetime histograms and, on request,
 * a position-versus-delay histogram per channel.
 */
#include "scans/RSD.h"

#include <QString>
#include <cstdint>
#include <vector>

class LineScan : public RSD {
public:
    void ReconstructImages() override;
    void GatherInformation() override;
    void WriteImages(int exportType, int bitDepth) override;
    void CreateTabs() override;
    /// firstFrameTime .. lastPhotonTime in s.
    bool CursorSpan(double &start, double &end) const override;

    /// Lifetime histograms of the placed photons with bins of \p binWidth ns.
    void BinLifetimes(double binWidth);
    /// Position-delay histograms with delay bins of \p binWidth ns (cursors apply, gates do not).
    void BuildHistogramImages(double binWidth);
    void FindMinMax();
    /// Mean and variance profiles over the lines and the time course per line.
    void CalculateStats();
    /// Builds the information text and appends it to the Summary pane.
    void BuildInfoText();

    uint32_t imageWidth = 0;       ///< W, pixels per line
    uint32_t imageHeight = 0;      ///< H, number of lines (rows of the kymograph)
    uint32_t lineNSync = 0;
    uint32_t numberOfFrames = 0;   ///< F, 1 for a line-scan file
    uint32_t pixelsPerImage = 0;   ///< W x H
    uint32_t totalPixels = 0;      ///< W x H x F
    uint32_t numberOfChannels = 0;
    uint32_t activeChannelCount = 0;
    double lineTime = 0;           ///< ns, line start to line end of the first line
    QString infoText;

    std::vector<uint32_t> photonCounts;
    std::vector<uint32_t> photonCount;
    std::vector<uint32_t> gatedPhotonCount;
    std::vector<uint32_t> minimum;
    std::vector<uint32_t> maximum;
    /// Per channel: row y of frame f at f x W x H + y x W.
    std::vector<std::vector<uint16_t>> images;
    std::vector<std::vector<double>> meanImages;      ///< per channel, W
    std::vector<std::vector<double>> varianceImages;  ///< per channel, W
    std::vector<std::vector<double>> timeCourse;      ///< per channel, H
    /// Per channel, placed photons per dtime value (kDelayBins entries; a
    /// photon's delay is dtime x resolution ns); empty for inactive channels.
    std::vector<std::vector<uint32_t>> delayCounts;
    std::vector<std::vector<double>> lifetimeHistograms;
    std::vector<double> lineStartTimes;   ///< s, H entries
    /// Per channel W x N counts: row = pixel position, column = delay bin.
    std::vector<std::vector<uint16_t>> histogramImages;
    uint32_t histogramBins = 0;           ///< N
    std::vector<double> lifetimeAxis;     ///< ns
    double firstFrameTime = 0;   ///< ns
    double lastPhotonTime = 0;   ///< ns, last photon met anywhere
    double lifetimeBinWidth = 0; ///< ns
    double syncPeriod = 0;       ///< ns
};
