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
    case RecordFormat::PicoHarpT2:
        while (truensync >= offset_ + PicoHarpT2Format::kOverflowPeriod) {
            words.push_back(PicoT2SpecialWord(0, 0));
            offset_ += PicoHarpT2Format::kOverflowPeriod;
        }
        break;
    case RecordFormat::HydraHarpT2v1:
        while (truensync >= offset_ + HydraHarpT2v1Format::kOverflowPeriod) {
            words.push_back(HarpT2SpecialWord(63, 0));
            offset_ += HydraHarpT2v1Format::kOverflowPeriod;
        }
        break;
    case RecordFormat::HydraHarpT2v2:
        while (truensync >= offset_ + HydraHarpT2v2Format::kOverflowPeriod) {
            const uint64_t wraps = (truensync - offset_) / HydraHarpT2v2Format::kOverflowPeriod;
            const uint32_t n = wraps > 0x1FFFFFF ? 0x1FFFFFFu : static_cast<uint32_t>(wraps);
            words.push_back(HarpT2SpecialWord(63, n));
            offset_ += HydraHarpT2v2Format::kOverflowPeriod * n;
        }
        break;
    }
}

void RecordStream::AddSync(uint64_t tag)
{
    AdvanceTo(tag);
    words.push_back(HarpT2SpecialWord(0, static_cast<uint32_t>(tag - offset_)));
}

void RecordStream::AddPhoton(uint64_t truensync, uint32_t channel, uint32_t dtime)
{
    AdvanceTo(truensync);
    const uint32_t nsync = static_cast<uint32_t>(truensync - offset_);
    switch (format_) {
    case RecordFormat::PicoHarpT3: words.push_back(PhotonWord(channel, dtime, nsync)); break;
    case RecordFormat::PicoHarpT2: words.push_back(PicoT2PhotonWord(channel, nsync)); break;
    case RecordFormat::HydraHarpT2v1:
    case RecordFormat::HydraHarpT2v2: words.push_back(HarpT2PhotonWord(channel, nsync)); break;
    default: words.push_back(HarpPhotonWord(channel, dtime, nsync)); break;
    }
}

void RecordStream::AddMarker(uint64_t truensync, uint32_t marker)
{
    AdvanceTo(truensync);
    const uint32_t nsync = static_cast<uint32_t>(truensync - offset_);
    switch (format_) {
    case RecordFormat::PicoHarpT3: words.push_back(MarkerWord(marker, nsync)); break;
    case RecordFormat::PicoHarpT2: words.push_back(PicoT2SpecialWord(marker, nsync)); break;
    case RecordFormat::HydraHarpT2v1:
    case RecordFormat::HydraHarpT2v2: words.push_back(HarpT2SpecialWord(marker, nsync)); break;
    default: words.push_back(HarpSpecialWord(marker, nsync)); break;
    }
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

std::vector<uint32_t> TranscodeToT2(const std::vector<uint32_t> &picoHarp, RecordFormat format, uint64_t ticksPerSync,
                                    bool syncs)
{
    RecordStream out(format);
    T3RecordFields f;
    uint64_t lastSync = UINT64_MAX;
    for (uint32_t w : picoHarp) {
        PicoHarpT3Format::Decode(w, f);
        if (f.marker == 0)
            continue;
        const uint64_t start = f.truensync * ticksPerSync;
        if (syncs && format != RecordFormat::PicoHarpT2 && f.truensync != lastSync) {
            out.AddSync(start);
            lastSync = f.truensync;
        }
        if (f.marker == PHOTON_MARKER)
            out.AddPhoton(start + f.dtime, f.channel, 0);
        else
            out.AddMarker(start + f.dtime, f.marker);
    }
    return out.words;
}

} // namespace synth
