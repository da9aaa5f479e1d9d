#include "tools/synth/SyntheticFile.h"

#include "files/AtomicFile.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>

namespace synth {

namespace {

// Size of the fixed part of a .pt3 header; the imaging header size sits at
// offset 724 and its items start at 728.
constexpr int kPt3FixedHeader = 728;

void PutText(QByteArray &bytes, int offset, int size, const std::string &text)
{
    // NUL-padded; a text of exactly the field size has no terminating NUL,
    // which the readers must cope with.
    const int n = std::min<int>(size, static_cast<int>(text.size()));
    std::memcpy(bytes.data() + offset, text.data(), static_cast<std::size_t>(n));
    std::memset(bytes.data() + offset + n, 0, static_cast<std::size_t>(size - n));
}

void PutInt32(QByteArray &bytes, int offset, int32_t v)
{
    qToLittleEndian<qint32>(v, bytes.data() + offset);
}

void PutFloat(QByteArray &bytes, int offset, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    qToLittleEndian<quint32>(bits, bytes.data() + offset);
}

void AppendUInt32(QByteArray &bytes, uint32_t v)
{
    char b[4];
    qToLittleEndian<quint32>(v, b);
    bytes.append(b, 4);
}

void AppendUInt64(QByteArray &bytes, uint64_t v)
{
    char b[8];
    qToLittleEndian<quint64>(v, b);
    bytes.append(b, 8);
}

void AppendFixedText(QByteArray &bytes, const std::string &text, int size)
{
    QByteArray field(size, '\0');
    std::memcpy(field.data(), text.data(), std::min<std::size_t>(static_cast<std::size_t>(size), text.size()));
    bytes.append(field);
}

QByteArray Pt3HeaderBytes(const Pt3Header &h, std::size_t recordCount)
{
    const int items = static_cast<int>(h.imagingHeader.size());
    QByteArray b(kPt3FixedHeader + 4 * items, '\0');
    PutText(b, 0, 16, h.identifier);
    PutText(b, 16, 6, h.formatVersion);
    PutText(b, 22, 18, h.creatorName);
    PutText(b, 40, 12, h.creatorVersion);
    PutText(b, 52, 18, h.fileTime);
    PutText(b, 70, 2, "\r\n");
    PutText(b, 72, 256, h.comment);
    const int32_t ints1[] = {h.numberOfCurves, h.bitsPerRecord, h.routingChannels, h.numberOfBoards,
                             h.activeCurve, h.measurementMode, h.subMode, h.rangeNo, h.offset,
                             h.acquisitionTime, h.stopAt, h.stopOnOverflow, h.restart, h.displayLinLog,
                             h.displayTimeFrom, h.displayTimeTo, h.displayCountFrom, h.displayCountTo};
    int at = 328;
    for (int32_t v : ints1) {
        PutInt32(b, at, v);
        at += 4;
    }
    // 400..463 display curves and 464..499 parameters stay zero.
    PutInt32(b, 500, h.repeatMode);
    PutInt32(b, 504, h.repeatsPerCurve);
    PutInt32(b, 508, h.repeatTime);
    PutInt32(b, 512, h.repeatWaitTime);
    PutText(b, 516, 20, h.scriptName);
    PutText(b, 536, 16, h.hardwareIdent);
    PutText(b, 552, 8, h.hardwareVersion);
    PutInt32(b, 560, h.hardwareSerial);
    PutInt32(b, 564, h.syncDivider);
    PutInt32(b, 568, h.cfdZeroCross0);
    PutInt32(b, 572, h.cfdLevel0);
    PutInt32(b, 576, h.cfdZeroCross1);
    PutInt32(b, 580, h.cfdLevel1);
    PutFloat(b, 584, h.resolution);
    PutInt32(b, 588, h.routerModelCode);
    PutInt32(b, 592, h.routerEnabled);
    for (int c = 0; c < 4; ++c)
        for (int f = 0; f < 6; ++f)
            PutInt32(b, 596 + 24 * c + 4 * f, h.router[c][f]);
    PutInt32(b, 692, h.externalDevices);
    PutInt32(b, 696, h.reserved1);
    PutInt32(b, 700, h.reserved2);
    PutInt32(b, 704, h.countRate0);
    PutInt32(b, 708, h.countRate1);
    PutInt32(b, 712, h.stopAfter);
    PutInt32(b, 716, h.stopReason);
    PutInt32(b, 720, h.numberOfRecords == -1 ? static_cast<int32_t>(recordCount)
                                           : static_cast<int32_t>(h.numberOfRecords));
    PutInt32(b, 724, items);
    for (int i = 0; i < items; ++i)
        PutInt32(b, kPt3FixedHeader + 4 * i, h.imagingHeader[static_cast<std::size_t>(i)]);
    return b;
}

bool IsRecordCountPlaceholder(const PtuTag &t)
{
    return t.name == "TTResult_NumberOfRecords" && t.type == tyInt8 && t.value == ~uint64_t(0);
}

void AppendTag(QByteArray &b, const PtuTag &t, std::size_t recordCount)
{
    AppendFixedText(b, t.name, 32);
    AppendUInt32(b, static_cast<uint32_t>(t.index));
    AppendUInt32(b, t.type);
    AppendUInt64(b, IsRecordCountPlaceholder(t) ? recordCount : t.value);
    b.append(t.data);
}

QByteArray PtuHeaderBytes(const PtuHeader &h, std::size_t recordCount)
{
    QByteArray b;
    AppendFixedText(b, h.magic, 8);
    AppendFixedText(b, h.version, 8);
    for (const PtuTag &t : h.tags)
        AppendTag(b, t, recordCount);
    AppendTag(b, PtuTag::Empty("Header_End"), recordCount);
    return b;
}

QByteArray RecordBytes(const uint32_t *words, std::size_t n)
{
    QByteArray b(static_cast<int>(4 * n), '\0');
    for (std::size_t i = 0; i < n; ++i)
        qToLittleEndian<quint32>(words[i], b.data() + 4 * i);
    return b;
}

/// Header then records, the records in chunks so a file of hundreds of MB
/// is never held twice in memory.
bool WriteFile(const QString &path, const QByteArray &header, const std::vector<uint32_t> &records)
{
    AtomicFile f(path);
    if (!f.Open() || !f.Write(header))
        return false;
    constexpr std::size_t chunk = 1 << 20;
    for (std::size_t at = 0; at < records.size(); at += chunk) {
        const std::size_t n = std::min(chunk, records.size() - at);
        if (!f.Write(RecordBytes(records.data() + at, n)))
            return false;
    }
    return f.Commit();
}

/// Text data blocks: the bytes, a terminating NUL, padded to a multiple of 8
/// as the acquisition software writes them.
QByteArray PaddedBlock(QByteArray data)
{
    do
        data.append('\0');
    while (data.size() % 8 != 0);
    return data;
}

} // namespace

QByteArray Pt3Bytes(const Pt3Header &header, const std::vector<uint32_t> &records)
{
    return Pt3HeaderBytes(header, records.size()) + RecordBytes(records.data(), records.size());
}

bool WritePt3(const QString &path, const Pt3Header &header, const std::vector<uint32_t> &records)
{
    return WriteFile(path, Pt3HeaderBytes(header, records.size()), records);
}

PtuTag PtuTag::Int(const std::string &name, int64_t v, int32_t index)
{
    return PtuTag{name, index, tyInt8, static_cast<uint64_t>(v), {}};
}

PtuTag PtuTag::Float(const std::string &name, double v, int32_t index)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return PtuTag{name, index, tyFloat8, bits, {}};
}

PtuTag PtuTag::Bool(const std::string &name, bool v, int32_t index)
{
    return PtuTag{name, index, tyBool8, v ? 1u : 0u, {}};
}

PtuTag PtuTag::Empty(const std::string &name, int32_t index)
{
    return PtuTag{name, index, tyEmpty8, 0, {}};
}

PtuTag PtuTag::Text(const std::string &name, const std::string &text, int32_t index)
{
    const QByteArray data = PaddedBlock(QByteArray(text.data(), static_cast<int>(text.size())));
    return PtuTag{name, index, tyAnsiString, static_cast<uint64_t>(data.size()), data};
}

PtuTag PtuTag::WideText(const std::string &name, const std::u16string &text, int32_t index)
{
    QByteArray data;
    for (char16_t c : text) {
        char b[2];
        qToLittleEndian<quint16>(static_cast<quint16>(c), b);
        data.append(b, 2);
    }
    data = PaddedBlock(data);
    if (data.size() % 2 != 0)
        data.append('\0');
    return PtuTag{name, index, tyWideString, static_cast<uint64_t>(data.size()), data};
}

PtuTag PtuTag::Blob(const std::string &name, uint64_t bytes, int32_t index)
{
    return PtuTag{name, index, tyBinaryBlob, bytes, QByteArray(static_cast<int>(bytes), '\x5A')};
}

PtuTag PtuTag::FloatArray(const std::string &name, const std::vector<double> &values, int32_t index)
{
    QByteArray data;
    for (double v : values) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        AppendUInt64(data, bits);
    }
    return PtuTag{name, index, tyFloat8Array, static_cast<uint64_t>(data.size()), data};
}

PtuHeader PtuHeader::PicoHarpT3(double syncRateHz, double resolutionSeconds, int pixX, int pixY,
                                int64_t numberOfRecords)
{
    return T3(0x10303, syncRateHz, resolutionSeconds, pixX, pixY, numberOfRecords);
}

PtuHeader PtuHeader::T3(uint32_t recordType, double syncRateHz, double resolutionSeconds, int pixX, int pixY,
                        int64_t numberOfRecords)
{
    PtuHeader h;
    h.tags.push_back(PtuTag::Text("File_GUID", "{00000000-0000-0000-0000-000000000000}"));
    h.tags.push_back(PtuTag::Text("CreatorSW_Name", "Fotonel synth"));
    h.tags.push_back(PtuTag::Int("Measurement_Mode", 3));
    h.tags.push_back(PtuTag::Int("Measurement_SubMode", pixX > 0 ? 3 : 0));
    h.tags.push_back(PtuTag::Int("TTResultFormat_TTTRRecType", recordType));
    h.tags.push_back(PtuTag::Int("TTResultFormat_BitsPerRecord", 32));
    h.tags.push_back(PtuTag::Int("TTResult_SyncRate", static_cast<int64_t>(syncRateHz)));
    h.tags.push_back(PtuTag::Float("MeasDesc_Resolution", resolutionSeconds));
    if (pixX != 0)
        h.tags.push_back(PtuTag::Int("ImgHdr_PixX", pixX));
    if (pixY != 0)
        h.tags.push_back(PtuTag::Int("ImgHdr_PixY", pixY));
    // -1 is the writer's placeholder for "the number of words written".
    h.tags.push_back(PtuTag::Int("TTResult_NumberOfRecords", numberOfRecords));
    return h;
}

PtuHeader PtuHeader::T2(uint32_t recordType, double globalResolutionSeconds, double syncRateHz, int64_t numberOfRecords)
{
    PtuHeader h;
    h.tags.push_back(PtuTag::Text("File_GUID", "{00000000-0000-0000-0000-000000000000}"));
    h.tags.push_back(PtuTag::Text("CreatorSW_Name", "Fotonel synth"));
    h.tags.push_back(PtuTag::Int("Measurement_Mode", 2));
    h.tags.push_back(PtuTag::Int("Measurement_SubMode", 0));
    h.tags.push_back(PtuTag::Int("TTResultFormat_TTTRRecType", recordType));
    h.tags.push_back(PtuTag::Int("TTResultFormat_BitsPerRecord", 32));
    h.tags.push_back(PtuTag::Float("MeasDesc_Resolution", globalResolutionSeconds));
    h.tags.push_back(PtuTag::Float("MeasDesc_GlobalResolution", globalResolutionSeconds));
    h.tags.push_back(PtuTag::Int("TTResult_SyncRate", static_cast<int64_t>(syncRateHz)));
    h.tags.push_back(PtuTag::Int("TTResult_NumberOfRecords", numberOfRecords));
    return h;
}

QByteArray PtuBytes(const PtuHeader &header, const std::vector<uint32_t> &records)
{
    return PtuHeaderBytes(header, records.size()) + RecordBytes(records.data(), records.size());
}

bool WritePtu(const QString &path, const PtuHeader &header, const std::vector<uint32_t> &records)
{
    return WriteFile(path, PtuHeaderBytes(header, records.size()), records);
}

} // namespace synth
