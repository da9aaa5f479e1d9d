#pragma once
/*!
 * \brief Writes synthetic T3 measurement files (.pt3 and .ptu) from
 * header values and a list of record words, so tests and benchmarks know
 * every expected number exactly.
 */
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace synth {

/// Every field of a .pt3 (format 2.0) header; defaults describe a plausible
/// PicoHarp 300 T3 measurement with a 40 MHz sync and 4 ps resolution.
struct Pt3Header {
    std::string identifier = "PicoHarp 300";
    std::string formatVersion = "2.0";
    std::string creatorName = "Fotonel synth";
    std::string creatorVersion = "0.51";
    std::string fileTime = "06/12/26 10:00:00";
    std::string comment = "synthetic measurement";
    int32_t numberOfCurves = 0, bitsPerRecord = 32, routingChannels = 4, numberOfBoards = 1;
    int32_t activeCurve = 0, measurementMode = 3, subMode = 0, rangeNo = 0, offset = 0;
    int32_t acquisitionTime = 1000, stopAt = 0, stopOnOverflow = 0, restart = 0;
    int32_t displayLinLog = 0, displayTimeFrom = 0, displayTimeTo = 50;
    int32_t displayCountFrom = 0, displayCountTo = 100;
    int32_t repeatMode = 0, repeatsPerCurve = 1, repeatTime = 0, repeatWaitTime = 0;
    std::string scriptName = "";
    std::string hardwareIdent = "PicoHarp 300";
    std::string hardwareVersion = "2.0";
    int32_t hardwareSerial = 1000000, syncDivider = 8;
    int32_t cfdZeroCross0 = 10, cfdLevel0 = -150, cfdZeroCross1 = 10, cfdLevel1 = -150;
    float resolution = 0.004f;                 ///< ns per dtime bin
    int32_t routerModelCode = 0, routerEnabled = 0;
    int32_t router[4][6] = {};                 ///< per channel: type, level, edge, cfd present, cfd level, cfd zero cross
    int32_t externalDevices = 0, reserved1 = 0, reserved2 = 0;
    int32_t countRate0 = 40000000;             ///< sync rate, Hz
    int32_t countRate1 = 0;
    int32_t stopAfter = 1000, stopReason = 0;
    /// Record count written into the header; -1 writes the number of words given.
    int64_t numberOfRecords = -1;
    std::vector<int32_t> imagingHeader;        ///< items 6 and 7: image width and height
};

/// The bytes of a .pt3 file: header then records, all little-endian.
QByteArray Pt3Bytes(const Pt3Header &header, const std::vector<uint32_t> &records);
bool WritePt3(const QString &path, const Pt3Header &header, const std::vector<uint32_t> &records);

/// PTU tag type codes.
enum PtuType : uint32_t {
    tyEmpty8 = 0xFFFF0008u, tyBool8 = 0x00000008u, tyInt8 = 0x10000008u, tyBitSet64 = 0x11000008u,
    tyColor8 = 0x12000008u, tyFloat8 = 0x20000008u, tyTDateTime = 0x21000008u,
    tyFloat8Array = 0x2001FFFFu, tyAnsiString = 0x4001FFFFu, tyWideString = 0x4002FFFFu,
    tyBinaryBlob = 0xFFFFFFFFu,
};

struct PtuTag {
    std::string name;
    int32_t index = -1;
    uint32_t type = tyEmpty8;
    uint64_t value = 0;     ///< the value, or the length of data for variable-size types
    QByteArray data;        ///< data block written after the tag head

    static PtuTag Int(const std::string &name, int64_t v, int32_t index = -1);
    static PtuTag Float(const std::string &name, double v, int32_t index = -1);
    static PtuTag Bool(const std::string &name, bool v, int32_t index = -1);
    static PtuTag Empty(const std::string &name, int32_t index = -1);
    static PtuTag Text(const std::string &name, const std::string &text, int32_t index = -1);
    static PtuTag WideText(const std::string &name, const std::u16string &text, int32_t index = -1);
    static PtuTag Blob(const std::string &name, uint64_t bytes, int32_t index = -1);
    static PtuTag FloatArray(const std::string &name, const std::vector<double> &values, int32_t index = -1);
};

struct PtuHeader {
    std::string magic = "PQTTTR";
    std::string version = "00.0.1";
    std::vector<PtuTag> tags;   ///< written in order; "Header_End" is appended by the writer

    /// Tags of a PicoHarp T3 image or point measurement: record type 0x10303,
    /// TTResult_SyncRate, MeasDesc_Resolution (s), ImgHdr_PixX/PixY (left out
    /// when 0) and TTResult_NumberOfRecords (-1: the number of words written).
    static PtuHeader PicoHarpT3(double syncRateHz = 40e6, double resolutionSeconds = 4e-12,
                                int pixX = 0, int pixY = 0, int64_t numberOfRecords = -1);
    /// The tags of a T2 point measurement of \p recordType: MeasDesc_Resolution
    /// and MeasDesc_GlobalResolution (s), TTResult_SyncRate (may be 0).
    static PtuHeader T2(uint32_t recordType, double globalResolutionSeconds = 4e-12, double syncRateHz = 40e6,
                        int64_t numberOfRecords = -1);
    /// The same tags with record type \p recordType (TTResultFormat_TTTRRecType).
    static PtuHeader T3(uint32_t recordType, double syncRateHz = 40e6, double resolutionSeconds = 4e-12,
                        int pixX = 0, int pixY = 0, int64_t numberOfRecords = -1);
};

/// The bytes of a .ptu file: magic, version, tags, Header_End, records.
QByteArray PtuBytes(const PtuHeader &header, const std::vector<uint32_t> &records);
bool WritePtu(const QString &path, const PtuHeader &header, const std::vector<uint32_t> &records);

} // namespace synth
