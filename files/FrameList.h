#pragma once
/*!
 * \brief Where the frames of a raster scan lie among a file's records: the
 * one answer every walk over the frames reads.
 *
 * Frames lie between consecutive frame markers (4). Some instruments write
 * the marker at the end of each frame instead of at its start, which leaves
 * the lines of the first frame before the first marker; an acquisition can
 * also end with a frame after the last marker. Such a run of lines is a
 * frame of its own when it holds exactly H = linesPerFrame complete lines
 * (a line start followed by a line end) and no other line end: a leading
 * frame counts as if a frame marker stood just before its first line start,
 * a trailing frame as if one stood just after its last line end, each with
 * that record's time. Shorter, longer or broken runs are not frames.
 *
 * With the markers M of the file and the runs kept, M + runs markers bound
 * one frame fewer; a single marker (and no run) still means one frame, the
 * records after it. The frame count decides the scan type.
 *
 * A walk over the frames places a fresh cursor with Start, which also ends
 * the cursor's walk at stop, steps with T3RecordCursor::Next, and closes a
 * frame at each frame marker and, for the trailing frame, where
 * ClosedAtStop says so.
 *
 * An area image whose instrument writes no frame markers at all (its
 * imaging header says so: ImgHdr_Dimensions 3) is one frame when the whole
 * file holds exactly its ImgHdr_PixY complete lines and no other line end:
 * the frame opens at the first line start and closes at the last line end.
 */
#include <cstdint>

class FrameList {
public:
    /*!
     * \brief What the record scan counts about the runs of lines at both
     * ends, fed with the markers in file order: beside the line ends, the
     * whole lines (an end closing a started line) of the current run.
     */
    class Runs {
    public:
        void LineStart(uint32_t index)
        {
            inLine = true;
            if (markers == 0 && !leadingHasStart) {
                leadingHasStart = true;
                leadingStart = index;
            }
        }
        void LineEnd(uint32_t index)
        {
            ends += 1;
            if (inLine) {
                lines += 1;
                lastLineEnd = index;
                inLine = false;
            }
        }
        void FrameMarker(uint32_t index)
        {
            if (markers == 0) {
                firstMarker = index;
                leadingEnds = ends;
                leadingLines = lines;
            }
            linesPerFrame = ends > linesPerFrame ? ends : linesPerFrame;
            markers += 1;
            ends = 0;
            lines = 0;
            inLine = false;
        }

        uint32_t markers = 0;          ///< frame markers so far
        uint32_t linesPerFrame = 0;    ///< H: most line ends between two markers (before the first included)
        uint32_t ends = 0;             ///< line ends since the last frame marker
        uint32_t lines = 0;            ///< of them, ends that closed a started line
        uint32_t lastLineEnd = 0;      ///< record index of the last of those
        uint32_t firstMarker = 0;      ///< record index of the first frame marker
        bool inLine = false;
        bool leadingHasStart = false;  ///< a line start lies before the first frame marker
        uint32_t leadingStart = 0;     ///< record index of the first of them
        uint32_t leadingEnds = 0;      ///< line ends before the first frame marker
        uint32_t leadingLines = 0;     ///< of them, ends that closed a started line
    };

    /// Decides the frames of \p recordCount records from the counts of one
    /// record scan; ends, lines and lastLineEnd describe the trailing run.
    /// \p areaLines: ImgHdr_PixY of an area image, whose lines make one frame
    /// when it has no frame marker; 0 for any other file.
    static FrameList Decide(const Runs &runs, uint32_t recordCount, uint32_t areaLines = 0);

    /*!
     * \brief Places \p cursor, freshly made and standing on record 0, where
     * frame 0 opens: on the first frame marker, or just before the first
     * line start of a leading frame (Next then decodes that line start),
     * and ends its walk at stop (T3RecordCursor::StopAt). \p openingTime (ns)
     * receives the time of the opening: the marker's, or the line start's.
     * Without frames the cursor ends after the last record with that
     * record's time, and the result is false.
     */
    template <class Cursor>
    bool Start(Cursor &cursor, double *openingTime = nullptr) const;

    /// True when a walk from Start whose Next has just failed (cursor index
    /// \p index) has passed the last line end of the trailing frame \p frame:
    /// that frame closes there, at the time the cursor still holds. (An index,
    /// not the cursor: the hot loops keep their cursor's address to themselves.)
    bool ClosedAtStop(uint32_t frame, uint32_t index) const
    {
        return trailing && frame + 1 == count && index == stop;
    }

    uint32_t count = 0;      ///< frames
    uint32_t lines = 0;      ///< H, lines of a full frame
    bool leading = false;    ///< frame 0 lies before the first frame marker
    bool trailing = false;   ///< the last frame lies after the last frame marker
    bool unmarked = false;   ///< the one frame of an area image without frame markers (leading and trailing)
    uint32_t opening = 0;    ///< record index of the first frame marker, or of a leading frame's first line start
    /// One past the last record any frame holds: one past the trailing
    /// frame's last line end, otherwise the record count.
    uint32_t stop = 0;
};

template <class Cursor>
bool FrameList::Start(Cursor &cursor, double *openingTime) const
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
        Cursor lineStart(cursor);
        lineStart.Next();
        *openingTime = lineStart.truetime;
    }
    return true;
}
