#include "scans/RasterScanKernels.h"

#include "scans/VectorForms.h"

#include <cstdint>

#ifdef FOTONEL_VECTOR_FORMS
namespace {

#define FOTONEL_INLINE inline __attribute__((always_inline))

/// How a form finds a photon's pixel sums: none gathered; from the address
/// of its count (SlotTable::sumsOffsets).
enum class Sums { None, Derived };

/*!
 * The table fields WaitingCounts::Make reads for every photon, as values:
 * read through the table, the compiler would load them again after each
 * increment, which might have written them.
 */
struct SumsTables {
    uintptr_t phasorByDelay, sumsOffsets;
    uint32_t regionShift;

    template <class Table>
    explicit SumsTables(const Table &table)
        : phasorByDelay(table.phasorByDelay), sumsOffsets(table.sumsOffsets), regionShift(table.regionShift)
    {
    }
};

/*!
 * How both forms count a block with no branch: the addresses of the eight
 * counts and delay counts come from vectors of the channels' arrays, and a
 * lane that is not counted adds to a count of its own outside the stack. The
 * counts of a block are made while later blocks are decoded: the addresses
 * wait in one of kSets sets until then, so the increments need not wait for
 * the long chain of steps that finds them, and a set is read kSets - 1
 * blocks after the vector stores that wrote it: the lanes' loads of a set
 * read at once waited for those stores. With four sets instead of two the
 * AVX-512 form's pass took 15 % less time, plain or with phasor sums (the
 * AVX2 form, whose stores are half as wide, about the same). The count of
 * sets stored is a local of each form, so it stays in a register.
 */
struct WaitingCounts {
    static constexpr unsigned kSets = 4;
    alignas(64) uint16_t *counts[kSets][8];
    alignas(64) uint32_t *delays[kSets][8];

    /// The set for the addresses of the block after \p stored stored ones.
    static int Next(unsigned stored) { return static_cast<int>(stored % kSets); }
    /// After a set was stored: counts it in \p stored and, once kSets sets
    /// wait, makes the one that has waited longest.
    template <Sums Form>
    FOTONEL_AVX2_TARGET FOTONEL_INLINE void Stored(unsigned &stored, const SumsTables table)
    {
        if (++stored >= kSets)
            Make<Form>(Next(stored - kSets), table);
    }
    /// Makes every set still waiting after \p stored were stored.
    template <Sums Form>
    FOTONEL_AVX2_TARGET FOTONEL_INLINE void Finish(unsigned stored, const SumsTables table)
    {
        for (unsigned k = stored >= kSets ? stored - kSets + 1 : 0; k < stored; ++k)
            Make<Form>(Next(k), table);
    }

    /*!
     * Makes the increments of \p set, and the phasor sums as \p Form finds
     * them. The cos and sin of a lane's delay lie at table.phasorByDelay + 4
     * x the address of its delay count, so they need no address of their
     * own; with Sums::Derived neither do its pixel's sums: they lie at 8 x
     * the address of its count + the offset of its channel, which the delay
     * count's address finds too.
     */
    template <Sums Form>
    FOTONEL_AVX2_TARGET FOTONEL_INLINE void Make(int set, const SumsTables table)
    {
        for (int k = 0; k < 8; ++k) {
            uint16_t *n = counts[set][k];
            // Saturate rather than wrap to 0: 65535 + 1 carries, and the carry is taken back.
            uint16_t v;
            const bool carried = __builtin_add_overflow(*n, uint16_t{1}, &v);
            *n = static_cast<uint16_t>(v - carried);
            uint32_t *d = delays[set][k];
            ++*d;
            if (Form == Sums::None)
                continue;
            const uintptr_t at = reinterpret_cast<uintptr_t>(d);
            __m128i *p = reinterpret_cast<__m128i *>(
                8 * reinterpret_cast<uintptr_t>(n) +
                *reinterpret_cast<const uintptr_t *>(table.sumsOffsets + sizeof(uintptr_t) * (at >> table.regionShift)));
            // cos and sin added to the pixel's two sums at once.
            const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table.phasorByDelay + 4 * at));
            _mm_storeu_si128(p, _mm_add_epi64(_mm_loadu_si128(p), t));
        }
    }
};

/*!
 * The offsets of Sums::Derived for the line \p run places in: per placed
 * channel below \p channels of \p table, from 8 x its stack's line to its
 * sums' line; for the sinks, from 8 x their counts to their sums (a lane's
 * count lies 2 k bytes on, its sums 16 k).
 */
template <class Table, class Run, class Sinks>
void SetSumsOffsets(const Table &table, const Run &run, const Sinks &sinks, uint32_t channels)
{
    const auto put = [&table](const void *delays, uintptr_t offset) {
        *reinterpret_cast<uintptr_t *>(table.sumsOffsets +
                                       sizeof(uintptr_t) * (reinterpret_cast<uintptr_t>(delays) >> table.regionShift)) = offset;
    };
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const auto &slot = table.slot[ch];
        if (((table.placedBits >> ch) & 1u) && slot.phasor)
            put(slot.delays, reinterpret_cast<uintptr_t>(slot.phasor + 2 * run.phasorOffset) -
                                 8 * reinterpret_cast<uintptr_t>(slot.stack + run.lineOffset));
    }
    put(table.delaySinks, reinterpret_cast<uintptr_t>(sinks.sums) - 8 * reinterpret_cast<uintptr_t>(sinks.counts));
}

/// Lanes not counted add to these (apart from WaitingCounts, whose fields
/// then stay in registers).
struct Sinks {
    uint16_t counts[8] = {};
    uint32_t delays[8] = {};
    int64_t sums[16] = {};  // lane k: 16 k bytes on, as its count lies 2 k
};

/// The 1-based channels of eight photon records.
template <class Format>
FOTONEL_AVX2_TARGET FOTONEL_INLINE __m256i ChannelsOf(const EightRecords &r)
{
    if (LaneLayout<Format>::kPicoHarp)
        return r.key;
    return _mm256_add_epi32(_mm256_and_si256(r.key, _mm256_set1_epi32(0x3F)), _mm256_set1_epi32(1));
}

/// The address of the current line of channel \p ch's stack and of its
/// delay counts; those of the sinks for a channel not placed.
template <class Table, class Run>
void ChannelAddresses(const Table &table, const Run &run, uint32_t ch, Sinks &sinks, uintptr_t &line,
                      uintptr_t &delays)
{
    const auto &slot = table.slot[ch];
    const bool placed = (table.placedBits >> ch) & 1u;
    line = reinterpret_cast<uintptr_t>(placed ? slot.stack + run.lineOffset : sinks.counts);
    delays = reinterpret_cast<uintptr_t>(placed ? slot.delays : sinks.delays);
}

/// The constants of the times and pixels as lanes.
struct Avx2Times {
    __m256d offset, sync, resolution, width, clock, lineStart, zero;
};
struct Avx512Times {
    __m512d offset, sync, resolution, width, clock, lineStart, zero;
};

// ------------------------------------------------------------------- AVX2

/// Per channel 0-7, the addresses of ChannelAddresses as low and high
/// halves; the sinks' addresses per lane, lanes 0-3 and 4-7.
struct Avx2Addresses {
    __m256i lineLows, lineHighs, delaysLows, delaysHighs;
    __m256i sinkCount[2], sinkDelay[2];
};

/// Where the lanes that place nothing count their delays: in the table's
/// delay block with phasor sums, so their cos and sin can be read too.
template <bool Phasors, class Table>
uint32_t *DelaySinks(const Table &table, Sinks &sinks)
{
    return Phasors ? table.delaySinks : sinks.delays;
}

template <bool Phasors, class Table, class Run>
FOTONEL_AVX2_TARGET Avx2Addresses SetUpAvx2(const Table &table, const Run &run, Sinks &sinks)
{
    alignas(32) uint32_t lineLow[8], lineHigh[8], delaysLow[8], delaysHigh[8];
    for (uint32_t ch = 0; ch < 8; ++ch) {
        uintptr_t line, delays;
        ChannelAddresses(table, run, ch, sinks, line, delays);
        lineLow[ch] = static_cast<uint32_t>(line);
        lineHigh[ch] = static_cast<uint32_t>(static_cast<uint64_t>(line) >> 32);
        delaysLow[ch] = static_cast<uint32_t>(delays);
        delaysHigh[ch] = static_cast<uint32_t>(static_cast<uint64_t>(delays) >> 32);
    }
    if (Phasors)
        SetSumsOffsets(table, run, sinks, 8);
    Avx2Addresses a;
    a.lineLows = _mm256_load_si256(reinterpret_cast<const __m256i *>(lineLow));
    a.lineHighs = _mm256_load_si256(reinterpret_cast<const __m256i *>(lineHigh));
    a.delaysLows = _mm256_load_si256(reinterpret_cast<const __m256i *>(delaysLow));
    a.delaysHighs = _mm256_load_si256(reinterpret_cast<const __m256i *>(delaysHigh));
    const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
    for (int half = 0; half < 2; ++half) {
        const intptr_t counts = reinterpret_cast<intptr_t>(sinks.counts + 4 * half);
        const intptr_t delays = reinterpret_cast<intptr_t>(DelaySinks<Phasors>(table, sinks) + 4 * half);
        a.sinkCount[half] = _mm256_add_epi64(_mm256_set1_epi64x(counts), _mm256_slli_epi64(lane, 1));
        a.sinkDelay[half] = _mm256_add_epi64(_mm256_set1_epi64x(delays), _mm256_slli_epi64(lane, 2));
    }
    return a;
}

/// The 64-bit addresses of the lanes' channels from the low and high
/// halves \p lows and \p highs of a table by channel: lanes 0-3 and 4-7.
FOTONEL_AVX2_TARGET FOTONEL_INLINE void LaneAddresses(__m256i lows, __m256i highs, __m256i channel, __m256i *out)
{
    const __m256i low = _mm256_permutevar8x32_epi32(lows, channel);
    const __m256i high = _mm256_permutevar8x32_epi32(highs, channel);
    out[0] = _mm256_permute2x128_si256(_mm256_unpacklo_epi32(low, high), _mm256_unpackhi_epi32(low, high), 0x20);
    out[1] = _mm256_permute2x128_si256(_mm256_unpacklo_epi32(low, high), _mm256_unpackhi_epi32(low, high), 0x31);
}

/*!
 * \brief Photons eight records at a time from record \p i while no special
 * record comes and eight records remain before \p end; returns where it
 * stopped. For tables whose placed channels are all below 8 and whose gates
 * are ranges of dtime values. Lanes of doubles carry the very operations of
 * the scalar form in its order (a product, another, their sum; the offset
 * from the line start, times W, over lineTime), and the build forbids fusing
 * them, so every time and pixel is the same double. \p base: the overflow
 * offset as a double, below 2^52, so base + nsync is exact. The caller has
 * checked that every time of the run lies inside every placed channel's
 * cursors. Counts as WaitingCounts says; with \p Phasors also adds each
 * placed photon's cos and sin to its pixel's sums.
 */
template <class Format, bool Phasors, class Pass, class Table, class Run>
FOTONEL_AVX2_TARGET uint32_t PlaceGroupsAvx2(const Pass &pass, uint32_t i, uint32_t end, double base,
                                             const Table &table, Run &run)
{
    const __m256i timedBits = _mm256_set1_epi32(static_cast<int>(table.timedBits));
    const __m256i placedBits = _mm256_set1_epi32(static_cast<int>(table.placedBits));
    const Avx2Times lanes = {_mm256_set1_pd(base),          _mm256_set1_pd(pass.syncPeriod),
                                      _mm256_set1_pd(pass.resolution), _mm256_set1_pd(pass.width),
                                      _mm256_set1_pd(pass.clock),      _mm256_set1_pd(run.lineStart),
                                      _mm256_setzero_pd()};
    Sinks sinks;
    WaitingCounts sets;
    const SumsTables sumsTables(table);
    unsigned stored = 0;  // sets stored so far
    const Avx2Addresses addresses = SetUpAvx2<Phasors>(table, run, sinks);
    // Gate ranges hold values below 2^15 + 1, so signed comparisons do.
    const __m256i gateLow = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateLow));
    const __m256i gateHigh = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateHigh));
    constexpr Sums Form = Phasors ? Sums::Derived : Sums::None;

    // The times of the last block with a timed photon, and that photon's
    // lane: kept in registers, read back from memory once at the end.
    double last = run.last;
    __m256d lastTimes[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    int lastLane = -1;
    for (; end - i >= 8; i += 8) {
        const EightRecords r = DecodeEight<Format>(pass.words + i);
        if (AnySpecial<Format>(r))
            break;
        const __m256i channel = ChannelsOf<Format>(r);
        // Bit c of the masks moved to the top of each lane: channels from 32
        // up shift it out, and they are Skipped in a narrow table.
        const unsigned timed = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(_mm256_srlv_epi32(timedBits, channel), 31))));
        if (!timed)
            continue;
        // Placed and inside the gate, as lanes of all ones. Channels from 8
        // up read another channel's gate and arrays here, but are never placed.
        const __m256i placed = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_srlv_epi32(placedBits, channel), 31), 31);
        const __m256i outside =
            _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_permutevar8x32_epi32(gateLow, channel), r.dtime),
                            _mm256_cmpgt_epi32(r.dtime, _mm256_permutevar8x32_epi32(gateHigh, channel)));
        const __m256i passing = _mm256_andnot_si256(outside, placed);
        __m256i lineLanes[2], delayLanes[2];
        LaneAddresses(addresses.lineLows, addresses.lineHighs, channel, lineLanes);
        LaneAddresses(addresses.delaysLows, addresses.delaysHighs, channel, delayLanes);
        const int set = WaitingCounts::Next(stored);
        for (int half = 0; half < 2; ++half) {
            const __m128i n = half ? _mm256_extracti128_si256(r.nsync, 1) : _mm256_castsi256_si128(r.nsync);
            const __m128i d = half ? _mm256_extracti128_si256(r.dtime, 1) : _mm256_castsi256_si128(r.dtime);
            const __m128i p = half ? _mm256_extracti128_si256(passing, 1) : _mm256_castsi256_si128(passing);
            const __m256d syncTime = _mm256_mul_pd(_mm256_add_pd(lanes.offset, _mm256_cvtepi32_pd(n)), lanes.sync);
            const __m256d t = _mm256_add_pd(syncTime, _mm256_mul_pd(_mm256_cvtepi32_pd(d), lanes.resolution));
            const __m256d x =
                _mm256_div_pd(_mm256_mul_pd(lanes.width, _mm256_sub_pd(t, lanes.lineStart)), lanes.clock);
            const __m256d on = _mm256_and_pd(_mm256_cmp_pd(x, lanes.zero, _CMP_GE_OQ),
                                             _mm256_cmp_pd(x, lanes.width, _CMP_LT_OQ));
            const __m256i accept = _mm256_and_si256(_mm256_castpd_si256(on), _mm256_cvtepi32_epi64(p));
            lastTimes[half] = t;
            const __m256i pixel = _mm256_cvtepu32_epi64(_mm256_cvttpd_epi32(x));
            const __m256i count = _mm256_add_epi64(lineLanes[half], _mm256_slli_epi64(pixel, 1));
            const __m256i delay = _mm256_add_epi64(delayLanes[half], _mm256_slli_epi64(_mm256_cvtepu32_epi64(d), 2));
            _mm256_store_si256(reinterpret_cast<__m256i *>(sets.counts[set] + 4 * half),
                               _mm256_blendv_epi8(addresses.sinkCount[half], count, accept));
            _mm256_store_si256(reinterpret_cast<__m256i *>(sets.delays[set] + 4 * half),
                               _mm256_blendv_epi8(addresses.sinkDelay[half], delay, accept));
        }
        lastLane = 31 - __builtin_clz(timed);
        sets.Stored<Form>(stored, sumsTables);
    }
    sets.Finish<Form>(stored, sumsTables);
    if (lastLane >= 0) {
        alignas(32) double times[8];
        _mm256_store_pd(times, lastTimes[0]);
        _mm256_store_pd(times + 4, lastTimes[1]);
        last = times[lastLane];
    }
    run.last = last;
    return i;
}

// ---------------------------------------------------------------- AVX-512

/// Per channel 0-15, the addresses of ChannelAddresses and the gate ranges;
/// the sinks' addresses per lane.
struct Avx512Addresses {
    __m512i line0, line1, delays0, delays1;
    __m256i gateLow0, gateLow1, gateHigh0, gateHigh1;
    __m512i sinkCount, sinkDelay;
};

template <bool Phasors, class Table, class Run>
FOTONEL_AVX512_TARGET Avx512Addresses SetUpAvx512(const Table &table, const Run &run, Sinks &sinks)
{
    alignas(64) uintptr_t lineOf[16], delaysOf[16];
    for (uint32_t ch = 0; ch < 16; ++ch)
        ChannelAddresses(table, run, ch, sinks, lineOf[ch], delaysOf[ch]);
    if (Phasors)
        SetSumsOffsets(table, run, sinks, 16);
    Avx512Addresses a;
    a.line0 = _mm512_load_si512(lineOf);
    a.line1 = _mm512_load_si512(lineOf + 8);
    a.delays0 = _mm512_load_si512(delaysOf);
    a.delays1 = _mm512_load_si512(delaysOf + 8);
    a.gateLow0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateLow));
    a.gateLow1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateLow + 8));
    a.gateHigh0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateHigh));
    a.gateHigh1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table.gateHigh + 8));
    const __m512i lane = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    a.sinkCount =
        _mm512_add_epi64(_mm512_set1_epi64(reinterpret_cast<intptr_t>(sinks.counts)), _mm512_slli_epi64(lane, 1));
    a.sinkDelay =
        _mm512_add_epi64(_mm512_set1_epi64(reinterpret_cast<intptr_t>(DelaySinks<Phasors>(table, sinks))), _mm512_slli_epi64(lane, 2));
    return a;
}

/*!
 * \brief The same with AVX-512, for tables whose placed channels are all
 * below 16 and whose gates are ranges of dtime values: the eight times are
 * one vector.
 */
template <class Format, bool Phasors, class Pass, class Table, class Run>
FOTONEL_AVX512_TARGET uint32_t PlaceGroupsAvx512(const Pass &pass, uint32_t i, uint32_t end, double base,
                                                 const Table &table, Run &run)
{
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i timedBits = _mm256_set1_epi32(static_cast<int>(table.timedBits));
    const __m256i placedBits = _mm256_set1_epi32(static_cast<int>(table.placedBits));
    const Avx512Times lanes = {_mm512_set1_pd(base),          _mm512_set1_pd(pass.syncPeriod),
                                      _mm512_set1_pd(pass.resolution), _mm512_set1_pd(pass.width),
                                      _mm512_set1_pd(pass.clock),      _mm512_set1_pd(run.lineStart),
                                      _mm512_setzero_pd()};
    Sinks sinks;
    WaitingCounts sets;
    const SumsTables sumsTables(table);
    unsigned stored = 0;  // sets stored so far
    const Avx512Addresses a = SetUpAvx512<Phasors>(table, run, sinks);
    constexpr Sums Form = Phasors ? Sums::Derived : Sums::None;

    double last = run.last;  // as in the AVX2 form
    __m512d lastTimes = _mm512_setzero_pd();
    int lastLane = -1;
    for (; end - i >= 8; i += 8) {
        const EightRecords r = DecodeEight<Format>(pass.words + i);
        if (AnySpecial<Format>(r))
            break;
        const __m256i channel = ChannelsOf<Format>(r);
        const __mmask8 timed = _mm256_test_epi32_mask(_mm256_srlv_epi32(timedBits, channel), one);
        if (!timed)
            continue;
        const __mmask8 placed = _mm256_test_epi32_mask(_mm256_srlv_epi32(placedBits, channel), one);
        const __m512d syncTime = _mm512_mul_pd(_mm512_add_pd(lanes.offset, _mm512_cvtepi32_pd(r.nsync)), lanes.sync);
        const __m512d t = _mm512_add_pd(syncTime, _mm512_mul_pd(_mm512_cvtepi32_pd(r.dtime), lanes.resolution));
        const __m512d x = _mm512_div_pd(_mm512_mul_pd(lanes.width, _mm512_sub_pd(t, lanes.lineStart)), lanes.clock);
        // Channels 16 and up read another channel's gate and arrays below,
        // but are never placed.
        const __mmask8 gated = _mm256_mask_cmple_epu32_mask(
            _mm256_cmple_epu32_mask(_mm256_permutex2var_epi32(a.gateLow0, channel, a.gateLow1), r.dtime), r.dtime,
            _mm256_permutex2var_epi32(a.gateHigh0, channel, a.gateHigh1));
        const __mmask8 accept = placed & gated & _mm512_cmp_pd_mask(x, lanes.zero, _CMP_GE_OQ) &
                                _mm512_cmp_pd_mask(x, lanes.width, _CMP_LT_OQ);
        lastTimes = t;
        lastLane = 31 - __builtin_clz(static_cast<unsigned>(timed));
        if (!accept)
            continue;
        const __m512i c = _mm512_cvtepu32_epi64(channel);
        const __m512i d = _mm512_cvtepu32_epi64(r.dtime);
        const __m512i pixel = _mm512_cvtepu32_epi64(_mm512_cvttpd_epi32(x));
        const __m512i count = _mm512_add_epi64(_mm512_permutex2var_epi64(a.line0, c, a.line1), _mm512_slli_epi64(pixel, 1));
        const __m512i delay = _mm512_add_epi64(_mm512_permutex2var_epi64(a.delays0, c, a.delays1), _mm512_slli_epi64(d, 2));
        const int set = WaitingCounts::Next(stored);
        _mm512_store_si512(sets.counts[set], _mm512_mask_blend_epi64(accept, a.sinkCount, count));
        _mm512_store_si512(sets.delays[set], _mm512_mask_blend_epi64(accept, a.sinkDelay, delay));
        sets.Stored<Form>(stored, sumsTables);
    }
    sets.Finish<Form>(stored, sumsTables);
    if (lastLane >= 0) {
        alignas(64) double times[8];
        _mm512_store_pd(times, lastTimes);
        last = times[lastLane];
    }
    run.last = last;
    return i;
}

} // namespace
#endif

template <class Format>
uint32_t RasterScanKernels::PlaceGroups(const RasterScan::PassConstants &pass, uint32_t i, uint32_t end,
                                        uint64_t overflowOffset, RasterScan::RunState &run)
{
#ifdef FOTONEL_VECTOR_FORMS
    const RasterScan::SlotTable &table = *run.table;
    if (!(pass.vector && i < end && end - i >= 8 && table.narrow && table.gateRanges &&
          overflowOffset < (uint64_t(1) << 52)))
        return i;
    // Times grow with nsync and dtime (each rounding keeps the order), so
    // every photon of the run lies between these two; when every placed
    // channel's cursors hold both, no photon of the run fails them.
    const double base = static_cast<double>(static_cast<int64_t>(overflowOffset));
    const double low = base * pass.syncPeriod;
    const double high =
        (base + Format::NSync(UINT32_MAX)) * pass.syncPeriod + Format::DTime(UINT32_MAX) * pass.resolution;
    if (!(table.cursorLow <= low && high <= table.cursorHigh))
        return i;
    // The phasor sums as a form of their own, so the plain pass does not pay
    // for them. The phasor forms read each photon's cos and sin beside its
    // delay count: only for a table whose delays lie in a phasor delay block
    // (phasorByDelay), as the placing table of a pass with phasor sums always
    // does. Both find the pixel sums from the counts' addresses (Sums::Derived).
    const bool avx2 = (table.placedBits >> 8) == 0, phasors = pass.phasorTable && table.phasorByDelay;
    if (pass.vector == 2 && (table.placedBits >> 16) == 0)
        return phasors ? PlaceGroupsAvx512<Format, true>(pass, i, end, base, table, run)
                       : PlaceGroupsAvx512<Format, false>(pass, i, end, base, table, run);
    if (avx2)
        return phasors ? PlaceGroupsAvx2<Format, true>(pass, i, end, base, table, run)
                       : PlaceGroupsAvx2<Format, false>(pass, i, end, base, table, run);
#else
    (void)pass, (void)end, (void)overflowOffset, (void)run;
#endif
    return i;
}

template uint32_t RasterScanKernels::PlaceGroups<PicoHarpT3Format>(const RasterScan::PassConstants &, uint32_t,
                                                                   uint32_t, uint64_t, RasterScan::RunState &);
template uint32_t RasterScanKernels::PlaceGroups<HydraHarpT3v1Format>(const RasterScan::PassConstants &, uint32_t,
                                                                      uint32_t, uint64_t, RasterScan::RunState &);
template uint32_t RasterScanKernels::PlaceGroups<HydraHarpT3v2Format>(const RasterScan::PassConstants &, uint32_t,
                                                                      uint32_t, uint64_t, RasterScan::RunState &);
