#pragma once
/*!
 * \brief Analysis of a point measurement (the laser focus on one spot): the
 * photon stream for fluorescence correlation spectroscopy.
 *
 * Keeps per channel the macro time (ns) of every photon that passes its
 * channel's delay gate and time cursors, in record order, and how many of
 * them have each micro time (dtime value), and derives the displayed intensity trace (1000 bins over the measurement, the
 * last a guard), the export trace (the user's bin width, 16-bit counts) and
 * the lifetime histograms.
 */
#include "fcs/FcsFit.h"
#include "fcs/FcsSettings.h"
#include "scans/LargeArray.h"
#include "scans/RSD.h"

#include <cstdint>
#include <functional>
#include <vector>

class LinePlot;
class QGridLayout;
class QString;
namespace PointPass {
struct ChannelSlot;
struct State;
struct VectorChannels;
}
class QWidget;

class PointScan : public RSD {
public:
    /// Macro times (ns) of the kept photons of one channel: sized once from
    /// the record scan's count and written only where photons are kept.
    using PhotonTimes = LargeArray<double>;

    void ReconstructImages() override;
    /// The widest vector form of the photon pass this processor runs: 2
    /// AVX-512, 1 AVX2, 0 none (one record at a time).
    static int VectorLevelAvailable();
    void GatherInformation() override;
    /// A point scan has no images: only reconstructs when needed.
    void WriteImages(int exportType, int bitDepth) override;
    void CreateTabs() override;
    /// firstTime .. lastTime in s.
    bool CursorSpan(double &start, double &end) const override;

    /// Displayed trace: 999 bins across the measurement, cropped to the time cursors.
    void BinTrace();
    /// Export trace in memory with bins of \p binWidth ns (16-bit counts that
    /// wrap past 65535), the bins the binary trace file streams. False, with
    /// exportCounts unchanged, when the binning is refused (too many bins).
    bool BinExportTrace(double binWidth);

    /*!
     * \brief Auto- and cross-correlation of every ordered pair of active
     * channels on the lag grid of the form's dtau (µs), nrbins and ncasc:
     * correlations[i * N + j] for active channel positions i ("from") and j ("to").
     */
    void ComputeCorrelations();
    /*!
     * \brief lagEdges (ns) and lagAxis (bin centres, ms) of the cascaded grid:
     * p steps of \p dtau ns, then p of 2 dtau, and so on for q cascades; no
     * edge at 0. False, after an error line, for a step that is not a positive
     * number or a grid whose edges would not ascend; the grid is then unchanged.
     */
    bool MakeLagGrid(double dtau, int p, int q);
    /*!
     * \brief Normalised correlation G of the photon times \p X ("from") and
     * \p Y ("to"), ns, ascending, on the lag bins between \p edges (ns).
     * Bins from the first one without a pair on are 0.
     */
    void Correlate(const std::vector<double> &X, const std::vector<double> &Y, std::vector<double> &G,
                   const std::vector<double> &edges);
    void Correlate(const PhotonTimes &X, const PhotonTimes &Y, std::vector<double> &G,
                   const std::vector<double> &edges);

    /*!
     * \brief Error bars of every correlation curve: the measurement inside the
     * time cursors cut into the host's number of segments, each pair
     * correlated per segment on lagEdges, sigma = sd over segments / sqrt(M).
     * Needs ComputeCorrelations first; with one segment there are none.
     */
    void ComputeCorrelationErrors();
    /// Fits every correlation curve with the host's fit settings (error bars
    /// computed first when the settings ask for segments).
    void FitCorrelations();
    /// Every curve with its error bars: "%1_G_ch%2_ch%3_sd.dat".
    void SaveCorrelationErrors();
    /// Every fit: "%1_fit_ch%2_ch%3.txt"; a pair without a fit gets no file.
    void SaveFits();
    /// The fit report of pair \p k ("%1 : %2" lines), empty without a fit.
    QString FitReport(std::size_t k) const;

    /// Displayed trace of the lowest channel with photons, as text: "%1_trace_ch%2.dat".
    void SaveTraceText();
    /// Export trace of every channel with photons at the form's binsize: "%1_trace_ch%2.bin".
    void SaveTraceBinary();
    /// Lifetime histogram of the lowest channel with photons, as text: "%1_histogram_ch%2.dat".
    void SaveHistogram();
    /// Every correlation curve, as text: "%1_G_ch%2_ch%3.dat".
    void SaveCorrelations();

    /// The trace tab named \p name: one plot of traceTimes / traceCounts per active channel.
    void CreateDataTab(const QString &name);
    /// The lifetime tab named \p name: lifetimeHistograms on a logarithmic count axis.
    void CreateLifetimeTab(const QString &name);
    /// The correlation result tab named \p name, built from lagEdges, lagAxis and
    /// correlations: one plot per ordered pair of active channels, lag axis logarithmic.
    void CreateCorrelationTab(const QString &name);

    /// 0 when v <= x[0]; else the smallest i >= 1 with v <= x[i], or x's length
    /// when there is none. x ascending; an empty x gives 0.
    static std::size_t FindFirstNotBelow(const std::vector<double> &x, double v);
    /// The largest i with x[i] <= v, or 0 when there is none. x ascending;
    /// an empty x gives 0.
    static std::size_t FindLastNotAbove(const std::vector<double> &x, double v);

    uint32_t channelCount = 0;
    uint32_t activeChannelCount = 0;
    std::vector<uint32_t> gatedCounts;     ///< per channel, photons that passed gate and cursors
    std::vector<uint32_t> activeChannels;  ///< indices of the channels with photons, ascending
    std::vector<double> lagEdges;          ///< ns
    std::vector<double> lagAxis;           ///< ms
    std::vector<std::vector<double>> correlations;
    std::vector<PhotonTimes> photonTimes;   ///< ns, record order (ascending)
    std::vector<std::vector<double>> traceTimes;    ///< s, bin centres of the displayed trace
    std::vector<std::vector<double>> traceCounts;   ///< photons per displayed bin
    std::vector<std::vector<uint16_t>> exportCounts;  ///< photons per export bin
    double firstTime = 0;       ///< ns, truetime of the first record of the file
    double lastTime = 0;        ///< ns, truetime of the last photon record (before gating)
    uint64_t undelayedPhotons = 0;  ///< T2 with syncs: photons the last pass found without a delay
    double traceBinWidth = 0;   ///< ns
    double millisecondScale = 1e6;
    double secondScale = 1e9;
    /// Error bars (sigma of G) per curve, as correlations; empty without segments.
    std::vector<std::vector<double>> correlationErrors;
    int errorSegments = 0;                   ///< segments behind correlationErrors (after rejection)
    /// Per curve, the curve of every segment used (bins past a segment's reach hold 0).
    std::vector<std::vector<std::vector<double>>> segmentCurves;
    std::vector<double> channelRates;        ///< per channel, kHz inside the cursors
    std::vector<fcs::FitResult> fits;        ///< per curve, as correlations
    fcs::FitSettings fitSettings;            ///< read from the host at the start of the last error or fit command
    /// The widest vector form the photon pass may take where the processor
    /// has it: 2 AVX-512 (the default), 1 AVX2, 0 none, one record at a time
    /// (the results are the same; tests compare the forms).
    static int vectorLevel;
    /// Files of this many records or more, split by the record scan, are
    /// passed by two threads (tests lower it).
    static std::size_t parallelPassRecords;

private:
    /// The channel slots of the photon pass from the form's gates and time
    /// cursors; \p gateTable receives the gate tests. True when every gate
    /// is one run of dtime values (what the vector forms need).
    bool FillChannelSlots(PointPass::ChannelSlot *table, std::vector<uint8_t> &gateTable);
    /// The photon pass over every record in the widest form allowed; sets
    /// firstTime and lastTime. True when some photon came before the one
    /// ahead of it in the file.
    bool PassPhotons(PointPass::ChannelSlot *table, bool gatesAreRuns);
    /// The pass of PassPhotons in two threads, one per half of the record
    /// scan's split; false (nothing passed) when the file was not split.
    template <class Format, class Walk, class Report>
    bool PassInTwoThreads(PointPass::ChannelSlot *table, PointPass::VectorChannels &channels, int level,
                          std::size_t records, double sync, double delayStep, PointPass::State &state,
                          uint64_t &nextProgress, Walk &walk, Report &report);
    /// The kept photons' counts and times after the pass, sorted (and the
    /// user told) where time ran backwards.
    void KeepPassedPhotons(const PointPass::ChannelSlot *table, bool descending);
    /// Takes \p count export trace bins, in time order; false stops the stream.
    using TraceBinSink = std::function<bool(const uint16_t *bins, std::size_t count)>;
    /// n = ceil(span / binWidth): bin b covers firstTime + [b, b + 1) x binWidth.
    uint64_t ExportTraceBins(double binWidth) const;
    /*!
     * \brief The n export trace bins of channel \p c, bins of \p binWidth ns,
     * handed to \p write in time order, one buffer at a time; nothing else is
     * held. A photon beyond the last bin is reported ("Index out of bounds").
     * Drives the progress bar by bins. False when \p write refused.
     */
    bool StreamTraceBins(uint32_t c, double binWidth, uint64_t n, const TraceBinSink &write);
    void SegmentErrors(const fcs::FitSettings &settings);
    /// Error bars, the fitted model and, under the plot, the weighted
    /// residuals of curve \p k; returns the widget for the tab's grid cell.
    QWidget *AddErrorsAndFit(LinePlot *plot, std::size_t k, QWidget *page) const;
    /// The table of fit results under the correlation plots, one row per pair.
    void AddFitTable(QGridLayout *grid, QWidget *page) const;
    template <class Times>
    void CorrelateTimes(const Times &X, const Times &Y, std::vector<double> &G, const std::vector<double> &edges);
    /// One "Index out of bounds %1 %2" line per photon outside a trace, up to a
    /// limit per channel (a damaged file must not flood the log).
    void ReportOutOfBounds(std::size_t photon, double bin, uint32_t &reported);
    void ReportSuppressed(uint32_t reported, uint32_t channel);
    /// The lowest channel with photons; false when there is none.
    bool FirstActiveChannel(uint32_t &channel) const;
    /// Writes "x y" lines (general format, 6 digits) to the text file \p name.
    bool SaveColumns(const QString &name, const std::vector<double> &x, const std::vector<double> &y);
    /*!
     * \brief The text file \p pattern (exportBase, channel number) of the
     * lowest channel c with photons: x from \p x when given, else xs[c], and
     * ys[c]; then the line \p saved with the file name.
     */
    void SaveLowestChannel(const char *operation, const char *pattern, const QString &saved,
                           const std::vector<double> *x, const std::vector<std::vector<double>> &xs,
                           const std::vector<std::vector<double>> &ys);
};
