#include "files/ptuFile.h"

#include <QDir>
#include <QFile>

ptuFile::ptuFile(FotonelServices &mainWindow) : pqFile(mainWindow), header(mainWindow) {}

double ptuFile::SyncPeriod() const { return header.syncPeriod; }

int ptuFile::ImageWidth() const { return header.imageWidth; }

int ptuFile::ImageHeight() const { return header.imageHeight; }

int ptuFile::NumberOfChannels() const { return header.channelCount; }

double ptuFile::Resolution() const { return header.resolution; }

int ptuFile::NumberOfRecords() const { return ClippedRecordCount(header.recordCount); }

bool ptuFile::Open(const QString &fileName) { return pqFile::Open(fileName); }

void ptuFile::ReadRecords(QFile &stream) { pqFile::ReadRecords(stream); }

void ptuFile::WriteRecords() {}

bool ptuFile::ScanRecords() { return pqFile::ScanRecords(); }

bool ptuFile::ExportFolderExists() { return pqFile::ExportFolderExists(); }

bool ptuFile::ReadHeader(QFile &stream) { return header.ReadHeader(stream); }

// Open has already tried to make the folder and reported a failure.
void ptuFile::WriteHeaderFile()
{
    if (QDir(exportFolder).exists())
        header.WriteHeaderFile(exportBase);
}

int64_t ptuFile::HeaderRecordCount() const { return header.recordCount; }
