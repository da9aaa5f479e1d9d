#pragma once
/*!
 * \brief What the vector forms share: the instruction sets they are compiled
 * for and the test of what this processor runs (the photon passes of the
 * scans and the correlation's edge walk), and the decode of eight records
 * into lanes (the photon passes).
 *
 * Each form is a function compiled for its instruction set alone (a target
 * attribute), so the rest of the program runs on any x86-64 processor and a
 * form is called only after VectorLevelOfProcessor says the processor has it.
 * Every form gives the results of the record-by-record loop it stands for:
 * the build never fuses a product into the sum after it, and the lanes carry
 * the same operations in the same order.
 */
#include "files/RecordFormat.h"

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define FOTONEL_VECTOR_FORMS 1
// GCC 12 warns of the undefined vectors some AVX-512 conversions start from
// inside its own header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define FOTONEL_AVX2_TARGET __attribute__((target("avx2,popcnt,bmi")))
#define FOTONEL_AVX512_TARGET __attribute__((target("avx2,popcnt,bmi,bmi2,avx512f,avx512dq,avx512vl,avx512bw")))
#endif

/// The widest vector form this processor runs: 2 AVX-512 (F, DQ, VL, BW),
/// 1 AVX2, 0 none (record by record). Also what the tests skip by.
int VectorLevelOfProcessor();

#ifdef FOTONEL_VECTOR_FORMS
/// Eight records of layout \p Format as lanes: the word, its nsync and dtime
/// fields and its scan key (Format::ScanKey).
struct EightRecords {
    __m256i word, nsync, dtime, key;
};

/// Field positions of the layouts (files/RecordFormat.h) for the lane decode.
/// T2 layouts: the time tag stands in the nsync lanes, dtime is 0.
template <class Format>
struct LaneLayout {
    static constexpr bool kTimeTags = Format::kTimeTags;
    static constexpr bool kPicoHarp =
        Format::kFormat == RecordFormat::PicoHarpT3 || Format::kFormat == RecordFormat::PicoHarpT2;
    static constexpr int kDTimeShift = kPicoHarp ? 16 : 10;
    static constexpr int kKeyShift = kPicoHarp ? 28 : 25;
    static constexpr int kNSyncMask =
        kTimeTags ? (kPicoHarp ? 0x0FFFFFFF : 0x1FFFFFF) : (kPicoHarp ? 0xFFFF : 0x3FF);
    static constexpr int kDTimeMask = kPicoHarp ? 0xFFF : 0x7FFF;
    /// Where a PicoHarp special record keeps its marker bits (0: an overflow).
    static constexpr int kMarkerShift = kTimeTags ? 0 : 16;
};

/// The records words[0 .. 7] of layout \p Format as lanes.
template <class Format>
FOTONEL_AVX2_TARGET inline __attribute__((always_inline)) EightRecords DecodeEight(const uint32_t *words)
{
    using L = LaneLayout<Format>;
    EightRecords r;
    r.word = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words));
    r.nsync = _mm256_and_si256(r.word, _mm256_set1_epi32(L::kNSyncMask));
    if (L::kTimeTags)
        r.dtime = _mm256_setzero_si256();
    else
        r.dtime = _mm256_and_si256(_mm256_srli_epi32(r.word, L::kDTimeShift), _mm256_set1_epi32(L::kDTimeMask));
    r.key = _mm256_srli_epi32(r.word, L::kKeyShift);
    return r;
}

/// True when one of the eight records is a special record.
template <class Format>
FOTONEL_AVX2_TARGET inline __attribute__((always_inline)) bool AnySpecial(const EightRecords &r)
{
    // PicoHarp: channel field 15; the others: the top bit.
    if (LaneLayout<Format>::kPicoHarp)
        return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(r.key, _mm256_set1_epi32(15)))) != 0;
    return _mm256_movemask_ps(_mm256_castsi256_ps(r.word)) != 0;
}
#endif
