// The FLIM OME-TIFF of an image scan: the lifetime-resolved stack of every
// kept frame and active channel in one file, with the OME-XML that names the
// lifetime axis.
#include "scans/ImageScan.h"

#include "files/AtomicFile.h"
#include "files/pqFile.h"
#include "scans/OmeXml.h"

#include <QObject>
#include <QtEndian>
#include <cmath>
#include <limits>

namespace {

/// The directories of the TIFF file, after its pixel data: classic TIFF, or
/// BigTIFF (64-bit offsets) when the file passes 4 GiB.
class Directories {
public:
    Directories(bool big, uint32_t width, uint32_t height) : big(big), width(width), height(height) {}

    /// Bytes of the header that opens the file.
    std::size_t HeaderBytes() const { return big ? 16 : 8; }
    /// Bytes of a directory of \p entries entries.
    uint64_t DirectoryBytes(int entries) const { return big ? 8 + 20 * entries + 8 : 2 + 12 * entries + 4; }

    QByteArray Header(uint64_t firstDirectory) const
    {
        QByteArray bytes("II");
        if (big) {
            Put16(bytes, 43);
            Put16(bytes, 8);  // bytes of an offset
            Put16(bytes, 0);
            Put64(bytes, firstDirectory);
        } else {
            Put16(bytes, 42);
            Put32(bytes, static_cast<uint32_t>(firstDirectory));
        }
        return bytes;
    }

    /// One plane's directory: its strip at \p strip, the next directory at
    /// \p next (0: the last); with a description of \p descriptionBytes
    /// bytes (with its terminator) at \p description when that is not 0.
    QByteArray Directory(uint64_t strip, uint64_t next, uint64_t description, uint64_t descriptionBytes) const
    {
        QByteArray bytes;
        const int entries = description ? 10 : 9;
        if (big)
            Put64(bytes, static_cast<uint64_t>(entries));
        else
            Put16(bytes, static_cast<uint16_t>(entries));
        const uint16_t kShort = 3, kLong = 4, kAscii = 2, kLong8 = 16;
        Entry(bytes, 256, kLong, 1, width);                      // ImageWidth
        Entry(bytes, 257, kLong, 1, height);                     // ImageLength
        Entry(bytes, 258, kShort, 1, 16);                        // BitsPerSample
        Entry(bytes, 259, kShort, 1, 1);                         // Compression: none
        Entry(bytes, 262, kShort, 1, 1);                         // PhotometricInterpretation: black is zero
        if (description)
            Entry(bytes, 270, kAscii, descriptionBytes, description);  // ImageDescription
        Entry(bytes, 273, big ? kLong8 : kLong, 1, strip);       // StripOffsets
        Entry(bytes, 277, kShort, 1, 1);                         // SamplesPerPixel
        Entry(bytes, 278, kLong, 1, height);                     // RowsPerStrip: one strip
        Entry(bytes, 279, kLong, 1, uint64_t{width} * height * 2);  // StripByteCounts
        if (big)
            Put64(bytes, next);
        else
            Put32(bytes, static_cast<uint32_t>(next));
        return bytes;
    }

private:
    // A value that fits the entry's value field sits there, left-justified.
    void Entry(QByteArray &bytes, uint16_t tag, uint16_t type, uint64_t count, uint64_t value) const
    {
        Put16(bytes, tag);
        Put16(bytes, type);
        if (big) {
            Put64(bytes, count);
            if (type == 3) {
                Put16(bytes, static_cast<uint16_t>(value));
                Put16(bytes, 0), Put32(bytes, 0);
            } else {
                Put64(bytes, value);
            }
        } else {
            Put32(bytes, static_cast<uint32_t>(count));
            if (type == 3) {
                Put16(bytes, static_cast<uint16_t>(value));
                Put16(bytes, 0);
            } else {
                Put32(bytes, static_cast<uint32_t>(value));
            }
        }
    }
    static void Put16(QByteArray &b, uint16_t v) { b.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 2); }
    static void Put32(QByteArray &b, uint32_t v) { b.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 4); }
    static void Put64(QByteArray &b, uint64_t v) { b.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 8); }

    bool big;
    uint32_t width, height;
};

/// Sets a value for the life of the guard, then sets it back.
struct RowsGuard {
    uint32_t &rows;
    ~RowsGuard() { rows = 0; }
};

} // namespace

void ImageScan::WriteFlimOmeTiff()
{
    if (Refuses("WriteFlimOmeTiff") || !EnsureReconstructed() || RefusesExport() || !file->ExportFolderExists())
        return;
    const QString name = file->exportBase + QStringLiteral("_flim.ome.tif");
    if (!CheckBinWidth(mainWindow->GetIStaubinsize()))
        return;
    const double w = LifetimeBin(mainWindow->GetIStaubinsize());
    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    std::vector<uint32_t> channelsWritten;  // the channels written, in channel order
    for (uint32_t c = 0; c < numberOfChannels && c + 1 < kChannelSlots; ++c)
        if (photonCounts[c] != 0)
            channelsWritten.push_back(c);
    const double bins = HistogramStackBins(w);
    const double planeBytes = 2.0 * W * H;
    const double planes = bins * F * static_cast<double>(channelsWritten.size());
    // An image of the stack holds the kept frames one below the other.
    if (W == 0 || H == 0 || F == 0 || channelsWritten.empty() || planeBytes * F > 4294967295.0 ||
        !(bins >= 1 && planes <= std::numeric_limits<uint32_t>::max())) {
        mainWindow->AddMessage(MessageError, QObject::tr("Cannot save a FLIM stack of %1 delay bins of %2 frames of %3 x %4 pixels")
                                                 .arg(bins).arg(F).arg(W).arg(H));
        return;
    }
    const uint32_t N = static_cast<uint32_t>(bins);
    if (!StackFitsOnDisk(N, planeBytes * F))
        return;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Saving FLIM OME-TIFF file %1...").arg(name));

    OmeImage ome = OmeDescription(F * N);
    ome.lifetimeBins = N;
    ome.lifetimeStart = 0;
    ome.lifetimeStep = w * 1000;  // ns to ps
    const QByteArray xml = OmeXml(ome).toLatin1() + '\0';

    // Layout: header, pixel data as the blocks come (chunk by chunk, in a
    // chunk channel by channel, in a channel bin by bin, in a bin frame by
    // frame), then one directory per plane in the order XYCZT with T = frame
    // x N + bin, then the description.
    const uint64_t S = channelsWritten.size(), P = static_cast<uint64_t>(W) * H * 2;
    const uint64_t dataBytes = S * F * N * P;
    const uint64_t tail = 2 + 12 * 10 + 4 + (planes - 1) * (2 + 12 * 9 + 4) + static_cast<uint64_t>(xml.size());
    const bool big = static_cast<double>(8 + dataBytes + tail) > bigTiffBytes;
    const Directories tiff(big, W, H);
    const uint64_t firstDirectory = tiff.HeaderBytes() + dataBytes;

    keptFrameRows = H;
    const RowsGuard guard{keptFrameRows};
    uint32_t chunks = 0;
    const std::vector<uint32_t> bounds = HistogramChunkBounds(N, W, H * F, static_cast<uint32_t>(S), chunks, stackChunkBytes);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Number of chunks %1").arg(chunks));

    AtomicFile out(name);
    bool failed = !out.Open() || !out.Write(tiff.Header(firstDirectory));
    std::vector<AtomicFile *> writing(numberOfChannels, nullptr);
    if (!failed)
        for (uint32_t c : channelsWritten)
            writing[c] = &out;
    const std::function<void(uint32_t)> fail = [&](uint32_t) {
        // Every channel goes into the one file: the first failure ends it.
        failed = true;
        std::fill(writing.begin(), writing.end(), nullptr);
    };
    if (!failed)
        WriteStackBlocks(bounds, w, writing, fail);

    // The directories: plane (slot s, bin k, frame f) lies where its chunk's
    // blocks put it.
    const auto strip = [&](uint64_t s, uint32_t k, uint32_t f) {
        const std::size_t i = static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), k) - bounds.begin()) - 1;
        const uint64_t chunkBins = bounds[i + 1] - bounds[i];
        return tiff.HeaderBytes() + uint64_t{bounds[i]} * S * F * P + ((s * chunkBins + (k - bounds[i])) * F + f) * P;
    };
    uint64_t at = firstDirectory;
    const uint64_t description = firstDirectory + tiff.DirectoryBytes(10) + (static_cast<uint64_t>(planes) - 1) * tiff.DirectoryBytes(9);
    uint64_t plane = 0;
    for (uint32_t f = 0; f < F && !failed; ++f)
        for (uint32_t k = 0; k < N && !failed; ++k)
            for (uint64_t s = 0; s < S && !failed; ++s, ++plane) {
                const uint64_t next = at + tiff.DirectoryBytes(plane == 0 ? 10 : 9);
                const bool last = plane + 1 == static_cast<uint64_t>(planes);
                failed = !out.Write(tiff.Directory(strip(s, k, f), last ? 0 : next, plane == 0 ? description : 0,
                                                   static_cast<uint64_t>(xml.size())));
                at = next;
            }
    failed = failed || !out.Write(xml) || !out.Commit();
    if (failed) {
        mainWindow->AddMessage(MessageError, QObject::tr("Failed to save FLIM OME-TIFF file %1").arg(name));
        return;
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Saved FLIM OME-TIFF file %1").arg(name));
}
