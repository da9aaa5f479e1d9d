#include "scans/RasterScan.h"

#include "host/FotonelServices.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"

#include <QObject>
#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <type_traits>
#if defined(__x86_64__) && defined(__GNUC__)
// Runs of photons have vector forms for processors with AVX2 or AVX-512,
// chosen at run time. GCC 12 warns of the undefined vectors some AVX-512
// conversions start from inside its own header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define FOTONEL_VECTOR_RUNS 1
#endif

int RasterScan::vectorLevel = 2;

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

bool RasterScan::BeginInfoText()
{
    if (!mainWindow)
        return false;
    // Rebuilt from scratch so the Summary does not repeat an earlier text.
    infoText.clear();
    infoText += InfoLine(QStringLiteral("Image Width"), QString::number(imageWidth));
    return true;
}

QString RasterScan::InfoLine(const QString &label, const QString &value)
{
    return QStringLiteral("%1 : %2\n").arg(label, 25).arg(value);
}

QString RasterScan::RecoveredFrameLines() const
{
    const FrameList &frames = file->frames;
    const QString kept = QStringLiteral("kept (%1 whole lines)").arg(frames.lines);
    if (frames.unmarked)
        return InfoLine(QStringLiteral("Frame without markers"), QStringLiteral("%1 whole lines").arg(frames.lines));
    QString lines;
    if (frames.leading)
        lines += InfoLine(QStringLiteral("Frame before first marker"), kept);
    if (frames.trailing)
        lines += InfoLine(QStringLiteral("Frame after last marker"), kept);
    return lines;
}

QString RasterScan::PixelTimeLine() const
{
    const double W = imageWidth;
    return InfoLine(QStringLiteral("Pixel Time"),
                    QString::number(W > 0 ? lineTime / W / 1000 : 0.0, 'f', 6) + QString::fromUtf8(" µs"));
}

void RasterScan::FinishInfoText()
{
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        infoText += InfoLine(QStringLiteral("Channel %1").arg(c + 1),
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
#ifdef FOTONEL_VECTOR_RUNS
    static const int level = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") ? 2
                             : __builtin_cpu_supports("avx2")                                         ? 1
                                                                                                      : 0;
    // The vector forms bound the times of a run by those of its extreme
    // nsync and dtime values, which needs times that grow with both, and
    // take pixels as 32-bit integers.
    const bool usable = std::isfinite(pass.syncPeriod) && pass.syncPeriod > 0 && std::isfinite(pass.resolution) &&
                        pass.resolution >= 0 && imageWidth <= INT32_MAX;
    pass.vector = usable ? std::min(level, vectorLevel) : 0;
#endif
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
        uint16_t &count = slot.stack[lineOffset + static_cast<uint32_t>(x)];
        if (count != UINT16_MAX)  // saturate rather than wrap to 0
            ++count;
        ++slot.delays[dtime];
    }
    run.last = last;
    return i;
}

#ifdef FOTONEL_VECTOR_RUNS
namespace {
/*!
 * \brief Photons eight records at a time from record \p i while no special
 * record comes and eight records remain before \p end; returns where it
 * stopped. For tables whose placed channels are all below 8 and whose gates
 * are ranges of dtime values. Lanes of doubles carry the very operations of
 * the scalar form in its order (a product, another, their sum; the offset
 * from the line start, times W, over lineTime), and the build forbids fusing
 * them, so every time and pixel is the same double. \p base: the overflow
 * offset as a double, below 2^52, so base + nsync is exact. The caller has
 * checked that every time of the run lies inside every placed channel's
 * cursors. The addresses of the eight counts and delay counts come from
 * vectors of the channels' arrays, so the photons are counted with no
 * branch; a lane that is not counted adds to a count of its own outside the
 * stack. The counts of a block are made while the next block is decoded:
 * the addresses wait in one of two sets until then, so the increments need
 * not wait for the long chain of steps that finds them.
 */
template <class Format, class Pass, class Table, class Run>
__attribute__((target("avx2"))) uint32_t PlaceGroupsAvx2(const Pass &pass, uint32_t i, uint32_t end, double base,
                                                         const Table &table, Run &run)
{
    constexpr bool picoHarp = std::is_same<Format, PicoHarpT3Format>::value;
    // Field positions of the layout (files/RecordFormat.h).
    constexpr int dtimeShift = picoHarp ? 16 : 10;
    constexpr int channelShift = picoHarp ? 28 : 25;
    const __m256i nsyncMask = _mm256_set1_epi32(static_cast<int>(Format::NSync(UINT32_MAX)));
    const __m256i dtimeMask = _mm256_set1_epi32(static_cast<int>(Format::DTime(UINT32_MAX)));
    const __m256i channelMask = _mm256_set1_epi32(0x3F);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i special = _mm256_set1_epi32(static_cast<int>(PicoHarpT3Format::kSpecialChannel));
    const __m256i timedBits = _mm256_set1_epi32(static_cast<int>(table.timedBits));
    const __m256i placedBits = _mm256_set1_epi32(static_cast<int>(table.placedBits));
    const __m256d offset = _mm256_set1_pd(base), sync = _mm256_set1_pd(pass.syncPeriod);
    const __m256d resolution = _mm256_set1_pd(pass.resolution);
    const __m256d width = _mm256_set1_pd(pass.width), clock = _mm256_set1_pd(pass.clock);
    const __m256d lineStart = _mm256_set1_pd(run.lineStart), zero = _mm256_setzero_pd();

    // Lanes not counted add to these.
    uint16_t sinkCounts[8] = {};
    uint32_t sinkDelays[8] = {};
    // Per channel 0-7: the current line in its stack and its delay counts
    // (low and high halves of the addresses), and its gate.
    alignas(32) uint32_t lineLow[8], lineHigh[8], delaysLow[8], delaysHigh[8];
    for (uint32_t ch = 0; ch < 8; ++ch) {
        const auto &slot = table.slot[ch];
        const bool placed = (table.placedBits >> ch) & 1u;
        const uint64_t line = reinterpret_cast<uintptr_t>(placed ? slot.stack + run.lineOffset : sinkCounts);
        const uint64_t delays = reinterpret_cast<uintptr_t>(placed ? slot.delays : sinkDelays);
        lineLow[ch] = static_cast<uint32_t>(line);
        lineHigh[ch] = static_cast<uint32_t>(line >> 32);
        delaysLow[ch] = static_cast<uint32_t>(delays);
        delaysHigh[ch] = static_cast<uint32_t>(delays >> 32);
    }
    const __m256i lineLows = _mm256_load_si256(reinterpret_cast<const __m256i *>(lineLow));
    const __m256i lineHighs = _mm256_load_si256(reinterpret_cast<const __m256i *>(lineHigh));
    const __m256i delaysLows = _mm256_load_si256(reinterpret_cast<const __m256i *>(delaysLow));
    const __m256i delaysHighs = _mm256_load_si256(reinterpret_cast<const __m256i *>(delaysHigh));
    // Gate ranges hold values below 2^15 + 1, so signed comparisons do.
    const __m256i gateLow = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateLow));
    const __m256i gateHigh = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateHigh));
    const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
    const __m256i sinkCount[2] = {
        _mm256_add_epi64(_mm256_set1_epi64x(reinterpret_cast<intptr_t>(sinkCounts)), _mm256_slli_epi64(lane, 1)),
        _mm256_add_epi64(_mm256_set1_epi64x(reinterpret_cast<intptr_t>(sinkCounts + 4)), _mm256_slli_epi64(lane, 1))};
    const __m256i sinkDelay[2] = {
        _mm256_add_epi64(_mm256_set1_epi64x(reinterpret_cast<intptr_t>(sinkDelays)), _mm256_slli_epi64(lane, 2)),
        _mm256_add_epi64(_mm256_set1_epi64x(reinterpret_cast<intptr_t>(sinkDelays + 4)), _mm256_slli_epi64(lane, 2))};

    alignas(32) uint16_t *counts[2][8];
    alignas(32) uint32_t *delays[2][8];
    int waiting = -1;  // the set whose increments are still to be made
    const auto increment = [&](int set) {
        for (int k = 0; k < 8; ++k) {
            uint16_t *n = counts[set][k];
            *n = static_cast<uint16_t>(*n + (*n != UINT16_MAX));  // saturate rather than wrap to 0
            ++*delays[set][k];
        }
    };

    const uint32_t *words = pass.words;
    double last = run.last;
    alignas(32) double times[8];
    for (; end - i >= 8; i += 8) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words + i));
        __m256i channel;
        if (picoHarp) {
            channel = _mm256_srli_epi32(w, channelShift);
            if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(channel, special))))
                break;
        } else {
            if (_mm256_movemask_ps(_mm256_castsi256_ps(w)))  // bit 31: special
                break;
            channel = _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(w, channelShift), channelMask), one);
        }
        // Bit c of the masks moved to the top of each lane: channels from 32
        // up shift it out, and they are Skipped in a narrow table.
        const unsigned timed = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(_mm256_srlv_epi32(timedBits, channel), 31))));
        if (!timed)
            continue;
        const __m256i nsync = _mm256_and_si256(w, nsyncMask);
        const __m256i dtime = _mm256_and_si256(_mm256_srli_epi32(w, dtimeShift), dtimeMask);
        // Placed and inside the gate, as lanes of all ones. Channels from 8
        // up read another channel's gate and arrays here, but are never placed.
        const __m256i placed = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_srlv_epi32(placedBits, channel), 31), 31);
        const __m256i outside = _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_permutevar8x32_epi32(gateLow, channel), dtime),
                                                _mm256_cmpgt_epi32(dtime, _mm256_permutevar8x32_epi32(gateHigh, channel)));
        const __m256i passing = _mm256_andnot_si256(outside, placed);
        // The addresses of the channels' arrays, lanes 0-3 and 4-7.
        const __m256i lows = _mm256_permutevar8x32_epi32(lineLows, channel);
        const __m256i highs = _mm256_permutevar8x32_epi32(lineHighs, channel);
        const __m256i lineLanes[2] = {
            _mm256_permute2x128_si256(_mm256_unpacklo_epi32(lows, highs), _mm256_unpackhi_epi32(lows, highs), 0x20),
            _mm256_permute2x128_si256(_mm256_unpacklo_epi32(lows, highs), _mm256_unpackhi_epi32(lows, highs), 0x31)};
        const __m256i dlows = _mm256_permutevar8x32_epi32(delaysLows, channel);
        const __m256i dhighs = _mm256_permutevar8x32_epi32(delaysHighs, channel);
        const __m256i delayLanes[2] = {
            _mm256_permute2x128_si256(_mm256_unpacklo_epi32(dlows, dhighs), _mm256_unpackhi_epi32(dlows, dhighs), 0x20),
            _mm256_permute2x128_si256(_mm256_unpacklo_epi32(dlows, dhighs), _mm256_unpackhi_epi32(dlows, dhighs), 0x31)};
        const int set = waiting == 0 ? 1 : 0;
        for (int half = 0; half < 2; ++half) {
            const __m128i n = half ? _mm256_extracti128_si256(nsync, 1) : _mm256_castsi256_si128(nsync);
            const __m128i d = half ? _mm256_extracti128_si256(dtime, 1) : _mm256_castsi256_si128(dtime);
            const __m128i p = half ? _mm256_extracti128_si256(passing, 1) : _mm256_castsi256_si128(passing);
            const __m256d syncTime = _mm256_mul_pd(_mm256_add_pd(offset, _mm256_cvtepi32_pd(n)), sync);
            const __m256d t = _mm256_add_pd(syncTime, _mm256_mul_pd(_mm256_cvtepi32_pd(d), resolution));
            const __m256d x = _mm256_div_pd(_mm256_mul_pd(width, _mm256_sub_pd(t, lineStart)), clock);
            const __m256d on = _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_GE_OQ), _mm256_cmp_pd(x, width, _CMP_LT_OQ));
            const __m256i accept = _mm256_and_si256(_mm256_castpd_si256(on), _mm256_cvtepi32_epi64(p));
            _mm256_store_pd(times + 4 * half, t);
            const __m256i pixel = _mm256_cvtepu32_epi64(_mm256_cvttpd_epi32(x));
            const __m256i count = _mm256_add_epi64(lineLanes[half], _mm256_slli_epi64(pixel, 1));
            const __m256i delay = _mm256_add_epi64(delayLanes[half], _mm256_slli_epi64(_mm256_cvtepu32_epi64(d), 2));
            _mm256_store_si256(reinterpret_cast<__m256i *>(counts[set] + 4 * half),
                               _mm256_blendv_epi8(sinkCount[half], count, accept));
            _mm256_store_si256(reinterpret_cast<__m256i *>(delays[set] + 4 * half),
                               _mm256_blendv_epi8(sinkDelay[half], delay, accept));
        }
        last = times[31 - __builtin_clz(timed)];
        if (waiting >= 0)
            increment(waiting);
        waiting = set;
    }
    if (waiting >= 0)
        increment(waiting);
    run.last = last;
    return i;
}

/*!
 * \brief The same with AVX-512, for tables whose placed channels are all
 * below 16 and whose gates are ranges of dtime values: the eight times are
 * one vector.
 */
template <class Format, class Pass, class Table, class Run>
__attribute__((target("avx512f,avx512vl"))) uint32_t PlaceGroupsAvx512(const Pass &pass, uint32_t i, uint32_t end,
                                                                       double base, const Table &table, Run &run)
{
    constexpr bool picoHarp = std::is_same<Format, PicoHarpT3Format>::value;
    constexpr int dtimeShift = picoHarp ? 16 : 10;
    constexpr int channelShift = picoHarp ? 28 : 25;
    const __m256i nsyncMask = _mm256_set1_epi32(static_cast<int>(Format::NSync(UINT32_MAX)));
    const __m256i dtimeMask = _mm256_set1_epi32(static_cast<int>(Format::DTime(UINT32_MAX)));
    const __m256i channelMask = _mm256_set1_epi32(0x3F);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i special = _mm256_set1_epi32(static_cast<int>(PicoHarpT3Format::kSpecialChannel));
    const __m256i timedBits = _mm256_set1_epi32(static_cast<int>(table.timedBits));
    const __m256i placedBits = _mm256_set1_epi32(static_cast<int>(table.placedBits));
    const __m512d offset = _mm512_set1_pd(base), sync = _mm512_set1_pd(pass.syncPeriod);
    const __m512d resolution = _mm512_set1_pd(pass.resolution);
    const __m512d width = _mm512_set1_pd(pass.width), clock = _mm512_set1_pd(pass.clock);
    const __m512d lineStart = _mm512_set1_pd(run.lineStart), zero = _mm512_setzero_pd();

    // Lanes not counted add to these.
    uint16_t sinkCounts[8] = {};
    uint32_t sinkDelays[8] = {};
    // Per channel 0-15: the current line in its stack and its delay counts.
    alignas(64) uintptr_t lineOf[16], delaysOf[16];
    for (uint32_t ch = 0; ch < 16; ++ch) {
        const auto &slot = table.slot[ch];
        const bool placed = (table.placedBits >> ch) & 1u;
        lineOf[ch] = reinterpret_cast<uintptr_t>(placed ? slot.stack + run.lineOffset : sinkCounts);
        delaysOf[ch] = reinterpret_cast<uintptr_t>(placed ? slot.delays : sinkDelays);
    }
    const __m512i line0 = _mm512_load_si512(lineOf), line1 = _mm512_load_si512(lineOf + 8);
    const __m512i delays0 = _mm512_load_si512(delaysOf), delays1 = _mm512_load_si512(delaysOf + 8);
    const __m256i gateLow0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateLow));
    const __m256i gateLow1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateLow + 8));
    const __m256i gateHigh0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateHigh));
    const __m256i gateHigh1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateHigh + 8));
    const __m512i lane = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i sinkCount =
        _mm512_add_epi64(_mm512_set1_epi64(reinterpret_cast<intptr_t>(sinkCounts)), _mm512_slli_epi64(lane, 1));
    const __m512i sinkDelay =
        _mm512_add_epi64(_mm512_set1_epi64(reinterpret_cast<intptr_t>(sinkDelays)), _mm512_slli_epi64(lane, 2));

    // As in PlaceGroupsAvx2, the counts of a block are made while the next is decoded.
    alignas(64) uint16_t *counts[2][8];
    alignas(64) uint32_t *delays[2][8];
    int waiting = -1;  // the set whose increments are still to be made
    const auto increment = [&](int set) {
        for (int k = 0; k < 8; ++k) {
            uint16_t *n = counts[set][k];
            *n = static_cast<uint16_t>(*n + (*n != UINT16_MAX));  // saturate rather than wrap to 0
            ++*delays[set][k];
        }
    };

    const uint32_t *words = pass.words;
    double last = run.last;
    alignas(64) double times[8];
    for (; end - i >= 8; i += 8) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words + i));
        __m256i channel;
        if (picoHarp) {
            channel = _mm256_srli_epi32(w, channelShift);
            if (_mm256_cmpeq_epi32_mask(channel, special))
                break;
        } else {
            if (_mm256_cmplt_epi32_mask(w, _mm256_setzero_si256()))  // bit 31: special
                break;
            channel = _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(w, channelShift), channelMask), one);
        }
        const __mmask8 timed = _mm256_test_epi32_mask(_mm256_srlv_epi32(timedBits, channel), one);
        if (!timed)
            continue;
        const __mmask8 placed = _mm256_test_epi32_mask(_mm256_srlv_epi32(placedBits, channel), one);
        const __m256i nsync = _mm256_and_si256(w, nsyncMask);
        const __m256i dtime = _mm256_and_si256(_mm256_srli_epi32(w, dtimeShift), dtimeMask);
        const __m512d syncTime = _mm512_mul_pd(_mm512_add_pd(offset, _mm512_cvtepi32_pd(nsync)), sync);
        const __m512d t = _mm512_add_pd(syncTime, _mm512_mul_pd(_mm512_cvtepi32_pd(dtime), resolution));
        const __m512d x = _mm512_div_pd(_mm512_mul_pd(width, _mm512_sub_pd(t, lineStart)), clock);
        // Channels 16 and up read another channel's gate and arrays below,
        // but are never placed.
        const __mmask8 gated = _mm256_mask_cmple_epu32_mask(
            _mm256_cmple_epu32_mask(_mm256_permutex2var_epi32(gateLow0, channel, gateLow1), dtime), dtime,
            _mm256_permutex2var_epi32(gateHigh0, channel, gateHigh1));
        const __mmask8 accept =
            placed & gated & _mm512_cmp_pd_mask(x, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(x, width, _CMP_LT_OQ);
        _mm512_store_pd(times, t);
        last = times[31 - __builtin_clz(static_cast<unsigned>(timed))];
        if (!accept)
            continue;
        const __m512i c = _mm512_cvtepu32_epi64(channel);
        const __m512i d = _mm512_cvtepu32_epi64(dtime);
        const __m512i pixel = _mm512_cvtepu32_epi64(_mm512_cvttpd_epi32(x));
        const __m512i count = _mm512_add_epi64(_mm512_permutex2var_epi64(line0, c, line1), _mm512_slli_epi64(pixel, 1));
        const __m512i delay = _mm512_add_epi64(_mm512_permutex2var_epi64(delays0, c, delays1), _mm512_slli_epi64(d, 2));
        const int set = waiting == 0 ? 1 : 0;
        _mm512_store_si512(counts[set], _mm512_mask_blend_epi64(accept, sinkCount, count));
        _mm512_store_si512(delays[set], _mm512_mask_blend_epi64(accept, sinkDelay, delay));
        if (waiting >= 0)
            increment(waiting);
        waiting = set;
    }
    if (waiting >= 0)
        increment(waiting);
    run.last = last;
    return i;
}
} // namespace
#endif

template <class Format>
uint32_t RasterScan::PlaceRun(const PassConstants &pass, uint32_t i, uint32_t end, uint64_t overflowOffset,
                              RunState &run)
{
#ifdef FOTONEL_VECTOR_RUNS
    const SlotTable &table = *run.table;
    if (pass.vector && i < end && end - i >= 8 && table.narrow && overflowOffset < (uint64_t(1) << 52)) {
        // Times grow with nsync and dtime (each rounding keeps the order), so
        // every photon of the run lies between these two; when every placed
        // channel's cursors hold both, no photon of the run fails them.
        const double base = static_cast<double>(static_cast<int64_t>(overflowOffset));
        const double low = base * pass.syncPeriod;
        const double high =
            (base + Format::NSync(UINT32_MAX)) * pass.syncPeriod + Format::DTime(UINT32_MAX) * pass.resolution;
        if (table.cursorLow <= low && high <= table.cursorHigh) {
            if (pass.vector == 2 && (table.placedBits >> 16) == 0 && table.gateRanges)
                i = PlaceGroupsAvx512<Format>(pass, i, end, base, table, run);
            else if ((table.placedBits >> 8) == 0 && table.gateRanges)
                i = PlaceGroupsAvx2<Format>(pass, i, end, base, table, run);
        }
    }
#endif
    return PlaceRunScalar<Format>(pass, i, end, overflowOffset, run);
}

template uint32_t RasterScan::PlaceRun<PicoHarpT3Format>(const PassConstants &, uint32_t, uint32_t, uint64_t,
                                                         RunState &);
template uint32_t RasterScan::PlaceRun<HydraHarpT3v1Format>(const PassConstants &, uint32_t, uint32_t, uint64_t,
                                                            RunState &);
template uint32_t RasterScan::PlaceRun<HydraHarpT3v2Format>(const PassConstants &, uint32_t, uint32_t, uint64_t,
                                                            RunState &);
