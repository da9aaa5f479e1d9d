#pragma once
/*!
 * \brief Builds a stream of PicoHarp T3 record words from events at absolute
 * sync counts, inserting overflow records wherever the 16-bit sync counter
 * wraps, so tests can place photons and markers at exactly known times.
 *
 * Events must be added in non-decreasing sync order.
 */
#include <cstdint>
#include <vector>

namespace synth {

/// One photon word: channel 1..14 (0 and others allowed for damaged-file tests).
inline uint32_t PhotonWord(uint32_t channel, uint32_t dtime, uint32_t nsync)
{
    return (channel << 28) | ((dtime & 0xFFFu) << 16) | (nsync & 0xFFFFu);
}
/// One special word: marker bits 1..15 (1 line start, 2 line end, 4 frame).
inline uint32_t MarkerWord(uint32_t marker, uint32_t nsync)
{
    return (15u << 28) | ((marker & 0xFu) << 16) | (nsync & 0xFFFFu);
}
inline uint32_t OverflowWord() { return 0xF0000000u; }

class RecordStream {
public:
    /// Photon of \p channel with \p dtime bins at absolute sync count \p truensync.
    void AddPhoton(uint64_t truensync, uint32_t channel, uint32_t dtime);
    /// Marker event (1 line start, 2 line end, 4 frame marker, or any 1..15).
    void AddMarker(uint64_t truensync, uint32_t marker);
    /// A raw word taken as it is (its nsync must fit the current overflow period).
    void AddRaw(uint32_t word) { words.push_back(word); }

    /// Overflows written so far times 65536.
    uint64_t OverflowOffset() const { return offset_; }

    std::vector<uint32_t> words;

private:
    void AdvanceTo(uint64_t truensync);
    uint64_t offset_ = 0;
};

} // namespace synth
