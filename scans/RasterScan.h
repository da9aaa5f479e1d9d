#pragma once
/*!
 * \brief What the image scan and the line scan share: lines of W pixels
 * bounded by line starts (1) and line ends (2), grouped into the frames of
 * the file's frame list (FrameList: between frame markers (4), and a whole
 * run of lines before the first or after the last marker).
 *
 * Both measure the pixel clock on the first line of the first frame, place
 * the photons that pass their channel's delay gate and time cursors (all
 * limits inclusive) into a 16-bit count stack per channel, and bin the
 * placed photons' delays into lifetime histograms. They differ in
 * the bookkeeping of lines and frames, the statistics, the information text
 * and the form controls they prime; those stay in the subclasses.
 *
 * Times: cursor and record times in ns, gates in ns, the cursor controls
 * in s.
 *
 * The marker values are the file's (pqFile::markerMeaning): 1, 2 and 4 for
 * the PicoHarp, others where a .ptu's imaging tags name them.
 */
#include "host/FotonelServices.h"
#include "files/T3RecordCursor.h"
#include "files/TwoThreads.h"
#include "flim/Phasor.h"
#include "scans/LargeArray.h"
#include "scans/OmeXml.h"
#include "scans/RSD.h"

#include <QString>
#include <Qt>

#ifndef FOTONEL_MEMORY_BUDGET_BYTES
#define FOTONEL_MEMORY_BUDGET_BYTES 4294967296.0
#endif
#include <cmath>
#include <cstdint>
#include <vector>

struct RasterScanKernels;

class RasterScan : public RSD {
public:
    /// Export type 0: a TIFF stack, 1: a TIFF file per frame, 2: raw data with
    /// an ImageJ macro, per active channel; bit depth 0 writes the low byte of
    /// every count, 1 the 16-bit counts.
    void WriteImages(int exportType, int bitDepth) override;
    /*!
     * \brief Writes NAME.ome.tif: every active channel and kept frame as
     * 16-bit planes (order XYCZT) with OME-XML in the first directory's
     * description: channel names, pixel size (µm) where the file gives one,
     * frame period (s) where there are two frames.
     */
    void WriteOmeTiff();
    /// The OME description of the active channels' planes, \p timePoints per channel.
    OmeImage OmeDescription(uint32_t timePoints) const;
    /// Builds the Data, Mean, Variance and Time course tabs, then the lifetime tab "TauTab".
    void CreateTabs() override;
    /// Builds a "Life times" tab whose page is named \p name and makes it current.
    void CreateLifetimeTab(const QString &name);
    /// firstFrameTime .. lastPhotonTime in s.
    bool CursorSpan(double &start, double &end) const override;

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

    std::vector<uint32_t> photonCount;       ///< per channel, photons placed
    std::vector<uint32_t> gatedPhotonCount;  ///< per channel, photons placed (the sum of delayCounts)
    std::vector<uint32_t> minimum;
    std::vector<uint32_t> maximum;
    /// Per channel: pixel (x, y) of frame f at f x W x H + y x W + x; empty for inactive channels.
    /// On huge pages (see LargeArray).
    std::vector<LargeArray<uint16_t>> images;
    std::vector<std::vector<double>> meanImages;
    std::vector<std::vector<double>> varianceImages;
    std::vector<std::vector<double>> timeCourse;
    double firstFrameTime = 0;   ///< ns
    double lastPhotonTime = 0;   ///< ns, last photon that moves the end of the data span

    /// The widest vector form a photon pass may take where the processor has
    /// it: 2 AVX-512 (the default), 1 AVX2, 0 none, one record at a time
    /// (tests compare the forms). A pass with phasor sums takes AVX2 for
    /// channels below 8 even at 2 (RasterScanKernels::PlaceGroups).
    static int vectorLevel;
    /// Image scans of at least this many records (and two frames) are
    /// placed in two threads; tests lower it to compare both ways.
    static std::size_t parallelPassRecords;
    /// Statistics over at least this many counts run in two threads.
    static std::size_t parallelStatisticsCounts;

    /// Delay counts in regions of a power of 2 of them, the block aligned to
    /// a region's size, so that a count's region is its address shifted.
    struct DelayBlock {
        std::vector<uint32_t> storage;
        uint32_t *data = nullptr;
    };
    /*!
     * \brief The phasor sums the last photon pass gathered beside the stack,
     * when the Lifetime group asked for phasors alone: per placed channel and
     * pixel (position along the line for a line scan) Σ cos, Σ sin of the
     * placed photons' delays in units of 2^-30, as whole numbers: exact in
     * any order, so the pass (in one thread or two) and the walk of
     * AccumulateLifetimes give the very same sums.
     */
    struct PassPhasors {
        int harmonic = 0;                          ///< 0: none gathered
        /// Per dtime value cos, sin in units of 2^-30, once for each region
        /// of a delay block (see UsePhasorDelays; zeros beyond delayBins),
        /// then zeros for its sinks' region.
        std::vector<int64_t> table;
        std::vector<uint32_t> regionChannel;       ///< the channel (0-based) of each region
        uint32_t regionStride = 0;                 ///< dtime values a region of the block spans: a power of 2
        DelayBlock delays;                         ///< the pass's delay block; added to delayCounts after it
        std::vector<int64_t> sumsOffsets;          ///< per region, then the sinks' region (see SlotTable)
        std::vector<LargeArray<int64_t>> sums;     ///< per channel: 2 per pixel (on huge pages); empty: not placed
    };
    PassPhasors passPhasors;
    /// Zeroed arrays of phasor sums made ahead (ImageScan::GatherInformation)
    /// for the next pass to take, its own and its second thread's.
    std::vector<LargeArray<int64_t>> readySums;
    /// One of readySums of \p size numbers; an empty array when none is left.
    LargeArray<int64_t> TakeReadySums(std::size_t size);

protected:
    /*!
     * \brief After a pass that gathered phasor sums for the Lifetime group,
     * the arrays of a phasor image for each channel summed (its photons and
     * its four maps, each of the image's size) are made in another thread
     * while the steps after the pass go on: new memory, which the kernel
     * clears page by page, made where a processor is free rather than in the
     * lifetimes step. Up to a small part of the memory budget; any left
     * from an earlier pass are made again or freed.
     */
    void MakeReadyImages();
    /// The arrays MakeReadyImages made, once it has made them (none: empty).
    std::vector<flim::PhasorImage> TakeReadyImages();

    /// Phasor sums per pixel (image scan) or position along the line (line
    /// scan) in one walk over the kept lines, and the decays of the fit map.
    bool AccumulateLifetimes(LifetimeSums &sums) override;
    struct PhasorPass;
    /// Fills \p sums from passPhasors when they serve it; false when the walk must gather them.
    bool TakePassPhasors(LifetimeSums &sums);
    /// The walk of AccumulateLifetimes, compiled per record layout.
    template <class Format>
    void AccumulatePhasorsOf(const PhasorPass &pass, bool alongLine);

    // The vector forms of PlaceRun read the pass's tables.
    friend struct RasterScanKernels;

    /// "%1_ch%2.tif" and its kin: \p pattern filled with exportBase and channel number \p c + 1.
    QString ExportName(const char *pattern, uint32_t c) const;
    /// The description of the TIFF page of frame \p frame; null when pages carry none.
    virtual QString PageDescription(uint32_t frame) const;
    /// One multi-page TIFF per active channel.
    void WriteTiffStack(int bitDepth);
    /// One TIFF file per frame and active channel, frame index zero-padded to the digits of F.
    void WriteTiffImages(int bitDepth);
    /// One raw file and one ImageJ macro that opens it per active channel.
    void WriteRawData(int bitDepth);
    /// The pixels of channel \p c as written at \p bitDepth: the counts, or
    /// their low bytes in \p lowBytes.
    const void *ExportPixels(uint32_t c, int bitDepth, std::vector<uint8_t> &lowBytes) const;
    /// Progress after page \p page of \p pages: 0 to 100, also for a single page.
    static int PageProgress(uint32_t page, uint32_t pages);

    /*!
     * \brief A fresh cursor standing where every walk over the frames starts,
     * as the file's frame list places it (FrameList::Start): on the first
     * frame marker, or just before the first line start of a frame kept
     * before it. \p openingTime (ns) receives the time of that opening.
     */
    template <class Format>
    T3RecordCursor<Format> PassStart(double *openingTime = nullptr) const;
    /// Frames the walks over the records pass through (the frames of the file's frame list, before any removal).
    virtual uint32_t FramesInWalk() const { return numberOfFrames; }
    /// True when the last reconstruction kept frame \p frame (counted from the walk's start).
    virtual bool FrameKept(uint32_t frame) const { return frame < numberOfFrames; }
    /*!
     * \brief Walks the records frame by frame from PassStart (which ends the
     * walk where the frame list ends) and calls \p photon(cursor, line, x) for every photon
     * inside line \p line < H of a kept frame whose pixel
     * x = floor(W x (truetime - line start) / lineTime) lies in 0..W-1; line
     * starts (1), line ends (2), frame markers (4) and the end of a frame
     * kept after the last marker are read as the photon pass reads them.
     * Drives the progress bar and lets events run after each frame. The walk
     * and \p photon (a generic lambda: its cursor argument has the type of
     * the file's record layout) are compiled once per layout.
     */
    template <class Photon>
    void WalkKeptLines(Photon &&photon);
    /// When not 0, WalkKeptLines reports the line of the n-th kept frame
    /// (from 0) as n x keptFrameRows + line: the kept frames one below the other.
    uint32_t keptFrameRows = 0;
    template <class Format, class Photon>
    void WalkKeptLinesOf(Photon &photon);
    /// True when the mean and variance are profiles along one line, drawn
    /// as curves; false when they are images.
    virtual bool ProfilesAsPlots() const = 0;
    /// Start time (s) of each point of the time course: frames or lines.
    virtual const std::vector<double> &TimeCourseTimes() const = 0;

    static constexpr double kNsPerS = 1e9;
    /// Memory all arrays of one analysis may take together (4 GiB; fuzzing
    /// builds set less): more comes only from absurd header values (image
    /// width, line or frame counts) or an absurd width override.
    static constexpr double kMemoryBudgetBytes = FOTONEL_MEMORY_BUDGET_BYTES;
    /// What each kind of array made ahead for a later step, or copied for
    /// the second thread of the pass, may take: a small part of the budget.
    static constexpr double kMadeAheadBytes = kMemoryBudgetBytes / 16;
    /*!
     * \brief Bytes of every array the analysis of the gathered geometry will
     * hold: the count stack, mean and variance, time course, delay and gate
     * tables, lifetime histograms of \p lifetimeBins bins, and the frame and
     * line times. Computed in double, so absurd sizes cannot wrap.
     */
    double AnalysisBytes(double lifetimeBins) const;
    /// True when the fit map's decays of \p width x \p height pixels in
    /// \p bins bins fit beside the analysis in the memory budget; else logs why.
    bool FitMapDecaysFit(uint32_t width, uint32_t height, uint32_t bins);
    // 2^30 16-bit counts (2 GiB) over all channels: larger stacks come only from
    // absurd header values (image width, line or frame counts) or bin widths.
    static constexpr double kMaxStackPixels = 1073741824.0;
    // The tables of the photon pass are indexed by channel: kChannelSlots
    // (files/RecordFormat.h) covers the channels of every record layout.

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
        int64_t *phasor;         // per pixel of a frame: Σ cos, Σ sin of the placed photons; null: none gathered
        PhotonRole role;
    };

    /*!
     * \brief The channel slots of one place a photon can meet, indexed by
     * channel, with what the vector forms of the pass read of them at once:
     * the channels 0-31 that move lastPhotonTime and those placed, as bits,
     * the cursor range every placed channel lets through, and the gates of
     * the channels 0-15 as ranges of dtime values. A new table skips every
     * channel; Summarize after filling the slots.
     */
    struct SlotTable {
        ChannelSlot slot[kChannelSlots] = {};
        uint32_t timedBits = 0;   // bit c: channel c is not Skipped
        uint32_t placedBits = 0;  // bit c: channel c is Placed
        bool narrow = true;       // every channel from 32 up is Skipped
        // Channel c < 16 placed: its gate holds dtime d exactly when
        // gateLow[c] <= d <= gateHigh[c] (a closed gate: 1 and 0).
        uint32_t gateLow[16] = {}, gateHigh[16] = {};
        bool gateRanges = true;   // every placed channel below 16 has such a range
        double cursorLow = -HUGE_VAL, cursorHigh = HUGE_VAL;  // ns: the latest cursorMin, the earliest cursorMax
        // With phasor sums (UsePhasorDelays): the placed channels count their
        // delays in one block, a region each, and a delay count at address a
        // finds the cos and sin of its dtime at phasorByDelay + 4 a; the lanes
        // of the vector forms that place nothing count at delaySinks (8 counts,
        // a region of the block of their own). The pixel sums of a photon whose
        // count lies at address n are at 8 n + the offset of its region, which
        // lies at sumsOffsets + 8 (a >> regionShift); the vector forms set the
        // offsets for the line they place in.
        uintptr_t phasorByDelay = 0;
        uint32_t *delaySinks = nullptr;
        uintptr_t sumsOffsets = 0;
        uint32_t regionShift = 0;
        /// \p delayBins: the dtime values of the file's layout.
        void Summarize(uint32_t delayBins);
    };

    /// What stays fixed in one photon pass.
    struct PassConstants {
        const uint32_t *words = nullptr;        // the file's records
        double width = 0, clock = 0;            // W; lineTime (ns)
        double syncPeriod = 0, resolution = 0;  // ns
        int vector = 0;                         // vector form of runs of photons: 0 none, 1 AVX2, 2 AVX-512
        const int64_t *phasorTable = nullptr;   // per dtime value: cos, sin of n ω t; null: no phasor sums
    };
    /// What a run of photons reads and moves of the pass at the place it is in.
    struct RunState {
        const SlotTable *table = nullptr;
        double lineStart = 0;        // ns
        std::size_t lineOffset = 0;  // first pixel of the current line in the stack
        std::size_t phasorOffset = 0;  // first pixel of the current line in the phasor sums
        double last = 0;             // ns, last photon that moved the end of the data span
    };
    /// The constants of a photon pass over this file.
    PassConstants PhotonPassConstants() const;
    /*!
     * \brief Places the photons of records \p i .. \p end - 1 up to the first
     * special record, as the photon pass does one by one: each photon of a
     * channel not Skipped moves \p run.last; a placed one that passes its gate
     * and cursors and falls on a pixel of the line is counted in the stack
     * (saturating at 65535) and in the delay counts. \p overflowOffset: the
     * sync periods of the overflows before record \p i. Returns the index of
     * the special record, or \p end.
     */
    template <class Format>
    static uint32_t PlaceRun(const PassConstants &pass, uint32_t i, uint32_t end, uint64_t overflowOffset,
                             RunState &run);
    /// The same, one record at a time: the form for every processor and for
    /// every case the vector form leaves.
    template <class Format>
    static uint32_t PlaceRunScalar(const PassConstants &pass, uint32_t i, uint32_t end, uint64_t overflowOffset,
                                   RunState &run);

    /// Reads the form's width check box of this scan type.
    using WidthCheck = Qt::CheckState (FotonelServices::*)();
    /// Reads the form's width spin box of this scan type.
    using WidthBox = int (FotonelServices::*)();

    /*!
     * \brief The steps of GatherInformation both scans share, up to the
     * arrays of their own: returns at once (false) when already gathered.
     * Reads and checks the file's constants, measures the first line of the
     * first frame, takes the width from the spin box \p box when
     * \p check is checked and from the file header otherwise (a file without
     * one falls back to the spin box, or 32, with the warning \p missingWidth,
     * %1 the width used), sets the geometry and the photon counts and empties
     * the shared per-channel arrays. False, with the cause logged, when the
     * stack would be too large or a constant is unusable; \p sync and
     * \p resolution (ns) are then not for use.
     */
    bool GatherGeometry(WidthCheck check, WidthBox box, const QString &missingWidth, double &sync, double &resolution);
    /// Line start to line end of the first line of the first frame: ns and
    /// sync periods; false when there is no such line.
    template <class Format>
    bool MeasureFirstLine(double &time, uint32_t &syncs) const;
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
    void FillChannelSlots(const PassLimits &limits, SlotTable &timed, SlotTable &kept, std::vector<uint8_t> &gateTable);
    /// Sets up passPhasors for a photon pass (empty unless the host asks for
    /// phasors) and points \p kept's placed slots at its sums.
    void PreparePassPhasors(SlotTable &kept);
    /*!
     * \brief Points the delay counts of the placed channels of \p kept into
     * \p block (zeroed, one region of passPhasors.regionStride counts per
     * channel of passPhasors.regionChannel, then one for 8 sinks) and sets
     * the table's phasorByDelay, delaySinks, and its region offsets in \p offsets.
     */
    void UsePhasorDelays(SlotTable &kept, DelayBlock &block, std::vector<int64_t> &offsets) const;
    static constexpr uint32_t kDelaySinks = 8;
    /// Adds the delay block of the last pass to delayCounts, and frees it.
    void AddPassPhasorDelays();
    /*!
     * \brief A fresh cursor standing where the file's frame list opens frame 0
     * (FrameList::Start), where a photon pass starts. It counts overflows from
     * record 0, so its times, and the cursor ranges set from them, are true
     * measurement times. Sets firstFrameTime to the opening's time and the
     * progress bar to 0.
     */
    template <class Format>
    T3RecordCursor<Format> StartPass();
    // The pass templates below are defined in scans/RasterScanPass.h.
    /*!
     * \brief The photon pass over the frames of the file's frame list: the
     * photons between two special records go to PlaceRun as one run, with
     * \p outsideLine from a line end to the next line start and the table
     * lineStarted(frame, line, time) gives at each line start (time in ns).
     * frameClosed(frame, lines, time) follows each frame that closes (at its
     * marker, or at its last line end after the last marker), then the
     * progress and pending events. Sets lastPhotonTime.
     */
    template <class Format, class LineStarted, class FrameClosed>
    void PassFrames(const SlotTable &outsideLine, LineStarted lineStarted, FrameClosed frameClosed);
    /// The tables a line start chooses from: lines below H and lines beyond.
    struct LineTables {
        const SlotTable *kept, *dropped;
    };
    /*!
     * \brief PassFrames for an image scan, in two threads when the file holds
     * parallelPassRecords records or more and two frames or more: the frames
     * from the middle on go to a second thread that starts at the frame
     * marker closing the frame before them, with the overflows counted up to
     * that marker. The stack's frames are apart; the second thread counts
     * delays and phasor sums (whole numbers) in copies that are added to the
     * first's, so the results are those of one thread, bit for bit.
     * makeLineStarted(LineTables) makes the lineStarted of one thread, which
     * chooses between the two tables it is given; frameClosed runs in this
     * thread, in frame order, and the log with it.
     */
    template <class Format, class MakeLineStarted, class FrameClosed>
    void PassImageFrames(const SlotTable &outsideLine, LineTables tables, MakeLineStarted makeLineStarted,
                         FrameClosed frameClosed);
    /*!
     * \brief The frames \p frame .. \p endFrame - 1 of a photon pass from \p cursor,
     * which stands on the record before the first of them (the frame marker
     * closing the frame before, or the pass's start); \p lastTime: the end of
     * the data span so far. Progress and events only with \p inWindowThread.
     * Returns the end of the data span after them.
     */
    template <class Format, class LineStarted, class FrameClosed>
    double PassFrameRange(T3RecordCursor<Format> cursor, uint32_t frame, uint32_t endFrame, double lastTime,
                          const SlotTable &outsideLine, LineStarted &lineStarted, FrameClosed &frameClosed,
                          bool inWindowThread);
    /// Where the second thread of a photon pass starts: after the frame
    /// marker at record \p index, which closes frame \p frame - 1, with
    /// \p overflowOffset sync periods of overflows before it.
    struct PassSplit {
        uint32_t frame = 0, index = 0;
        uint64_t overflowOffset = 0;
    };
    /// Finds the PassSplit of frame \p frame for a pass that starts at \p first; false when that frame has no such marker.
    template <class Format>
    bool FindPassSplit(const T3RecordCursor<Format> &first, uint32_t frame, PassSplit &split) const;
    /// After a photon pass: the cursor ranges (first reconstruction only), the
    /// placed counts and the progress bar at 100.
    void FinishPass();
    /// The common start of CalculateStats: false when it must not run; else
    /// logs its start and empties the per-channel results.
    bool BeginStats();
    /*!
     * \brief The statistics of \p rows rows of \p length counts at \p data
     * (row r at r x length): per position the mean and the variance (n - 1
     * in the denominator) over the rows, in \p mean and \p variance (length
     * entries, 0 on entry), and the mean of each row in \p course (rows
     * entries). No row leaves the mean 0, fewer than two the variance.
     */
    static void RowStatistics(const uint16_t *data, std::size_t length, uint32_t rows, std::vector<double> &mean,
                              std::vector<double> &variance, std::vector<double> &course);
    /// The common start of BuildInfoText: false without a window; else
    /// starts the text afresh with the image width.
    bool BeginInfoText();
    /// Lines of the information text naming the frames kept before the first
    /// and after the last frame marker; empty when there are none.
    QString RecoveredFrameLines() const;
    /// The "Pixel Time" line of the information text.
    QString PixelTimeLine() const;
    /// Ends the information text with a line per active channel and hands it to the Summary pane.
    void FinishInfoText();

private:
    std::vector<flim::PhasorImage> readyImages;  ///< touched only after readyImagesMaker.Wait()
    JobBeside readyImagesMaker;                   ///< after readyImages: joined before it goes
};

template <class Format>
T3RecordCursor<Format> RasterScan::PassStart(double *openingTime) const
{
    T3RecordCursor<Format> cursor(*mainWindow, *file);
    file->frames.Start(cursor, openingTime);
    return cursor;
}

template <class Format>
T3RecordCursor<Format> RasterScan::StartPass()
{
    T3RecordCursor<Format> cursor = PassStart<Format>(&firstFrameTime);
    mainWindow->SetProgress(0);
    return cursor;
}

template <class Photon>
void RasterScan::WalkKeptLines(Photon &&photon)
{
    WithRecordFormat(file->recordFormat, [&](auto format) { WalkKeptLinesOf<decltype(format)>(photon); });
}

template <class Format, class Photon>
void RasterScan::WalkKeptLinesOf(Photon &photon)
{
    T3RecordCursor<Format> cursor = PassStart<Format>();
    mainWindow->SetProgress(0);
    LetEventsRun();
    const uint32_t frames = FramesInWalk(), H = imageHeight;
    const uint32_t lineStartMarker = file->markerMeaning.lineStart, lineEndMarker = file->markerMeaning.lineEnd;
    const uint32_t frameMarker = file->markerMeaning.frame;
    const double width = imageWidth;
    const double clock = lineTime;
    // The rows of the kept frames one below the other (keptFrameRows set), or every frame on row 0.
    uint32_t rowBase = 0;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const bool kept = FrameKept(frame);
        uint32_t line = 0;
        bool inLine = false;
        double lineStart = 0;
        bool closed = false;
        while (cursor.Next()) {
            const uint32_t marker = cursor.marker;
            if (marker == PHOTON_MARKER) {
                if (!inLine)
                    continue;
                // Pixel clock of the first line; x = W (the offset equals lineTime) is dropped.
                const double x = width * (cursor.truetime - lineStart) / clock;
                if (x >= 0 && x < width)
                    photon(static_cast<const T3RecordCursor<Format> &>(cursor), rowBase + line, static_cast<uint32_t>(x));
            } else if (marker == lineEndMarker) {
                ++line;
                inLine = false;
            } else if (marker == lineStartMarker) {
                lineStart = cursor.truetime;
                inLine = kept && line < H;
            } else if (marker == frameMarker) {
                closed = true;
                break;
            }
        }
        // A frame kept after the last frame marker closes at its last line end.
        if (!closed && !file->frames.ClosedAtStop(frame, cursor.index))
            break;
        if (kept)
            rowBase += keptFrameRows;
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame + 1) / frames * 100));
        LetEventsRun();
    }
}
