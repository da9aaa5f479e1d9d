#pragma once
/*!
 * \brief Record words of whole synthetic measurements: image scans, line
 * scans and point measurements, with every photon at a known sync count.
 *
 * Geometry of an image scan (all times in sync periods):
 *
 *     frame marker (4)            before the first frame (AroundFrames, StartOnly, StartOfFrame),
 *                                 at the first line start
 *     line start (1) at s         s = start of the line
 *       photons of pixel x        at s + (2x+1)*lineSyncs/(2*width) when centred
 *     line end (2) at s+lineSyncs
 *     ... lineGap ... next line start
 *     frame marker (4)            after the last line end of a frame (AroundFrames, EndOfFrame;
 *                                 BetweenFrames and StartOfFrame not after the last), same sync count
 *     ... lineGap + frameGap ... first line of the next frame
 *
 * With centred photons, pixel x of a line is hit exactly in its middle, so an
 * analysis that maps (t - s) / lineSyncs * width to a pixel gets x whatever
 * rounding it uses. Overflow records are inserted by RecordStream.
 */
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace synth {

/// Where the frame markers (marker value 4) go.
enum class FrameMarkers {
    AroundFrames,   ///< one before the first frame and one after each frame: F frames, F+1 markers
    EndOfFrame,     ///< one after each frame only, as SymPhoTime writes them: F markers
    StartOfFrame,   ///< one before each frame only: F markers
    BetweenFrames,  ///< one between consecutive frames only: F-1 markers
    StartOnly,      ///< a single marker before the first frame
    None,           ///< no frame markers
};

struct ImageScanPlan {
    int width = 8;                 ///< pixels per line
    int height = 8;                ///< lines per frame
    int frames = 2;
    uint64_t start = 100;          ///< sync count of the first line start
    uint64_t lineSyncs = 800;      ///< line start to line end, sync periods
    uint64_t lineGap = 200;        ///< line end to the next line start, sync periods
    uint64_t frameGap = 0;         ///< extra pause after the last line of a frame
    FrameMarkers frameMarkers = FrameMarkers::AroundFrames;
    bool lineMarkers = true;       ///< write line start (1) and line end (2) markers
    std::vector<uint32_t> channels = {1};  ///< photon channels, 1..4 (others for damaged-file tests)

    /// Photons per pixel and channel when photonCount is not set.
    int photonsPerPixel = 1;
    /// Photons of (frame, line, pixel, channel); overrides photonsPerPixel.
    std::function<int(int frame, int line, int pixel, uint32_t channel)> photonCount;
    /// dtime bins of every photon when dtimeOf is not set.
    uint32_t dtime = 100;
    /// dtime of photon k of (frame, line, pixel, channel); overrides dtime.
    std::function<uint32_t(int frame, int line, int pixel, uint32_t channel, int k)> dtimeOf;
    /// true: all photons of a pixel at its centre; false: spread evenly
    /// inside the pixel (photon k of n at fraction (k+1)/(n+1) of it).
    bool centred = true;
};

/// Record words plus what they contain, for expected values in tests.
struct GeneratedScan {
    std::vector<uint32_t> words;
    std::array<uint64_t, 16> photonsPerChannel{};  ///< index = channel field (1 = channel 1)
    uint64_t photons = 0;
    uint64_t overflows = 0;
    uint64_t frameMarkers = 0;
    uint64_t lineStarts = 0;
    uint64_t lineEnds = 0;
    std::vector<uint64_t> lineStartSyncs;  ///< sync count of every line start, in order
    uint64_t lastSync = 0;                 ///< sync count of the last event
};

/// An image scan of layout.frames frames of layout.height lines of layout.width pixels.
GeneratedScan MakeImageScan(const ImageScanPlan &layout);

/// A line scan: layout.height lines, framed by \p frameMarkerCount frame
/// markers (0, 1 before the lines, or 2 before and after); layout.frames and
/// layout.frameMarkers are ignored.
GeneratedScan MakeLineScan(ImageScanPlan layout, int frameMarkerCount);

struct PointPhoton {
    uint64_t sync;      ///< absolute time in sync periods
    uint32_t channel;   ///< 1..4
    uint32_t dtime;     ///< bins
};

/// A point measurement: the photons in time order (sorted here, stably).
GeneratedScan MakePointMeasurement(std::vector<PointPhoton> photons);

} // namespace synth
