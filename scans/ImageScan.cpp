#include "scans/ImageScan.h"

#include "host/FotonelServices.h"
#include "files/HeaderText.h"
#include "files/T3RecordCursor.h"
#include "files/TwoThreads.h"
#include "files/pqFile.h"
#include "scans/RasterScanPass.h"

#include <QObject>
#include <cstring>

void ImageScan::Init(FotonelServices &window, pqFile &photonFile)
{
    RSD::Init(window, photonFile);
    infoText.clear();
}

void ImageScan::GatherInformation()
{
    double sync = 0, resolution = 0;
    if (!GatherGeometry(&FotonelServices::GetISImageWidthcheck, &FotonelServices::GetISImageWidth,
                        QObject::tr("No image width in the file header: using %1 pixels per line "
                                    "(the image width override changes it)"),
                        sync, resolution))
        return;
    framesInFile = numberOfFrames;
    imagesRemoved = 0;
    // With phasors asked for, the pass's sums (and its second thread's) are
    // new memory the kernel must clear, as the stack is: they are made in
    // another thread while this one clears the stack.
    readySums.clear();
    uint32_t placed = 0;
    for (uint32_t c = 0; c < numberOfChannels && c + 1 < kChannelSlots; ++c)
        placed += photonCounts[c] > 0;
    const bool twoHalves = numberOfFrames >= 2 && file->records.size() >= parallelPassRecords;
    const std::size_t sumsSize = 2 * static_cast<std::size_t>(imageWidth) * imageHeight;
    if (mainWindow->PhasorsWithoutFits() && 2.0 * placed * sumsSize * sizeof(int64_t) <= kMadeAheadBytes)
        readySums.resize(twoHalves ? 2 * placed : placed);
    RunInTwoThreads(2, !readySums.empty(), [&](std::size_t half) {
        if (half == 0)
            RestoreFullStack();
        else
            for (LargeArray<int64_t> &sums : readySums)
                sums.assign(sumsSize, 0);
    });

    mainWindow->AddMessage(MessageNormal, QObject::tr("Information gathered"));
    gathered = true;

    syncPeriod = sync;
    mainWindow->SetImageTauBinSize(resolution, sync);
    mainWindow->SetCorrelationControls(syncPeriod, mainWindow->GetDtau(), mainWindow->GetNrbins(), mainWindow->GetNcasc());
    mainWindow->SetCursorRanges(0, 1e16);
    mainWindow->SetGatingRanges(syncPeriod, resolution);
    mainWindow->SetToolBoxPage(5);
}

void ImageScan::RestoreFullStack()
{
    numberOfFrames = framesInFile;
    totalPixels = pixelsPerImage * numberOfFrames;
    linesInFrame.assign(numberOfFrames, 0);
    frameMarkerTimes.assign(numberOfFrames, 0);
    frameStartTimes.assign(numberOfFrames, 0);
    ClearStack();
    stackChecked = false;
}

template <class Format>
double ImageScan::MeasureLineSamplingPeriod() const
{
    T3RecordCursor<Format> cursor(*mainWindow, *file);
    const uint32_t lineStart = file->markerMeaning.lineStart;
    if (!file->frames.Start(cursor) || !cursor.NextWithMarker(lineStart))
        return 0;
    const double firstStart = cursor.truetime;
    if (!cursor.NextWithMarker(lineStart))
        return 0;
    return (cursor.truetime - firstStart) / kNsPerS;
}

void ImageScan::ReconstructImages()
{
    PassLimits limits;
    if (!BeginReconstruction(limits))
        return;

    lineSamplingPeriod = WithRecordFormat(file->recordFormat, [this](auto format) {
        return MeasureLineSamplingPeriod<decltype(format)>();
    });

    // A later pass (cursor apply) starts again from every frame of the file,
    // not from the frames the previous check left.
    RestoreFullStack();

    // Per channel value, one table for each place a photon can meet:
    // outside a line nothing counts; inside a line every channel of the file
    // moves lastPhotonTime, and usable ones (active, with a gate and cursors)
    // are placed while the line lies below H. Channel 0 and channels above
    // the file's count are skipped everywhere.
    SlotTable outsideLine, droppedLine, keptLine;
    std::vector<uint8_t> gateTable;
    FillChannelSlots(limits, droppedLine, keptLine, gateTable);

    WithRecordFormat(file->recordFormat, [&](auto format) {
        // Lines beyond H are walked but not placed. Each thread of the pass
        // notes the first line start of each of its frames.
        PassImageFrames<decltype(format)>(
            outsideLine, LineTables{&keptLine, &droppedLine},
            [this](LineTables tables) {
                return [this, tables, startedFrame = UINT32_MAX](uint32_t frame, uint32_t line, double time) mutable {
                    if (frame != startedFrame)
                        frameStartTimes[frame] = time / kNsPerS;
                    startedFrame = frame;
                    return line < imageHeight ? tables.kept : tables.dropped;
                };
            },
            [&](uint32_t frame, uint32_t lines, double time) {
                linesInFrame[frame] = lines;
                frameMarkerTimes[frame] = time / kNsPerS;
                mainWindow->AddMessage(MessageNormal, QStringLiteral("%1: %2").arg(frame + 1).arg(time / kNsPerS, 0, 'f', 6));
            });
    });
    FinishPass();
    MakeReadyImages();
    reconstructed = true;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Images reconstructed"));

    syncPeriod = file->SyncPeriod();
    mainWindow->SetImageTauBinSize(file->Resolution(), file->SyncPeriod());
    lifetimeBinWidth = mainWindow->GetIStaubinsize();
    BinLifetimes(lifetimeBinWidth);
    CheckImages();
    FindMinMax();
    CalculateStats();
    BuildInfoText();
}

void ImageScan::CheckImages()
{
    if (Refuses("CheckImages") || !gathered || stackChecked)
        return;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Checking images..."));
    imagesRemoved = 0;
    const uint32_t F0 = numberOfFrames;
    mainWindow->SetProgress(0);
    LetEventsRun();

    // Frames with every line are moved down over the removed ones, so the
    // kept frames stay in file order and the work is one pass over the stack.
    const std::size_t n = pixelsPerImage;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < F0; ++i) {
        if (FrameKept(i)) {
            if (kept != i) {
                for (uint32_t c = 0; c < numberOfChannels; ++c) {
                    if (photonCounts[c] == 0 || n == 0)
                        continue;
                    uint16_t *data = images[c].data();
                    std::memmove(data + kept * n, data + i * n, n * sizeof(uint16_t));
                }
                frameStartTimes[kept] = frameStartTimes[i];
                frameMarkerTimes[kept] = frameMarkerTimes[i];
            }
            ++kept;
        } else {
            ++imagesRemoved;
        }
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(i) / F0 * 100));
        LetEventsRun();
    }
    numberOfFrames = kept;
    totalPixels = pixelsPerImage * kept;
    for (uint32_t c = 0; c < numberOfChannels; ++c)
        if (photonCounts[c] != 0)
            images[c].resize(totalPixels);
    frameStartTimes.resize(kept);
    frameMarkerTimes.resize(kept);
    stackChecked = true;
    mainWindow->SetProgress(100);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Images checked"));
}

void ImageScan::CalculateStats()
{
    if (!BeginStats())
        return;

    const std::size_t n = pixelsPerImage;
    const uint32_t F = numberOfFrames;
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        std::vector<double> &mean = meanImages[c];
        std::vector<double> &variance = varianceImages[c];
        mean.assign(n, 0);
        variance.assign(n, 0);
        timeCourse[c].assign(F, 0);
        RowStatistics(images[c].data(), n, F, mean, variance, timeCourse[c]);
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculated stats"));
}

void ImageScan::BuildInfoText()
{
    if (!BeginInfoText())
        return;
    infoText += LabelValueLine(QStringLiteral("Image Height"), QString::number(imageHeight));
    infoText += LabelValueLine(QStringLiteral("Orignal Number of Images"), QString::number(numberOfFrames + imagesRemoved));
    infoText += LabelValueLine(QStringLiteral("Number of Images removed"), QString::number(imagesRemoved));
    infoText += LabelValueLine(QStringLiteral("Final Number of Images"), QString::number(numberOfFrames));
    if (file->areaImage && file->numberOfFrames == 1)
        infoText += LabelValueLine(QStringLiteral("One frame image"),
                             QStringLiteral("area image (ImgHdr_Dimensions 3) of %1 lines (ImgHdr_PixY)").arg(imageHeight));
    infoText += RecoveredFrameLines();
    infoText += LabelValueLine(QStringLiteral("Line nSync"), QString::number(lineNSync));
    infoText += LabelValueLine(QStringLiteral("Line Time"), QString::number(lineTime / 1e6, 'f', 6) + QStringLiteral(" ms"));
    infoText += PixelTimeLine();
    infoText += LabelValueLine(QStringLiteral("Line Sampling Period"),
                         QString::number(1000 * lineSamplingPeriod, 'f', 6) + QStringLiteral(" ms"));
    // With fewer than two frames there is no frame-to-frame period: 0.
    const double imagePeriod =
        frameStartTimes.size() >= 2 ? 1000 * (frameStartTimes[1] - frameStartTimes[0]) : 0.0;
    infoText += LabelValueLine(QStringLiteral("Image Sampling Period"), QString::number(imagePeriod, 'f', 6) + QStringLiteral(" ms"));
    FinishInfoText();
}

bool ImageScan::FrameKept(uint32_t frame) const
{
    return frame < linesInFrame.size() && linesInFrame[frame] == imageHeight;
}
