#pragma once
/*!
 * \brief The 32-bit T3 record layouts of PicoQuant's counting electronics.
 *
 * PicoHarp 300 (record type 0x00010303):
 *   bits  0-15  nsync    sync periods since the last overflow
 *   bits 16-27  dtime    start-stop time in resolution bins (photons)
 *   bits 16-19  marker   marker bits of a special record (channel 15)
 *   bits 28-31  channel  detector channel 1-4, 15 = special record
 *   A special record with marker 0 is an overflow of 65536 sync periods.
 *
 * HydraHarp 400, TimeHarp 260 and MultiHarp (0x00010304, 0x01010304,
 * 0x00010305, 0x00010306, 0x00010307):
 *   bits  0-9   nsync    sync periods since the last overflow
 *   bits 10-24  dtime    start-stop time in resolution bins (photons)
 *   bits 25-30  channel  photons: 0-based detector channel; special: 63
 *                        overflow, 1-15 marker bits
 *   bit  31     special
 *   An overflow counts 1024 sync periods. The first HydraHarp format (v1)
 *   writes one overflow record per wrap; the later ones write the number of
 *   wraps in nsync (0 meaning one).
 *
 * Every layout is decoded to the same fields: marker 0 overflow, 1-15 the
 * marker bits, 16 (PHOTON_MARKER) photon, and for photons a 1-based channel
 * (a HydraHarp channel c becomes c + 1). Special records of a kind no layout
 * defines (HydraHarp channels 0 and 16-62) get UNKNOWN_SPECIAL_MARKER.
 *
 * A file's layout is chosen once, when it is opened; the record cursor, the
 * record scan and the analysis loops are templates over these classes, so no
 * loop tests the layout record by record.
 */
#include <cstdint>
#include <utility>

/// Marker value given to ordinary photon records (outside the 4-bit range).
constexpr uint32_t PHOTON_MARKER = 16;
/// Marker value of special records whose kind no layout defines; counted apart.
constexpr uint32_t UNKNOWN_SPECIAL_MARKER = 17;
/// Marker value of the sync records of the HydraHarp-family T2 layouts.
constexpr uint32_t SYNC_MARKER = 18;
/// The dtime a T2 photon without a delay is given (before the first sync).
constexpr uint32_t kNoDelay = UINT32_MAX;
/// A marker meaning no record carries (no decoded marker ever has this value).
constexpr uint32_t NO_MARKER = 0xFFFFFFFFu;

/// The record layouts a file can hold; several record types share one.
enum class RecordFormat : uint8_t {
    PicoHarpT3,     ///< 0x00010303
    HydraHarpT3v1,  ///< 0x00010304
    HydraHarpT3v2,  ///< 0x01010304, and TimeHarp 260 N/P and MultiHarp T3
    PicoHarpT2,     ///< 0x00010203
    HydraHarpT2v1,  ///< 0x00010204
    HydraHarpT2v2,  ///< 0x01010204, and TimeHarp 260 N/P and MultiHarp T2
};

/// True for the time-tag (T2) layouts: every record holds an absolute time
/// tag in units of the file's global resolution, no sync period and no dtime.
inline bool IsTimeTagFormat(RecordFormat format)
{
    return format == RecordFormat::PicoHarpT2 || format == RecordFormat::HydraHarpT2v1 ||
           format == RecordFormat::HydraHarpT2v2;
}

/// Values of the TTResultFormat_TTTRRecType tag.
namespace RecordType {
constexpr uint32_t PicoHarpT3 = 0x00010303u;
constexpr uint32_t HydraHarpT3v1 = 0x00010304u;
constexpr uint32_t HydraHarpT3v2 = 0x01010304u;
constexpr uint32_t TimeHarp260NT3 = 0x00010305u;
constexpr uint32_t TimeHarp260PT3 = 0x00010306u;
constexpr uint32_t MultiHarpT3 = 0x00010307u;
constexpr uint32_t PicoHarpT2 = 0x00010203u;
constexpr uint32_t HydraHarpT2v1 = 0x00010204u;
constexpr uint32_t HydraHarpT2v2 = 0x01010204u;
constexpr uint32_t TimeHarp260NT2 = 0x00010205u;
constexpr uint32_t TimeHarp260PT2 = 0x00010206u;
constexpr uint32_t MultiHarpT2 = 0x00010207u;

/// The layout of the record type \p type; false for every type this program cannot read.
inline bool FormatOf(int64_t type, RecordFormat &format)
{
    switch (type) {
    case PicoHarpT3: format = RecordFormat::PicoHarpT3; return true;
    case HydraHarpT3v1: format = RecordFormat::HydraHarpT3v1; return true;
    case HydraHarpT3v2:
    case TimeHarp260NT3:
    case TimeHarp260PT3:
    case MultiHarpT3: format = RecordFormat::HydraHarpT3v2; return true;
    case PicoHarpT2: format = RecordFormat::PicoHarpT2; return true;
    case HydraHarpT2v1: format = RecordFormat::HydraHarpT2v1; return true;
    case HydraHarpT2v2:
    case TimeHarp260NT2:
    case TimeHarp260PT2:
    case MultiHarpT2: format = RecordFormat::HydraHarpT2v2; return true;
    default: return false;
    }
}

/// True for the time-tag (T2) record types: their byte 1 is 2 (T3 ones have 3).
inline bool IsT2(int64_t type) { return type >= 0 && type <= 0xFFFFFFFF && ((type >> 8) & 0xFF) == 2; }
} // namespace RecordType

/// The fields every layout decodes a word into.
struct T3RecordFields {
    uint32_t record = 0;            ///< the raw word
    uint32_t nsync = 0;             ///< the nsync bits as they stand
    uint32_t channel = 0;           ///< photons: 1-based channel; special records: their channel field
    uint32_t dtime = 0;             ///< photons: dtime bins; special records: 0
    uint32_t marker = 0;            ///< 0 overflow, 1-15 marker bits, 16 photon, 17 unknown special
    uint64_t overflowOffset = 0;    ///< sync periods of the overflows decoded so far
    uint64_t truensync = 0;         ///< sync periods since the start
    uint64_t previousTruensync = 0; ///< truensync before the last step (0 before the first)
    double truetime = 0;            ///< ns
    double delaytime = 0;           ///< ns
    double deltatime = 0;           ///< ns since the previous record
};

/// PicoHarp 300 T3 records.
struct PicoHarpT3Format {
    static constexpr RecordFormat kFormat = RecordFormat::PicoHarpT3;
    static constexpr bool kTimeTags = false;
    static constexpr uint32_t kDelayBins = 4096;  ///< values of the 12-bit dtime
    static constexpr uint32_t kSpecialChannel = 15;
    static constexpr uint64_t kOverflowPeriod = 65536;

    static uint32_t NSync(uint32_t w) { return w & 0xFFFFu; }          // bits 0-15
    static uint32_t DTime(uint32_t w) { return (w >> 16) & 0xFFFu; }   // bits 16-27
    static uint32_t MarkerBits(uint32_t w) { return (w >> 16) & 0xFu; } // bits 16-19
    static uint32_t Channel(uint32_t w) { return w >> 28; }            // bits 28-31

    /// Decodes \p w into \p f except the times; overflows add to f.overflowOffset.
    static void Decode(uint32_t w, T3RecordFields &f)
    {
        f.record = w;
        f.nsync = NSync(w);
        f.channel = Channel(w);
        if (f.channel == kSpecialChannel) {
            f.dtime = 0;
            f.marker = MarkerBits(w);
            if (f.marker == 0)
                f.overflowOffset += kOverflowPeriod;
        } else {
            f.dtime = DTime(w);
            f.marker = PHOTON_MARKER;
        }
        f.truensync = f.nsync + f.overflowOffset;
    }

    // The record scan counts words by a key: here the channel field, whose
    // value 15 marks the special records.
    static constexpr uint32_t kScanKeys = 16;
    static constexpr bool kMarkerInScanKey = false;  // the marker bits lie outside the key
    static uint32_t ScanKey(uint32_t w) { return Channel(w); }
    /// True when one of four keys is a special record: c + 1 has bit 4 set only for c = 15.
    static bool AnySpecial(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3)
    {
        return (((k0 + 1) | (k1 + 1) | (k2 + 1) | (k3 + 1)) & 16u) != 0;
    }
    static bool IsSpecialKey(uint32_t key) { return key == kSpecialChannel; }
    /// The 1-based channel of photons with scan key \p key.
    static uint32_t PhotonChannel(uint32_t key) { return key; }
    /// The marker of special record \p w: 0 overflow, 1-15 marker bits.
    static uint32_t SpecialMarker(uint32_t w) { return MarkerBits(w); }
    /// Sync periods the overflow record \p w adds.
    static uint64_t OverflowSyncs(uint32_t) { return kOverflowPeriod; }
};

/// What the HydraHarp, TimeHarp 260 and MultiHarp words share in T3 and T2
/// mode: bit 31 marks a special record, bits 25-30 hold the channel (63 an
/// overflow), and \p kCountedOverflows overflows hold their number of wraps
/// in the low bits (0 meaning one).
template <bool kCountedOverflows>
struct HarpWordBits {
    static constexpr uint32_t kOverflowChannel = 63;

    static uint32_t Channel(uint32_t w) { return (w >> 25) & 0x3Fu; }   // bits 25-30
    static bool Special(uint32_t w) { return (w >> 31) != 0; }          // bit 31

    /// Wraps an overflow record whose low field holds \p count stands for.
    static uint64_t Wraps(uint32_t count)
    {
        if (!kCountedOverflows)
            return 1;
        return count == 0 ? 1 : count;
    }

    // Scan key: the special bit and the channel field, bits 25-31. A special
    // record's kind (overflow, sync, marker bits) is its channel, so the key
    // tells it.
    static constexpr uint32_t kScanKeys = 128;
    static constexpr bool kMarkerInScanKey = true;
    static uint32_t ScanKey(uint32_t w) { return w >> 25; }
    /// A word of scan key \p key, its other fields 0.
    static uint32_t KeyWord(uint32_t key) { return key << 25; }
    static bool AnySpecial(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3)
    {
        return ((k0 | k1 | k2 | k3) & 64u) != 0;
    }
    static bool IsSpecialKey(uint32_t key) { return (key & 64u) != 0; }
    static uint32_t PhotonChannel(uint32_t key) { return key + 1; }
};

/// The common layout of HydraHarp, TimeHarp 260 and MultiHarp T3 records;
/// \p kCountedOverflows: an overflow record holds its number of wraps in nsync.
template <bool kCountedOverflows>
struct HarpT3Format : HarpWordBits<kCountedOverflows> {
    using Bits = HarpWordBits<kCountedOverflows>;
    using Bits::Channel, Bits::Special, Bits::Wraps, Bits::kOverflowChannel;
    static constexpr RecordFormat kFormat =
        kCountedOverflows ? RecordFormat::HydraHarpT3v2 : RecordFormat::HydraHarpT3v1;
    static constexpr bool kTimeTags = false;
    static constexpr uint32_t kDelayBins = 32768;  ///< values of the 15-bit dtime
    static constexpr uint64_t kOverflowPeriod = 1024;

    static uint32_t NSync(uint32_t w) { return w & 0x3FFu; }            // bits 0-9
    static uint32_t DTime(uint32_t w) { return (w >> 10) & 0x7FFFu; }   // bits 10-24

    static void Decode(uint32_t w, T3RecordFields &f)
    {
        f.record = w;
        f.nsync = NSync(w);
        f.channel = Channel(w);
        if (Special(w)) {
            f.dtime = 0;
            f.marker = SpecialMarker(w);
            if (f.marker == 0) {
                f.overflowOffset += Wraps(f.nsync) * kOverflowPeriod;
                // The nsync of an overflow is a count, not a time.
                f.truensync = f.overflowOffset;
                return;
            }
        } else {
            f.channel += 1;
            f.dtime = DTime(w);
            f.marker = PHOTON_MARKER;
        }
        f.truensync = f.nsync + f.overflowOffset;
    }

    static uint32_t SpecialMarker(uint32_t w)
    {
        const uint32_t c = Channel(w);
        if (c == kOverflowChannel)
            return 0;
        return c >= 1 && c <= 15 ? c : UNKNOWN_SPECIAL_MARKER;
    }
    /// Sync periods the overflow record \p w adds.
    static uint64_t OverflowSyncs(uint32_t w) { return Wraps(NSync(w)) * kOverflowPeriod; }
};

using HydraHarpT3v1Format = HarpT3Format<false>;
using HydraHarpT3v2Format = HarpT3Format<true>;

/*!
 * The time-tag (T2) layouts. A record holds the time of its event in units
 * of the file's global resolution since the last overflow; nothing else
 * measures time. Decoded into the same fields as the T3 records: nsync is
 * the time tag, truensync the time in resolution units since the start, dtime
 * always 0 (kDelayBins 1); the file's tick (the "sync period" of the record
 * cursor) is the resolution.
 *
 * PicoHarp 300 T2 (0x00010203):
 *   bits  0-27  time tag
 *   bits 28-31  channel: photons 0-based; 15 special, whose bits 0-3 are
 *               marker bits, and marker 0 an overflow of 210698240 units.
 */
struct PicoHarpT2Format {
    static constexpr RecordFormat kFormat = RecordFormat::PicoHarpT2;
    static constexpr bool kTimeTags = true;
    static constexpr uint32_t kDelayBins = 1;
    static constexpr uint32_t kSpecialChannel = 15;
    static constexpr uint64_t kOverflowPeriod = 210698240;

    static uint32_t NSync(uint32_t w) { return w & 0x0FFFFFFFu; }     // bits 0-27
    static uint32_t DTime(uint32_t) { return 0; }
    static uint32_t MarkerBits(uint32_t w) { return w & 0xFu; }       // bits 0-3
    static uint32_t Channel(uint32_t w) { return w >> 28; }           // bits 28-31

    static void Decode(uint32_t w, T3RecordFields &f)
    {
        f.record = w;
        f.nsync = NSync(w);
        f.channel = Channel(w);
        f.dtime = 0;
        if (f.channel == kSpecialChannel) {
            f.marker = MarkerBits(w);
            if (f.marker == 0)
                f.overflowOffset += kOverflowPeriod;
        } else {
            f.channel += 1;
            f.marker = PHOTON_MARKER;
        }
        f.truensync = f.nsync + f.overflowOffset;
    }

    static constexpr uint32_t kScanKeys = 16;
    static constexpr bool kMarkerInScanKey = false;  // the marker bits lie outside the key
    static uint32_t ScanKey(uint32_t w) { return Channel(w); }
    static bool AnySpecial(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3)
    {
        return (((k0 + 1) | (k1 + 1) | (k2 + 1) | (k3 + 1)) & 16u) != 0;
    }
    static bool IsSpecialKey(uint32_t key) { return key == kSpecialChannel; }
    static uint32_t PhotonChannel(uint32_t key) { return key + 1; }
    static uint32_t SpecialMarker(uint32_t w) { return MarkerBits(w); }
    static uint64_t OverflowSyncs(uint32_t) { return kOverflowPeriod; }
};

/*!
 * HydraHarp 400 T2 v1 (0x00010204) and the later HydraHarp, TimeHarp 260 N/P
 * and MultiHarp T2 layouts (0x01010204, 0x00010205, 0x00010206, 0x00010207):
 *   bits  0-24  time tag
 *   bits 25-30  channel: photons 0-based; special: 63 overflow, 0 sync,
 *               1-15 marker bits
 *   bit  31     special
 * A v1 overflow adds 33552000 units per record; the later ones add 33554432
 * times the overflow's time tag (0 meaning one).
 */
template <bool kCountedOverflows>
struct HarpT2Format : HarpWordBits<kCountedOverflows> {
    using Bits = HarpWordBits<kCountedOverflows>;
    using Bits::Channel, Bits::Special, Bits::Wraps, Bits::kOverflowChannel;
    static constexpr RecordFormat kFormat =
        kCountedOverflows ? RecordFormat::HydraHarpT2v2 : RecordFormat::HydraHarpT2v1;
    static constexpr bool kTimeTags = true;
    static constexpr uint32_t kDelayBins = 1;
    static constexpr uint32_t kSyncChannel = 0;
    static constexpr uint64_t kOverflowPeriod = kCountedOverflows ? 33554432 : 33552000;

    static uint32_t NSync(uint32_t w) { return w & 0x1FFFFFFu; }        // bits 0-24
    static uint32_t DTime(uint32_t) { return 0; }

    static void Decode(uint32_t w, T3RecordFields &f)
    {
        f.record = w;
        f.nsync = NSync(w);
        f.channel = Channel(w);
        f.dtime = 0;
        if (Special(w)) {
            f.marker = SpecialMarker(w);
            if (f.marker == 0) {
                f.overflowOffset += OverflowSyncs(w);
                // The time tag of a counted overflow is a count, not a time.
                f.truensync = f.overflowOffset;
                return;
            }
        } else {
            f.channel += 1;
            f.marker = PHOTON_MARKER;
        }
        f.truensync = f.nsync + f.overflowOffset;
    }

    static uint32_t SpecialMarker(uint32_t w)
    {
        const uint32_t c = Channel(w);
        if (c == kOverflowChannel)
            return 0;
        if (c == kSyncChannel)
            return SYNC_MARKER;
        return c <= 15 ? c : UNKNOWN_SPECIAL_MARKER;
    }
    static uint64_t OverflowSyncs(uint32_t w) { return Wraps(NSync(w)) * kOverflowPeriod; }
};

using HydraHarpT2v1Format = HarpT2Format<false>;
using HydraHarpT2v2Format = HarpT2Format<true>;

/// Largest 1-based photon channel of any layout, plus one: the size of the
/// per-channel tables the analysis loops index by channel.
constexpr uint32_t kChannelSlots = 65;

/// Calls \p fn with a value of the layout class of \p format, so the code
/// behind it is compiled once per layout.
template <class Fn>
decltype(auto) WithRecordFormat(RecordFormat format, Fn &&fn)
{
    switch (format) {
    case RecordFormat::HydraHarpT3v1: return fn(HydraHarpT3v1Format{});
    case RecordFormat::HydraHarpT3v2: return fn(HydraHarpT3v2Format{});
    case RecordFormat::PicoHarpT3:
    default: break;
    }
    return fn(PicoHarpT3Format{});
}

/// As WithRecordFormat, for every layout a file can hold, the T2 ones too:
/// for the walks a T2 point measurement takes (record scan, record table,
/// photon pass). The imaging walks never see a T2 file.
template <class Fn>
decltype(auto) WithAnyRecordFormat(RecordFormat format, Fn &&fn)
{
    switch (format) {
    case RecordFormat::PicoHarpT2: return fn(PicoHarpT2Format{});
    case RecordFormat::HydraHarpT2v1: return fn(HydraHarpT2v1Format{});
    case RecordFormat::HydraHarpT2v2: return fn(HydraHarpT2v2Format{});
    default: return WithRecordFormat(format, std::forward<Fn>(fn));
    }
}

/// dtime values of \p format's records.
inline uint32_t DelayBinsOf(RecordFormat format)
{
    return WithAnyRecordFormat(format, [](auto f) { return decltype(f)::kDelayBins; });
}

/// Which marker value means line start, line end and frame in a file.
struct MarkerMeanings {
    uint32_t lineStart = 1;
    uint32_t lineEnd = 2;
    uint32_t frame = 4;
};
