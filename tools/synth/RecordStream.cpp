#include "tools/synth/RecordStream.h"

namespace synth {

void RecordStream::AdvanceTo(uint64_t truensync)
{
    while (truensync >= offset_ + 65536) {
        words.push_back(OverflowWord());
        offset_ += 65536;
    }
}

void RecordStream::AddPhoton(uint64_t truensync, uint32_t channel, uint32_t dtime)
{
    AdvanceTo(truensync);
    words.push_back(PhotonWord(channel, dtime, static_cast<uint32_t>(truensync - offset_)));
}

void RecordStream::AddMarker(uint64_t truensync, uint32_t marker)
{
    AdvanceTo(truensync);
    words.push_back(MarkerWord(marker, static_cast<uint32_t>(truensync - offset_)));
}

} // namespace synth
