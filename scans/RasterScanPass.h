#pragma once
/*!
 * \brief The photon pass over the frames of an image or line scan, and the
 * same pass in two threads for a large image scan: included by the scans
 * that run it.
 */
#include "scans/RasterScan.h"
#include "files/TwoThreads.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

template <class Format, class LineStarted, class FrameClosed>
void RasterScan::PassFrames(const SlotTable &outsideLine, LineStarted lineStarted, FrameClosed frameClosed)
{
    const T3RecordCursor<Format> first = StartPass<Format>();
    lastPhotonTime =
        PassFrameRange<Format>(first, 0, numberOfFrames, firstFrameTime, outsideLine, lineStarted, frameClosed, true);
}

template <class Format>
bool RasterScan::FindPassSplit(const T3RecordCursor<Format> &first, uint32_t frame, PassSplit &split) const
{
    // The pass closes frame f - 1 at the f-th frame marker after its start.
    const std::vector<pqFile::FrameMarkerAt> &markers = file->frameMarkers;
    const uint64_t from = first.index == UINT32_MAX ? 0 : uint64_t(first.index) + 1;
    const auto after = std::lower_bound(markers.begin(), markers.end(), from,
                                        [](const pqFile::FrameMarkerAt &m, uint64_t i) { return m.index < i; });
    if (frame == 0 || static_cast<std::size_t>(markers.end() - after) < frame)
        return false;
    const pqFile::FrameMarkerAt &m = after[frame - 1];
    if (m.index >= first.recordCount)
        return false;
    split = {frame, m.index, m.overflowOffset};
    return true;
}

template <class Format, class MakeLineStarted, class FrameClosed>
void RasterScan::PassImageFrames(const SlotTable &outsideLine, LineTables tables, MakeLineStarted makeLineStarted,
                                 FrameClosed frameClosed)
{
    const T3RecordCursor<Format> first = StartPass<Format>();
    const uint32_t F = numberOfFrames;
    auto lineStarted = makeLineStarted(tables);
    PassSplit split;
    // Each thread takes half the frames; of an odd number this thread takes
    // the one more, since the other first clears its phasor sums. The second
    // thread's copies of the sums stay a small part of the memory budget.
    double copiedSums = 0;
    for (uint32_t ch = 0; ch < kChannelSlots; ++ch)
        copiedSums += tables.kept->slot[ch].phasor ? 2.0 * imageWidth * imageHeight * sizeof(int64_t) : 0.0;
    if (Format::kTimeTags || F < 2 || file->records.size() < parallelPassRecords || copiedSums > kMadeAheadBytes ||
        !FindPassSplit<Format>(first, (F + 1) / 2, split)) {
        lastPhotonTime = PassFrameRange<Format>(first, 0, F, firstFrameTime, outsideLine, lineStarted, frameClosed, true);
        return;
    }
    // The second thread's tables: their placed slots count delays and phasor
    // sums in arrays of its own (delays with phasor sums in a block of its own).
    SlotTable kept = *tables.kept, dropped = *tables.dropped;
    std::vector<std::vector<uint32_t>> delays(kChannelSlots);
    DelayBlock delayBlock;
    std::vector<int64_t> sumsOffsets;
    std::vector<LargeArray<int64_t>> sums(kChannelSlots);
    std::vector<uint8_t> toZero(kChannelSlots, 0);
    const std::size_t phasorPixels = static_cast<std::size_t>(imageWidth) * imageHeight;
    for (uint32_t ch = 0; ch < kChannelSlots; ++ch) {
        ChannelSlot &k = kept.slot[ch], &d = dropped.slot[ch];
        if (k.role != Placed && d.role != Placed)
            continue;
        // The kept slots of a phasor pass count their delays in its block (below).
        if (d.role == Placed || !kept.phasorByDelay)
            delays[ch].assign(delayBins, 0);
        if (k.phasor || d.phasor) {
            // Made ahead, or zeroed in the second thread beside the first's start.
            sums[ch] = TakeReadySums(2 * phasorPixels);
            toZero[ch] = sums[ch].empty();
            if (toZero[ch])
                sums[ch].resize(2 * phasorPixels);
        }
        for (ChannelSlot *s : {&k, &d}) {
            s->delays = delays[ch].data();
            s->phasor = s->phasor ? sums[ch].data() : nullptr;
        }
    }
    if (kept.phasorByDelay)
        UsePhasorDelays(kept, delayBlock, sumsOffsets);
    struct Closed {
        uint32_t frame, lines;
        double time;
    };
    std::vector<Closed> closedLater;
    closedLater.reserve(F - split.frame);  // the second thread allocates nothing
    double firstLast = firstFrameTime, secondLast = std::numeric_limits<double>::quiet_NaN();
    // The first half in this thread (it moves the progress bar), the second
    // in another; both here, one after the other, when no thread can be had.
    RunInTwoThreads(2, true, [&](std::size_t half) {
        if (half == 0) {
            firstLast = PassFrameRange<Format>(first, 0, split.frame, firstFrameTime, outsideLine, lineStarted,
                                               frameClosed, true);
            return;
        }
        for (uint32_t ch = 0; ch < kChannelSlots; ++ch)
            if (toZero[ch])
                std::fill(sums[ch].begin(), sums[ch].end(), int64_t{0});
        T3RecordCursor<Format> cursor(first);
        cursor.overflowOffset = split.overflowOffset;
        cursor.Seek(split.index);
        auto started = makeLineStarted(LineTables{&kept, &dropped});
        auto closed = [&closedLater](uint32_t frame, uint32_t lines, double time) {
            closedLater.push_back({frame, lines, time});
        };
        secondLast = PassFrameRange<Format>(cursor, split.frame, F, secondLast, outsideLine, started, closed, false);
    });
    // The second half's frames close, and move the progress bar, as one thread would have.
    for (const Closed &c : closedLater) {
        frameClosed(c.frame, c.lines, c.time);
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(c.frame + 1) / F * 100));
        LetEventsRun();
    }
    // Photon times are never NaN: the second thread moved the span when its end is a number.
    lastPhotonTime = std::isnan(secondLast) ? firstLast : secondLast;
    for (uint32_t ch = 0; ch < kChannelSlots; ++ch) {
        const bool inKept = tables.kept->slot[ch].role == Placed;
        const ChannelSlot &s = inKept ? tables.kept->slot[ch] : tables.dropped->slot[ch];
        const uint32_t *second = inKept ? kept.slot[ch].delays : dropped.slot[ch].delays;
        if (s.role == Placed && s.delays)
            for (uint32_t k = 0; k < delayBins; ++k)
                s.delays[k] += second[k];
    }
    // The phasor sums in two halves, one per thread.
    const bool anySums = std::any_of(sums.begin(), sums.end(), [](const LargeArray<int64_t> &v) { return !v.empty(); });
    RunInTwoThreads(2, anySums, [&](std::size_t half) {
        for (uint32_t ch = 0; ch < kChannelSlots; ++ch) {
            const ChannelSlot &s = tables.kept->slot[ch].role == Placed ? tables.kept->slot[ch] : tables.dropped->slot[ch];
            if (sums[ch].empty() || !s.phasor)
                continue;
            const std::size_t from = half ? sums[ch].size() / 2 : 0, to = half ? sums[ch].size() : sums[ch].size() / 2;
            for (std::size_t k = from; k < to; ++k)
                s.phasor[k] += sums[ch][k];
        }
    });
}

template <class Format, class LineStarted, class FrameClosed>
double RasterScan::PassFrameRange(T3RecordCursor<Format> cursor, uint32_t frame, uint32_t endFrame, double lastTime,
                                  const SlotTable &outsideLine, LineStarted &lineStarted, FrameClosed &frameClosed,
                                  bool inWindowThread)
{
    // The walk goes on with a copy whose address never leaves this function,
    // so the compiler keeps its fields in registers and drops the work for
    // the fields this pass does not read.
    const PassConstants pass = PhotonPassConstants();

    const uint32_t W = imageWidth, F = numberOfFrames;
    const bool alongLine = ProfilesAsPlots();  // phasor sums per position along the line
    const FrameList &frames = file->frames;
    // The marker values of this file: a comparison with a value in a register
    // costs what one with a constant does.
    const uint32_t lineStartMarker = file->markerMeaning.lineStart, lineEndMarker = file->markerMeaning.lineEnd;
    const uint32_t frameMarker = file->markerMeaning.frame;
    std::size_t frameOffset = static_cast<std::size_t>(frame) * pixelsPerImage;  // f x W x H
    while (frame < endFrame) {
        // The records of one frame, up to its marker: the photons between two
        // special records as one run, then the special record.
        uint32_t line = 0;
        RunState run;
        run.table = &outsideLine;
        run.lineOffset = frameOffset;  // f x W x H + line x W
        run.phasorOffset = 0;
        run.last = lastTime;
        bool closed = false;
        for (;;) {
            // The cursor steps over the photons (its deltatime, which no one
            // reads here, then spans them) and reads the special record.
            cursor.index = PlaceRun<Format>(pass, cursor.index + 1, cursor.recordCount, cursor.overflowOffset, run) - 1;
            if (!cursor.Next())
                break;
            if (cursor.marker == lineEndMarker) {
                ++line;
                run.table = &outsideLine;
            } else if (cursor.marker == lineStartMarker) {
                run.lineStart = cursor.truetime;
                run.lineOffset = frameOffset + static_cast<std::size_t>(line) * W;
                run.phasorOffset = alongLine ? 0 : static_cast<std::size_t>(line) * W;
                run.table = lineStarted(frame, line, cursor.truetime);
            } else if (cursor.marker == frameMarker) {
                closed = true;
                break;
            }
        }
        lastTime = run.last;
        // A frame kept after the last frame marker closes at its last line end.
        if (!closed && !frames.ClosedAtStop(frame, cursor.index))
            break;
        frameClosed(frame, line, cursor.truetime);
        ++frame;
        if (inWindowThread) {
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame) / F * 100));
            LetEventsRun();
        }
        frameOffset += pixelsPerImage;
    }
    return lastTime;
}
