#include "scans/PointScan.h"

#include "host/FotonelServices.h"
#include "files/T3RecordCursor.h"
#include "files/TwoThreads.h"
#include "scans/NearlySorted.h"
#include "scans/PointScanKernels.h"
#include "scans/VectorForms.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using namespace PointPass;

namespace {
// The displayed trace: 1000 working bins, the last a guard that is dropped.
constexpr std::size_t kTraceBins = 1000;
constexpr std::size_t kTraceProgressStep = 10000;
constexpr std::size_t kExportProgressStep = 1000;
// Export trace bins handed on at a time (128 KiB of 16-bit counts).
constexpr std::size_t kTraceBinsPerWrite = 65536;
// 2^27 16-bit bins (256 MiB) per channel for the export trace held in
// memory; the binary file streams its bins and has no such bound.
constexpr double kMaxExportBins = 134217728.0;
// Out-of-bounds lines per channel and binning; the rest are only counted.
constexpr uint32_t kMaxReportedPhotons = 100;

/*!
 * True when the gates and cursors keep every photon of \p channels (0-based):
 * each is usable, its gate passes every dtime value whose delay lies within
 * a sync period (a photon's delay always does, in a sound file) and its
 * cursors span every time the records can give, from 0 to what the most sync
 * periods the records can count (2^20 per record at the most) and the largest
 * dtime give.
 */
bool KeepsEveryPhoton(const ChannelSlot *table, const std::vector<uint32_t> &channels, uint32_t delayBins,
                      const pqFile &file)
{
    const double sync = file.SyncPeriod(), resolution = file.Resolution();
    const double latest = (static_cast<double>(file.records.size()) + 1) * 1048576.0 * sync + delayBins * resolution;
    if (!(sync > 0 && resolution >= 0 && std::isfinite(latest)))
        return false;
    uint32_t delays = 0;  // dtime values within a sync period
    while (delays < delayBins && delays * resolution < sync)
        ++delays;
    for (uint32_t c : channels) {
        if (c + 1 >= kChannelSlots)
            continue;  // never met by the walk
        // The gate's first run of dtime values starts at 0 and covers them all.
        const ChannelSlot &slot = table[c + 1];
        if (!slot.usable || !(slot.cursorMin <= 0 && slot.cursorMax >= latest) ||
            !(slot.gateLo == 0 && slot.gateHi + 1 >= delays))
            return false;
    }
    return true;
}

/*!
 * Counts the ascending times t[lo .. hi - 1] into bins of \p width ns from
 * \p origin: addRun(bin, n) for each run of n photons in bin floor((t - origin) / width)
 * below \p bins, outside(j, q) for each photon j whose quotient q is negative
 * or at least \p bins, in order.
 *
 * The quotient of a rounded difference never decreases as the time grows, so
 * the photons of one bin form a run of the ascending times. Where runs are
 * long (the displayed trace: thousands of photons per bin) a run's end is
 * searched for, galloping from its start, instead of dividing time after
 * time; where the block spans many bins each photon costs one division.
 * Either way every bin is the one the quotient of each photon gives.
 */
template <class AddRun, class Outside>
void CountAscendingRuns(const double *t, std::size_t lo, std::size_t hi, double origin, double width, double bins,
                        AddRun addRun, Outside outside)
{
    auto quotient = [origin, width](double time) { return (time - origin) / width; };
    if (lo >= hi)
        return;
    // Runs shorter than a few photons on average: one division per photon.
    const double spread = quotient(t[hi - 1]) - quotient(t[lo]);
    if (!(spread * 8 <= static_cast<double>(hi - lo))) {
        for (std::size_t j = lo; j < hi; ++j) {
            const double q = quotient(t[j]);
            if (q >= 0 && q < bins)
                addRun(static_cast<std::size_t>(q), 1);
            else
                outside(j, q);
        }
        return;
    }
    std::size_t j = lo;
    double q = quotient(t[lo]);
    while (j < hi) {
        if (!(q >= 0 && q < bins)) {
            outside(j, q);
            if (++j < hi)
                q = quotient(t[j]);
            continue;
        }
        const double bin = std::floor(q);
        // Later times have quotients of at least q: the run holds those below bin + 1.
        const double next = bin + 1;
        std::size_t end = j + 1;
        double atEnd = 0;
        if (end < hi && (atEnd = quotient(t[end])) < next) {
            if (quotient(t[hi - 1]) < next) {
                end = hi;
            } else {
                // t[below] is in the run, t[above] is not: gallop, then bisect.
                std::size_t below = end, above = hi - 1, step = 1;
                while (below + step < above) {
                    if (quotient(t[below + step]) < next) {
                        below += step;
                        step *= 2;
                    } else {
                        above = below + step;
                        break;
                    }
                }
                end = static_cast<std::size_t>(
                    std::partition_point(t + below + 1, t + above, [&](double time) { return quotient(time) < next; }) -
                    t);
                atEnd = quotient(t[end]);
            }
        }
        addRun(static_cast<std::size_t>(bin), end - j);
        j = end;
        q = atEnd;
    }
}
} // namespace

int PointScan::vectorLevel = 2;
std::size_t PointScan::parallelPassRecords = std::size_t(1) << 20;

int PointScan::VectorLevelAvailable() { return VectorLevelOfProcessor(); }

bool PointScan::CursorSpan(double &start, double &end) const
{
    if (!reconstructed)
        return false;
    start = firstTime / 1e9;
    end = lastTime / 1e9;
    return true;
}

void PointScan::GatherInformation()
{
    if (gathered || Refuses("GatherInformation"))
        return;
    uint32_t channels = 0;
    double sync = 0, resolution = 0;
    if (!ReadFileConstants(channels, sync, resolution))
        return;

    channelCount = channels;
    activeChannelCount = CopyPhotonCounts(channelCount, photonCounts);
    gatedCounts.assign(channelCount, 0);
    const std::vector<std::vector<double>> noDoubles(channelCount);
    photonTimes.assign(channelCount, PhotonTimes());
    delayCounts.assign(channelCount, std::vector<uint32_t>());
    traceTimes = noDoubles;
    traceCounts = noDoubles;
    lifetimeHistograms = noDoubles;
    exportCounts.assign(channelCount, std::vector<uint16_t>());
    activeChannels.clear();
    for (uint32_t c = 0; c < channelCount; ++c) {
        if (photonCounts[c] == 0)
            continue;
        photonTimes[c].resize(photonCounts[c]);
        delayCounts[c].assign(delayBins, 0);
        activeChannels.push_back(c);
    }

    mainWindow->AddMessage(MessageNormal, QObject::tr("Information gathered"));
    gathered = true;
    // The range of delays: the sync period (a T2 file's measured from its syncs).
    syncPeriod = file->DelayRange();

    mainWindow->SetPointTauBinSize(resolution, syncPeriod);
    mainWindow->SetCorrelationControls(sync, mainWindow->GetDtau(), mainWindow->GetNrbins(), mainWindow->GetNcasc());
    mainWindow->SetGatingRanges(syncPeriod, resolution);
    mainWindow->SetCursorRanges(0, 1e16);
    mainWindow->SetTraceBinSize(sync / 1000, 1e16);
    mainWindow->SetToolBoxPage(3);
}

void PointScan::ReconstructImages()
{
    if (reconstructed || Refuses("ReconstructImages") || !EnsureGathered())
        return;

    gatedCounts.assign(channelCount, 0);
    millisecondScale = 1e6;
    secondScale = 1e9;
    // Per channel value; channel 0 and channels above the file's count are
    // ignored altogether.
    ChannelSlot table[kChannelSlots] = {};
    std::vector<uint8_t> gateTable;
    const bool gatesAreRuns = FillChannelSlots(table, gateTable);

    // When the gates and cursors keep every photon the pass writes every
    // photon time: the fresh arrays are faulted in alongside (the pages
    // would be resident at the end anyway).
    LargeBlock::Populate populate;
    if (KeepsEveryPhoton(table, activeChannels, delayBins, *file))
        for (uint32_t c : activeChannels)
            populate.Add(photonTimes[c].data(), photonTimes[c].capacity() * sizeof(double));
    populate.Start();
    const bool descending = PassPhotons(table, gatesAreRuns);
    populate.Wait();

    if (resetCursors) {
        mainWindow->SetCursorRanges(firstTime / secondScale, lastTime / secondScale);
        resetCursors = false;
    }
    KeepPassedPhotons(table, descending);
    mainWindow->SetProgress(100);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Traces reconstructed"));
    reconstructed = true;

    if (!file->HasDelays())
        mainWindow->AddMessage(MessageNormal,
                               file->syncRecords == 0
                                   ? QObject::tr("This T2 file has no delays (its records carry no sync): no lifetime "
                                                 "histogram, gates keep every photon, delays are 0")
                                   : QObject::tr("This T2 file has no delays: its %1 sync records give no sync "
                                                 "period; no lifetime histogram, gates keep every photon, delays are 0")
                                         .arg(file->syncRecords));
    else if (file->TimeTags() && undelayedPhotons != 0)
        mainWindow->AddMessage(MessageNormal,
                               QObject::tr("%1 photons came before the first sync or more than one sync period after "
                                           "their sync: they have no delay, are not in the lifetime histogram, and pass "
                                           "a gate only when it holds every delay")
                                   .arg(undelayedPhotons));
    mainWindow->SetPointTauBinSize(file->Resolution(), file->DelayRange());
    BinTrace();
    BinLifetimes(mainWindow->GetTaubinsize());
}

bool PointScan::FillChannelSlots(ChannelSlot *table, std::vector<uint8_t> &gateTable)
{
    std::vector<double> gateMin, gateMax, cursorMin, cursorMax;
    mainWindow->GetGating(gateMin, gateMax);
    mainWindow->GetCursors(cursorMin, cursorMax, secondScale);
    bool gatesAreRuns = true;
    // The gate test of each dtime value, on the delay the record cursor gives it.
    const double resolution = file->Resolution();
    gateTable.assign(static_cast<std::size_t>(channelCount) * delayBins, 0);
    for (uint32_t ch = 1; ch <= channelCount && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        ChannelSlot &slot = table[ch];
        slot.real = true;
        if (photonCounts[c] == 0)
            continue;
        photonTimes[c].resize(photonCounts[c]);
        delayCounts[c].assign(delayBins, 0);
        if (c >= gateMin.size() || c >= gateMax.size() || c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        slot.usable = true;
        slot.nextTime = photonTimes[c].data();
        slot.endTime = slot.nextTime + photonTimes[c].size();
        slot.delays = delayCounts[c].data();
        uint8_t *inGate = gateTable.data() + static_cast<std::size_t>(c) * delayBins;
        FillGateTable(inGate, delayBins, resolution, gateMin[c], gateMax[c]);
        slot.inGate = inGate;
        // The vector forms test a gate as one run of dtime values.
        gatesAreRuns = GateRange(inGate, delayBins, slot.gateLo, slot.gateHi) && gatesAreRuns;
        slot.keepsUndelayed = std::find(inGate, inGate + delayBins, 0) == inGate + delayBins;
        slot.cursorMin = cursorMin[c];
        slot.cursorMax = cursorMax[c];
    }
    return gatesAreRuns;
}

bool PointScan::PassPhotons(ChannelSlot *table, bool gatesAreRuns)
{
    double total = 0;
    for (uint32_t n : photonCounts)
        total += n;
    // The walk, compiled for the file's record layout, in stretches between
    // progress reports (record 0 included).
    int level = gatesAreRuns ? std::min(VectorLevelAvailable(), vectorLevel) : 0;
    VectorChannels channels;
    bool descending = false;  // some photon came before the one ahead of it in the file
    WithAnyRecordFormat(file->recordFormat, [&](auto format) {
        using Format = decltype(format);
        if (level > 0 && !ListVectorChannels<Format>(table, channels))
            level = 0;
        const T3RecordCursor<Format> start(*mainWindow, *file);
        firstTime = start.truetime;
        const uint32_t *words = file->records.data();
        const std::size_t records = start.recordCount;
        const double sync = start.syncPeriod, delayStep = start.resolution;
        mainWindow->SetProgress(0);
        State state;
        state.lastPhoton = firstTime;
        state.syncDelays = file->TimeTags() && file->HasDelays();
        state.delayBins = delayBins;
        uint64_t nextProgress = kTraceProgressStep;
        // T2 time tags whose delays follow the syncs take the record-by-record form.
        if (state.syncDelays)
            level = 0;
        const auto report = [&](uint64_t photons) {
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(photons) / total * 100));
            LetEventsRun();
        };
        // Records [from, to) into the slots of \p slotTable; \p reports moves the progress bar.
        const auto walk = [&](std::size_t from, std::size_t to, ChannelSlot *slotTable, VectorChannels &vectorChannels,
                              State &s, uint64_t &next, bool reports) {
            std::size_t i = from;
            while (i < to) {
                if (level > 0)
                    i = PassBlocks<Format>(level, words, i, to, vectorChannels, slotTable, sync, delayStep, next, s);
                i = PassRecords<Format>(words, i, to, slotTable, sync, delayStep, next, s);
                if (s.photons == next) {
                    next += kTraceProgressStep;
                    if (reports)
                        report(s.photons);
                }
            }
        };
        if (state.syncDelays || !this->template PassInTwoThreads<Format>(table, channels, level, records, sync, delayStep, state,
                                                         nextProgress, walk, report))
            walk(0, records, table, channels, state, nextProgress, true);
        lastTime = state.lastPhoton;
        descending = state.backwards;
        undelayedPhotons = state.undelayed;
    });
    return descending;
}

template <class Format, class Walk, class Report>
bool PointScan::PassInTwoThreads(ChannelSlot *table, VectorChannels &channels, int level, std::size_t records,
                                 double sync, double delayStep, State &state, uint64_t &nextProgress, Walk &walk,
                                 Report &report)
{
    // The record scan split a large file in two: the second half's photons
    // of channel c go to their place after the photonsBefore[c] photons of
    // the first (all of them kept, or fewer: the gap closes afterwards), and
    // its delays to counts of its own that are then added.
    const pqFile::RecordSplit &split = file->recordSplit;
    const std::size_t mid = split.index;
    if (records < parallelPassRecords || mid == 0 || mid >= records || split.photonsBefore.size() < channelCount)
        return false;
    ChannelSlot second[kChannelSlots];
    std::copy(table, table + kChannelSlots, second);
    std::vector<std::vector<uint32_t>> delays(channelCount);
    for (uint32_t c = 0; c < channelCount && c + 1 < kChannelSlots; ++c) {
        ChannelSlot &slot = second[c + 1];
        if (!slot.usable)
            continue;
        if (split.photonsBefore[c] > photonTimes[c].size())
            return false;
        slot.nextTime = photonTimes[c].data() + split.photonsBefore[c];
        delays[c].assign(delayBins, 0);
        slot.delays = delays[c].data();
    }
    VectorChannels secondChannels;
    if (level > 0 && !ListVectorChannels<Format>(second, secondChannels))
        return false;

    State later = state;
    later.overflow = split.overflowOffset;
    later.photons = 0;
    later.lastPhoton = -std::numeric_limits<double>::infinity();
    double firstLater = 0;  // time of the second half's first photon, when it has one
    uint64_t laterProgress = kTraceProgressStep;
    // The first half in this thread (it moves the progress bar), the second
    // in another; both here, one after the other, when no thread can be had.
    RunInTwoThreads(2, true, [&](std::size_t half) {
        if (half == 0) {
            // The first half's room ends where the second's begins: a vector
            // form stores whole lanes only where they fit.
            for (uint32_t c = 0; c < channelCount && c + 1 < kChannelSlots; ++c)
                if (table[c + 1].usable)
                    table[c + 1].endTime = photonTimes[c].data() + split.photonsBefore[c];
            walk(0, mid, table, channels, state, nextProgress, true);
            return;
        }
        // Its first photon alone: whether time ran backwards where the halves meet.
        const std::size_t i = PassRecords<Format>(file->records.data(), mid, records, second, sync, delayStep, 1, later);
        firstLater = later.lastPhoton;
        walk(i, records, second, secondChannels, later, laterProgress, false);
    });

    // The second half's progress reports, as one walk would have made them.
    const uint64_t photons = state.photons + later.photons;
    for (; nextProgress <= photons; nextProgress += kTraceProgressStep)
        report(nextProgress);
    if (later.photons != 0) {
        state.backwards = state.backwards || later.backwards || firstLater < state.lastPhoton;
        state.lastPhoton = later.lastPhoton;
    }
    state.photons = photons;
    state.overflow = later.overflow;
    for (uint32_t c = 0; c < channelCount && c + 1 < kChannelSlots; ++c) {
        ChannelSlot &slot = table[c + 1];
        if (!second[c + 1].usable)
            continue;
        double *const from = photonTimes[c].data() + split.photonsBefore[c];
        const std::size_t kept = static_cast<std::size_t>(second[c + 1].nextTime - from);
        if (slot.nextTime != from)
            std::memmove(slot.nextTime, from, kept * sizeof(double));
        slot.nextTime += kept;
        slot.endTime = second[c + 1].endTime;
        for (uint32_t k = 0; k < delayBins; ++k)
            slot.delays[k] += delays[c][k];
    }
    return true;
}

void PointScan::KeepPassedPhotons(const ChannelSlot *table, bool descending)
{
    for (uint32_t c = 0; c < channelCount; ++c) {
        const uint32_t ch = c + 1;
        gatedCounts[c] = table[ch].usable ? static_cast<uint32_t>(table[ch].nextTime - photonTimes[c].data()) : 0;
        if (photonCounts[c] != 0)
            photonTimes[c].resize(gatedCounts[c]);
        // The correlation walks need ascending times. A damaged sync counter
        // (a wrap without its overflow record) makes time run backwards:
        // such times are sorted, and the user is told. When no photon of the
        // file came before its predecessor, every channel ascends. Times out
        // of order are few and near their place (photons of one sync period
        // written out of delay order): the sort costs what they are out of place.
        if (descending && NearlySorted::Sort(photonTimes[c])) {
            mainWindow->AddMessage(MessageWarning, QObject::tr("Photon times of channel %1 do not ascend in the file: "
                                                               "sorted for the analysis")
                                                       .arg(ch));
        }
    }
}

void PointScan::ReportOutOfBounds(std::size_t photon, double bin, uint32_t &reported)
{
    if (reported < kMaxReportedPhotons)
        mainWindow->AddMessage(MessageNormal, QStringLiteral("Index out of bounds %1 %2")
                                                  .arg(static_cast<qulonglong>(photon))
                                                  .arg(std::floor(bin), 0, 'f', 0));
    ++reported;
}

void PointScan::ReportSuppressed(uint32_t reported, uint32_t channel)
{
    if (reported > kMaxReportedPhotons)
        mainWindow->AddMessage(MessageNormal, QObject::tr("Index out of bounds for %1 more photons of channel %2")
                                                  .arg(reported - kMaxReportedPhotons)
                                                  .arg(channel + 1));
}

void PointScan::BinTrace()
{
    if (Refuses("BinTrace") || !EnsureReconstructed())
        return;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binning data..."));

    traceTimes.assign(channelCount, std::vector<double>());
    traceCounts.assign(channelCount, std::vector<double>());
    const double w = (lastTime - firstTime) / kTraceBins;
    if (!(std::isfinite(w) && w > 0)) {
        // One photon, or all at one time: there is no span to divide.
        traceBinWidth = 0;
        mainWindow->AddMessage(MessageError, QObject::tr("Measurement too short to bin a trace: %1 ns")
                                                 .arg(lastTime - firstTime));
        return;
    }
    traceBinWidth = w;

    for (uint32_t c : activeChannels) {
        std::vector<double> &x = traceTimes[c];
        x.resize(kTraceBins);
        for (std::size_t i = 0; i < kTraceBins; ++i)
            x[i] = ((i + 0.5) * w) / secondScale + firstTime / secondScale;
        x.resize(kTraceBins - 1);
        traceCounts[c].assign(kTraceBins, 0);
    }

    const std::size_t guard = kTraceBins - 1;
    std::vector<uint64_t> whole(kTraceBins);
    for (uint32_t c : activeChannels) {
        mainWindow->SetProgress(0);
        const double *t = photonTimes[c].data();
        const std::size_t photons = photonTimes[c].size();
        uint32_t reported = 0;
        // Whole photons per bin; photons at lastTime (quotient 1000) and, in
        // damaged files, photons before the first record go to the guard bin.
        whole.assign(kTraceBins, 0);
        for (std::size_t start = 0; start < photons; start += kTraceProgressStep) {
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(start) / photons * 100));
            LetEventsRun();
            const std::size_t stop = std::min(photons, start + kTraceProgressStep);
            CountAscendingRuns(
                t, start, stop, firstTime, w, static_cast<double>(kTraceBins),
                [&](std::size_t bin, std::size_t n) { whole[bin] += n; },
                [&](std::size_t j, double q) {
                    ++whole[guard];
                    ReportOutOfBounds(j, q, reported);
                });
        }
        // Whole numbers below 2^53: the same doubles as adding 1 per photon.
        double *counts = traceCounts[c].data();
        for (std::size_t i = 0; i < kTraceBins; ++i)
            counts[i] = static_cast<double>(whole[i]);
        ReportSuppressed(reported, c);
        traceCounts[c].resize(kTraceBins - 1);
        mainWindow->SetProgress(100);
    }

    std::vector<double> cursorMin, cursorMax;
    mainWindow->GetCursors(cursorMin, cursorMax, 1);
    for (uint32_t c : activeChannels) {
        if (c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        std::vector<double> &x = traceTimes[c];
        std::vector<double> &y = traceCounts[c];
        const std::size_t lo = FindFirstNotBelow(x, cursorMin[c]);
        const std::size_t hi = FindLastNotAbove(x, cursorMax[c]);
        if (lo > hi || lo >= x.size()) {
            x.clear();
            y.clear();
            continue;
        }
        x.erase(x.begin() + hi + 1, x.end());
        x.erase(x.begin(), x.begin() + lo);
        y.erase(y.begin() + hi + 1, y.end());
        y.erase(y.begin(), y.begin() + lo);
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binned the data"));
}

uint64_t PointScan::ExportTraceBins(double binWidth) const
{
    const double span = lastTime - firstTime;
    const double bins = span > 0 ? std::ceil(span / binWidth) : 0.0;
    // More bins than 2^62 (far beyond any disk) would not count in 64 bits.
    return bins < 4.6e18 ? static_cast<uint64_t>(bins) : UINT64_MAX;
}

bool PointScan::StreamTraceBins(uint32_t c, double binWidth, uint64_t n, const TraceBinSink &write)
{
    // One buffer of bins at a time: bins before the buffer are written, the
    // buffer counts the photons of its own bins, and a photon beyond it moves
    // it on over the bins between (written as they are, empty or not).
    std::vector<uint16_t> buffer(kTraceBinsPerWrite, 0);
    uint64_t first = 0;  // the bin of buffer[0]
    bool written = true;
    const auto writeBuffer = [&](std::size_t count) {
        written = write(buffer.data(), count);
        std::fill(buffer.begin(), buffer.end(), uint16_t(0));
        first += count;
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(first) / static_cast<double>(n) * 100));
        LetEventsRun();
    };
    const auto writeBefore = [&](uint64_t bin) {
        while (written && bin - first >= kTraceBinsPerWrite)
            writeBuffer(kTraceBinsPerWrite);
    };

    mainWindow->SetProgress(0);
    const double *t = photonTimes[c].data();
    const std::size_t photons = photonTimes[c].size();
    uint32_t reported = 0;
    // Bin n is the guard: photons at lastTime when the span is a whole number
    // of bins. It is not written; photons beyond it are reported.
    const double withGuard = static_cast<double>(n) + 1;
    for (std::size_t start = 0; written && start < photons; start += kExportProgressStep) {
        // Many photons in few bins write nothing for a while: events run anyway.
        if (start != 0)
            LetEventsRun();
        const std::size_t stop = std::min(photons, start + kExportProgressStep);
        CountAscendingRuns(
            t, start, stop, firstTime, binWidth, withGuard,
            [&](std::size_t bin, std::size_t run) {
                if (bin >= n || !written)
                    return;
                writeBefore(bin);
                // 16-bit counts wrap past 65535, as the export format has them.
                uint16_t &count = buffer[bin - first];
                count = static_cast<uint16_t>(count + run);
            },
            [&](std::size_t j, double q) { ReportOutOfBounds(j, q, reported); });
    }
    writeBefore(n);
    if (written && n > first)
        writeBuffer(static_cast<std::size_t>(n - first));
    ReportSuppressed(reported, c);
    mainWindow->SetProgress(100);
    return written;
}

bool PointScan::BinExportTrace(double binWidth)
{
    if (Refuses("BinExportTrace") || !CheckBinWidth(binWidth) || !EnsureReconstructed())
        return false;
    traceBinWidth = binWidth;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binning export data..."));

    // The trace held in memory: the binary file streams the same bins instead.
    const uint64_t n = ExportTraceBins(binWidth);
    if (!(static_cast<double>(n) <= kMaxExportBins)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Too many trace bins %1 for bin width %2 ns")
                                                 .arg(static_cast<double>(n), 0, 'f', 0)
                                                 .arg(binWidth));
        return false;
    }
    exportCounts.assign(channelCount, std::vector<uint16_t>());
    for (uint32_t c : activeChannels) {
        std::vector<uint16_t> &counts = exportCounts[c];
        counts.reserve(static_cast<std::size_t>(n));
        StreamTraceBins(c, binWidth, n, [&counts](const uint16_t *bins, std::size_t count) {
            counts.insert(counts.end(), bins, bins + count);
            return true;
        });
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binned the export data"));
    return true;
}

std::size_t PointScan::FindFirstNotBelow(const std::vector<double> &x, double v)
{
    return static_cast<std::size_t>(
        std::lower_bound(x.begin(), x.end(), v, [](double xi, double value) { return !(value <= xi); }) - x.begin());
}

std::size_t PointScan::FindLastNotAbove(const std::vector<double> &x, double v)
{
    const auto above =
        std::upper_bound(x.begin(), x.end(), v, [](double value, double xi) { return !(xi <= value); });
    return above == x.begin() ? 0 : static_cast<std::size_t>(above - x.begin()) - 1;
}

void PointScan::WriteImages(int, int)
{
    if (!Refuses("WriteImages"))
        EnsureReconstructed();
}

