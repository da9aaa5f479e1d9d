#include "scans/LineScan.h"

#include "host/FotonelServices.h"
#include "files/HeaderText.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "scans/TiffWriter.h"
#include "scans/RasterScanPass.h"

#include <QObject>
#include <algorithm>
#include <cmath>

namespace {
// Delay bins of a position-delay histogram: only absurd bin widths reach it.
constexpr double kMaxDelayBins = 4194304.0;
} // namespace

void LineScan::GatherInformation()
{
    double sync = 0, resolution = 0;
    if (!GatherGeometry(&FotonelServices::GetLSImageWidthcheck, &FotonelServices::GetLSImageWidth,
                        QObject::tr("No line width in the file header: using %1 pixels per line "
                                    "(the line width override changes it)"),
                        sync, resolution))
        return;
    totalPixels = pixelsPerImage * numberOfFrames;
    histogramImages.assign(numberOfChannels, std::vector<uint16_t>());
    histogramBins = 0;
    lineStartTimes.assign(imageHeight, 0);
    ClearStack();

    mainWindow->AddMessage(MessageNormal, QObject::tr("Information gathered"));
    gathered = true;

    syncPeriod = sync;
    mainWindow->SetLineTauBinSize(resolution, sync);
    mainWindow->SetCorrelationControls(syncPeriod, mainWindow->GetDtau(), mainWindow->GetNrbins(), mainWindow->GetNcasc());
    mainWindow->SetGatingRanges(syncPeriod, resolution);
    mainWindow->SetCursorRanges(0, 1e16);
    mainWindow->SetToolBoxPage(4);
}

void LineScan::ReconstructImages()
{
    PassLimits limits;
    if (!BeginReconstruction(limits))
        return;

    ClearStack();
    lineStartTimes.assign(imageHeight, 0);

    // Per channel value, one table outside the lines (and in lines
    // beyond H) and one inside the kept lines: every channel of the file
    // moves lastPhotonTime, usable ones (active, with a gate and cursors) are
    // placed inside a kept line. Channel 0 and channels above the file's
    // count are skipped untouched.
    SlotTable outsideLine, keptLine;
    std::vector<uint8_t> gateTable;
    FillChannelSlots(limits, outsideLine, keptLine, gateTable);

    // Every photon, inside a line or not, moves the end of the data span;
    // lines beyond H are not placed.
    WithRecordFormat(file->recordFormat, [&](auto format) {
        PassFrames<decltype(format)>(
            outsideLine,
            [&](uint32_t, uint32_t line, double time) {
                if (line < imageHeight)
                    lineStartTimes[line] = time / kNsPerS;
                return line < imageHeight ? &keptLine : &outsideLine;
            },
            [](uint32_t, uint32_t, double) {});
    });
    FinishPass();
    mainWindow->AddMessage(MessageNormal, QObject::tr("Lines reconstructed"));

    FindMinMax();
    syncPeriod = file->SyncPeriod();
    mainWindow->SetLineTauBinSize(file->Resolution(), file->SyncPeriod());
    reconstructed = true;
    lifetimeBinWidth = mainWindow->GetLStaubinsize();
    BinLifetimes(lifetimeBinWidth);
    BuildInfoText();
    CalculateStats();
}

bool LineScan::BuildHistogramImages(double binWidth)
{
    if (Refuses("BuildHistogramImages") || !CheckBinWidth(binWidth) || !EnsureReconstructed())
        return false;
    binWidth = LifetimeBin(binWidth);

    std::vector<double> cursorMin, cursorMax;
    mainWindow->GetCursors(cursorMin, cursorMax, kNsPerS);
    const double bins = std::ceil(file->SyncPeriod() / binWidth);
    const double bytes = bins * imageWidth * std::max<uint32_t>(activeChannelCount, 1) * sizeof(uint16_t);
    if (!(bins <= kMaxDelayBins) || bins * imageWidth * std::max<uint32_t>(activeChannelCount, 1) > kMaxStackPixels ||
        bytes > kMemoryBudgetBytes) {
        mainWindow->AddMessage(MessageError,
                               QObject::tr("Too many delay bins %1 for bin width %2 ns").arg(bins, 0, 'f', 0).arg(binWidth));
        return false;
    }
    const uint32_t N = static_cast<uint32_t>(bins);
    histogramBins = N;
    mainWindow->AddMessage(MessageNormal, QStringLiteral("%1 %2").arg(N).arg(imageWidth));

    // Per channel value: its histogram and cursors (ns, inclusive); a
    // null histogram skips the photon.
    struct Slot {
        uint16_t *hist = nullptr;
        double cursorMin = 0, cursorMax = 0;
    } table[kChannelSlots];
    histogramImages.assign(numberOfChannels, std::vector<uint16_t>());
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        histogramImages[c].assign(static_cast<std::size_t>(imageWidth) * N, 0);
        if (c + 1 >= kChannelSlots || c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        table[c + 1] = {histogramImages[c].data(), cursorMin[c], cursorMax[c]};
    }

    // A whole number of delay steps per bin: the bin of a dtime value is a whole quotient.
    const uint32_t steps = DelaySteps(binWidth);
    WalkKeptLines([&](const auto &cursor, uint32_t, uint32_t x) {
        const Slot &slot = table[cursor.channel];
        const double t = cursor.truetime;
        if (!slot.hist || t < slot.cursorMin || t > slot.cursorMax)
            return;
        const uint32_t b = cursor.dtime / steps;
        if (b >= N)
            return;
        uint16_t &count = slot.hist[static_cast<std::size_t>(x) * N + b];
        if (count != UINT16_MAX)
            ++count;
    });
    mainWindow->SetProgress(100);
    return true;
}

void LineScan::WriteHistogramImages()
{
    if (Refuses("WriteHistogramImages") || !EnsureReconstructed() || RefusesExport() || !file->ExportFolderExists())
        return;
    const double requested = mainWindow->GetLStaubinsize();
    if (!CheckBinWidth(requested))
        return;
    const double w = LifetimeBin(requested);
    if (!BuildHistogramImages(w))
        return;
    const uint32_t N = histogramBins, W = imageWidth;
    const QString description = QStringLiteral("dtau=%1\n").arg(QString::number(w, 'g', 6));
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        mainWindow->SetProgress(0);
        mainWindow->AddMessage(MessageNormal, QObject::tr("Saving histogram images for channel %1").arg(c + 1));
        const QString name = QStringLiteral("%1_histogram_ch%2.tif").arg(file->exportBase).arg(c + 1);
        // Row r holds the N delay bins of pixel position r.
        TiffWriter tiff(name);
        if (tiff.Open() && tiff.SetPageTags(N, W, 16, description) &&
            tiff.WriteRows(histogramImages[c].data(), N, W, 16) && tiff.Commit())
            mainWindow->AddMessage(MessageNormal, QObject::tr("Saved TIFF images for channel %1").arg(c + 1));
        else
            mainWindow->AddMessage(MessageError, QObject::tr("Failed to save TIFF file %1").arg(name));
        mainWindow->SetProgress(100);
    }
}

void LineScan::CalculateStats()
{
    if (!BeginStats())
        return;

    const uint32_t W = imageWidth, H = imageHeight;
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        std::vector<double> &mean = meanImages[c];
        std::vector<double> &variance = varianceImages[c];
        mean.assign(W, 0);
        variance.assign(W, 0);
        timeCourse[c].assign(H, 0);
        // Only the first block of W x H counts; with no frame kept there is
        // none and the profiles stay 0.
        if (images[c].size() < pixelsPerImage)
            continue;
        RowStatistics(images[c].data(), W, H, mean, variance, timeCourse[c]);
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculated stats"));
}

void LineScan::BuildInfoText()
{
    if (!BeginInfoText())
        return;
    infoText += LabelValueLine(QStringLiteral("Number of Lines"), QString::number(imageHeight));
    infoText += RecoveredFrameLines();
    infoText += LabelValueLine(QStringLiteral("Line nSync"), QString::number(lineNSync));
    infoText += PixelTimeLine();
    infoText += LabelValueLine(QStringLiteral("Line Scan Time"), QString::number(lineTime / 1e6, 'f', 6) + QStringLiteral(" ms"));
    // With fewer than two lines there is no line-to-line period: 0.
    const double linePeriod =
        lineStartTimes.size() >= 2 ? 1000 * (lineStartTimes[1] - lineStartTimes[0]) : 0.0;
    infoText += LabelValueLine(QStringLiteral("Line Sampling Period"), QString::number(linePeriod, 'f', 6) + QStringLiteral(" ms"));
    FinishInfoText();
}
