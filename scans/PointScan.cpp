#include "scans/PointScan.h"

#include "host/FotonelServices.h"
#include "files/T3RecordCursor.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__x86_64__) && defined(__GNUC__)
// The photon pass has vector forms for processors with AVX2 or AVX-512, chosen at run time.
#include <immintrin.h>
#define FOTONEL_VECTOR_PASS 1
#endif

namespace {
// The displayed trace: 1000 working bins, the last a guard that is dropped.
constexpr std::size_t kTraceBins = 1000;
constexpr std::size_t kTraceProgressStep = 10000;
constexpr std::size_t kExportProgressStep = 1000;
// Export trace bins handed on at a time (128 KiB of 16-bit counts).
constexpr std::size_t kTraceBinsPerWrite = 65536;
// 2^27 16-bit bins (256 MiB) per channel for the export trace held in
// memory; the binary file streams its bins and has no such bound.
constexpr double kMaxExportBins = 134217728.0;
// Out-of-bounds lines per channel and binning; the rest are only counted.
constexpr uint32_t kMaxReportedPhotons = 100;

// What the photon pass needs of one channel, kept together in one cache line.
struct alignas(64) ChannelSlot {
    double *nextTime;        // where the next kept photon time goes
    double *endTime;         // the end of the room for them
    uint32_t *delays;        // kept photons per dtime value
    const uint8_t *inGate;   // per dtime value: 1 when its delay lies inside the gate
    double cursorMin, cursorMax;  // ns, inclusive
    uint32_t gateLo, gateHi;  // the dtime values inGate holds as 1 (a delay is monotone in dtime)
    bool real;    // a channel of the file: moves lastTime
    bool usable;  // active, with a gate and cursors: kept when it passes them
};

// What the photon pass carries from record to record.
struct PassState {
    uint64_t overflow = 0;   // sync periods of the overflows so far
    uint64_t photons = 0;    // photons of real channels so far
    double lastPhoton = 0;   // ns, time of the last of them
    bool backwards = false;  // one of them came before the one ahead of it in the file
};

/*!
 * The photon pass over words[i .. records - 1], record by record, until the
 * photon count reaches \p stopAt; returns the index after the last record
 * taken. A photon's time is the record cursor's truetime: the same two
 * roundings (sync periods times the sync period, plus dtime times the
 * resolution).
 */
template <class Format>
std::size_t PassRecords(const uint32_t *words, std::size_t i, std::size_t records, ChannelSlot *table, double sync,
                        double delayStep, uint64_t stopAt, PassState &state)
{
    // Nothing in this loop calls out, so its state stays in registers.
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    double lastPhoton = state.lastPhoton;
    bool backwards = state.backwards;
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

// Channels the vector pass keeps photons of, at most.
constexpr unsigned kVectorChannels = 4;

/// What the vector pass needs to know of the channels beyond their slots.
struct VectorChannels {
    uint32_t realLo = 1, realHi = 0;  // scan keys of the real channels: one run
    unsigned count = 0;               // usable channels
    uint32_t keys[kVectorChannels] = {};
    ChannelSlot *channelSlots[kVectorChannels] = {};
};

/*!
 * True when the gates and cursors keep every photon of \p channels (0-based):
 * each is usable, its gate passes every dtime value whose delay lies within
 * a sync period (a photon's delay always does, in a sound file) and its
 * cursors span every time the records can give, from 0 to what the most sync
 * periods the records can count (2^20 per record at the most) and the largest
 * dtime give.
 */
bool KeepsEveryPhoton(const ChannelSlot *table, const std::vector<uint32_t> &channels, uint32_t delayBins,
                      const pqFile &file)
{
    const double sync = file.SyncPeriod(), resolution = file.Resolution();
    const double latest = (static_cast<double>(file.records.size()) + 1) * 1048576.0 * sync + delayBins * resolution;
    if (!(sync > 0 && resolution >= 0 && std::isfinite(latest)))
        return false;
    uint32_t delays = 0;  // dtime values within a sync period
    while (delays < delayBins && delays * resolution < sync)
        ++delays;
    for (uint32_t c : channels) {
        if (c + 1 >= kChannelSlots)
            continue;  // never met by the walk
        // The gate's first run of dtime values starts at 0 and covers them all.
        const ChannelSlot &slot = table[c + 1];
        if (!slot.usable || !(slot.cursorMin <= 0 && slot.cursorMax >= latest) ||
            !(slot.gateLo == 0 && slot.gateHi + 1 >= delays))
            return false;
    }
    return true;
}

/*!
 * The dtime values of the kept photons of each usable channel wait here and
 * are counted in one tight loop: counting them lane by lane costs a branch
 * per photon. A form stores up to eight values at Free(c), then calls Added.
 */
template <unsigned kChannels>
struct StagedDelays {
    static constexpr unsigned kSize = 1024;
    explicit StagedDelays(uint32_t *const *delayCounts) : counts(delayCounts) {}
    uint32_t *Free(unsigned c) { return values[c] + filled[c]; }
    void Added(unsigned c, unsigned kept)
    {
        filled[c] += kept;
        if (filled[c] > kSize - 8)
            Count(c);
    }
    void Count(unsigned c)
    {
        uint32_t *to = counts[c];
        for (unsigned j = 0; j < filled[c]; ++j)
            ++to[values[c][j]];
        filled[c] = 0;
    }

    alignas(64) uint32_t values[kChannels][kSize];
    unsigned filled[kChannels] = {};
    uint32_t *const *counts;
};

/*!
 * Fills \p channels from \p table for the vector pass; false when the pass
 * cannot take the file: no usable channel, more than it keeps, or real
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

#ifdef FOTONEL_VECTOR_PASS
#define FOTONEL_AVX512_TARGET __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw,popcnt,bmi,bmi2")))
// GCC 12's AVX-512 headers leave registers undefined on purpose and then warn about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

/*!
 * PassRecords for processors with AVX-512, eight records at a time, for
 * \p kChannels usable channels: the times of a block come from one vector
 * decode (overflows inside the block summed lane by lane), the photons of
 * each usable channel in it are tested together and their kept times stored
 * in order. Takes whole blocks while fewer than \p stopAt - 8 photons are
 * counted, so a block never holds the photon that reaches \p stopAt; returns
 * the index of the first record left. Every gate must be one run of dtime
 * values (gateLo .. gateHi).
 */
template <class Format, unsigned kChannels>
FOTONEL_AVX512_TARGET std::size_t PassBlocks(const uint32_t *words, std::size_t i, std::size_t records,
                                             const VectorChannels &channels, double sync, double delayStep,
                                             uint64_t stopAt, PassState &state)
{
    constexpr bool kPicoHarp = Format::kFormat == RecordFormat::PicoHarpT3;
    constexpr bool kCountedOverflows = Format::kFormat == RecordFormat::HydraHarpT3v2;
    const __m256i nsyncMask = _mm256_set1_epi32(kPicoHarp ? 0xFFFF : 0x3FF);
    const __m256i dtimeMask = _mm256_set1_epi32(kPicoHarp ? 0xFFF : 0x7FFF);
    const __m256i realLo = _mm256_set1_epi32(static_cast<int>(channels.realLo));
    const __m256i realHi = _mm256_set1_epi32(static_cast<int>(channels.realHi));
    const __m512d syncs = _mm512_set1_pd(sync);
    const __m512d delays = _mm512_set1_pd(delayStep);
    const __m512i zero = _mm512_setzero_si512();
    // The usable channels' data in registers.
    double *next[kChannels];
    uint32_t *counts[kChannels];
    __m256i key[kChannels], gateLo[kChannels], gateHi[kChannels];
    __m512d cursorMin[kChannels], cursorMax[kChannels];
    for (unsigned c = 0; c < kChannels; ++c) {
        const ChannelSlot &slot = *channels.channelSlots[c];
        next[c] = slot.nextTime;
        counts[c] = slot.delays;
        key[c] = _mm256_set1_epi32(static_cast<int>(channels.keys[c]));
        gateLo[c] = _mm256_set1_epi32(static_cast<int>(slot.gateLo));
        gateHi[c] = _mm256_set1_epi32(static_cast<int>(slot.gateHi));
        cursorMin[c] = _mm512_set1_pd(slot.cursorMin);
        cursorMax[c] = _mm512_set1_pd(slot.cursorMax);
    }
    StagedDelays<kChannels> staged(counts);
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    __m512d lastPhoton = _mm512_set1_pd(state.lastPhoton);
    __mmask8 backwards = 0;
    for (; i + 8 <= records && counted + 8 < stopAt; i += 8) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words + i));
        const __m256i nsync = _mm256_and_si256(w, nsyncMask);
        const __m256i dtime = _mm256_and_si256(_mm256_srli_epi32(w, kPicoHarp ? 16 : 10), dtimeMask);
        const __m256i keys = _mm256_srli_epi32(w, kPicoHarp ? 28 : 25);
        const __mmask8 special = kPicoHarp ? _mm256_cmpeq_epi32_mask(keys, _mm256_set1_epi32(15))
                                           : _mm256_movepi32_mask(w);
        __m512i count =
            _mm512_add_epi64(_mm512_cvtepu32_epi64(nsync), _mm512_set1_epi64(static_cast<long long>(overflow)));
        if (special) {
            // Overflows: PicoHarp marker 0 (65536 periods); the others channel 63
            // (1024 periods per wrap, the wraps in nsync when counted, 0 meaning one).
            const __m256i markerBits = _mm256_and_si256(_mm256_srli_epi32(w, 16), _mm256_set1_epi32(15));
            const __mmask8 wraps = kPicoHarp
                                       ? _mm256_mask_cmpeq_epi32_mask(special, markerBits, _mm256_setzero_si256())
                                       : _mm256_cmpeq_epi32_mask(keys, _mm256_set1_epi32(127));
            __m512i add;
            if (kPicoHarp) {
                add = _mm512_maskz_mov_epi64(wraps, _mm512_set1_epi64(65536));
            } else if (kCountedOverflows) {
                const __m512i n = _mm512_cvtepu32_epi64(nsync);
                const __m512i n1 = _mm512_mask_mov_epi64(n, _mm512_cmpeq_epi64_mask(n, zero), _mm512_set1_epi64(1));
                add = _mm512_maskz_slli_epi64(wraps, n1, 10);
            } else {
                add = _mm512_maskz_mov_epi64(wraps, _mm512_set1_epi64(1024));
            }
            // Inclusive running sum across the lanes.
            add = _mm512_add_epi64(add, _mm512_alignr_epi64(add, zero, 7));
            add = _mm512_add_epi64(add, _mm512_alignr_epi64(add, zero, 6));
            add = _mm512_add_epi64(add, _mm512_alignr_epi64(add, zero, 4));
            count = _mm512_add_epi64(count, add);
            overflow += static_cast<uint64_t>(_mm_extract_epi64(_mm512_extracti64x2_epi64(add, 3), 1));
        }
        // The same two roundings as one record at a time (the build never
        // fuses a product into the sum after it).
        const __m512d t = _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi64_pd(count), syncs),
                                        _mm512_mul_pd(_mm512_cvtepi32_pd(dtime), delays));
        __mmask8 real = _mm256_mask_cmpge_epu32_mask(static_cast<__mmask8>(~special), keys, realLo);
        real = _mm256_mask_cmple_epu32_mask(real, keys, realHi);
        if (!real)
            continue;
#pragma GCC unroll 4
        for (unsigned c = 0; c < kChannels; ++c) {
            __mmask8 keep = _mm256_mask_cmpeq_epi32_mask(real, keys, key[c]);
            keep = _mm256_mask_cmpge_epu32_mask(keep, dtime, gateLo[c]);
            keep = _mm256_mask_cmple_epu32_mask(keep, dtime, gateHi[c]);
            keep = _mm512_mask_cmp_pd_mask(keep, t, cursorMin[c], _CMP_GE_OQ);
            keep = _mm512_mask_cmp_pd_mask(keep, t, cursorMax[c], _CMP_LE_OQ);
            const unsigned kept = static_cast<unsigned>(__builtin_popcount(keep));
            // A compress in a register and a masked store: never past the kept times.
            const __mmask8 first = static_cast<__mmask8>((1u << kept) - 1);
            _mm512_mask_storeu_pd(next[c], first, _mm512_maskz_compress_pd(keep, t));
            next[c] += kept;
            _mm256_mask_storeu_epi32(staged.Free(c), first, _mm256_maskz_compress_epi32(keep, dtime));
            staged.Added(c, kept);
        }
        // The real photons in order: each against the one before it.
        const unsigned n = static_cast<unsigned>(__builtin_popcount(real));
        const __m512d inOrder = _mm512_maskz_compress_pd(real, t);
        const __m512d before = _mm512_castsi512_pd(
            _mm512_alignr_epi64(_mm512_castpd_si512(inOrder), _mm512_castpd_si512(lastPhoton), 7));
        backwards |= _mm512_mask_cmp_pd_mask(static_cast<__mmask8>((1u << n) - 1), inOrder, before, _CMP_LT_OQ);
        lastPhoton = _mm512_permutexvar_pd(_mm512_set1_epi64(n - 1), inOrder);
        counted += n;
    }
    for (unsigned c = 0; c < kChannels; ++c) {
        staged.Count(c);
        channels.channelSlots[c]->nextTime = next[c];
    }
    state.overflow = overflow;
    state.photons = counted;
    state.lastPhoton = _mm512_cvtsd_f64(lastPhoton);
    state.backwards |= backwards != 0;
    return i;
}

/// Index tables of the AVX2 form, by a mask of four lanes.
struct Avx2Tables {
    __m256i compressDoubles[16];  // the 32-bit halves of the set lanes' doubles first
    __m128i compressWords[16];    // the bytes of the set lanes' 32-bit words first
    __m256i lastDouble[5];        // lane n - 1 of n doubles, in every lane
    __m256i firstLanes[5];        // the first n of four 64-bit lanes set
    Avx2Tables()
    {
        for (unsigned m = 0; m < 16; ++m) {
            alignas(32) int32_t halves[8] = {};
            alignas(16) int8_t bytes[16] = {};
            unsigned n = 0;
            for (unsigned lane = 0; lane < 4; ++lane) {
                if (!(m >> lane & 1u))
                    continue;
                halves[2 * n] = static_cast<int32_t>(2 * lane);
                halves[2 * n + 1] = static_cast<int32_t>(2 * lane + 1);
                for (unsigned b = 0; b < 4; ++b)
                    bytes[4 * n + b] = static_cast<int8_t>(4 * lane + b);
                ++n;
            }
            std::memcpy(&compressDoubles[m], halves, sizeof halves);
            std::memcpy(&compressWords[m], bytes, sizeof bytes);
        }
        for (unsigned n = 1; n <= 4; ++n) {
            alignas(32) int32_t halves[8];
            for (unsigned lane = 0; lane < 4; ++lane) {
                halves[2 * lane] = static_cast<int32_t>(2 * (n - 1));
                halves[2 * lane + 1] = static_cast<int32_t>(2 * (n - 1) + 1);
            }
            std::memcpy(&lastDouble[n], halves, sizeof halves);
        }
        lastDouble[0] = lastDouble[1];
        for (unsigned n = 0; n <= 4; ++n) {
            alignas(32) int64_t lanes[4];
            for (unsigned lane = 0; lane < 4; ++lane)
                lanes[lane] = lane < n ? -1 : 0;
            std::memcpy(&firstLanes[n], lanes, sizeof lanes);
        }
    }
};

/*!
 * PassBlocks for processors with AVX2: blocks of eight records taken in two
 * halves of four times. A block that holds a special record goes through
 * PassRecords. The times of a block are overflow + nsync, exact as a double
 * below 2^52 sync periods; past that the form stops and leaves the rest to
 * PassRecords.
 */
template <class Format, unsigned kChannels>
__attribute__((target("avx2,popcnt,bmi"))) std::size_t
PassBlocksAvx2(const uint32_t *words, std::size_t i, std::size_t records, const VectorChannels &channels,
               ChannelSlot *table, double sync, double delayStep, uint64_t stopAt, PassState &state)
{
    static const Avx2Tables tables;
    constexpr bool kPicoHarp = Format::kFormat == RecordFormat::PicoHarpT3;
    constexpr uint64_t kExactBelow = (uint64_t(1) << 52) - (uint64_t(1) << 16);
    const __m256i nsyncMask = _mm256_set1_epi32(kPicoHarp ? 0xFFFF : 0x3FF);
    const __m256i dtimeMask = _mm256_set1_epi32(kPicoHarp ? 0xFFF : 0x7FFF);
    // Keys and dtime values are small: signed compares do.
    const __m256i realBelow = _mm256_set1_epi32(static_cast<int>(channels.realLo) - 1);
    const __m256i realAbove = _mm256_set1_epi32(static_cast<int>(channels.realHi) + 1);
    const __m256d syncs = _mm256_set1_pd(sync);
    const __m256d delays = _mm256_set1_pd(delayStep);
    ChannelSlot *slot[kChannels];
    double *next[kChannels];  // the slots' nextTime
    uint32_t *counts[kChannels];
    __m256i key[kChannels], gateBelow[kChannels], gateAbove[kChannels];
    __m256d cursorMin[kChannels], cursorMax[kChannels];
    for (unsigned c = 0; c < kChannels; ++c) {
        slot[c] = channels.channelSlots[c];
        next[c] = slot[c]->nextTime;
        counts[c] = slot[c]->delays;
        key[c] = _mm256_set1_epi32(static_cast<int>(channels.keys[c]));
        gateBelow[c] = _mm256_set1_epi32(static_cast<int>(slot[c]->gateLo) - 1);
        gateAbove[c] = _mm256_set1_epi32(static_cast<int>(slot[c]->gateHi) + 1);
        cursorMin[c] = _mm256_set1_pd(slot[c]->cursorMin);
        cursorMax[c] = _mm256_set1_pd(slot[c]->cursorMax);
    }
    StagedDelays<kChannels> staged(counts);
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    __m256d lastPhoton = _mm256_set1_pd(state.lastPhoton);
    unsigned backwards = 0;
    for (; i + 8 <= records && counted + 8 < stopAt && overflow < kExactBelow; i += 8) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words + i));
        const __m256i keys = _mm256_srli_epi32(w, kPicoHarp ? 28 : 25);
        const bool special =
            kPicoHarp ? _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(keys, _mm256_set1_epi32(15)))) != 0
                      : _mm256_movemask_ps(_mm256_castsi256_ps(w)) != 0;
        if (special) {
            for (unsigned c = 0; c < kChannels; ++c)
                slot[c]->nextTime = next[c];
            state.overflow = overflow;
            state.photons = counted;
            state.lastPhoton = _mm256_cvtsd_f64(lastPhoton);
            i = PassRecords<Format>(words, i, i + 8, table, sync, delayStep, stopAt, state) - 8;
            for (unsigned c = 0; c < kChannels; ++c)
                next[c] = slot[c]->nextTime;
            overflow = state.overflow;
            counted = state.photons;
            lastPhoton = _mm256_set1_pd(state.lastPhoton);
            continue;
        }
        const __m256i nsync = _mm256_and_si256(w, nsyncMask);
        const __m256i dtime = _mm256_and_si256(_mm256_srli_epi32(w, kPicoHarp ? 16 : 10), dtimeMask);
        const unsigned real = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(
            _mm256_and_si256(_mm256_cmpgt_epi32(keys, realBelow), _mm256_cmpgt_epi32(realAbove, keys)))));
        if (!real)
            continue;
        const __m256d base = _mm256_set1_pd(static_cast<double>(overflow));
        __m256d t[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i n = h ? _mm256_extracti128_si256(nsync, 1) : _mm256_castsi256_si128(nsync);
            const __m128i d = h ? _mm256_extracti128_si256(dtime, 1) : _mm256_castsi256_si128(dtime);
            t[h] = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(base, _mm256_cvtepi32_pd(n)), syncs),
                                 _mm256_mul_pd(_mm256_cvtepi32_pd(d), delays));
        }
#pragma GCC unroll 4
        for (unsigned c = 0; c < kChannels; ++c) {
            const __m256i lanes = _mm256_and_si256(
                _mm256_cmpeq_epi32(keys, key[c]),
                _mm256_and_si256(_mm256_cmpgt_epi32(dtime, gateBelow[c]), _mm256_cmpgt_epi32(gateAbove[c], dtime)));
            const unsigned keep = real & static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(lanes)));
            // No branch on what is kept: the stores of nothing cost less than a wrong guess.
            for (int h = 0; h < 2; ++h) {
                const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(t[h], cursorMin[c], _CMP_GE_OQ),
                                                     _mm256_cmp_pd(t[h], cursorMax[c], _CMP_LE_OQ));
                const unsigned k = keep >> (4 * h) & static_cast<unsigned>(_mm256_movemask_pd(inside));
                const unsigned kept = static_cast<unsigned>(__builtin_popcount(k));
                const __m256d packed = _mm256_castsi256_pd(
                    _mm256_permutevar8x32_epi32(_mm256_castpd_si256(t[h]), tables.compressDoubles[k]));
                // Four whole lanes where there is room; a masked store (slow on
                // some processors) only at the end of the channel's times.
                if (slot[c]->endTime - next[c] >= 4)
                    _mm256_storeu_pd(next[c], packed);
                else
                    _mm256_maskstore_pd(next[c], tables.firstLanes[kept], packed);
                next[c] += kept;
                const __m128i d = h ? _mm256_extracti128_si256(dtime, 1) : _mm256_castsi256_si128(dtime);
                _mm_storeu_si128(reinterpret_cast<__m128i *>(staged.Free(c)),
                                 _mm_shuffle_epi8(d, tables.compressWords[k]));
                staged.filled[c] += kept;
            }
            staged.Added(c, 0);
        }
        // The real photons in order: each against the one before it.
        for (int h = 0; h < 2; ++h) {
            const unsigned r = real >> (4 * h) & 15u;
            if (!r)
                continue;
            const unsigned n = static_cast<unsigned>(__builtin_popcount(r));
            const __m256d inOrder = _mm256_castsi256_pd(
                _mm256_permutevar8x32_epi32(_mm256_castpd_si256(t[h]), tables.compressDoubles[r]));
            const __m256d before =
                _mm256_blend_pd(_mm256_permute4x64_pd(inOrder, _MM_SHUFFLE(2, 1, 0, 0)), lastPhoton, 1);
            backwards |= static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(inOrder, before, _CMP_LT_OQ))) &
                         ((1u << n) - 1);
            lastPhoton = _mm256_castsi256_pd(
                _mm256_permutevar8x32_epi32(_mm256_castpd_si256(inOrder), tables.lastDouble[n]));
            counted += n;
        }
    }
    for (unsigned c = 0; c < kChannels; ++c) {
        staged.Count(c);
        slot[c]->nextTime = next[c];
    }
    state.overflow = overflow;
    state.photons = counted;
    state.lastPhoton = _mm256_cvtsd_f64(lastPhoton);
    state.backwards |= backwards != 0;
    return i;
}

/// The vector form of \p level (2 AVX-512, 1 AVX2) for the number of usable channels.
template <class Format, unsigned kChannels>
std::size_t PassBlocks(int level, const uint32_t *words, std::size_t i, std::size_t records,
                       const VectorChannels &channels, ChannelSlot *table, double sync, double delayStep,
                       uint64_t stopAt, PassState &state)
{
    if (level >= 2)
        return PassBlocks<Format, kChannels>(words, i, records, channels, sync, delayStep, stopAt, state);
    return PassBlocksAvx2<Format, kChannels>(words, i, records, channels, table, sync, delayStep, stopAt, state);
}

template <class Format>
std::size_t PassBlocks(int level, const uint32_t *words, std::size_t i, std::size_t records,
                       const VectorChannels &channels, ChannelSlot *table, double sync, double delayStep,
                       uint64_t stopAt, PassState &state)
{
    switch (channels.count) {
    case 1: return PassBlocks<Format, 1>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    case 2: return PassBlocks<Format, 2>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    case 3: return PassBlocks<Format, 3>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    default: return PassBlocks<Format, 4>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    }
}
#pragma GCC diagnostic pop
#endif

/*!
 * Counts the ascending times t[lo .. hi - 1] into bins of \p width ns from
 * \p origin: addRun(bin, n) for each run of n photons in bin floor((t - origin) / width)
 * below \p bins, outside(j, q) for each photon j whose quotient q is negative
 * or at least \p bins, in order.
 *
 * The quotient of a rounded difference never decreases as the time grows, so
 * the photons of one bin form a run of the ascending times. Where runs are
 * long (the displayed trace: thousands of photons per bin) a run's end is
 * searched for, galloping from its start, instead of dividing time after
 * time; where the block spans many bins each photon costs one division.
 * Either way every bin is the one the quotient of each photon gives.
 */
template <class AddRun, class Outside>
void CountAscendingRuns(const double *t, std::size_t lo, std::size_t hi, double origin, double width, double bins,
                        AddRun addRun, Outside outside)
{
    auto quotient = [origin, width](double time) { return (time - origin) / width; };
    if (lo >= hi)
        return;
    // Runs shorter than a few photons on average: one division per photon.
    const double spread = quotient(t[hi - 1]) - quotient(t[lo]);
    if (!(spread * 8 <= static_cast<double>(hi - lo))) {
        for (std::size_t j = lo; j < hi; ++j) {
            const double q = quotient(t[j]);
            if (q >= 0 && q < bins)
                addRun(static_cast<std::size_t>(q), 1);
            else
                outside(j, q);
        }
        return;
    }
    std::size_t j = lo;
    double q = quotient(t[lo]);
    while (j < hi) {
        if (!(q >= 0 && q < bins)) {
            outside(j, q);
            if (++j < hi)
                q = quotient(t[j]);
            continue;
        }
        const double bin = std::floor(q);
        // Later times have quotients of at least q: the run holds those below bin + 1.
        const double next = bin + 1;
        std::size_t end = j + 1;
        double atEnd = 0;
        if (end < hi && (atEnd = quotient(t[end])) < next) {
            if (quotient(t[hi - 1]) < next) {
                end = hi;
            } else {
                // t[below] is in the run, t[above] is not: gallop, then bisect.
                std::size_t below = end, above = hi - 1, step = 1;
                while (below + step < above) {
                    if (quotient(t[below + step]) < next) {
                        below += step;
                        step *= 2;
                    } else {
                        above = below + step;
                        break;
                    }
                }
                end = static_cast<std::size_t>(
                    std::partition_point(t + below + 1, t + above, [&](double time) { return quotient(time) < next; }) -
                    t);
                atEnd = quotient(t[end]);
            }
        }
        addRun(static_cast<std::size_t>(bin), end - j);
        j = end;
        q = atEnd;
    }
}
} // namespace

int PointScan::vectorLevel = 2;

int PointScan::VectorLevelAvailable()
{
#ifdef FOTONEL_VECTOR_PASS
    const bool bits = __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
    static const int level = bits && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                                     __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                                     __builtin_cpu_supports("bmi2")
                                 ? 2
                             : bits && __builtin_cpu_supports("avx2") ? 1
                                                                      : 0;
    return level;
#else
    return 0;
#endif
}

bool PointScan::CursorSpan(double &start, double &end) const
{
    if (!reconstructed)
        return false;
    start = firstTime / 1e9;
    end = lastTime / 1e9;
    return true;
}

void PointScan::GatherInformation()
{
    if (gathered || Refuses("GatherInformation"))
        return;
    uint32_t channels = 0;
    double sync = 0, resolution = 0;
    if (!ReadFileConstants(channels, sync, resolution))
        return;

    channelCount = channels;
    activeChannelCount = CopyPhotonCounts(channelCount, photonCounts);
    gatedCounts.assign(channelCount, 0);
    const std::vector<std::vector<double>> noDoubles(channelCount);
    photonTimes.assign(channelCount, PhotonTimes());
    delayCounts.assign(channelCount, std::vector<uint32_t>());
    traceTimes = noDoubles;
    traceCounts = noDoubles;
    lifetimeHistograms = noDoubles;
    exportCounts.assign(channelCount, std::vector<uint16_t>());
    activeChannels.clear();
    for (uint32_t c = 0; c < channelCount; ++c) {
        if (photonCounts[c] == 0)
            continue;
        photonTimes[c].resize(photonCounts[c]);
        delayCounts[c].assign(delayBins, 0);
        activeChannels.push_back(c);
    }

    mainWindow->AddMessage(MessageNormal, QObject::tr("Information gathered"));
    gathered = true;
    syncPeriod = sync;

    mainWindow->SetPointTauBinSize(resolution, sync);
    mainWindow->SetCorrelationControls(syncPeriod, mainWindow->GetDtau(), mainWindow->GetNrbins(), mainWindow->GetNcasc());
    mainWindow->SetGatingRanges(syncPeriod, resolution);
    mainWindow->SetCursorRanges(0, 1e16);
    mainWindow->SetTraceBinSize(sync / 1000, 1e16);
    mainWindow->SetToolBoxPage(3);
}

void PointScan::ReconstructImages()
{
    if (reconstructed || Refuses("ReconstructImages") || !EnsureGathered())
        return;

    gatedCounts.assign(channelCount, 0);
    double total = 0;
    for (uint32_t n : photonCounts)
        total += n;
    millisecondScale = 1e6;
    secondScale = 1e9;

    std::vector<double> gateMin, gateMax, cursorMin, cursorMax;
    mainWindow->GetGating(gateMin, gateMax);
    mainWindow->GetCursors(cursorMin, cursorMax, secondScale);

    // Per channel value; channel 0 and channels above the file's count are
    // ignored altogether.
    ChannelSlot table[kChannelSlots] = {};
    bool gatesAreRuns = true;
    // The gate test of each dtime value, on the delay the record cursor gives it.
    const double resolution = file->Resolution();
    std::vector<uint8_t> gateTable(static_cast<std::size_t>(channelCount) * delayBins, 0);
    for (uint32_t ch = 1; ch <= channelCount && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        ChannelSlot &slot = table[ch];
        slot.real = true;
        if (photonCounts[c] == 0)
            continue;
        photonTimes[c].resize(photonCounts[c]);
        delayCounts[c].assign(delayBins, 0);
        if (c >= gateMin.size() || c >= gateMax.size() || c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        slot.usable = true;
        slot.nextTime = photonTimes[c].data();
        slot.endTime = slot.nextTime + photonTimes[c].size();
        slot.delays = delayCounts[c].data();
        uint8_t *inGate = gateTable.data() + static_cast<std::size_t>(c) * delayBins;
        FillGateTable(inGate, delayBins, resolution, gateMin[c], gateMax[c]);
        slot.inGate = inGate;
        // The vector pass tests a gate as one run of dtime values.
        gatesAreRuns = GateRange(inGate, delayBins, slot.gateLo, slot.gateHi) && gatesAreRuns;
        slot.cursorMin = cursorMin[c];
        slot.cursorMax = cursorMax[c];
    }

    // When the gates and cursors keep every photon the pass writes every
    // photon time: the fresh arrays are faulted in alongside (the pages
    // would be resident at the end anyway).
    LargeBlock::Populate populate;
    if (KeepsEveryPhoton(table, activeChannels, delayBins, *file))
        for (uint32_t c : activeChannels)
            populate.Add(photonTimes[c].data(), photonTimes[c].capacity() * sizeof(double));
    populate.Start();

    // The walk, compiled for the file's record layout, in stretches between
    // progress reports (record 0 included).
    int level = gatesAreRuns ? std::min(VectorLevelAvailable(), vectorLevel) : 0;
    VectorChannels channels;
    bool descending = false;  // some photon came before the one ahead of it in the file
    WithRecordFormat(file->recordFormat, [&](auto format) {
        using Format = decltype(format);
        if (level > 0 && !ListVectorChannels<Format>(table, channels))
            level = 0;
        const T3RecordCursor<Format> start(*mainWindow, *file);
        firstTime = start.truetime;
        const uint32_t *words = file->records.data();
        const std::size_t records = start.recordCount;
        const double sync = start.syncPeriod, delayStep = start.resolution;
        mainWindow->SetProgress(0);
        PassState state;
        state.lastPhoton = firstTime;
        uint64_t nextProgress = kTraceProgressStep;
        std::size_t i = 0;
        while (i < records) {
#ifdef FOTONEL_VECTOR_PASS
            if (level > 0)
                i = PassBlocks<Format>(level, words, i, records, channels, table, sync, delayStep, nextProgress, state);
#endif
            i = PassRecords<Format>(words, i, records, table, sync, delayStep, nextProgress, state);
            if (state.photons == nextProgress) {
                nextProgress += kTraceProgressStep;
                mainWindow->SetProgress(static_cast<int>(static_cast<double>(state.photons) / total * 100));
                LetEventsRun();
            }
        }
        lastTime = state.lastPhoton;
        descending = state.backwards;
    });

    populate.Wait();
    if (resetCursors) {
        mainWindow->SetCursorRanges(firstTime / secondScale, lastTime / secondScale);
        resetCursors = false;
    }
    for (uint32_t c = 0; c < channelCount; ++c) {
        const uint32_t ch = c + 1;
        gatedCounts[c] = table[ch].usable ? static_cast<uint32_t>(table[ch].nextTime - photonTimes[c].data()) : 0;
        if (photonCounts[c] != 0)
            photonTimes[c].resize(gatedCounts[c]);
        // The correlation walks need ascending times. A damaged sync counter
        // (a wrap without its overflow record) makes time run backwards:
        // such times are sorted, and the user is told. When no photon of the
        // file came before its predecessor, every channel ascends.
        if (descending && !std::is_sorted(photonTimes[c].begin(), photonTimes[c].end())) {
            std::sort(photonTimes[c].begin(), photonTimes[c].end());
            mainWindow->AddMessage(MessageWarning, QObject::tr("Photon times of channel %1 do not ascend in the file: "
                                                               "sorted for the analysis")
                                                       .arg(ch));
        }
    }
    mainWindow->SetProgress(100);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Traces reconstructed"));
    reconstructed = true;

    mainWindow->SetPointTauBinSize(file->Resolution(), file->SyncPeriod());
    BinTrace();
    BinLifetimes(mainWindow->GetTaubinsize());
}

void PointScan::ReportOutOfBounds(std::size_t photon, double bin, uint32_t &reported)
{
    if (reported < kMaxReportedPhotons)
        mainWindow->AddMessage(MessageNormal, QStringLiteral("Index out of bounds %1 %2")
                                                  .arg(static_cast<qulonglong>(photon))
                                                  .arg(std::floor(bin), 0, 'f', 0));
    ++reported;
}

void PointScan::ReportSuppressed(uint32_t reported, uint32_t channel)
{
    if (reported > kMaxReportedPhotons)
        mainWindow->AddMessage(MessageNormal, QObject::tr("Index out of bounds for %1 more photons of channel %2")
                                                  .arg(reported - kMaxReportedPhotons)
                                                  .arg(channel + 1));
}

void PointScan::BinTrace()
{
    if (Refuses("BinTrace") || !EnsureReconstructed())
        return;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binning data..."));

    traceTimes.assign(channelCount, std::vector<double>());
    traceCounts.assign(channelCount, std::vector<double>());
    const double w = (lastTime - firstTime) / kTraceBins;
    if (!(std::isfinite(w) && w > 0)) {
        // One photon, or all at one time: there is no span to divide.
        traceBinWidth = 0;
        mainWindow->AddMessage(MessageError, QObject::tr("Measurement too short to bin a trace: %1 ns")
                                                 .arg(lastTime - firstTime));
        return;
    }
    traceBinWidth = w;

    for (uint32_t c : activeChannels) {
        std::vector<double> &x = traceTimes[c];
        x.resize(kTraceBins);
        for (std::size_t i = 0; i < kTraceBins; ++i)
            x[i] = ((i + 0.5) * w) / secondScale + firstTime / secondScale;
        x.resize(kTraceBins - 1);
        traceCounts[c].assign(kTraceBins, 0);
    }

    const std::size_t guard = kTraceBins - 1;
    std::vector<uint64_t> whole(kTraceBins);
    for (uint32_t c : activeChannels) {
        mainWindow->SetProgress(0);
        const double *t = photonTimes[c].data();
        const std::size_t photons = photonTimes[c].size();
        uint32_t reported = 0;
        // Whole photons per bin; photons at lastTime (quotient 1000) and, in
        // damaged files, photons before the first record go to the guard bin.
        whole.assign(kTraceBins, 0);
        for (std::size_t start = 0; start < photons; start += kTraceProgressStep) {
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(start) / photons * 100));
            LetEventsRun();
            const std::size_t stop = std::min(photons, start + kTraceProgressStep);
            CountAscendingRuns(
                t, start, stop, firstTime, w, static_cast<double>(kTraceBins),
                [&](std::size_t bin, std::size_t n) { whole[bin] += n; },
                [&](std::size_t j, double q) {
                    ++whole[guard];
                    ReportOutOfBounds(j, q, reported);
                });
        }
        // Whole numbers below 2^53: the same doubles as adding 1 per photon.
        double *counts = traceCounts[c].data();
        for (std::size_t i = 0; i < kTraceBins; ++i)
            counts[i] = static_cast<double>(whole[i]);
        ReportSuppressed(reported, c);
        traceCounts[c].resize(kTraceBins - 1);
        mainWindow->SetProgress(100);
    }

    std::vector<double> cursorMin, cursorMax;
    mainWindow->GetCursors(cursorMin, cursorMax, 1);
    for (uint32_t c : activeChannels) {
        if (c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        std::vector<double> &x = traceTimes[c];
        std::vector<double> &y = traceCounts[c];
        const std::size_t lo = FindFirstNotBelow(x, cursorMin[c]);
        const std::size_t hi = FindLastNotAbove(x, cursorMax[c]);
        if (lo > hi || lo >= x.size()) {
            x.clear();
            y.clear();
            continue;
        }
        x.erase(x.begin() + hi + 1, x.end());
        x.erase(x.begin(), x.begin() + lo);
        y.erase(y.begin() + hi + 1, y.end());
        y.erase(y.begin(), y.begin() + lo);
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binned the data"));
}

uint64_t PointScan::ExportTraceBins(double binWidth) const
{
    const double span = lastTime - firstTime;
    const double bins = span > 0 ? std::ceil(span / binWidth) : 0.0;
    // More bins than 2^62 (far beyond any disk) would not count in 64 bits.
    return bins < 4.6e18 ? static_cast<uint64_t>(bins) : UINT64_MAX;
}

bool PointScan::StreamTraceBins(uint32_t c, double binWidth, uint64_t n, const TraceBinSink &write)
{
    // One buffer of bins at a time: bins before the buffer are written, the
    // buffer counts the photons of its own bins, and a photon beyond it moves
    // it on over the bins between (written as they are, empty or not).
    std::vector<uint16_t> buffer(kTraceBinsPerWrite, 0);
    uint64_t first = 0;  // the bin of buffer[0]
    bool written = true;
    const auto writeBuffer = [&](std::size_t count) {
        written = write(buffer.data(), count);
        std::fill(buffer.begin(), buffer.end(), uint16_t(0));
        first += count;
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(first) / static_cast<double>(n) * 100));
        LetEventsRun();
    };
    const auto writeBefore = [&](uint64_t bin) {
        while (written && bin - first >= kTraceBinsPerWrite)
            writeBuffer(kTraceBinsPerWrite);
    };

    mainWindow->SetProgress(0);
    const double *t = photonTimes[c].data();
    const std::size_t photons = photonTimes[c].size();
    uint32_t reported = 0;
    // Bin n is the guard: photons at lastTime when the span is a whole number
    // of bins. It is not written; photons beyond it are reported.
    const double withGuard = static_cast<double>(n) + 1;
    for (std::size_t start = 0; written && start < photons; start += kExportProgressStep) {
        // Many photons in few bins write nothing for a while: events run anyway.
        if (start != 0)
            LetEventsRun();
        const std::size_t stop = std::min(photons, start + kExportProgressStep);
        CountAscendingRuns(
            t, start, stop, firstTime, binWidth, withGuard,
            [&](std::size_t bin, std::size_t run) {
                if (bin >= n || !written)
                    return;
                writeBefore(bin);
                // 16-bit counts wrap past 65535, as the export format has them.
                uint16_t &count = buffer[bin - first];
                count = static_cast<uint16_t>(count + run);
            },
            [&](std::size_t j, double q) { ReportOutOfBounds(j, q, reported); });
    }
    writeBefore(n);
    if (written && n > first)
        writeBuffer(static_cast<std::size_t>(n - first));
    ReportSuppressed(reported, c);
    mainWindow->SetProgress(100);
    return written;
}

bool PointScan::BinExportTrace(double binWidth)
{
    if (Refuses("BinExportTrace") || !CheckBinWidth(binWidth) || !EnsureReconstructed())
        return false;
    traceBinWidth = binWidth;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binning export data..."));

    // The trace held in memory: the binary file streams the same bins instead.
    const uint64_t n = ExportTraceBins(binWidth);
    if (!(static_cast<double>(n) <= kMaxExportBins)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Too many trace bins %1 for bin width %2 ns")
                                                 .arg(static_cast<double>(n), 0, 'f', 0)
                                                 .arg(binWidth));
        return false;
    }
    exportCounts.assign(channelCount, std::vector<uint16_t>());
    for (uint32_t c : activeChannels) {
        std::vector<uint16_t> &counts = exportCounts[c];
        counts.reserve(static_cast<std::size_t>(n));
        StreamTraceBins(c, binWidth, n, [&counts](const uint16_t *bins, std::size_t count) {
            counts.insert(counts.end(), bins, bins + count);
            return true;
        });
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binned the export data"));
    return true;
}

std::size_t PointScan::FindFirstNotBelow(const std::vector<double> &x, double v)
{
    if (x.empty() || v <= x[0])
        return 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (v <= x[i])
            return i;
    return x.size();
}

std::size_t PointScan::FindLastNotAbove(const std::vector<double> &x, double v)
{
    for (std::size_t i = x.size(); i-- > 0;)
        if (x[i] <= v)
            return i;
    return 0;
}

void PointScan::WriteImages(int, int)
{
    if (!Refuses("WriteImages"))
        EnsureReconstructed();
}

