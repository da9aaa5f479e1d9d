// The count exports of image and line scans: TIFF stacks, TIFF image series
// and raw data with an ImageJ macro, one set per active channel.
#include "scans/RasterScan.h"

#include "scans/TiffWriter.h"

#include <QObject>
#include "files/AtomicFile.h"

#include <QFile>
#include <QtEndian>
#include <limits>

namespace {
// The ImageJ type names of bit depth 0 and 1.
const char *ImageJType(int bitDepth) { return bitDepth == 0 ? "8-bit" : "16-bit Unsigned"; }
uint16_t BitsPerSample(int bitDepth) { return bitDepth == 0 ? 8 : 16; }

} // namespace

void RasterScan::WriteImages(int exportType, int bitDepth)
{
    if (Refuses("WriteImages") || !EnsureReconstructed() || RefusesExport() || !file->ExportFolderExists())
        return;
    switch (exportType) {
    case 0: WriteTiffStack(bitDepth); break;
    case 1: WriteTiffImages(bitDepth); break;
    case 2: WriteRawData(bitDepth); break;
    default: break;
    }
}

QString RasterScan::ExportName(const char *pattern, uint32_t c) const
{
    return QString::fromLatin1(pattern).arg(file->exportBase).arg(c + 1);
}

QString RasterScan::PageDescription(uint32_t) const
{
    return QString();
}

int RasterScan::PageProgress(uint32_t page, uint32_t pages)
{
    // A single page is complete at once (there is no F - 1 to divide by).
    return pages > 1 ? static_cast<int>(static_cast<double>(page) / (pages - 1) * 100) : 100;
}

const void *RasterScan::ExportPixels(uint32_t c, int bitDepth, std::vector<uint8_t> &lowBytes) const
{
    const LargeArray<uint16_t> &counts = images[c];
    if (bitDepth != 0)
        return counts.data();
    // 8 bit is the count modulo 256: no scaling, no clipping.
    lowBytes.resize(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i)
        lowBytes[i] = static_cast<uint8_t>(counts[i] & 0xFFu);
    return lowBytes.data();
}

void RasterScan::WriteTiffStack(int bitDepth)
{
    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    const uint16_t bits = BitsPerSample(bitDepth);
    const std::size_t pageBytes = static_cast<std::size_t>(pixelsPerImage) * (bits / 8);
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        std::vector<uint8_t> lowBytes;
        const auto *pixels = static_cast<const unsigned char *>(ExportPixels(c, bitDepth, lowBytes));
        mainWindow->SetProgress(0);
        const QString name = ExportName("%1_ch%2.tif", c);
        // PageNumber holds 16-bit values; an empty stack would not be a TIFF file.
        TiffWriter tiff(name);
        if (F == 0 || F > std::numeric_limits<uint16_t>::max() || !tiff.Open()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Failed to save TIFF stack file %1").arg(name));
            continue;
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saving TIFF stack file %1...").arg(name));
        bool ok = true;
        for (uint32_t f = 0; f < F && ok; ++f) {
            ok = tiff.SetPageTags(W, H, bits, PageDescription(f)) && tiff.WriteRows(pixels + f * pageBytes, W, H, bits) &&
                 tiff.SetStackPage(static_cast<uint16_t>(f), static_cast<uint16_t>(F)) && tiff.WriteDirectory();
            mainWindow->SetProgress(PageProgress(f, F));
            LetEventsRun();
        }
        if (!ok || !tiff.Commit()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Failed to save TIFF stack file %1").arg(name));
            continue;
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saved TIFF stack %1").arg(name));
        mainWindow->SetProgress(100);
    }
}

void RasterScan::WriteTiffImages(int bitDepth)
{
    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    const uint16_t bits = BitsPerSample(bitDepth);
    const std::size_t pageBytes = static_cast<std::size_t>(pixelsPerImage) * (bits / 8);
    const int digits = QString::number(F).size();
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        mainWindow->SetProgress(0);
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saving TIFF images for channel %1").arg(c + 1));
        std::vector<uint8_t> lowBytes;
        const auto *pixels = static_cast<const unsigned char *>(ExportPixels(c, bitDepth, lowBytes));
        for (uint32_t f = 0; f < F; ++f) {
            const QString name = QStringLiteral("%1_ch%2_%3.tif")
                                     .arg(file->exportBase)
                                     .arg(c + 1)
                                     .arg(f, digits, 10, QLatin1Char('0'));
            TiffWriter tiff(name);
            const bool ok = tiff.Open() && tiff.SetPageTags(W, H, bits, PageDescription(f)) &&
                            tiff.WriteRows(pixels + f * pageBytes, W, H, bits) && tiff.Commit();
            if (!ok) {
                mainWindow->AddMessage(MessageError, QObject::tr("Failed to save TIFF file %1").arg(name));
                continue;
            }
            mainWindow->SetProgress(PageProgress(f, F));
            LetEventsRun();
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saved TIFF images for channel %1").arg(c + 1));
        mainWindow->SetProgress(100);
    }
}

void RasterScan::WriteRawData(int bitDepth)
{
    const uint16_t bits = BitsPerSample(bitDepth);
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        const QString name = ExportName("%1_ch%2.raw", c);
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saving Raw binary file %1...").arg(name));
        mainWindow->SetProgress(0);

        std::vector<uint8_t> lowBytes;
        const void *pixels = ExportPixels(c, bitDepth, lowBytes);
        const qint64 bytes = static_cast<qint64>(images[c].size()) * (bits / 8);
#if Q_BYTE_ORDER == Q_BIG_ENDIAN
        // The raw file is little-endian whatever the machine.
        std::vector<uint16_t> swapped;
        if (bits == 16) {
            swapped.resize(images[c].size());
            qToLittleEndian<uint16_t>(images[c].data(), images[c].size(), swapped.data());
            pixels = swapped.data();
        }
#endif
        // No frame left (all removed as incomplete): an empty file would open as nothing.
        AtomicFile raw(name);
        if (bytes == 0 || !raw.Open() || !raw.Write(pixels, bytes) || !raw.Commit()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Failed to save raw binary file %1").arg(name));
            continue;
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saved raw binary file %1").arg(name));

        const QString macroName = ExportName("%1_ch%2.raw.ijm", c);
        const QByteArray line = QByteArrayLiteral("run(\"Raw...\", \"open=[") + QFile::encodeName(name) +
                                QByteArrayLiteral("] image=[") + ImageJType(bitDepth) +
                                QByteArrayLiteral("] width=") + QByteArray::number(imageWidth) +
                                QByteArrayLiteral(" height=") + QByteArray::number(imageHeight) +
                                QByteArrayLiteral(" offset=0 number=") + QByteArray::number(numberOfFrames) +
                                QByteArrayLiteral(" gap=0 little-endian\");");
        AtomicFile macro(macroName);
        if (macro.Open() && macro.Write(line) && macro.Commit())
            mainWindow->AddMessage(MessageNormal, QObject::tr("Saved imageJ macro file %1").arg(macroName));
        else
            mainWindow->AddMessage(MessageError, QObject::tr("Failed to save imageJ macro file %1").arg(macroName));
        mainWindow->SetProgress(100);
    }
}
