#include "files/pt3File.h"

#include <QDir>
#include <QFile>

pt3File::pt3File(FotonelServices &mainWindow) : pqFile(mainWindow), header(mainWindow) {}

double pt3File::SyncPeriod() const { return header.syncPeriod; }

int pt3File::ImageWidth() const { return header.imageWidth; }

int pt3File::ImageHeight() const { return header.imageHeight; }

int pt3File::NumberOfChannels() const { return header.channelCount; }

double pt3File::Resolution() const { return static_cast<double>(header.resolution); }

bool pt3File::ReadHeader(QFile &stream) { return header.ReadHeader(stream); }

// Open has already tried to make the folder and reported a failure.
void pt3File::WriteHeaderFile()
{
    if (QDir(exportFolder).exists())
        SaveHeaderText(header.HeaderText());
}

int64_t pt3File::HeaderRecordCount() const { return header.numberOfRecords; }
