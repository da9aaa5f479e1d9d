#include "files/FrameList.h"

#include "files/T3RecordCursor.h"

FrameList FrameList::Decide(const Runs &runs, uint32_t recordCount)
{
    FrameList frames;
    const uint32_t H = runs.linesPerFrame;
    frames.lines = H;
    frames.stop = recordCount;
    if (runs.markers == 0)
        return frames;  // a point measurement: no frames, whatever its line markers say

    // A run is a whole frame only when every one of its line ends closed a
    // started line and there are exactly H of them; H = 0 makes no frame.
    frames.leading = H > 0 && runs.leadingHasStart && runs.leadingLines == H && runs.leadingEnds == H;
    frames.trailing = H > 0 && runs.lines == H && runs.ends == H;
    frames.opening = frames.leading ? runs.leadingStart : runs.firstMarker;
    if (frames.trailing)
        frames.stop = runs.lastLineEnd + 1;

    const uint32_t bounds = runs.markers + (frames.leading ? 1 : 0) + (frames.trailing ? 1 : 0);
    frames.count = bounds > 1 ? bounds - 1 : bounds;
    return frames;
}

bool FrameList::Start(T3RecordCursor &cursor, double *openingTime) const
{
    if (count == 0 || opening >= cursor.recordCount) {
        while (cursor.Next()) {
        }
        if (openingTime)
            *openingTime = cursor.truetime;
        return false;
    }
    cursor.StopAt(stop);
    if (!leading) {
        // Stepping, not seeking, so every overflow on the way is counted.
        while (cursor.index < opening && cursor.Next()) {
        }
        if (openingTime)
            *openingTime = cursor.truetime;
        return true;
    }
    if (opening == 0)
        cursor.Rewind();
    else
        while (cursor.index + 1 < opening && cursor.Next()) {
        }
    if (openingTime) {
        T3RecordCursor lineStart(cursor);
        lineStart.Next();
        *openingTime = lineStart.truetime;
    }
    return true;
}
