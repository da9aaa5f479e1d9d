#pragma once
/*!
 * \brief What the image scan and the line scan share: lines of W pixels
 * bounded by line starts (1) and line ends (2), grouped by frame markers (4).
 *
 * Both measure the pixel clock on the first line after the first frame
 * marker, place the photons that pass their channel's delay gate and time
 * cursors (all limits inclusive) into a 16-bit count stack per channel, and
 * bin the placed photons' delays into lifetime histograms. They differ in
 * the bookkeeping of lines and frames, the statistics, the information text
 * and the form controls they prime; those stay in the subclasses.
 *
 * Times: cursor and record times in ns, gates in ns, the cursor controls
 * in s.
 */
#include "scans/RSD.h"

#include <QString>
#include <Qt>
#include <cstdint>
#include <vector>

class RasterScan : public RSD {
public:
    void WriteImages(int exportType, int bitDepth) override;
    void CreateTabs() override;
    /// firstFrameTime .. lastPhotonTime in s.
    bool CursorSpan(double &start, double &end) const override;

    /// Lifetime histograms of the placed photons with bins of \p binWidth ns.
    void BinLifetimes(double binWidth);
    /// Smallest and largest pixel count of each active channel's stack.
    void FindMinMax();

    uint32_t imageWidth = 0;       ///< W, pixels per line
    uint32_t imageHeight = 0;      ///< H, lines per frame (image scan) or lines (line scan)
    uint32_t lineNSync = 0;        ///< sync periods of the first line
    uint32_t numberOfFrames = 0;   ///< F
    uint32_t pixelsPerImage = 0;   ///< W x H
    uint32_t totalPixels = 0;      ///< W x H x F
    uint32_t numberOfChannels = 0;
    uint32_t activeChannelCount = 0;
    double lineTime = 0;           ///< ns, line start to line end of the first line
    QString infoText;

    std::vector<uint32_t> photonCounts;      ///< per channel, photons in the file
    std::vector<uint32_t> photonCount;       ///< per channel, photons placed
    std::vector<uint32_t> gatedPhotonCount;  ///< per channel, photons placed (the sum of delayCounts)
    std::vector<uint32_t> minimum;
    std::vector<uint32_t> maximum;
    /// Per channel: pixel (x, y) of frame f at f x W x H + y x W + x; empty for inactive channels.
    std::vector<std::vector<uint16_t>> images;
    std::vector<std::vector<double>> meanImages;
    std::vector<std::vector<double>> varianceImages;
    std::vector<std::vector<double>> timeCourse;
    /// Per channel, placed photons per dtime value (kDelayBins entries; a
    /// photon's delay is dtime x resolution ns); empty for inactive channels.
    std::vector<std::vector<uint32_t>> delayCounts;
    std::vector<std::vector<double>> lifetimeHistograms;
    std::vector<double> lifetimeAxis;  ///< ns, bin centres
    double firstFrameTime = 0;   ///< ns
    double lastPhotonTime = 0;   ///< ns, last photon that moves the end of the data span
    double lifetimeBinWidth = 0; ///< ns
    double syncPeriod = 0;       ///< ns

protected:
    static constexpr double kNsPerS = 1e9;
    // 2^30 16-bit counts (2 GiB) over all channels: larger stacks come only from
    // absurd header values (image width, line or frame counts) or bin widths.
    static constexpr double kMaxStackPixels = 1073741824.0;
    // Channels are 4 bits wide; the tables of the photon pass are indexed by them.
    static constexpr uint32_t kChannelSlots = 16;

    // What a photon of a channel does at the current place in the scan.
    enum PhotonRole : uint8_t {
        Skipped = 0,  // outside a line (image scan), or a channel the file does not have
        Timed = 1,    // moves lastPhotonTime only
        Placed = 2,   // moves lastPhotonTime and is placed when it passes gate, cursors and pixel
    };

    // What the photon pass needs of one channel, kept together in one cache line.
    struct alignas(64) ChannelSlot {
        uint16_t *stack;
        uint32_t *delays;        // placed photons per dtime value
        const uint8_t *inGate;   // per dtime value: 1 when its delay lies inside the gate
        double cursorMin, cursorMax;  // ns, inclusive
        PhotonRole role;
    };

    /// Reads the form's width check box of this scan type.
    using WidthCheck = Qt::CheckState (FotonelServices::*)();
    /// Reads the form's width spin box of this scan type.
    using WidthBox = int (FotonelServices::*)();

    /*!
     * \brief The steps of GatherInformation both scans share, up to the
     * arrays of their own: returns at once (false) when already gathered.
     * Reads and checks the file's constants, measures the first line after
     * the first frame marker, takes the width from the spin box \p box when
     * \p check is checked and from the file header otherwise (a file without
     * one falls back to the spin box, or 32, with the warning \p missingWidth,
     * %1 the width used), sets the geometry and the photon counts and empties
     * the shared per-channel arrays. False, with the cause logged, when the
     * stack would be too large or a constant is unusable; \p sync and
     * \p resolution (ns) are then not for use.
     */
    bool GatherGeometry(WidthCheck check, WidthBox box, const QString &missingWidth, double &sync, double &resolution);
    /// Gates and time cursors (ns) of a photon pass, per channel.
    struct PassLimits {
        std::vector<double> gateMin, gateMax, cursorMin, cursorMax;
    };
    /// The common start of ReconstructImages: false when it must not run
    /// (already reconstructed, refused, or not gathered); else reads the
    /// form's gates and time cursors into \p limits.
    bool BeginReconstruction(PassLimits &limits);
    /// Zeroes the stack (totalPixels counts) and the delay counts of every active channel.
    void ClearStack();
    /*!
     * \brief Sets up the channel tables of a photon pass. In \p timed and
     * \p kept every channel of the file moves lastPhotonTime; in \p kept the
     * usable ones (active, with a gate and cursors) are placed. \p gateTable
     * receives the gate tests of the usable channels' dtime values.
     */
    void FillChannelSlots(const PassLimits &limits, ChannelSlot *timed, ChannelSlot *kept,
                          std::vector<uint8_t> &gateTable);
    /*!
     * \brief A fresh cursor standing on the first frame marker, where a photon
     * pass starts. It counts overflows from record 0, so its times, and the
     * cursor ranges set from them, are true measurement times. Sets
     * firstFrameTime to its time and the progress bar to 0.
     */
    T3RecordCursor StartPass();
    /// After a photon pass: the cursor ranges (first reconstruction only), the
    /// placed counts and the progress bar at 100.
    void FinishPass();
    /// The common start of CalculateStats: false when it must not run; else
    /// logs its start and empties the per-channel results.
    bool BeginStats();
    /// The common start of BuildInfoText: false without a window; else
    /// starts the text afresh with the image width.
    bool BeginInfoText();
    /// One line of the information text: \p label right-aligned in 25 characters.
    static QString InfoLine(const QString &label, const QString &value);
    /// The "Pixel Time" line of the information text.
    QString PixelTimeLine() const;
    /// Ends the information text with a line per active channel and hands it to the Summary pane.
    void FinishInfoText();
};
