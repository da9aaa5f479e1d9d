// The OME-TIFF export of image and line scans: one file with every active
// channel and kept frame, and the OME-XML that says what the planes are.
#include "scans/RasterScan.h"

#include "files/pqFile.h"
#include "scans/TiffWriter.h"

#include <QFileInfo>
#include <QObject>
#include <cmath>
#include <limits>

OmeImage RasterScan::OmeDescription(uint32_t timePoints) const
{
    OmeImage image;
    image.name = QFileInfo(file->fileName).fileName();
    image.creator = QStringLiteral("Fotonel %1").arg(mainWindow->GetVersion());
    image.sizeX = imageWidth;
    image.sizeY = imageHeight;
    image.sizeT = timePoints;
    for (uint32_t c = 0; c < numberOfChannels; ++c)
        if (photonCounts[c] != 0)
            image.channels << QStringLiteral("ch%1").arg(c + 1);
    // The header's pixel is a W-th of the scanned line; another width cuts
    // the same line into other pixels. The rows of a line scan are times,
    // not places: they get no size.
    const double pixel = file->PixelSize();
    if (pixel > 0 && file->ImageWidth() > 0 && imageWidth > 0) {
        image.physicalSizeX = pixel * file->ImageWidth() / imageWidth;
        if (!ProfilesAsPlots())
            image.physicalSizeY = pixel;
    }
    // The frame period, as the information text's image sampling period.
    const std::vector<double> &times = TimeCourseTimes();
    if (!ProfilesAsPlots() && numberOfFrames >= 2 && times.size() >= 2 && times[1] > times[0])
        image.timeIncrement = times[1] - times[0];
    return image;
}

void RasterScan::WriteOmeTiff()
{
    if (Refuses("WriteOmeTiff") || !EnsureReconstructed() || RefusesExport() || !file->ExportFolderExists())
        return;
    const QString name = file->exportBase + QStringLiteral(".ome.tif");
    const OmeImage ome = OmeDescription(numberOfFrames);
    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    const auto planes = static_cast<uint64_t>(F) * static_cast<uint64_t>(ome.channels.size());
    mainWindow->SetProgress(0);
    TiffWriter tiff(name);
    // A file without planes would be no image; the page numbers hold 16 bits.
    if (planes == 0 || planes > std::numeric_limits<uint16_t>::max() || !tiff.Open()) {
        mainWindow->AddMessage(MessageError, QObject::tr("Failed to save OME-TIFF file %1").arg(name));
        return;
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Saving OME-TIFF file %1...").arg(name));
    const QString xml = OmeXml(ome);
    // XYCZT: the channels of a frame, then the next frame.
    bool ok = true;
    uint32_t page = 0;
    for (uint32_t f = 0; f < F && ok; ++f) {
        for (uint32_t c = 0; c < numberOfChannels && ok; ++c) {
            if (photonCounts[c] == 0)
                continue;
            const uint16_t *pixels = images[c].data() + static_cast<std::size_t>(f) * pixelsPerImage;
            ok = tiff.SetPlainPageTags(W, H, 16, page == 0 ? xml : QString()) && tiff.WriteRows(pixels, W, H, 16) &&
                 tiff.SetStackPage(static_cast<uint16_t>(page), static_cast<uint16_t>(planes)) && tiff.WriteDirectory();
            ++page;
        }
        mainWindow->SetProgress(PageProgress(f, F));
        LetEventsRun();
    }
    if (!ok || !tiff.Commit()) {
        mainWindow->AddMessage(MessageError, QObject::tr("Failed to save OME-TIFF file %1").arg(name));
        return;
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Saved OME-TIFF file %1").arg(name));
    mainWindow->SetProgress(100);
}
