#pragma once
/*!
 * \brief Walks a file's T3 records and decodes each 32-bit word in place.
 *
 * One class per record layout (files/RecordFormat.h): the file's layout is
 * chosen once, and the code that walks the records is compiled for it, so
 * no step asks which layout it reads. A value type with inline steps: the
 * hot loops of the record scan and the analyses use it directly, with no
 * virtual call and no allocation per record. The decoded fields are public
 * (T3RecordFields); callers read them after each step.
 */
#include "files/RecordFormat.h"
#include "files/pqFile.h"

#include <cassert>
#include <cstdint>
#include <limits>

template <class Format>
class T3RecordCursor : public T3RecordFields {
public:
    using RecordLayout = Format;

    /// Stands on record 0 of \p file (decoded) when the file has records.
    T3RecordCursor(FotonelServices &mainWindow, const pqFile &file)
        : resolution(file.Resolution()), syncPeriod(file.SyncPeriod()),
          recordCount(static_cast<uint32_t>(file.records.size())),
          words(file.records.data()), delayBins(file.DelayBins()), syncDelays(file.TimeTags() && file.HasDelays()),
          file(file), mainWindow(mainWindow)
    {
        // A walk compiled for another layout would read every word wrongly.
        assert(file.recordFormat == Format::kFormat);
        Seek(0);
    }

    /// Makes \p i current and decodes it; the overflow offset is kept.
    void Seek(uint32_t i)
    {
        index = i;
        if (index < recordCount)
            Decode();
    }

    /// Advances one record; false (nothing decoded, index one past the end)
    /// when there is none.
    bool Next()
    {
        // From the state before record 0 (index all ones) the sum wraps to 0.
        if (index + 1 >= recordCount) {
            index = recordCount;
            return false;
        }
        ++index;
        previousTruensync = truensync;
        Decode();
        return true;
    }

    /// Ends the walk before record \p end (when that is earlier): Next then
    /// treats it as the end of the records.
    void StopAt(uint32_t end)
    {
        if (end < recordCount)
            recordCount = end;
    }

    /// Stands before record 0 with no overflow counted: Next decodes record 0.
    void Rewind()
    {
        index = UINT32_MAX;
        overflowOffset = 0;
        synced = false;
        truensync = 0;
        previousTruensync = 0;
    }

    /// Advances until a record with marker \p m was decoded (true) or the end
    /// is reached (false). m = 16 finds the next photon.
    bool NextWithMarker(uint32_t m)
    {
        while (Next()) {
            if (marker == m)
                return true;
        }
        return false;
    }

    /// Forgets the overflows counted so far and decodes the current record again.
    void ResetOverflow()
    {
        overflowOffset = 0;
        synced = false;
        Seek(index);
    }

    double resolution;               ///< ns
    double syncPeriod;               ///< ns
    uint32_t index = 0;              ///< current record; all ones before record 0 (Rewind)
    /// Records in memory (the header's count, or fewer when the file was
    /// short), or the end of a walk set by StopAt.
    uint32_t recordCount;

private:
    void Decode()
    {
        Format::Decode(words[index], *this);
        if constexpr (Format::kTimeTags) {
            // A time tag is the whole time; a photon's delay is its time
            // minus the last sync before it (kNoDelay before the first sync
            // and beyond one sync period after its sync).
            if (marker == SYNC_MARKER) {
                lastSync = truensync;
                synced = true;
            } else if (marker == PHOTON_MARKER && syncDelays) {
                const uint64_t d = truensync - lastSync;
                dtime = synced && truensync >= lastSync && d < delayBins ? static_cast<uint32_t>(d) : kNoDelay;
            }
            delaytime = dtime == kNoDelay ? std::numeric_limits<double>::quiet_NaN() : dtime * resolution;
            truetime = static_cast<double>(truensync) * syncPeriod;
            deltatime = static_cast<double>(truensync - previousTruensync) * syncPeriod;
            return;
        }
        delaytime = dtime * resolution;
        truetime = static_cast<double>(truensync) * syncPeriod + delaytime;
        // Unsigned on purpose: a step backwards gives a huge positive value.
        deltatime = static_cast<double>(truensync - previousTruensync) * syncPeriod + delaytime;
    }

    const uint32_t *words;
    uint32_t delayBins;       ///< delays a T2 photon can take (resolution steps)
    bool syncDelays;          ///< a T2 file whose syncs give its photons delays
    bool synced = false;      ///< a sync record was decoded since the start
    uint64_t lastSync = 0;    ///< time of the last sync record (resolution steps)

public:
    const pqFile &file;
    FotonelServices &mainWindow;
};
