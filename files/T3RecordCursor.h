#pragma once
/*!
 * \brief Walks a file's T3 records and decodes each 32-bit word in place.
 *
 * Record word (little-endian in the file):
 *   bits  0-15  nsync    sync periods since the last overflow
 *   bits 16-27  dtime    start-stop time in resolution bins (photons)
 *   bits 16-19  marker   event code of a special record (channel 15)
 *   bits 28-31  channel  detector channel, 15 = special record
 * A special record with marker 0 is an overflow: the 16-bit sync counter
 * wrapped and 65536 is added to the running offset. Photons get marker 16.
 *
 * A value type with inline steps: the hot loops of the record scan and the
 * analyses use it directly, with no virtual call and no allocation per record.
 */
#include "files/pqFile.h"

#include <cstdint>

/// Marker value given to ordinary photon records (outside the 4-bit range).
constexpr uint32_t PHOTON_MARKER = 16;
/// Channel value of special records (overflows and markers).
constexpr uint32_t SPECIAL_CHANNEL = 15;
constexpr uint64_t OVERFLOW_PERIOD = 65536;

/// Field extraction of one record word.
namespace T3Word {
inline uint32_t NSync(uint32_t w) { return w & 0xFFFFu; }          // bits 0-15
inline uint32_t DTime(uint32_t w) { return (w >> 16) & 0xFFFu; }   // bits 16-27
inline uint32_t MarkerBits(uint32_t w) { return (w >> 16) & 0xFu; } // bits 16-19
inline uint32_t Channel(uint32_t w) { return w >> 28; }            // bits 28-31
/// 0 overflow, 1-15 marker, 16 photon.
inline uint32_t Marker(uint32_t w) { return Channel(w) == SPECIAL_CHANNEL ? MarkerBits(w) : PHOTON_MARKER; }
} // namespace T3Word

class T3RecordCursor {
public:
    /// Stands on record 0 of \p file (decoded) when the file has records.
    T3RecordCursor(FotonelServices &mainWindow, const pqFile &file)
        : resolution(file.Resolution()), syncPeriod(file.SyncPeriod()),
          recordCount(static_cast<uint32_t>(file.records.size())),
          words(file.records.data()), file(file), mainWindow(mainWindow)
    {
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
        Seek(index);
    }

    uint32_t record = 0;
    uint32_t nsync = 0;
    uint32_t channel = 0;
    uint32_t dtime = 0;
    uint32_t marker = 0;
    uint64_t overflowOffset = 0;
    uint64_t truensync = 0;
    uint64_t previousTruensync = 0;  ///< 0 before the first step
    double truetime = 0;             ///< ns
    double delaytime = 0;            ///< ns
    double deltatime = 0;            ///< ns since the previous record
    double resolution;               ///< ns
    double syncPeriod;               ///< ns
    uint32_t index = 0;              ///< current record; all ones before record 0 (Rewind)
    /// Records in memory (the header's count, or fewer when the file was
    /// short), or the end of a walk set by StopAt.
    uint32_t recordCount;

private:
    void Decode()
    {
        const uint32_t w = words[index];
        record = w;
        nsync = T3Word::NSync(w);
        channel = T3Word::Channel(w);
        if (channel == SPECIAL_CHANNEL) {
            dtime = 0;
            marker = T3Word::MarkerBits(w);
            if (marker == 0)
                overflowOffset += OVERFLOW_PERIOD;
        } else {
            dtime = T3Word::DTime(w);
            marker = PHOTON_MARKER;
        }
        truensync = nsync + overflowOffset;
        delaytime = dtime * resolution;
        truetime = static_cast<double>(truensync) * syncPeriod + delaytime;
        // Unsigned on purpose: a step backwards gives a huge positive value.
        deltatime = static_cast<double>(truensync - previousTruensync) * syncPeriod + delaytime;
    }

    const uint32_t *words;

public:
    const pqFile &file;
    FotonelServices &mainWindow;
};
