#pragma once
/*!
 * \brief Analysis of a raster scan: frames of lines of pixels.
 *
 * Frame markers (4) close frames, line starts (1) and line ends (2) bound
 * the lines. Every photon that lies inside a line, passes its channel's
 * delay gate and time cursors (all limits inclusive) is counted into its
 * pixel of a 16-bit count stack per channel. From the stack come the mean
 * and variance images (W x H per channel), the time course over the frames
 * (F per channel: mean count per pixel), lifetime histograms and the
 * information text shown in the Summary pane. lastPhotonTime is the last
 * photon met inside a line.
 *
 * Times: cursor and record times in ns, gates in ns, the cursor controls
 * in s; frame and line times stored in s where the field says so.
 */
#include "scans/RasterScan.h"

#include <cstdint>
#include <vector>

class ImageScan : public RasterScan {
public:
    void Init(FotonelServices &mainWindow, pqFile &file) override;
    void ReconstructImages() override;
    void GatherInformation() override;

    /// Removes the frames that do not hold a full set of lines.
    void CheckImages();
    /// Mean and variance images and the time course over the frames.
    void CalculateStats();
    /// Builds the information text and appends it to the Summary pane.
    void BuildInfoText();

    uint32_t imagesRemoved = 0;
    double lineSamplingPeriod = 0;  ///< s, line start to the next line start
    std::vector<uint32_t> linesInFrame;    ///< end-of-line markers per frame as found in the file
    std::vector<double> frameMarkerTimes;  ///< s, frame marker closing each frame
    std::vector<double> frameStartTimes;   ///< s, first line start of each frame

private:
    /// Restores the full stack of the gathered geometry (CheckImages shrinks it).
    void RestoreFullStack();
    /// Frames between the frame markers of the file, before any removal.
    uint32_t framesInFile = 0;
    /// CheckImages has compacted the stack of the last pass.
    bool stackChecked = false;
};
