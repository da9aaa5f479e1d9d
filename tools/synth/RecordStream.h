#pragma once
/*!
 * \brief Builds a stream of T3 record words from events at absolute sync
 * counts, inserting overflow records wherever the sync counter wraps, so
 * tests can place photons and markers at exactly known times. Writes any of
 * the record layouts of files/RecordFormat.h (PicoHarp by default).
 *
 * Events must be added in non-decreasing sync order.
 */
#include "files/RecordFormat.h"

#include <array>
#include <cstdint>
#include <vector>

namespace synth {

/// One PicoHarp photon word: channel 1..14 (0 and others allowed for damaged-file tests).
inline uint32_t PhotonWord(uint32_t channel, uint32_t dtime, uint32_t nsync)
{
    return (channel << 28) | ((dtime & 0xFFFu) << 16) | (nsync & 0xFFFFu);
}
/// One PicoHarp special word: marker bits 1..15 (1 line start, 2 line end, 4 frame).
inline uint32_t MarkerWord(uint32_t marker, uint32_t nsync)
{
    return (15u << 28) | ((marker & 0xFu) << 16) | (nsync & 0xFFFFu);
}
inline uint32_t OverflowWord() { return 0xF0000000u; }

/// HydraHarp, TimeHarp 260 and MultiHarp words: photon of 1-based \p channel
/// (written as channel - 1), special record with channel field \p code
/// (1..15 marker bits, 63 overflow; nsync of a v2 overflow: its wraps).
inline uint32_t HarpPhotonWord(uint32_t channel, uint32_t dtime, uint32_t nsync)
{
    return (((channel - 1) & 0x3Fu) << 25) | ((dtime & 0x7FFFu) << 10) | (nsync & 0x3FFu);
}
inline uint32_t HarpSpecialWord(uint32_t code, uint32_t nsync)
{
    return 0x80000000u | ((code & 0x3Fu) << 25) | (nsync & 0x3FFu);
}

/// T2 words: PicoHarp photon of 1-based \p channel (written 0-based) at time
/// tag \p tag; PicoHarp special record (marker bits in the low 4 bits of the
/// tag, 0 an overflow); HydraHarp-family photon and special record (channel
/// field \p code: 63 overflow, 0 sync, 1..15 marker bits).
inline uint32_t PicoT2PhotonWord(uint32_t channel, uint32_t tag)
{
    return (((channel - 1) & 0xFu) << 28) | (tag & 0x0FFFFFFFu);
}
inline uint32_t PicoT2SpecialWord(uint32_t marker, uint32_t tag)
{
    return (15u << 28) | (tag & 0x0FFFFFF0u) | (marker & 0xFu);
}
inline uint32_t HarpT2PhotonWord(uint32_t channel, uint32_t tag)
{
    return (((channel - 1) & 0x3Fu) << 25) | (tag & 0x1FFFFFFu);
}
inline uint32_t HarpT2SpecialWord(uint32_t code, uint32_t tag)
{
    return 0x80000000u | ((code & 0x3Fu) << 25) | (tag & 0x1FFFFFFu);
}

class RecordStream {
public:
    explicit RecordStream(RecordFormat format = RecordFormat::PicoHarpT3) : format_(format) {}

    /// Photon of \p channel with \p dtime bins at absolute sync count \p truensync
    /// (T2 layouts: at time tag \p truensync in resolution units, dtime unused).
    void AddPhoton(uint64_t truensync, uint32_t channel, uint32_t dtime);
    /// Marker event (1 line start, 2 line end, 4 frame marker, or any 1..15).
    void AddMarker(uint64_t truensync, uint32_t marker);
    /// A sync record of the HydraHarp-family T2 layouts at time tag \p tag.
    void AddSync(uint64_t tag);
    /// A raw word taken as it is (its nsync must fit the current overflow period).
    void AddRaw(uint32_t word) { words.push_back(word); }

    /// Sync periods of the overflows written so far.
    uint64_t OverflowOffset() const { return offset_; }

    std::vector<uint32_t> words;

private:
    void AdvanceTo(uint64_t truensync);
    RecordFormat format_;
    uint64_t offset_ = 0;
};

/*!
 * \brief The events of the PicoHarp words \p picoHarp (photons, markers; the
 * overflows only place them in time) written again in layout \p format.
 * Marker bits m become \p markerOf[m] (all of them kept when not given).
 */
std::vector<uint32_t> Transcode(const std::vector<uint32_t> &picoHarp, RecordFormat format,
                                const std::array<uint32_t, 16> *markerOf = nullptr);

/*!
 * \brief The photons and markers of the PicoHarp T3 words \p picoHarp as the
 * T2 records of layout \p format: an event at sync count n with dtime d gets
 * the time tag n * \p ticksPerSync + d (the sync period a whole number of
 * resolution units). \p syncs: a sync record at the start of every sync
 * period that holds an event (HydraHarp-family layouts only).
 */
std::vector<uint32_t> TranscodeToT2(const std::vector<uint32_t> &picoHarp, RecordFormat format, uint64_t ticksPerSync,
                                    bool syncs = false);

} // namespace synth
