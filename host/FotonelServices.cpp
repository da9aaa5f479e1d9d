#include "host/FotonelServices.h"

#include <QDataStream>
#include <QIODevice>

namespace {
// TIFF field types.
constexpr uint16_t kAscii = 2;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
// Header (8) + entry count (2) + ten entries (120) + next directory (4).
constexpr uint32_t kDescriptionOffset = 134;
} // namespace

// ImageJ takes the image count from a description only when its first key
// is "ImageJ"; under any other key it opens the first image alone.
const char *const FotonelServices::StackDescriptionKey = "ImageJ";

void FotonelServices::WriteTextToStream(QDataStream &stream, const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    stream.writeRawData(bytes.constData(), bytes.size());
}

void FotonelServices::WriteIfdEntry(QDataStream &stream, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    stream << tag << type << count;
    if (type == kShort && count == 1)
        stream << static_cast<uint16_t>(value) << static_cast<uint16_t>(0);
    else
        stream << value;
}

QString FotonelServices::StackDescription(const QString &version, uint32_t images, const QString &extra)
{
    return QStringLiteral("%1=%2\nimages=%3\nslices=%4\nloop=false\nmin=0.0\nmax=255.0\n%5")
        .arg(QLatin1String(StackDescriptionKey), version)
        .arg(images)
        .arg(images)
        .arg(extra);
}

bool FotonelServices::WriteTiffHeader(QIODevice &out, uint32_t images, uint32_t width, uint32_t height,
                                      uint16_t bitsPerSample, const QString &extraDescription)
{
    if (!out.isWritable())
        return false;
    const QString description = StackDescription(GetVersion(), images, extraDescription);
    const uint32_t length = static_cast<uint32_t>(description.toLatin1().size());

    QDataStream stream(&out);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream.writeRawData("II", 2);
    stream << static_cast<uint16_t>(42) << static_cast<uint32_t>(8);
    stream << static_cast<uint16_t>(10);
    WriteIfdEntry(stream, 254, kLong, 1, 0);           // NewSubfileType
    WriteIfdEntry(stream, 256, kLong, 1, width);       // ImageWidth
    WriteIfdEntry(stream, 257, kLong, 1, height);      // ImageLength
    WriteIfdEntry(stream, 258, kShort, 1, bitsPerSample);
    WriteIfdEntry(stream, 262, kShort, 1, 1);          // PhotometricInterpretation: black is zero
    WriteIfdEntry(stream, 270, kAscii, length, kDescriptionOffset);
    WriteIfdEntry(stream, 273, kLong, 1, kDescriptionOffset + length);  // StripOffsets: image 0
    WriteIfdEntry(stream, 277, kShort, 1, 1);          // SamplesPerPixel
    WriteIfdEntry(stream, 278, kShort, 1, height);     // RowsPerStrip: one strip per image
    WriteIfdEntry(stream, 279, kLong, 1,                // StripByteCounts: bytes of one image
                  static_cast<uint32_t>(uint64_t{width} * height * bitsPerSample / 8));
    stream << static_cast<uint32_t>(0);                // no further directory
    WriteTextToStream(stream, description);
    return stream.status() == QDataStream::Ok;
}
