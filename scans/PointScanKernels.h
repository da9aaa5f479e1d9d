#pragma once
/*!
 * \brief The photon pass of the point scan: what it keeps per channel, the
 * record-by-record loop, and its vector forms (PointScanKernels.cpp) for
 * blocks of eight records.
 *
 * Every form keeps the same photons with the same times, in the same order,
 * and reaches the same state; the tests compare them.
 */
#include "files/RecordFormat.h"

#include <cstddef>
#include <cstdint>

namespace PointPass {

/// What the photon pass needs of one channel, kept together in one cache line.
struct alignas(64) ChannelSlot {
    double *nextTime;        ///< where the next kept photon time goes
    double *endTime;         ///< the end of the room for them
    uint32_t *delays;        ///< kept photons per dtime value
    const uint8_t *inGate;   ///< per dtime value: 1 when its delay lies inside the gate
    double cursorMin, cursorMax;  ///< ns, inclusive
    uint32_t gateLo, gateHi;  ///< the dtime values inGate holds as 1 (a delay is monotone in dtime)
    bool real;    ///< a channel of the file: moves lastTime
    bool usable;  ///< active, with a gate and cursors: kept when it passes them
    bool keepsUndelayed;  ///< T2 with syncs: the gate holds every delay, so photons without one pass it too
};

/// What the photon pass carries from record to record.
struct State {
    uint64_t overflow = 0;   ///< sync periods of the overflows so far
    uint64_t photons = 0;    ///< photons of real channels so far
    double lastPhoton = 0;   ///< ns, time of the last of them
    bool backwards = false;  ///< one of them came before the one ahead of it in the file
    // T2 files whose syncs give delays:
    bool syncDelays = false;  ///< the delay of a photon is its time minus the last sync's
    uint32_t delayBins = 1;   ///< delays (resolution steps) below this count; others are none
    bool synced = false;      ///< a sync record was passed
    uint64_t lastSync = 0;    ///< its time (resolution steps)
    uint64_t undelayed = 0;   ///< photons of real channels without a delay
};

/// Channels the vector forms keep photons of, at most.
constexpr unsigned kVectorChannels = 4;

/// What the vector forms need to know of the channels beyond their slots.
struct VectorChannels {
    uint32_t realLo = 1, realHi = 0;  ///< scan keys of the real channels: one run
    unsigned count = 0;               ///< usable channels
    uint32_t keys[kVectorChannels] = {};
    ChannelSlot *channelSlots[kVectorChannels] = {};
};

/*!
 * PassRecords for a T2 file whose syncs give delays: a photon's time is its
 * time tag (\p tick ns per step), its dtime the steps since the last sync.
 * A photon before the first sync, or delayBins steps or more after its sync,
 * has no delay: it is left out of the delay counts and passes a gate only
 * when the gate holds every delay.
 */
template <class Format>
std::size_t PassTimeTags(const uint32_t *words, std::size_t i, std::size_t records, ChannelSlot *table, double tick,
                         uint64_t stopAt, State &state)
{
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    double lastPhoton = state.lastPhoton;
    bool backwards = state.backwards;
    bool synced = state.synced;
    uint64_t lastSync = state.lastSync, undelayed = state.undelayed;
    const uint64_t delayBins = state.delayBins;
    for (; i < records; ++i) {
        const uint32_t w = words[i];
        const uint32_t key = Format::ScanKey(w);
        if (Format::IsSpecialKey(key)) {
            const uint32_t m = Format::SpecialMarker(w);
            if (m == 0) {
                overflow += Format::OverflowSyncs(w);
            } else if (m == SYNC_MARKER) {
                lastSync = Format::NSync(w) + overflow;
                synced = true;
            }
            continue;
        }
        ChannelSlot &slot = table[Format::PhotonChannel(key)];
        if (!slot.real)
            continue;
        const uint64_t steps = Format::NSync(w) + overflow;
        const double t = static_cast<double>(static_cast<int64_t>(steps)) * tick;
        const uint64_t dtime = steps - lastSync;
        const bool delayed = synced && steps >= lastSync && dtime < delayBins;
        undelayed += !delayed;
        if (slot.usable && (delayed ? slot.inGate[dtime] != 0 : slot.keepsUndelayed) && t >= slot.cursorMin &&
            t <= slot.cursorMax) {
            *slot.nextTime++ = t;
            if (delayed)
                ++slot.delays[dtime];
        }
        backwards |= t < lastPhoton;
        lastPhoton = t;
        if (++counted == stopAt) {
            ++i;
            break;
        }
    }
    state.overflow = overflow;
    state.photons = counted;
    state.lastPhoton = lastPhoton;
    state.backwards = backwards;
    state.synced = synced;
    state.lastSync = lastSync;
    state.undelayed = undelayed;
    return i;
}

/*!
 * The photon pass over words[i .. records - 1], record by record, until the
 * photon count reaches \p stopAt; returns the index after the last record
 * taken. \p table: the slots by 1-based channel (kChannelSlots). A photon's
 * time is the record cursor's truetime: the same two roundings (sync periods
 * times the sync period, plus dtime times the resolution).
 */
template <class Format>
std::size_t PassRecords(const uint32_t *words, std::size_t i, std::size_t records, ChannelSlot *table, double sync,
                        double delayStep, uint64_t stopAt, State &state)
{
    // Nothing in this loop calls out, so its state stays in registers.
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    double lastPhoton = state.lastPhoton;
    bool backwards = state.backwards;
    if constexpr (Format::kTimeTags) {
        if (state.syncDelays)
            return PassTimeTags<Format>(words, i, records, table, sync, stopAt, state);
    }
    for (; i < records; ++i) {
        const uint32_t w = words[i];
        const uint32_t key = Format::ScanKey(w);
        if (Format::IsSpecialKey(key)) {
            if (Format::SpecialMarker(w) == 0)
                overflow += Format::OverflowSyncs(w);
            continue;
        }
        ChannelSlot &slot = table[Format::PhotonChannel(key)];
        if (!slot.real)
            continue;
        const uint32_t dtime = Format::DTime(w);
        // Below 2^53 sync periods: the signed conversion is exact.
        const double t = static_cast<double>(static_cast<int64_t>(Format::NSync(w) + overflow)) * sync +
                         static_cast<double>(dtime) * delayStep;
        if (slot.usable && slot.inGate[dtime] && t >= slot.cursorMin && t <= slot.cursorMax) {
            *slot.nextTime++ = t;
            ++slot.delays[dtime];
        }
        backwards |= t < lastPhoton;
        lastPhoton = t;
        if (++counted == stopAt) {
            ++i;
            break;
        }
    }
    state.overflow = overflow;
    state.photons = counted;
    state.lastPhoton = lastPhoton;
    state.backwards = backwards;
    return i;
}

/*!
 * Fills \p channels from \p table for the vector forms; false when they
 * cannot take the file: no usable channel, more than they keep, or real
 * channels whose scan keys are not one run.
 */
template <class Format>
bool ListVectorChannels(ChannelSlot *table, VectorChannels &channels)
{
    channels = VectorChannels();
    bool realRun = true, ended = false;
    for (uint32_t key = 0; key < Format::kScanKeys; ++key) {
        if (Format::IsSpecialKey(key))
            continue;
        ChannelSlot &slot = table[Format::PhotonChannel(key)];
        if (!slot.real) {
            ended = channels.realLo <= channels.realHi;
            continue;
        }
        if (channels.realLo > channels.realHi)
            channels.realLo = channels.realHi = key;
        else
            channels.realHi = key;
        realRun &= !ended;
        if (!slot.usable)
            continue;
        if (channels.count == kVectorChannels)
            return false;
        channels.keys[channels.count] = key;
        channels.channelSlots[channels.count] = &slot;
        ++channels.count;
    }
    return realRun && channels.count > 0;
}

/*!
 * The vector form of \p level (2 AVX-512, 1 AVX2; the processor must have
 * it) over whole blocks of eight records from record \p i while fewer than
 * \p stopAt - 8 photons are counted, so a block never holds the photon that
 * reaches \p stopAt; returns the index of the first record left for
 * PassRecords. Every gate of \p channels must be one run of dtime values
 * (gateLo .. gateHi).
 */
template <class Format>
std::size_t PassBlocks(int level, const uint32_t *words, std::size_t i, std::size_t records,
                       const VectorChannels &channels, ChannelSlot *table, double sync, double delayStep,
                       uint64_t stopAt, State &state);

} // namespace PointPass
