#include "files/ptuFile.h"

#include <cmath>

#include <QDir>
#include <QFile>

ptuFile::ptuFile(FotonelServices &mainWindow) : pqFile(mainWindow), header(mainWindow) {}

double ptuFile::SyncPeriod() const { return header.syncPeriod; }

int ptuFile::ImageWidth() const { return header.imageWidth; }

int ptuFile::ImageHeight() const { return header.imageHeight; }

int ptuFile::NumberOfChannels() const { return header.channelCount; }

double ptuFile::Resolution() const { return header.resolution; }

bool ptuFile::ReadHeader(QFile &stream)
{
    if (!header.ReadHeader(stream))
        return false;
    recordFormat = header.recordFormat;
    markerMeaning = header.markerMeaning;
    return true;
}

int ptuFile::ImageDimensions() const { return header.dimensions; }
double ptuFile::PixelSize() const
{
    // A damaged tag gives no size rather than a wrong one.
    return std::isfinite(header.pixelSize) && header.pixelSize > 0 ? header.pixelSize : 0;
}

// Open has already tried to make the folder and reported a failure.
void ptuFile::WriteHeaderFile()
{
    if (QDir(exportFolder).exists())
        SaveHeaderText(header.HeaderText());
}

int64_t ptuFile::HeaderRecordCount() const { return header.recordCount; }
