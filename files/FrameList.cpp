#include "files/FrameList.h"

FrameList FrameList::Decide(const Runs &runs, uint32_t recordCount, uint32_t areaLines)
{
    FrameList frames;
    const uint32_t H = runs.linesPerFrame;
    frames.lines = H;
    frames.stop = recordCount;
    if (runs.markers == 0) {
        // Without frame markers the trailing run is the whole file.
        const uint32_t A = areaLines;
        if (A == 0 || !runs.leadingHasStart || runs.lines != A || runs.ends != A)
            return frames;  // a point measurement: no frames, whatever its line markers say
        frames.count = 1;
        frames.lines = A;
        frames.leading = frames.trailing = frames.unmarked = true;
        frames.opening = runs.leadingStart;
        frames.stop = runs.lastLineEnd + 1;
        return frames;
    }

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
