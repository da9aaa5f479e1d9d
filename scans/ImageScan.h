#pragma once
/*!
 * \brief Analysis of a raster scan: frames of lines of pixels.
 *
 * Frame markers (4) close frames, line starts (1) and line ends (2) bound
 * the lines. Every photon that lies inside a line, passes its channel's
 * delay gate and time cursors (all limits inclusive) is counted into its
 * pixel of a 16-bit count stack per channel. From the stack come the mean
 * and variance images, the time course over the frames, lifetime histograms
 * and the information text shown in the Summary pane.
 *
 * Times: cursor and record times in ns, gates in ns, the cursor controls
 * in s; frame and line times stored in s where the field says so.
 */
#include "scans/RSD.h"

#include <QString>
#include <cstdint>
#include <vector>

class ImageScan : public RSD {
public:
    void Init(FotonelServices &mainWindow, pqFile &file) override;
    void ReconstructImages() override;
    void GatherInformation() override;
    void WriteImages(int exportType, int bitDepth) override;
    void CreateTabs() override;
    /// firstFrameTime .. lastPhotonTime in s.
    bool CursorSpan(double &start, double &end) const override;

    /// Lifetime histograms of the placed photons with bins of \p binWidth ns.
    void BinLifetimes(double binWidth);
    /// Removes the frames that do not hold a full set of lines.
    void CheckImages();
    /// Smallest and largest pixel count of each active channel's stack.
    void FindMinMax();
    /// Mean and variance images and the time course over the frames.
    void CalculateStats();
    /// Builds the information text and appends it to the Summary pane.
    void BuildInfoText();

    uint32_t imageWidth = 0;       ///< W, pixels per line
    uint32_t imageHeight = 0;      ///< H, lines per frame
    uint32_t lineNSync = 0;        ///< sync periods of the first line
    uint32_t numberOfFrames = 0;   ///< F, frames kept
    uint32_t pixelsPerImage = 0;   ///< W x H
    uint32_t totalPixels = 0;      ///< W x H x F
    uint32_t numberOfChannels = 0;
    uint32_t imagesRemoved = 0;
    uint32_t activeChannelCount = 0;
    double lineTime = 0;            ///< ns, line start to line end of the first line
    double lineSamplingPeriod = 0;  ///< s, line start to the next line start
    QString infoText;

    std::vector<uint32_t> photonCounts;      ///< per channel, photons in the file
    std::vector<uint32_t> photonCount;       ///< per channel, photons placed
    std::vector<uint32_t> gatedPhotonCount;  ///< per channel, photons placed (the sum of delayCounts)
    std::vector<uint32_t> minimum;
    std::vector<uint32_t> maximum;
    std::vector<uint32_t> linesInFrame;      ///< end-of-line markers per frame as found in the file
    /// Per channel: pixel (x, y) of frame f at f x W x H + y x W + x; empty for inactive channels.
    std::vector<std::vector<uint16_t>> images;
    std::vector<std::vector<double>> meanImages;      ///< per channel, W x H
    std::vector<std::vector<double>> varianceImages;  ///< per channel, W x H
    std::vector<std::vector<double>> timeCourse;      ///< per channel, F: mean count per pixel
    /// Per channel, placed photons per dtime value (kDelayBins entries; a
    /// photon's delay is dtime x resolution ns); empty for inactive channels.
    std::vector<std::vector<uint32_t>> delayCounts;
    std::vector<std::vector<double>> lifetimeHistograms;
    std::vector<double> frameMarkerTimes;  ///< s, frame marker closing each frame
    std::vector<double> frameStartTimes;   ///< s, first line start of each frame
    std::vector<double> lifetimeAxis;      ///< ns, bin centres
    double firstFrameTime = 0;   ///< ns
    double lastPhotonTime = 0;   ///< ns, last photon met inside a line
    double lifetimeBinWidth = 0; ///< ns
    double syncPeriod = 0;       ///< ns

private:
    /// Restores the full stack of the gathered geometry (CheckImages shrinks it).
    void RestoreFullStack();
    /// Frames between the frame markers of the file, before any removal.
    uint32_t framesInFile = 0;
    /// CheckImages has compacted the stack of the last pass.
    bool stackChecked = false;
};
