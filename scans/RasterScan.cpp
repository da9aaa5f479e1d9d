#include "scans/RasterScan.h"

#include "host/FotonelServices.h"
#include "files/HeaderText.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "files/TwoThreads.h"
#include "scans/RasterScanKernels.h"
#include "scans/VectorForms.h"

#include <QObject>
#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>

int RasterScan::vectorLevel = 2;
std::size_t RasterScan::parallelPassRecords = std::size_t(1) << 20;
std::size_t RasterScan::parallelStatisticsCounts = std::size_t(1) << 22;

bool RasterScan::CursorSpan(double &start, double &end) const
{
    if (!reconstructed)
        return false;
    start = firstFrameTime / kNsPerS;
    end = lastPhotonTime / kNsPerS;
    return true;
}

template <class Format>
bool RasterScan::MeasureFirstLine(double &time, uint32_t &syncs) const
{
    // Only differences are taken, so the overflow reset does not change them.
    const MarkerMeanings &meaning = file->markerMeaning;
    T3RecordCursor<Format> cursor(*mainWindow, *file);
    if (!file->frames.Start(cursor))
        return false;
    cursor.ResetOverflow();
    if (!cursor.NextWithMarker(meaning.lineStart))
        return false;
    const double lineStart = cursor.truetime;
    const uint64_t lineStartSync = cursor.truensync;
    if (!cursor.NextWithMarker(meaning.lineEnd))
        return false;
    time = cursor.truetime - lineStart;
    syncs = static_cast<uint32_t>(cursor.truensync) - static_cast<uint32_t>(lineStartSync);
    return true;
}

bool RasterScan::GatherGeometry(WidthCheck check, WidthBox box, const QString &missingWidth, double &sync,
                                double &resolution)
{
    if (gathered || Refuses("GatherInformation"))
        return false;
    infoText.clear();
    uint32_t channels = 0;
    if (!ReadFileConstants(channels, sync, resolution))
        return false;

    // The first line of the first frame sets the pixel clock of every line.
    lineTime = 0;
    lineNSync = 0;
    const bool found = WithRecordFormat(file->recordFormat, [&](auto format) {
        return MeasureFirstLine<decltype(format)>(lineTime, lineNSync);
    });
    const bool lineFound = found && std::isfinite(lineTime) && lineTime > 0;

    int width = (mainWindow->*check)() == Qt::Checked ? (mainWindow->*box)() : file->ImageWidth();
    if (width <= 0) {
        // Files without imaging items carry no width; the override box decides.
        width = (mainWindow->*box)();
        if (width <= 0)
            width = 32;
        mainWindow->AddMessage(MessageWarning, QString(missingWidth).arg(width));
    }
    imageWidth = static_cast<uint32_t>(width);
    imageHeight = file->linesPerFrame;
    numberOfFrames = file->numberOfFrames;
    numberOfChannels = channels;
    if (!lineFound) {
        // Without a measured line no photon has a pixel: keep no frames.
        mainWindow->AddMessage(MessageError, QObject::tr("No complete line found after the first frame marker"));
        analysisFailed = true;
        numberOfFrames = 0;
    }

    activeChannelCount = CopyPhotonCounts(numberOfChannels, photonCounts);
    const double needed = AnalysisBytes(std::ceil(sync / resolution));
    if (!(needed <= kMemoryBudgetBytes)) {
        // Refused before anything is allocated: the sizes come from the header
        // (or the width override) and can be absurd in a damaged file.
        constexpr double MB = 1048576.0;
        mainWindow->AddMessage(MessageError, QObject::tr("Image width %1 with %2 lines and %3 frames in %4 channels "
                                                         "needs %5 MB, more than the %6 MB an analysis may hold")
                                                 .arg(imageWidth)
                                                 .arg(imageHeight)
                                                 .arg(numberOfFrames)
                                                 .arg(std::max<uint32_t>(activeChannelCount, 1))
                                                 .arg(std::ceil(needed / MB), 0, 'f', 0)
                                                 .arg(kMemoryBudgetBytes / MB, 0, 'f', 0));
        return false;
    }
    pixelsPerImage = imageWidth * imageHeight;

    const std::vector<std::vector<double>> noDoubles(numberOfChannels);
    images.assign(numberOfChannels, LargeArray<uint16_t>());
    delayCounts.assign(numberOfChannels, std::vector<uint32_t>());
    meanImages = noDoubles;
    varianceImages = noDoubles;
    timeCourse = noDoubles;
    lifetimeHistograms = noDoubles;
    lifetimeAxis.clear();
    photonCount.assign(numberOfChannels, 0);
    gatedPhotonCount.assign(numberOfChannels, 0);
    minimum.assign(numberOfChannels, 65536);
    maximum.assign(numberOfChannels, 0);
    return true;
}

double RasterScan::AnalysisBytes(double lifetimeBins) const
{
    const double W = imageWidth, H = imageHeight;
    const double F = std::max<uint32_t>(numberOfFrames, 1);
    const double channels = std::max<uint32_t>(activeChannelCount, 1);
    // Line scans keep profiles along the line and a point per line; image
    // scans keep images and a point per frame.
    const double statistic = ProfilesAsPlots() ? W : W * H;
    const double course = ProfilesAsPlots() ? H : F;
    const double perChannel = W * H * F * sizeof(uint16_t)             // count stack
                              + 2 * statistic * sizeof(double)         // mean and variance
                              + course * sizeof(double)                // time course
                              + delayBins * (sizeof(uint32_t) + 1)     // delay counts and gate table
                              + lifetimeBins * 2 * sizeof(double);     // lifetime histogram and axis
    // Frame and line times, lines per frame.
    const double shared = F * (2 * sizeof(double) + sizeof(uint32_t)) + H * sizeof(double);
    return channels * perChannel + shared;
}

bool RasterScan::FitMapDecaysFit(uint32_t width, uint32_t height, uint32_t bins)
{
    // The decays of the fit map come on top of what the analysis holds.
    uint32_t channels = 0;
    for (uint32_t c = 0; c < numberOfChannels; ++c)
        channels += photonCounts[c] != 0 && !images[c].empty();
    const double decayBytes = static_cast<double>(width) * height * bins * sizeof(uint32_t) * channels;
    const double held = AnalysisBytes(std::ceil(file->SyncPeriod() / file->Resolution()));
    if (held + decayBytes <= kMemoryBudgetBytes)
        return true;
    constexpr double MB = 1048576.0;
    mainWindow->AddMessage(MessageError, QObject::tr("The fit map needs %1 MB for the decays of its %2 x %3 pixels "
                                                     "in %4 bins, more than the %5 MB left of what an analysis may hold")
                                             .arg(std::ceil(decayBytes / MB), 0, 'f', 0)
                                             .arg(width)
                                             .arg(height)
                                             .arg(bins)
                                             .arg(std::max(0.0, kMemoryBudgetBytes - held) / MB, 0, 'f', 0));
    return false;
}

void RasterScan::ClearStack()
{
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        images[c].assign(totalPixels, 0);
        delayCounts[c].assign(delayBins, 0);
    }
}

bool RasterScan::BeginReconstruction(PassLimits &limits)
{
    if (reconstructed || Refuses("ReconstructImages") || !EnsureGathered())
        return false;
    mainWindow->GetGating(limits.gateMin, limits.gateMax);
    mainWindow->GetCursors(limits.cursorMin, limits.cursorMax, kNsPerS);
    return true;
}

void RasterScan::FillChannelSlots(const PassLimits &limits, SlotTable &timed, SlotTable &kept,
                                  std::vector<uint8_t> &gateTable)
{
    const std::vector<double> &gateMin = limits.gateMin, &gateMax = limits.gateMax;
    const std::vector<double> &cursorMin = limits.cursorMin, &cursorMax = limits.cursorMax;
    // Channel 0 and channels above the file's count keep the Skipped role.
    const double resolution = file->Resolution();
    gateTable.assign(static_cast<std::size_t>(numberOfChannels) * delayBins, 0);
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        timed.slot[ch].role = Timed;
        kept.slot[ch].role = Timed;
        if (photonCounts[c] == 0 || c >= gateMin.size() || c >= gateMax.size() || c >= cursorMin.size() ||
            c >= cursorMax.size())
            continue;
        ChannelSlot &slot = kept.slot[ch];
        slot.role = Placed;
        slot.stack = images[c].data();
        slot.delays = delayCounts[c].data();
        uint8_t *inGate = gateTable.data() + static_cast<std::size_t>(c) * delayBins;
        FillGateTable(inGate, delayBins, resolution, gateMin[c], gateMax[c]);
        slot.inGate = inGate;
        slot.cursorMin = cursorMin[c];
        slot.cursorMax = cursorMax[c];
    }
    PreparePassPhasors(kept);
    timed.Summarize(delayBins);
    kept.Summarize(delayBins);
}

void RasterScan::SlotTable::Summarize(uint32_t delayBins)
{
    timedBits = 0;
    placedBits = 0;
    narrow = true;
    gateRanges = true;
    cursorLow = -HUGE_VAL;
    cursorHigh = HUGE_VAL;
    for (uint32_t ch = 0; ch < kChannelSlots; ++ch) {
        const ChannelSlot &s = slot[ch];
        if (s.role == Skipped)
            continue;
        if (ch >= 32) {
            narrow = false;
            continue;
        }
        timedBits |= 1u << ch;
        if (s.role != Placed)
            continue;
        placedBits |= 1u << ch;
        if (ch < 16) {
            gateRanges = RSD::GateRange(s.inGate, delayBins, gateLow[ch], gateHigh[ch]) && gateRanges;
        }
        // A cursor that is not a number fails no comparison; such a table
        // leaves the cursor test to the photons one by one.
        if (std::isnan(s.cursorMin) || std::isnan(s.cursorMax)) {
            cursorLow = HUGE_VAL;
            cursorHigh = -HUGE_VAL;
        }
        cursorLow = std::max(cursorLow, s.cursorMin);
        cursorHigh = std::min(cursorHigh, s.cursorMax);
    }
}

void RasterScan::FinishPass()
{
    if (resetCursors) {
        mainWindow->SetCursorRanges(firstFrameTime / kNsPerS, lastPhotonTime / kNsPerS);
        resetCursors = false;
    }
    AddPassPhasorDelays();
    readySums.clear();  // those the pass left
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        const std::vector<uint32_t> &counts = delayCounts[c];
        const uint32_t n = std::accumulate(counts.begin(), counts.end(), 0u);
        photonCount[c] = n;
        gatedPhotonCount[c] = n;
    }
    mainWindow->SetProgress(100);
}

void RasterScan::FindMinMax()
{
    minimum.assign(numberOfChannels, 65536);
    maximum.assign(numberOfChannels, 0);
    for (uint32_t c = 0; c < numberOfChannels && c < images.size(); ++c) {
        if (photonCounts[c] == 0 || images[c].empty())
            continue;
        // Only the values are wanted, not where they lie: a plain pass the
        // compiler does many counts at a time.
        const uint16_t *counts = images[c].data();
        const std::size_t n = images[c].size();
        uint16_t low = UINT16_MAX, high = 0;
        for (std::size_t i = 0; i < n; ++i) {
            low = std::min(low, counts[i]);
            high = std::max(high, counts[i]);
        }
        minimum[c] = low;
        maximum[c] = high;
    }
}

bool RasterScan::BeginStats()
{
    if (Refuses("CalculateStats") || !EnsureReconstructed())
        return false;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculating stats..."));
    meanImages.assign(numberOfChannels, std::vector<double>());
    varianceImages.assign(numberOfChannels, std::vector<double>());
    timeCourse.assign(numberOfChannels, std::vector<double>());
    return true;
}

void RasterScan::RowStatistics(const uint16_t *data, std::size_t length, uint32_t rows, std::vector<double> &mean,
                               std::vector<double> &variance, std::vector<double> &course)
{
    // The positions in blocks whose sums stay in the cache over all rows;
    // each position still adds its rows in row order, so every mean and
    // variance is the very double of a walk row by row. The counts of a row
    // are whole numbers: their sum, added block by block as an integer, is
    // exact in any order.
    const auto positions = [&](std::size_t begin, std::size_t end, uint64_t *rowSums) {
        constexpr std::size_t kBlock = 2048;
        for (std::size_t b = begin; b < end; b += kBlock) {
            const std::size_t e = std::min(end, b + kBlock);
            for (uint32_t r = 0; r < rows; ++r) {
                const uint16_t *row = data + r * length;
                uint64_t sum = 0;
                for (std::size_t p = b; p < e; ++p) {
                    mean[p] += row[p];
                    sum += row[p];
                }
                rowSums[r] += sum;
            }
            // No row: the mean stays 0. Fewer than two rows: no spread, variance 0.
            if (rows > 0)
                for (std::size_t p = b; p < e; ++p)
                    mean[p] /= rows;
            if (rows > 1) {
                for (uint32_t r = 0; r < rows; ++r) {
                    const uint16_t *row = data + r * length;
                    for (std::size_t p = b; p < e; ++p) {
                        const double d = mean[p] - row[p];
                        variance[p] += d * d;
                    }
                }
                for (std::size_t p = b; p < e; ++p)
                    variance[p] /= rows - 1;
            }
        }
    };
    // Large stacks in two threads, each over half the positions.
    std::vector<uint64_t> sums(rows, 0), secondSums(rows, 0);
    const bool twoThreads = static_cast<double>(length) * rows >= static_cast<double>(parallelStatisticsCounts);
    RunInTwoThreads(2, twoThreads, [&](std::size_t half) {
        if (half == 0)
            positions(0, length / 2, sums.data());
        else
            positions(length / 2, length, secondSums.data());
    });
    for (uint32_t r = 0; r < rows; ++r)
        sums[r] += secondSums[r];
    for (uint32_t r = 0; r < rows; ++r)
        course[r] = length ? static_cast<double>(sums[r]) / length : 0;
}

bool RasterScan::BeginInfoText()
{
    if (!mainWindow)
        return false;
    // Rebuilt from scratch so the Summary does not repeat an earlier text.
    infoText.clear();
    infoText += LabelValueLine(QStringLiteral("Image Width"), QString::number(imageWidth));
    return true;
}

QString RasterScan::RecoveredFrameLines() const
{
    const FrameList &frames = file->frames;
    const QString kept = QStringLiteral("kept (%1 whole lines)").arg(frames.lines);
    if (frames.unmarked)
        return LabelValueLine(QStringLiteral("Frame without markers"),
                              QStringLiteral("%1 whole lines").arg(frames.lines));
    QString lines;
    if (frames.leading)
        lines += LabelValueLine(QStringLiteral("Frame before first marker"), kept);
    if (frames.trailing)
        lines += LabelValueLine(QStringLiteral("Frame after last marker"), kept);
    return lines;
}

QString RasterScan::PixelTimeLine() const
{
    const double W = imageWidth;
    return LabelValueLine(QStringLiteral("Pixel Time"),
                          QString::number(W > 0 ? lineTime / W / 1000 : 0.0, 'f', 6) + QString::fromUtf8(" µs"));
}

void RasterScan::FinishInfoText()
{
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        infoText += LabelValueLine(QStringLiteral("Channel %1").arg(c + 1),
                                   QStringLiteral("Min = %1, Max = %2, Photon count = %3, Gated photon count = %4")
                                       .arg(minimum[c])
                                       .arg(maximum[c])
                                       .arg(photonCount[c])
                                       .arg(gatedPhotonCount[c]));
    }
    mainWindow->AddSummaryText(infoText);
}

RasterScan::PassConstants RasterScan::PhotonPassConstants() const
{
    PassConstants pass;
    pass.words = file->records.data();
    pass.width = imageWidth;
    pass.clock = lineTime;
    pass.syncPeriod = file->SyncPeriod();
    pass.resolution = file->Resolution();
    // The vector forms bound the times of a run by those of its extreme
    // nsync and dtime values, which needs times that grow with both, and
    // take pixels as 32-bit integers.
    const bool usable = std::isfinite(pass.syncPeriod) && pass.syncPeriod > 0 && std::isfinite(pass.resolution) &&
                        pass.resolution >= 0 && imageWidth <= INT32_MAX;
    pass.vector = usable ? std::min(VectorLevelOfProcessor(), vectorLevel) : 0;
    pass.phasorTable = passPhasors.harmonic > 0 ? passPhasors.table.data() : nullptr;
    return pass;
}

template <class Format>
uint32_t RasterScan::PlaceRunScalar(const PassConstants &pass, uint32_t i, uint32_t end, uint64_t overflowOffset,
                                    RunState &run)
{
    const uint32_t *words = pass.words;
    const ChannelSlot *table = run.table->slot;
    const double width = pass.width, clock = pass.clock, sync = pass.syncPeriod, resolution = pass.resolution;
    const double lineStart = run.lineStart;
    const std::size_t lineOffset = run.lineOffset;
    double last = run.last;
    for (; i < end; ++i) {
        const uint32_t w = words[i];
        const uint32_t key = Format::ScanKey(w);
        if (Format::IsSpecialKey(key))
            break;
        const ChannelSlot &slot = table[Format::PhotonChannel(key)];
        if (slot.role == Skipped)
            continue;
        // The record cursor's time: truensync is far below 2^63, so the
        // signed conversion gives the same double without a test of the top bit.
        const uint32_t dtime = Format::DTime(w);
        const double t = static_cast<double>(static_cast<int64_t>(Format::NSync(w) + overflowOffset)) * sync +
                         dtime * resolution;
        last = t;
        if (slot.role != Placed || !slot.inGate[dtime] || t < slot.cursorMin || t > slot.cursorMax)
            continue;
        // Pixel clock of the first line; x = W (the offset equals lineTime) is dropped.
        const double x = width * (t - lineStart) / clock;
        if (!(x >= 0 && x < width))
            continue;
        const uint32_t pixel = static_cast<uint32_t>(x);
        uint16_t &count = slot.stack[lineOffset + pixel];
        if (count != UINT16_MAX)  // saturate rather than wrap to 0
            ++count;
        ++slot.delays[dtime];
        if (pass.phasorTable && slot.phasor) {
            int64_t *sums = slot.phasor + 2 * (run.phasorOffset + pixel);
            sums[0] += pass.phasorTable[2 * dtime];
            sums[1] += pass.phasorTable[2 * dtime + 1];
        }
    }
    run.last = last;
    return i;
}

template <class Format>
uint32_t RasterScan::PlaceRun(const PassConstants &pass, uint32_t i, uint32_t end, uint64_t overflowOffset,
                              RunState &run)
{
    if (pass.vector)
        i = RasterScanKernels::PlaceGroups<Format>(pass, i, end, overflowOffset, run);
    return PlaceRunScalar<Format>(pass, i, end, overflowOffset, run);
}

template uint32_t RasterScan::PlaceRun<PicoHarpT3Format>(const PassConstants &, uint32_t, uint32_t, uint64_t,
                                                         RunState &);
template uint32_t RasterScan::PlaceRun<HydraHarpT3v1Format>(const PassConstants &, uint32_t, uint32_t, uint64_t,
                                                            RunState &);
template uint32_t RasterScan::PlaceRun<HydraHarpT3v2Format>(const PassConstants &, uint32_t, uint32_t, uint64_t,
                                                            RunState &);
