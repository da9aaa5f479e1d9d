#include "scans/Conversion.h"

#include "host/FotonelServices.h"
#include "files/RecordFormat.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"

#include <QObject>
#include <algorithm>
#include <cmath>

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

void CarryGatesOver(FotonelServices &mainWindow, const pqFile &file)
{
    const double range = file.DelayRange(), step = file.Resolution();
    if (!(std::isfinite(range) && range > 0 && std::isfinite(step) && step > 0))
        return;  // the analysis refuses such a file with its reason
    std::vector<int> narrower = mainWindow.CarryGatesTo(range, step);
    narrower.erase(std::remove_if(narrower.begin(), narrower.end(),
                                  [&](int c) {
                                      return c < 1 || static_cast<std::size_t>(c) > file.photonsPerChannel.size() ||
                                             file.photonsPerChannel[c - 1] == 0;
                                  }),
                   narrower.end());
    if (narrower.empty())
        return;
    // The photons of each channel per dtime value, for the share each gate keeps.
    const uint32_t delayBins = file.DelayBins();
    std::vector<std::vector<uint64_t>> perDtime(file.photonsPerChannel.size(), std::vector<uint64_t>(delayBins, 0));
    WithAnyRecordFormat(file.recordFormat, [&](auto format) {
        using Format = decltype(format);
        auto count = [&](const T3RecordFields &f) {
            if (f.marker == PHOTON_MARKER && f.channel >= 1 && f.channel <= perDtime.size() && f.dtime < delayBins)
                ++perDtime[f.channel - 1][f.dtime];
        };
        if constexpr (Format::kTimeTags) {
            // The delays of time tags come from the syncs before them: the cursor's walk.
            if (file.records.empty())
                return;
            T3RecordCursor<Format> cursor(mainWindow, file);
            do
                count(cursor);
            while (cursor.Next());
        } else {
            T3RecordFields f;
            for (uint32_t w : file.records) {
                Format::Decode(w, f);
                count(f);
            }
        }
    });
    std::vector<double> minima, maxima;
    mainWindow.GetGating(minima, maxima);
    for (int c : narrower) {
        const double low = minima[c - 1], high = maxima[c - 1];
        uint64_t kept = 0, all = 0;
        for (uint32_t k = 0; k < delayBins; ++k) {
            // The delay of dtime k as the analyses compute it, limits inclusive.
            const double d = k * step;
            all += perDtime[c - 1][k];
            if (!(d < low || d > high))
                kept += perDtime[c - 1][k];
        }
        const double share = all ? 100.0 * static_cast<double>(kept) / static_cast<double>(all) : 0.0;
        mainWindow.AddMessage(MessageWarning, QObject::tr("Channel %1 keeps its gate of %2 to %3 ns from before this file: "
                                                          "%4 % of its photons, of delays 0 to %5 ns in this file")
                                                  .arg(c)
                                                  .arg(low)
                                                  .arg(high)
                                                  .arg(share, 0, 'f', 1)
                                                  .arg(range));
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
