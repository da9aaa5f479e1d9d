#pragma once
/*!
 * \brief The analysis of one opened file: image scan, line scan or point scan.
 *
 * The main window holds one current analysis, made for the current file, and
 * drives it only through these operations. The flags make repeated calls
 * cheap; clearing one from outside forces that step to run again with the
 * form's current values.
 */
#include "files/RecordFormat.h"
#include "flim/Phasor.h"

#include <cstdint>
#include <memory>
#include <vector>

class FotonelServices;
class pqFile;
struct LifetimeResults;
struct LifetimeSums;
namespace flim {
struct PhasorCursor;
struct Settings;
}

class RSD {
public:
    virtual ~RSD() = default;

    /// Stores both references; clears gathered and reconstructed, sets resetCursors.
    virtual void Init(FotonelServices &mainWindow, pqFile &file);
    /// Sorts the photons that pass gates and cursors into the result arrays.
    virtual void ReconstructImages() = 0;
    /// Derives the geometry from the file, sizes the arrays and primes the form.
    virtual void GatherInformation() = 0;
    /// Export type: 0 TIFF stack, 1 TIFF images, 2 raw; bit depth: 0 8 bit, 1 16 bit.
    virtual void WriteImages(int exportType, int bitDepth) = 0;
    /// Builds the result tabs.
    virtual void CreateTabs();

    /*!
     * \brief The data span (s) the first reconstruction gave the time cursors,
     * for the window's Reset cursors. False (and nothing set) before a
     * reconstruction.
     */
    virtual bool CursorSpan(double &start, double &end) const;

    /// True while one of this analysis's loops lets pending GUI events run:
    /// the analysis must then be neither destroyed nor started again.
    bool InsideLoop() const { return insideLoop; }

    /*!
     * \brief Lifetime histograms of the kept photons (delayCounts) with bins
     * of \p binWidth ns made a whole number of delay steps (LifetimeBin).
     */
    void BinLifetimes(double binWidth);
    /*!
     * \brief \p requested ns as a lifetime bin width that matches the
     * hardware: the nearest whole number of the file's delay steps
     * (resolution), at least one. When that changes the value (beyond the
     * five decimals its box shows), one line says so and the box of this
     * scan type shows the width used. A width that is not a positive number
     * is returned as it is (the binnings refuse it).
     */
    double LifetimeBin(double requested);

    /*!
     * \brief Phasors (\p phasors) and decay fits (\p fits) of the photons
     * that make the result arrays (same gates, cursors and kept frames), per
     * active channel, with \p settings. Reconstructs first when needed.
     * False, after an error and with no results kept, when a setting, the
     * reference or the response file is unusable or no pixel reaches the
     * threshold.
     */
    bool ComputeLifetimes(const flim::Settings &settings, bool phasors, bool fits);
    /// Writes the files of the last ComputeLifetimes beside the measurement.
    void WriteLifetimes();
    /*!
     * \brief The decay fit of the pixels inside the phasor cursor \p cursor,
     * NAME_decayfit_selection_chN.txt per channel of the last
     * ComputeLifetimes, as the Phasor tab's "Save Selection Fit" writes it.
     * Needs phasors and a decay fit; a point measurement, one phasor for the
     * whole measurement, has no selection and gets a warning.
     */
    void WriteSelectionFits(const flim::PhasorCursor &cursor);
    /// A "Phasor" and a "Lifetime" tab per channel of the last ComputeLifetimes.
    void CreateLifetimeTabs();
    /// The results of the last ComputeLifetimes that went through; null before.
    std::shared_ptr<LifetimeResults> lifetimes;
    /// Lifetime steps over images of at least this many pixels take their
    /// channels in two threads; tests move it to compare both ways.
    static std::size_t parallelLifetimePixels;

    bool gathered = false;       ///< geometry derived, arrays sized
    bool reconstructed = false;  ///< arrays hold the result of the current gates and cursors
    bool resetCursors = true;    ///< next reconstruction sets the cursor ranges from the data

    std::vector<uint32_t> photonCounts;  ///< per channel, photons in the file
    /// Per channel, the kept photons per dtime value (delayBins entries; a
    /// photon's delay is dtime x resolution ns); empty for inactive channels.
    std::vector<std::vector<uint32_t>> delayCounts;
    std::vector<std::vector<double>> lifetimeHistograms;
    std::vector<double> lifetimeAxis;  ///< ns, bin centres
    double lifetimeBinWidth = 0;       ///< ns, a whole number of delay steps
    double syncPeriod = 0;             ///< ns

protected:
    /*!
     * \brief Fills \p sums (table and map bins set by the caller) from the
     * photons the last reconstruction kept. Here: the whole measurement as
     * one pixel from the kept delays; raster scans place each photon.
     */
    virtual bool AccumulateLifetimes(LifetimeSums &sums);

    /// cos and sin of n ω t for every dtime value of this file at \p harmonic:
    /// built on the first ask and kept for the next, since a phasor pass and
    /// the lifetimes after it ask for the same one.
    const flim::PhasorTable &PhasorTableAt(int harmonic);

    /// Lets pending GUI events run once, marking the analysis as inside a loop.
    void LetEventsRun();
    /// True (after a warning naming \p operation) when the operation must not
    /// run now: the analysis is not attached to a file, or it was entered
    /// again from the events of one of its own loops.
    bool Refuses(const char *operation);

    /// Delay steps of \p width ns: the whole number of resolutions it is, at least 1.
    uint32_t DelaySteps(double width) const;
    /*!
     * \brief Lifetime histograms of the kept photons, shared by the three analyses.
     *
     * \p width is a whole number m of delay steps (LifetimeBin), so dtime
     * value k lies in bin k / m: every bin holds the same number of dtime
     * values and none aliases. N = ceil(syncPeriod / width) bins; the last one
     * is a guard that collects every delay from (N - 1) x width on and is
     * dropped, so lifetimeAxis (bin centres, ns) and each active channel's
     * histogram keep N - 1 entries. Bins start at 1e-12 so a logarithmic axis
     * can show empty bins. Channels whose photonCounts entry is 0 get empty
     * histograms. Refuses (logged error, nothing changed, false) a width that
     * is not a positive number and a bin count that would not fit in memory.
     */
    bool BinDelayTimes(double width);
    /// \p start after n additions of 1, one at a time, in double arithmetic:
    /// the value a bin reaches when its photons are counted one by one.
    static double AddOnes(double start, uint64_t n);
    /// Logs "Invalid bin width %1 ns" and returns false unless \p width is a positive finite number.
    bool CheckBinWidth(double width);
    /*!
     * \brief Scans the file's records when that has not been done and reads
     * the constants every analysis needs: channel count (1 to 14), sync
     * period and resolution (ns, positive and finite). False, after an error
     * naming the bad value, when one of them is unusable.
     */
    bool ReadFileConstants(uint32_t &channels, double &sync, double &resolution);
    /// Copies the file's photons per channel into \p photonCounts (\p channels
    /// entries, 0 where the file has none) and returns how many are not 0.
    uint32_t CopyPhotonCounts(uint32_t channels, std::vector<uint32_t> &photonCounts) const;
    /*!
     * \brief Per dtime value k (\p count entries): 1 when its delay
     * k x \p resolution ns, computed as the record cursor does, lies inside
     * the gate [\p gateMin, \p gateMax] ns (both limits inclusive), else 0.
     */
    static void FillGateTable(uint8_t *inGate, uint32_t count, double resolution, double gateMin, double gateMax);
    /*!
     * \brief The dtime values \p low .. \p high a gate table of \p count
     * entries passes (an empty gate gives 1 .. 0); true when they are all it
     * passes. Delays grow with dtime, so a gate is one range; the vector
     * passes check that rather than assume it.
     */
    static bool GateRange(const uint8_t *inGate, uint32_t count, uint32_t &low, uint32_t &high);
    /// Gathers when that has not been done; true when the analysis is gathered.
    bool EnsureGathered();
    /// Reconstructs when that has not been done; true when the analysis is reconstructed.
    bool EnsureReconstructed();
    /// True (after an error line) when the analysis reported an error and
    /// went on: what it holds is no result to export.
    bool RefusesExport();

    bool analysisFailed = false;  ///< an error was reported while the analysis went on

    FotonelServices *mainWindow = nullptr;
    pqFile *file = nullptr;
    /// Entries of a channel's delay counts: one per dtime value of the file's
    /// record layout (4096 for the PicoHarp's 12 bits); set by ReadFileConstants.
    uint32_t delayBins = PicoHarpT3Format::kDelayBins;

private:
    bool insideLoop = false;
    /// The last table of PhasorTableAt and the delay step and period it was built for.
    flim::PhasorTable phasorTable;
    double phasorTableResolution = 0, phasorTableSync = 0;
};
