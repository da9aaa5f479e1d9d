#include "scans/PointScanKernels.h"

#include "scans/VectorForms.h"

#include <cstring>

namespace PointPass {

#ifdef FOTONEL_VECTOR_FORMS
namespace {

#define FOTONEL_INLINE inline __attribute__((always_inline))
// GCC 12's AVX-512 headers leave registers undefined on purpose and then warn about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

/*!
 * The dtime values of the kept photons of each usable channel wait here and
 * are counted in one tight loop: counting them lane by lane costs a branch
 * per photon. A form stores up to eight values at Free(c), then calls Added.
 */
template <unsigned kChannels>
struct StagedDelays {
    static constexpr unsigned kSize = 1024;
    explicit StagedDelays(uint32_t *const *delayCounts)
    {
        for (unsigned c = 0; c < kChannels; ++c)
            counts[c] = delayCounts[c];
    }
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
    uint32_t *counts[kChannels];  // a copy: the forms' own arrays stay in registers
};

// ---------------------------------------------------------------- AVX-512

/// The usable channels' tests as lanes, and where their kept times go.
template <unsigned kChannels>
struct Avx512Lanes {
    double *next[kChannels];
    uint32_t *counts[kChannels];
    __m256i key[kChannels], gateLo[kChannels], gateHi[kChannels];
    __m512d cursorMin[kChannels], cursorMax[kChannels];
};

template <unsigned kChannels>
FOTONEL_AVX512_TARGET FOTONEL_INLINE void SetUpAvx512(const VectorChannels &channels, Avx512Lanes<kChannels> &lanes)
{
    for (unsigned c = 0; c < kChannels; ++c) {
        const ChannelSlot &slot = *channels.channelSlots[c];
        lanes.next[c] = slot.nextTime;
        lanes.counts[c] = slot.delays;
        lanes.key[c] = _mm256_set1_epi32(static_cast<int>(channels.keys[c]));
        lanes.gateLo[c] = _mm256_set1_epi32(static_cast<int>(slot.gateLo));
        lanes.gateHi[c] = _mm256_set1_epi32(static_cast<int>(slot.gateHi));
        lanes.cursorMin[c] = _mm512_set1_pd(slot.cursorMin);
        lanes.cursorMax[c] = _mm512_set1_pd(slot.cursorMax);
    }
}

/*!
 * The sync periods of the eight records: nsync plus the overflows before
 * each lane, those inside the block summed lane by lane; \p overflow moves
 * past the block's overflows. \p special: the lanes of special records.
 */
template <class Format>
FOTONEL_AVX512_TARGET FOTONEL_INLINE __m512i SyncCountsAvx512(const EightRecords &r, __mmask8 special,
                                                              uint64_t &overflow)
{
    constexpr bool kPicoHarp = LaneLayout<Format>::kPicoHarp;
    constexpr bool kCountedOverflows =
        Format::kFormat == RecordFormat::HydraHarpT3v2 || Format::kFormat == RecordFormat::HydraHarpT2v2;
    constexpr uint64_t kPeriod = Format::kOverflowPeriod;
    static_assert(!kCountedOverflows || (kPeriod & (kPeriod - 1)) == 0, "counted wraps of a power of two");
    constexpr unsigned kPeriodShift = static_cast<unsigned>(__builtin_ctzll(kPeriod));
    const __m512i zero = _mm512_setzero_si512();
    __m512i count =
        _mm512_add_epi64(_mm512_cvtepu32_epi64(r.nsync), _mm512_set1_epi64(static_cast<long long>(overflow)));
    if (!special)
        return count;
    // Overflows: PicoHarp marker 0; the others channel 63 (the wraps in the
    // low field when counted, 0 meaning one). Format::kOverflowPeriod each.
    const __m256i markerBits =
        _mm256_and_si256(_mm256_srli_epi32(r.word, LaneLayout<Format>::kMarkerShift), _mm256_set1_epi32(15));
    const __mmask8 wraps = kPicoHarp ? _mm256_mask_cmpeq_epi32_mask(special, markerBits, _mm256_setzero_si256())
                                     : _mm256_cmpeq_epi32_mask(r.key, _mm256_set1_epi32(127));
    __m512i add;
    if (kCountedOverflows) {
        const __m512i n = _mm512_cvtepu32_epi64(r.nsync);
        const __m512i n1 = _mm512_mask_mov_epi64(n, _mm512_cmpeq_epi64_mask(n, zero), _mm512_set1_epi64(1));
        add = _mm512_maskz_slli_epi64(wraps, n1, kPeriodShift);
    } else {
        add = _mm512_maskz_mov_epi64(wraps, _mm512_set1_epi64(static_cast<long long>(kPeriod)));
    }
    // Inclusive running sum across the lanes.
    add = _mm512_add_epi64(add, _mm512_alignr_epi64(add, zero, 7));
    add = _mm512_add_epi64(add, _mm512_alignr_epi64(add, zero, 6));
    add = _mm512_add_epi64(add, _mm512_alignr_epi64(add, zero, 4));
    overflow += static_cast<uint64_t>(_mm_extract_epi64(_mm512_extracti64x2_epi64(add, 3), 1));
    return _mm512_add_epi64(count, add);
}

/// Stores the times and dtime values of the photons of usable channel \p c
/// among the \p real lanes that pass its gate and cursors.
template <unsigned kChannels>
FOTONEL_AVX512_TARGET FOTONEL_INLINE void KeepAvx512(unsigned c, __mmask8 real, const EightRecords &r, __m512d t,
                                                     Avx512Lanes<kChannels> &lanes, StagedDelays<kChannels> &staged)
{
    __mmask8 keep = _mm256_mask_cmpeq_epi32_mask(real, r.key, lanes.key[c]);
    keep = _mm256_mask_cmpge_epu32_mask(keep, r.dtime, lanes.gateLo[c]);
    keep = _mm256_mask_cmple_epu32_mask(keep, r.dtime, lanes.gateHi[c]);
    keep = _mm512_mask_cmp_pd_mask(keep, t, lanes.cursorMin[c], _CMP_GE_OQ);
    keep = _mm512_mask_cmp_pd_mask(keep, t, lanes.cursorMax[c], _CMP_LE_OQ);
    const unsigned kept = static_cast<unsigned>(__builtin_popcount(keep));
    // A compress in a register and a masked store: never past the kept times.
    const __mmask8 first = static_cast<__mmask8>((1u << kept) - 1);
    _mm512_mask_storeu_pd(lanes.next[c], first, _mm512_maskz_compress_pd(keep, t));
    lanes.next[c] += kept;
    _mm256_mask_storeu_epi32(staged.Free(c), first, _mm256_maskz_compress_epi32(keep, r.dtime));
    staged.Added(c, kept);
}

/*!
 * PassBlocks for processors with AVX-512, for \p kChannels usable channels:
 * the times of a block come from one vector decode (overflows inside the
 * block summed lane by lane), the photons of each usable channel in it are
 * tested together and their kept times stored in order.
 */
template <class Format, unsigned kChannels>
FOTONEL_AVX512_TARGET std::size_t PassBlocksAvx512(const uint32_t *words, std::size_t i, std::size_t records,
                                                   const VectorChannels &channels, double sync, double delayStep,
                                                   uint64_t stopAt, State &state)
{
    const __m256i realLo = _mm256_set1_epi32(static_cast<int>(channels.realLo));
    const __m256i realHi = _mm256_set1_epi32(static_cast<int>(channels.realHi));
    const __m512d syncs = _mm512_set1_pd(sync);
    const __m512d delays = _mm512_set1_pd(delayStep);
    Avx512Lanes<kChannels> lanes;
    SetUpAvx512<kChannels>(channels, lanes);
    StagedDelays<kChannels> staged(lanes.counts);
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    __m512d lastPhoton = _mm512_set1_pd(state.lastPhoton);
    __mmask8 backwards = 0;
    for (; i + 8 <= records && counted + 8 < stopAt; i += 8) {
        const EightRecords r = DecodeEight<Format>(words + i);
        const __mmask8 special = LaneLayout<Format>::kPicoHarp
                                     ? _mm256_cmpeq_epi32_mask(r.key, _mm256_set1_epi32(15))
                                     : _mm256_movepi32_mask(r.word);
        const __m512i count = SyncCountsAvx512<Format>(r, special, overflow);
        // The same two roundings as one record at a time (the build never
        // fuses a product into the sum after it).
        const __m512d t = _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi64_pd(count), syncs),
                                        _mm512_mul_pd(_mm512_cvtepi32_pd(r.dtime), delays));
        __mmask8 real = _mm256_mask_cmpge_epu32_mask(static_cast<__mmask8>(~special), r.key, realLo);
        real = _mm256_mask_cmple_epu32_mask(real, r.key, realHi);
        if (!real)
            continue;
#pragma GCC unroll 4
        for (unsigned c = 0; c < kChannels; ++c)
            KeepAvx512<kChannels>(c, real, r, t, lanes, staged);
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
        channels.channelSlots[c]->nextTime = lanes.next[c];
    }
    state.overflow = overflow;
    state.photons = counted;
    state.lastPhoton = _mm512_cvtsd_f64(lastPhoton);
    state.backwards |= backwards != 0;
    return i;
}

// ------------------------------------------------------------------- AVX2

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

/// The same for the AVX2 form. Keys and dtime values are small: it tests
/// ranges with signed compares against one below the lowest and one above
/// the highest value.
template <unsigned kChannels>
struct Avx2Lanes {
    ChannelSlot *slot[kChannels];
    double *next[kChannels];
    uint32_t *counts[kChannels];
    __m256i key[kChannels], gateLo[kChannels], gateHi[kChannels];
    __m256d cursorMin[kChannels], cursorMax[kChannels];
};

template <unsigned kChannels>
FOTONEL_AVX2_TARGET FOTONEL_INLINE void SetUpAvx2(const VectorChannels &channels, Avx2Lanes<kChannels> &lanes)
{
    for (unsigned c = 0; c < kChannels; ++c) {
        ChannelSlot *slot = channels.channelSlots[c];
        lanes.slot[c] = slot;
        lanes.next[c] = slot->nextTime;
        lanes.counts[c] = slot->delays;
        lanes.key[c] = _mm256_set1_epi32(static_cast<int>(channels.keys[c]));
        lanes.gateLo[c] = _mm256_set1_epi32(static_cast<int>(slot->gateLo) - 1);
        lanes.gateHi[c] = _mm256_set1_epi32(static_cast<int>(slot->gateHi) + 1);
        lanes.cursorMin[c] = _mm256_set1_pd(slot->cursorMin);
        lanes.cursorMax[c] = _mm256_set1_pd(slot->cursorMax);
    }
}

/// Stores the times and dtime values of the photons of usable channel \p c
/// among the \p real lanes that pass its gate and cursors; \p t: the times
/// of lanes 0-3 and 4-7.
template <unsigned kChannels>
FOTONEL_AVX2_TARGET FOTONEL_INLINE void KeepAvx2(unsigned c, unsigned real, const EightRecords &r, const __m256d *t,
                                                 const Avx2Tables &tables, Avx2Lanes<kChannels> &lanes,
                                                 StagedDelays<kChannels> &staged)
{
    const __m256i passing =
        _mm256_and_si256(_mm256_cmpeq_epi32(r.key, lanes.key[c]),
                         _mm256_and_si256(_mm256_cmpgt_epi32(r.dtime, lanes.gateLo[c]),
                                          _mm256_cmpgt_epi32(lanes.gateHi[c], r.dtime)));
    const unsigned keep = real & static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(passing)));
    // No branch on what is kept: the stores of nothing cost less than a wrong guess.
    for (int h = 0; h < 2; ++h) {
        const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(t[h], lanes.cursorMin[c], _CMP_GE_OQ),
                                             _mm256_cmp_pd(t[h], lanes.cursorMax[c], _CMP_LE_OQ));
        const unsigned k = keep >> (4 * h) & static_cast<unsigned>(_mm256_movemask_pd(inside));
        const unsigned kept = static_cast<unsigned>(__builtin_popcount(k));
        const __m256d packed = _mm256_castsi256_pd(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(t[h]), tables.compressDoubles[k]));
        // Four whole lanes where there is room; a masked store (slow on
        // some processors) only at the end of the channel's times.
        if (lanes.slot[c]->endTime - lanes.next[c] >= 4)
            _mm256_storeu_pd(lanes.next[c], packed);
        else
            _mm256_maskstore_pd(lanes.next[c], tables.firstLanes[kept], packed);
        lanes.next[c] += kept;
        const __m128i d = h ? _mm256_extracti128_si256(r.dtime, 1) : _mm256_castsi256_si128(r.dtime);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(staged.Free(c)), _mm_shuffle_epi8(d, tables.compressWords[k]));
        staged.filled[c] += kept;
    }
    staged.Added(c, 0);
}

/// The real photons (\p real lanes) of a block in order, each against the
/// one before it: sets bits of \p backwards, moves \p lastPhoton and \p counted.
FOTONEL_AVX2_TARGET FOTONEL_INLINE void OrderAvx2(unsigned real, const __m256d *t, const Avx2Tables &tables,
                                                  unsigned &backwards, __m256d &lastPhoton, uint64_t &counted)
{
    for (int h = 0; h < 2; ++h) {
        const unsigned r = real >> (4 * h) & 15u;
        if (!r)
            continue;
        const unsigned n = static_cast<unsigned>(__builtin_popcount(r));
        const __m256d inOrder =
            _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(t[h]), tables.compressDoubles[r]));
        const __m256d before = _mm256_blend_pd(_mm256_permute4x64_pd(inOrder, _MM_SHUFFLE(2, 1, 0, 0)), lastPhoton, 1);
        backwards |=
            static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(inOrder, before, _CMP_LT_OQ))) & ((1u << n) - 1);
        lastPhoton =
            _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(inOrder), tables.lastDouble[n]));
        counted += n;
    }
}

/*!
 * PassBlocks for processors with AVX2: blocks of eight records taken in two
 * halves of four times. A block that holds a special record goes through
 * PassRecords. The times of a block are overflow + nsync, exact as a double
 * below 2^52 sync periods; past that the form stops and leaves the rest to
 * PassRecords.
 */
template <class Format, unsigned kChannels>
FOTONEL_AVX2_TARGET std::size_t PassBlocksAvx2(const uint32_t *words, std::size_t i, std::size_t records,
                                               const VectorChannels &channels, ChannelSlot *table, double sync,
                                               double delayStep, uint64_t stopAt, State &state)
{
    static const Avx2Tables tables;
    constexpr uint64_t kExactBelow = (uint64_t(1) << 52) - (uint64_t(1) << 16);
    const __m256i realBelow = _mm256_set1_epi32(static_cast<int>(channels.realLo) - 1);
    const __m256i realAbove = _mm256_set1_epi32(static_cast<int>(channels.realHi) + 1);
    const __m256d syncs = _mm256_set1_pd(sync);
    const __m256d delays = _mm256_set1_pd(delayStep);
    Avx2Lanes<kChannels> lanes;
    SetUpAvx2<kChannels>(channels, lanes);
    StagedDelays<kChannels> staged(lanes.counts);
    uint64_t overflow = state.overflow;
    uint64_t counted = state.photons;
    __m256d lastPhoton = _mm256_set1_pd(state.lastPhoton);
    unsigned backwards = 0;
    for (; i + 8 <= records && counted + 8 < stopAt && overflow < kExactBelow; i += 8) {
        const EightRecords r = DecodeEight<Format>(words + i);
        if (AnySpecial<Format>(r)) {
            // The block record by record, with the state handed over and back.
            for (unsigned c = 0; c < kChannels; ++c)
                lanes.slot[c]->nextTime = lanes.next[c];
            state.overflow = overflow;
            state.photons = counted;
            state.lastPhoton = _mm256_cvtsd_f64(lastPhoton);
            i = PassRecords<Format>(words, i, i + 8, table, sync, delayStep, stopAt, state) - 8;
            for (unsigned c = 0; c < kChannels; ++c)
                lanes.next[c] = lanes.slot[c]->nextTime;
            overflow = state.overflow;
            counted = state.photons;
            lastPhoton = _mm256_set1_pd(state.lastPhoton);
            continue;
        }
        const unsigned real = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(
            _mm256_and_si256(_mm256_cmpgt_epi32(r.key, realBelow), _mm256_cmpgt_epi32(realAbove, r.key)))));
        if (!real)
            continue;
        const __m256d base = _mm256_set1_pd(static_cast<double>(overflow));
        __m256d t[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i n = h ? _mm256_extracti128_si256(r.nsync, 1) : _mm256_castsi256_si128(r.nsync);
            const __m128i d = h ? _mm256_extracti128_si256(r.dtime, 1) : _mm256_castsi256_si128(r.dtime);
            t[h] = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(base, _mm256_cvtepi32_pd(n)), syncs),
                                 _mm256_mul_pd(_mm256_cvtepi32_pd(d), delays));
        }
#pragma GCC unroll 4
        for (unsigned c = 0; c < kChannels; ++c)
            KeepAvx2<kChannels>(c, real, r, t, tables, lanes, staged);
        OrderAvx2(real, t, tables, backwards, lastPhoton, counted);
    }
    for (unsigned c = 0; c < kChannels; ++c) {
        staged.Count(c);
        lanes.slot[c]->nextTime = lanes.next[c];
    }
    state.overflow = overflow;
    state.photons = counted;
    state.lastPhoton = _mm256_cvtsd_f64(lastPhoton);
    state.backwards |= backwards != 0;
    return i;
}

#pragma GCC diagnostic pop

template <class Format, unsigned kChannels>
std::size_t PassBlocksOf(int level, const uint32_t *words, std::size_t i, std::size_t records,
                         const VectorChannels &channels, ChannelSlot *table, double sync, double delayStep,
                         uint64_t stopAt, State &state)
{
    if (level >= 2)
        return PassBlocksAvx512<Format, kChannels>(words, i, records, channels, sync, delayStep, stopAt, state);
    return PassBlocksAvx2<Format, kChannels>(words, i, records, channels, table, sync, delayStep, stopAt, state);
}

} // namespace
#endif

template <class Format>
std::size_t PassBlocks(int level, const uint32_t *words, std::size_t i, std::size_t records,
                       const VectorChannels &channels, ChannelSlot *table, double sync, double delayStep,
                       uint64_t stopAt, State &state)
{
#ifdef FOTONEL_VECTOR_FORMS
    // One form per number of usable channels: their tests stay in registers.
    switch (channels.count) {
    case 1: return PassBlocksOf<Format, 1>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    case 2: return PassBlocksOf<Format, 2>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    case 3: return PassBlocksOf<Format, 3>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    default: return PassBlocksOf<Format, 4>(level, words, i, records, channels, table, sync, delayStep, stopAt, state);
    }
#else
    (void)level, (void)words, (void)records, (void)channels, (void)table, (void)sync, (void)delayStep, (void)stopAt,
        (void)state;
    return i;
#endif
}

#define FOTONEL_PASS_BLOCKS(Format)                                                                                   \
    template std::size_t PassBlocks<Format>(int, const uint32_t *, std::size_t, std::size_t, const VectorChannels &, \
                                            ChannelSlot *, double, double, uint64_t, State &);
FOTONEL_PASS_BLOCKS(PicoHarpT3Format)
FOTONEL_PASS_BLOCKS(HydraHarpT3v1Format)
FOTONEL_PASS_BLOCKS(HydraHarpT3v2Format)
FOTONEL_PASS_BLOCKS(PicoHarpT2Format)
FOTONEL_PASS_BLOCKS(HydraHarpT2v1Format)
FOTONEL_PASS_BLOCKS(HydraHarpT2v2Format)

} // namespace PointPass
