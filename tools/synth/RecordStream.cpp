#include "tools/synth/RecordStream.h"

namespace synth {

void RecordStream::AdvanceTo(uint64_t truensync)
{
    switch (format_) {
    case RecordFormat::PicoHarpT3:
        while (truensync >= offset_ + 65536) {
            words.push_back(OverflowWord());
            offset_ += 65536;
        }
        break;
    case RecordFormat::HydraHarpT3v1:
        while (truensync >= offset_ + 1024) {
            words.push_back(HarpSpecialWord(63, 0));
            offset_ += 1024;
        }
        break;
    case RecordFormat::HydraHarpT3v2:
        // One record for up to 1023 wraps, as the instruments write them.
        while (truensync >= offset_ + 1024) {
            const uint64_t wraps = (truensync - offset_) / 1024;
            const uint32_t n = wraps > 1023 ? 1023u : static_cast<uint32_t>(wraps);
            words.push_back(HarpSpecialWord(63, n));
            offset_ += 1024u * n;
        }
        break;
    }
}

void RecordStream::AddPhoton(uint64_t truensync, uint32_t channel, uint32_t dtime)
{
    AdvanceTo(truensync);
    const uint32_t nsync = static_cast<uint32_t>(truensync - offset_);
    words.push_back(format_ == RecordFormat::PicoHarpT3 ? PhotonWord(channel, dtime, nsync)
                                                        : HarpPhotonWord(channel, dtime, nsync));
}

void RecordStream::AddMarker(uint64_t truensync, uint32_t marker)
{
    AdvanceTo(truensync);
    const uint32_t nsync = static_cast<uint32_t>(truensync - offset_);
    words.push_back(format_ == RecordFormat::PicoHarpT3 ? MarkerWord(marker, nsync) : HarpSpecialWord(marker, nsync));
}

std::vector<uint32_t> Transcode(const std::vector<uint32_t> &picoHarp, RecordFormat format,
                                const std::array<uint32_t, 16> *markerOf)
{
    RecordStream out(format);
    T3RecordFields f;
    for (uint32_t w : picoHarp) {
        PicoHarpT3Format::Decode(w, f);
        if (f.marker == PHOTON_MARKER)
            out.AddPhoton(f.truensync, f.channel, f.dtime);
        else if (f.marker != 0)
            out.AddMarker(f.truensync, markerOf ? (*markerOf)[f.marker] : f.marker);
    }
    return out.words;
}

} // namespace synth
