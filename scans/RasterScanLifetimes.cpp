// The lifetime pass of image and line scans: one walk over the kept lines
// whose photons, between two special records, are handled in a tight run
// as the photon pass handles them, so each one passes the same gate, cursor
// and pixel test as the count stack's.
#include "scans/Lifetimes.h"
#include "scans/RasterScan.h"
#include "files/TwoThreads.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

namespace {

/// What one pixel gathers: photons and the sums of cos and sin of their
/// delays in units of kPhasorUnit.
struct PixelSums {
    int64_t cosine = 0, sine = 0;
    uint32_t count = 0;
};

/// One channel of the pass, indexed by channel number.
struct PhasorSlot {
    bool used = false;
    const uint8_t *inGate = nullptr;
    double cursorMin = 0, cursorMax = 0;  // ns, inclusive
    PixelSums *pixels = nullptr;
    uint32_t *decays = nullptr;           // pixel x mapBins + bin; null without a map
};

/*!
 * cos and sin side by side as whole numbers of kPhasorUnit = 2^-30: one small
 * table the cache keeps. Whole-number sums are exact in any order, so the
 * sums of two threads add up to those of one; the rounding of each entry
 * (below 5e-10) lies far under the single precision of the maps. 64-bit
 * sums hold 2^33 photons a pixel.
 */
constexpr double kPhasorScale = 1073741824.0;  // 2^30
constexpr double kPhasorUnit = 1 / kPhasorScale;

std::vector<int32_t> FixedTable(const flim::PhasorTable &table)
{
    std::vector<int32_t> out(2 * table.cosine.size());
    for (std::size_t k = 0; k < table.cosine.size(); ++k) {
        out[2 * k] = static_cast<int32_t>(std::lround(table.cosine[k] * kPhasorScale));
        out[2 * k + 1] = static_cast<int32_t>(std::lround(table.sine[k] * kPhasorScale));
    }
    return out;
}

} // namespace

void RasterScan::PreparePassPhasors(SlotTable &kept)
{
    passPhasors = PassPhasors{};
    if (!mainWindow->PhasorsWithoutFits())
        return;
    const int harmonic = mainWindow->GetLifetimeSettings().harmonic;
    const double sync = file->SyncPeriod(), resolution = file->Resolution();
    const std::size_t pixels = static_cast<std::size_t>(imageWidth) * (ProfilesAsPlots() ? 1 : imageHeight);
    uint32_t placed = 0;
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch)
        placed += kept.slot[ch].role == Placed;
    // A region of the delay block: the power of 2 that holds every dtime value (and the sinks).
    uint32_t stride = kDelaySinks;
    while (stride < delayBins)
        stride *= 2;
    // Sums, and the delay block with its table (a 16-byte entry per count;
    // a region more for the sinks, and one to align the block), as large as
    // a good part of the memory budget are left to the walk.
    const double bytes = static_cast<double>(pixels) * placed * 2 * sizeof(int64_t) +
                         (placed + 2.0) * stride * (sizeof(uint32_t) + 2 * sizeof(int64_t));
    if (harmonic < 1 || !(sync > 0) || !(resolution > 0) || !(bytes <= kMemoryBudgetBytes / 8))
        return;
    passPhasors.harmonic = harmonic;
    passPhasors.sums.assign(numberOfChannels, {});
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch) {
        if (kept.slot[ch].role != Placed)
            continue;
        LargeArray<int64_t> &sums = passPhasors.sums[ch - 1];
        sums = TakeReadySums(2 * pixels);
        if (sums.empty())
            sums.assign(2 * pixels, 0);
        kept.slot[ch].phasor = sums.data();
        passPhasors.regionChannel.push_back(ch - 1);
    }
    // The table once per region of the delay block, then the sinks' zeros.
    const std::vector<int32_t> table = FixedTable(PhasorTableAt(harmonic));
    const std::size_t regions = passPhasors.regionChannel.size();
    passPhasors.regionStride = stride;
    passPhasors.table.assign((regions + 1) * stride * 2, 0);
    for (std::size_t r = 0; r < regions; ++r)
        std::copy(table.begin(), table.end(), passPhasors.table.begin() + r * 2 * stride);
    UsePhasorDelays(kept, passPhasors.delays, passPhasors.sumsOffsets);
}

void RasterScan::MakeReadyImages()
{
    const std::size_t pixels = static_cast<std::size_t>(imageWidth) * imageHeight;
    const std::size_t channels = std::count_if(passPhasors.sums.begin(), passPhasors.sums.end(),
                                               [](const LargeArray<int64_t> &s) { return !s.empty(); });
    const double bytes = static_cast<double>(pixels) * channels * (sizeof(uint32_t) + 4 * sizeof(float));
    if (channels == 0 || !mainWindow || !mainWindow->PhasorsWithoutFits() || !(bytes <= kMadeAheadBytes)) {
        TakeReadyImages();
        return;
    }
    readyImagesMaker.Start([this, pixels, channels]() noexcept {
        try {
            readyImages.resize(channels);
            for (flim::PhasorImage &image : readyImages) {
                image.photons.assign(pixels, 0);
                for (std::vector<float> *map : {&image.g, &image.s, &image.tauPhase, &image.tauModulation})
                    map->assign(pixels, 0.0f);
            }
        } catch (const std::bad_alloc &) {
            readyImages.clear();  // none made ahead: the lifetimes make their own
        }
    });
}

std::vector<flim::PhasorImage> RasterScan::TakeReadyImages()
{
    readyImagesMaker.Wait();
    std::vector<flim::PhasorImage> ready;
    ready.swap(readyImages);
    return ready;
}

LargeArray<int64_t> RasterScan::TakeReadySums(std::size_t size)
{
    LargeArray<int64_t> sums;
    if (!readySums.empty() && readySums.back().size() == size) {
        sums = std::move(readySums.back());
        readySums.pop_back();
    }
    return sums;
}

void RasterScan::UsePhasorDelays(SlotTable &kept, DelayBlock &block, std::vector<int64_t> &offsets) const
{
    const std::vector<uint32_t> &channels = passPhasors.regionChannel;
    const std::size_t stride = passPhasors.regionStride, regions = channels.size();
    // A region more than the block holds, so that it can start on a multiple of a region's bytes.
    block.storage.assign((regions + 2) * stride, 0);
    const uintptr_t bytes = stride * sizeof(uint32_t), at = reinterpret_cast<uintptr_t>(block.storage.data());
    block.data = block.storage.data() + (bytes - at % bytes) % bytes / sizeof(uint32_t);
    for (std::size_t r = 0; r < regions; ++r)
        kept.slot[channels[r] + 1].delays = block.data + r * stride;
    kept.delaySinks = block.data + regions * stride;
    // Whole-number addresses: the differences may not be distances within one array.
    kept.phasorByDelay = reinterpret_cast<uintptr_t>(passPhasors.table.data()) - 4 * reinterpret_cast<uintptr_t>(block.data);
    uint32_t shift = 0;
    while ((uintptr_t(1) << shift) < bytes)
        ++shift;
    offsets.assign(regions + 1, 0);
    kept.regionShift = shift;
    kept.sumsOffsets = reinterpret_cast<uintptr_t>(offsets.data()) - sizeof(int64_t) * (reinterpret_cast<uintptr_t>(block.data) >> shift);
}

void RasterScan::AddPassPhasorDelays()
{
    const std::vector<uint32_t> &channels = passPhasors.regionChannel;
    if (!passPhasors.delays.data)
        return;
    for (std::size_t r = 0; r < channels.size(); ++r) {
        std::vector<uint32_t> &counts = delayCounts[channels[r]];
        const uint32_t *region = passPhasors.delays.data + r * passPhasors.regionStride;
        for (uint32_t k = 0; k < delayBins && k < counts.size(); ++k)
            counts[k] += region[k];
    }
    passPhasors.delays = {};
}

bool RasterScan::TakePassPhasors(LifetimeSums &sums)
{
    // Only sums of this harmonic and of every frame the walk would keep:
    // the pass adds the photons of frames the check drops later.
    if (passPhasors.harmonic != sums.table.harmonic || sums.mapBins > 0 ||
        passPhasors.sums.size() != numberOfChannels)
        return false;
    for (uint32_t f = 0; f < FramesInWalk(); ++f)
        if (!FrameKept(f))
            return false;
    const std::size_t pixels = static_cast<std::size_t>(sums.width) * sums.height;
    std::vector<uint32_t> taken;
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        const LargeArray<int64_t> &gathered = passPhasors.sums[c];
        if (gathered.empty())
            continue;
        // The photons per pixel are the stack's, summed over its frames (or
        // lines): exact while no count saturated.
        if (gathered.size() != 2 * pixels || images[c].size() % pixels != 0 || c >= maximum.size() ||
            maximum[c] >= UINT16_MAX)
            return false;
        taken.push_back(c);
    }
    // The arrays made ahead for the channels' phasor images, of this size only.
    std::vector<flim::PhasorImage> storage(numberOfChannels), ready = TakeReadyImages();
    for (const uint32_t c : taken) {
        if (ready.empty() || ready.back().photons.size() != pixels)
            break;
        storage[c] = std::move(ready.back());
        ready.pop_back();
    }
    // The sums stay where the pass gathered them, as whole numbers (they
    // live until the next pass); a large image's channels split over two threads.
    std::vector<flim::PhasorSums> out(numberOfChannels);
    RunInTwoThreads(taken.size(), pixels >= parallelLifetimePixels, [&](std::size_t k) {
        const uint32_t c = taken[k];
        flim::PhasorSums &p = out[c];
        p.width = sums.width;
        p.height = sums.height;
        p.fixed = passPhasors.sums[c].data();
        p.fixedUnit = kPhasorUnit;
        // Photons made ahead are zeros already.
        p.count = std::move(storage[c].photons);
        if (p.count.size() != pixels)
            p.count.assign(pixels, 0);
        const uint16_t *stack = images[c].data();
        uint32_t *count = p.count.data();
        for (std::size_t at = 0; at < images[c].size(); at += pixels)
            for (std::size_t i = 0; i < pixels; ++i)
                count[i] += stack[at + i];
    });
    sums.phasors = std::move(out);
    sums.storage = std::move(storage);
    return true;
}

struct RasterScan::PhasorPass {
    std::vector<PhasorSlot> slots;
    std::vector<int32_t> table;    // per dtime value: cos, sin of n ω t in kPhasorUnit
    std::vector<uint32_t> mapBin;  // per dtime value: the map's bin, or UINT32_MAX
    uint32_t mapBins = 0;
};

template <class Format>
void RasterScan::AccumulatePhasorsOf(const PhasorPass &pass, bool alongLine)
{
    T3RecordCursor<Format> cursor = PassStart<Format>();
    mainWindow->SetProgress(0);
    LetEventsRun();
    const uint32_t frames = FramesInWalk(), H = imageHeight, W = imageWidth;
    const uint32_t lineStartMarker = file->markerMeaning.lineStart, lineEndMarker = file->markerMeaning.lineEnd;
    const uint32_t frameMarker = file->markerMeaning.frame;
    const double width = imageWidth, clock = lineTime;
    const double sync = file->SyncPeriod(), resolution = file->Resolution();
    const uint32_t *words = file->records.data();
    const PhasorSlot *slots = pass.slots.data();
    const uint32_t channelSlots = static_cast<uint32_t>(pass.slots.size());
    const int32_t *table = pass.table.data();
    const uint32_t *mapBin = pass.mapBin.data();
    const uint32_t mapBins = pass.mapBins;

    for (uint32_t frame = 0; frame < frames; ++frame) {
        const bool kept = FrameKept(frame);
        uint32_t line = 0;
        bool inLine = false;
        double lineStart = 0;
        std::size_t lineOffset = 0;
        bool closed = false;
        for (;;) {
            // The photons up to the next special record.
            uint32_t i = cursor.index + 1;
            const uint32_t end = cursor.recordCount;
            const uint64_t overflowOffset = cursor.overflowOffset;
            for (; i < end; ++i) {
                const uint32_t w = words[i];
                const uint32_t key = Format::ScanKey(w);
                if (Format::IsSpecialKey(key))
                    break;
                if (!inLine)
                    continue;
                const uint32_t ch = Format::PhotonChannel(key);
                if (ch >= channelSlots || !slots[ch].used)
                    continue;
                const PhasorSlot &slot = slots[ch];
                const uint32_t dtime = Format::DTime(w);
                const double t = static_cast<double>(static_cast<int64_t>(Format::NSync(w) + overflowOffset)) * sync +
                                 dtime * resolution;
                if (!slot.inGate[dtime] || t < slot.cursorMin || t > slot.cursorMax)
                    continue;
                // Pixel clock of the first line, as the count stack places photons.
                const double x = width * (t - lineStart) / clock;
                if (!(x >= 0 && x < width))
                    continue;
                const std::size_t pixel = lineOffset + static_cast<uint32_t>(x);
                PixelSums &p = slot.pixels[pixel];
                p.count += 1;
                p.cosine += table[2 * dtime];
                p.sine += table[2 * dtime + 1];
                if (mapBins > 0 && mapBin[dtime] != UINT32_MAX)
                    slot.decays[pixel * mapBins + mapBin[dtime]] += 1;
            }
            cursor.index = i - 1;
            if (!cursor.Next())
                break;
            const uint32_t marker = cursor.marker;
            if (marker == lineEndMarker) {
                ++line;
                inLine = false;
            } else if (marker == lineStartMarker) {
                lineStart = cursor.truetime;
                inLine = kept && line < H;
                lineOffset = alongLine ? 0 : static_cast<std::size_t>(line) * W;
            } else if (marker == frameMarker) {
                closed = true;
                break;
            }
        }
        // A frame kept after the last frame marker closes at its last line end.
        if (!closed && !file->frames.ClosedAtStop(frame, cursor.index))
            break;
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame + 1) / frames * 100));
        LetEventsRun();
    }
}

bool RasterScan::AccumulateLifetimes(LifetimeSums &sums)
{
    // A line scan's phasors are per position along the line, summed over its lines.
    const bool alongLine = ProfilesAsPlots();
    const uint32_t W = imageWidth, H = alongLine ? 1 : imageHeight;
    sums.width = W;
    sums.height = H;
    const std::size_t pixels = static_cast<std::size_t>(W) * H;
    if (sums.mapBins > 0 && !FitMapDecaysFit(W, H, sums.mapBins))
        return false;
    if (TakePassPhasors(sums))
        return true;
    sums.phasors.assign(numberOfChannels, {});
    sums.decays.assign(numberOfChannels, {});

    // The channels, gates and cursors of the reconstruction that made the stack.
    PassLimits limits;
    mainWindow->GetGating(limits.gateMin, limits.gateMax);
    mainWindow->GetCursors(limits.cursorMin, limits.cursorMax, kNsPerS);
    PhasorPass pass;
    pass.slots.assign(kChannelSlots, {});
    std::vector<uint8_t> gates(static_cast<std::size_t>(numberOfChannels) * delayBins, 0);
    std::vector<std::vector<PixelSums>> accumulated(numberOfChannels);
    pass.mapBins = sums.mapBins;
    for (uint32_t c = 0; c < numberOfChannels && c + 1 < kChannelSlots; ++c) {
        if (photonCounts[c] == 0 || images[c].empty() || c >= limits.gateMin.size() || c >= limits.gateMax.size() ||
            c >= limits.cursorMin.size() || c >= limits.cursorMax.size())
            continue;
        PhasorSlot &slot = pass.slots[c + 1];
        uint8_t *inGate = gates.data() + static_cast<std::size_t>(c) * delayBins;
        FillGateTable(inGate, delayBins, file->Resolution(), limits.gateMin[c], limits.gateMax[c]);
        accumulated[c].assign(pixels, {});
        if (sums.mapBins > 0)
            sums.decays[c].assign(pixels * sums.mapBins, 0);
        slot = {true, inGate, limits.cursorMin[c], limits.cursorMax[c], accumulated[c].data(),
                sums.mapBins > 0 ? sums.decays[c].data() : nullptr};
    }
    pass.table = FixedTable(sums.table);
    pass.mapBin.assign(delayBins, UINT32_MAX);
    for (uint32_t k = 0; k < delayBins && sums.mapBins > 0; ++k)
        if (k / sums.mapSteps < sums.mapBins)
            pass.mapBin[k] = k / sums.mapSteps;

    WithRecordFormat(file->recordFormat, [&](auto format) { AccumulatePhasorsOf<decltype(format)>(pass, alongLine); });

    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (accumulated[c].empty())
            continue;
        flim::PhasorSums &p = sums.phasors[c];
        p.Resize(W, H);
        for (std::size_t i = 0; i < pixels; ++i) {
            p.count[i] = accumulated[c][i].count;
            p.cosine[i] = static_cast<double>(accumulated[c][i].cosine) * kPhasorUnit;
            p.sine[i] = static_cast<double>(accumulated[c][i].sine) * kPhasorUnit;
        }
    }
    return true;
}
