#include "scans/Conversion.h"

#include "host/FotonelServices.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"

#include <QObject>

std::unique_ptr<RSD> MakeScan(int scanType)
{
    switch (scanType) {
    case ScanImage:
        return std::make_unique<ImageScan>();
    case ScanLine:
        return std::make_unique<LineScan>();
    case ScanPoint:
        return std::make_unique<PointScan>();
    default:
        return nullptr;
    }
}

bool ConvertFile(FotonelServices &mainWindow, const QString &fileName, pqFile *file, std::unique_ptr<RSD> &scan)
{
    const QString failed = QObject::tr("could not convert %1").arg(fileName);
    if (!file || !file->ok) {
        mainWindow.AddMessage(MessageError, failed);
        return false;
    }
    // Releasing an analysis whose loop is letting events run would pull its
    // arrays from under that loop.
    if (scan && scan->InsideLoop()) {
        mainWindow.AddMessage(MessageWarning,
                              QObject::tr("The analysis is still running: conversion of %1 ignored").arg(fileName));
        return false;
    }
    scan.reset();
    scan = MakeScan(file->ScanType);
    if (!scan)
        file->ok = false;
    if (!file->ok) {
        mainWindow.AddMessage(MessageError, failed);
        return false;
    }
    scan->Init(mainWindow, *file);
    scan->ReconstructImages();
    return true;
}
