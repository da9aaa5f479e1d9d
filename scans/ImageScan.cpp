#include "scans/ImageScan.h"

#include "app/FotonelServices.h"
#include "files/T3RecordCursor.h"

#include <QObject>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
// 2^30 16-bit counts (2 GiB) over all channels: larger stacks come only from
// absurd header values (image width, line or frame counts).
constexpr double kMaxStackPixels = 1073741824.0;
constexpr double kNsPerS = 1e9;
// Channels are 4 bits wide; the tables of the photon pass are indexed by them.
constexpr uint32_t kChannelSlots = 16;

// What the photon pass needs of one channel, kept together in one cache line.
struct ChannelSlot {
    uint16_t *stack;
    double *delays;
    double gateMin, gateMax;      // ns, inclusive
    double cursorMin, cursorMax;  // ns, inclusive
    uint32_t placed;
    bool real;    // a channel of the file: moves lastPhotonTime
    bool usable;  // active, with a gate and cursors: placed
};

QString InfoLine(const QString &label, const QString &value)
{
    return QStringLiteral("%1 : %2\n").arg(label, 25).arg(value);
}
} // namespace

void ImageScan::Init(FotonelServices &window, pqFile &photonFile)
{
    RSD::Init(window, photonFile);
    infoText.clear();
}

bool ImageScan::CursorSpan(double &start, double &end) const
{
    if (!reconstructed)
        return false;
    start = firstFrameTime / kNsPerS;
    end = lastPhotonTime / kNsPerS;
    return true;
}

void ImageScan::GatherInformation()
{
    if (gathered || Refuses("GatherInformation"))
        return;
    infoText.clear();
    if (!file->scanned)
        file->ScanRecords();

    const int channels = file->NumberOfChannels();
    if (channels < 1 || channels > 14) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid number of channels %1").arg(channels));
        return;
    }
    const double sync = file->SyncPeriod();
    const double resolution = file->Resolution();
    if (!(std::isfinite(sync) && sync > 0)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid sync period %1 ns").arg(sync));
        return;
    }
    if (!(std::isfinite(resolution) && resolution > 0)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid resolution %1 ns").arg(resolution));
        return;
    }

    // The first line after the first frame marker sets the pixel clock of
    // every line. Only differences are taken, so the overflow reset does not
    // change them.
    T3RecordCursor cursor(*mainWindow, *file);
    bool found = ToFirstFrameMarker(cursor);
    double lineStart = 0;
    uint64_t lineStartSync = 0;
    if (found) {
        cursor.ResetOverflow();
        found = cursor.NextWithMarker(1);
    }
    if (found) {
        lineStart = cursor.truetime;
        lineStartSync = cursor.truensync;
        found = cursor.NextWithMarker(2);
    }
    lineTime = 0;
    lineNSync = 0;
    if (found) {
        lineTime = cursor.truetime - lineStart;
        lineNSync = static_cast<uint32_t>(cursor.truensync) - static_cast<uint32_t>(lineStartSync);
    }
    const bool lineFound = found && std::isfinite(lineTime) && lineTime > 0;

    int width = mainWindow->GetISImageWidthcheck() == Qt::Checked ? mainWindow->GetISImageWidth() : file->ImageWidth();
    if (width <= 0) {
        // Files without imaging items carry no width; the override box decides.
        width = mainWindow->GetISImageWidth();
        if (width <= 0)
            width = 32;
        mainWindow->AddMessage(MessageWarning,
                               QObject::tr("No image width in the file header: using %1 pixels per line "
                                           "(the image width override changes it)").arg(width));
    }
    imageWidth = static_cast<uint32_t>(width);
    imageHeight = file->linesPerFrame;
    numberOfFrames = file->numberOfFrames;
    numberOfChannels = static_cast<uint32_t>(channels);
    if (!lineFound) {
        // Without a measured line no photon has a pixel: keep no frames.
        mainWindow->AddMessage(MessageError, QObject::tr("No complete line found after the first frame marker"));
        numberOfFrames = 0;
    }

    photonCounts.assign(numberOfChannels, 0);
    activeChannelCount = 0;
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        photonCounts[c] = c < file->photonsPerChannel.size() ? file->photonsPerChannel[c] : 0;
        if (photonCounts[c] != 0)
            ++activeChannelCount;
    }

    const double frame = static_cast<double>(imageWidth) * imageHeight;
    const double stack = frame * std::max<uint32_t>(numberOfFrames, 1) * std::max<uint32_t>(activeChannelCount, 1);
    if (stack > kMaxStackPixels) {
        mainWindow->AddMessage(MessageError, QObject::tr("Image stack of %1 x %2 x %3 pixels is too large")
                                                 .arg(imageWidth).arg(imageHeight).arg(numberOfFrames));
        return;
    }
    pixelsPerImage = imageWidth * imageHeight;
    framesInFile = numberOfFrames;

    const std::vector<std::vector<double>> noDoubles(numberOfChannels);
    images.assign(numberOfChannels, std::vector<uint16_t>());
    delayTimes = noDoubles;
    meanImages = noDoubles;
    varianceImages = noDoubles;
    timeCourse = noDoubles;
    lifetimeHistograms = noDoubles;
    lifetimeAxis.clear();
    photonCount.assign(numberOfChannels, 0);
    gatedPhotonCount.assign(numberOfChannels, 0);
    minimum.assign(numberOfChannels, 65536);
    maximum.assign(numberOfChannels, 0);
    imagesRemoved = 0;
    RestoreFullStack();

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
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        images[c].assign(totalPixels, 0);
        delayTimes[c].resize(photonCounts[c]);
    }
    stackChecked = false;
}

void ImageScan::ReconstructImages()
{
    if (reconstructed || Refuses("ReconstructImages"))
        return;
    if (!gathered)
        GatherInformation();
    if (!gathered)
        return;

    std::vector<double> gateMin, gateMax, cursorMin, cursorMax;
    mainWindow->GetGating(gateMin, gateMax);
    mainWindow->GetCursors(cursorMin, cursorMax, kNsPerS);

    lineSamplingPeriod = 0;
    {
        T3RecordCursor cursor(*mainWindow, *file);
        if (ToFirstFrameMarker(cursor) && cursor.NextWithMarker(1)) {
            const double firstStart = cursor.truetime;
            if (cursor.NextWithMarker(1))
                lineSamplingPeriod = (cursor.truetime - firstStart) / kNsPerS;
        }
    }

    // A later pass (cursor apply) starts again from every frame of the file,
    // not from the frames the previous check left.
    RestoreFullStack();

    // Per 4-bit channel value: real channels move lastPhotonTime; usable ones
    // (active, with a gate and cursors) are placed. Everything else, channel 0
    // and channels above the file's count, is skipped untouched.
    ChannelSlot channelTable[kChannelSlots] = {};
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        ChannelSlot &slot = channelTable[ch];
        slot.real = true;
        if (photonCounts[c] == 0 || c >= gateMin.size() || c >= gateMax.size() || c >= cursorMin.size() ||
            c >= cursorMax.size())
            continue;
        slot.usable = true;
        slot.stack = images[c].data();
        slot.delays = delayTimes[c].data();
        slot.gateMin = gateMin[c];
        slot.gateMax = gateMax[c];
        slot.cursorMin = cursorMin[c];
        slot.cursorMax = cursorMax[c];
    }

    // A fresh cursor counts overflows from record 0: its times, and so the
    // cursor ranges set below, are true measurement times.
    T3RecordCursor cursor(*mainWindow, *file);
    ToFirstFrameMarker(cursor);
    firstFrameTime = cursor.truetime;
    double lastTime = firstFrameTime;
    mainWindow->SetProgress(0);

    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    const double width = W;
    const double clock = lineTime;
    std::size_t frameOffset = 0;  // f x W x H
    std::size_t lineOffset = 0;   // f x W x H + line x W, valid while line < H
    uint32_t frame = 0, line = 0;
    bool inLine = false, frameHasLine = false;
    bool lineKept = false;  // in a line, and the line is below H
    double lineStart = 0;
    while (frame < F && cursor.Next()) {
        if (cursor.marker == PHOTON_MARKER) {
            if (!inLine)
                continue;
            ChannelSlot &slot = channelTable[cursor.channel];
            if (!slot.real)
                continue;
            const double t = cursor.truetime;
            lastTime = t;
            if (!(lineKept && slot.usable))
                continue;
            const double d = cursor.delaytime;
            if (d < slot.gateMin || d > slot.gateMax || t < slot.cursorMin || t > slot.cursorMax)
                continue;
            // Pixel clock of the first line; x = W (the offset equals lineTime) is dropped.
            const double x = width * (t - lineStart) / clock;
            if (!(x >= 0 && x < width))
                continue;
            uint16_t &count = slot.stack[lineOffset + static_cast<uint32_t>(x)];
            if (count != UINT16_MAX)  // saturate rather than wrap to 0
                ++count;
            slot.delays[slot.placed++] = d;
            continue;
        }
        switch (cursor.marker) {
        case 2:
            ++line;
            inLine = false;
            lineKept = false;
            break;
        case 1:
            lineStart = cursor.truetime;
            lineOffset = frameOffset + static_cast<std::size_t>(line) * W;
            if (!frameHasLine)
                frameStartTimes[frame] = cursor.truetime / kNsPerS;
            inLine = true;
            lineKept = line < H;
            frameHasLine = true;
            break;
        case 4:
            linesInFrame[frame] = line;
            frameMarkerTimes[frame] = cursor.truetime / kNsPerS;
            ++frame;
            mainWindow->AddMessage(MessageNormal,
                                   QStringLiteral("%1: %2").arg(frame).arg(cursor.truetime / kNsPerS, 0, 'f', 6));
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame) / F * 100));
            LetEventsRun();
            line = 0;
            inLine = false;
            lineKept = false;
            frameHasLine = false;
            frameOffset += pixelsPerImage;
            break;
        default:
            break;
        }
    }
    lastPhotonTime = lastTime;

    if (resetCursors) {
        mainWindow->SetCursorRanges(firstFrameTime / kNsPerS, lastPhotonTime / kNsPerS);
        resetCursors = false;
    }
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        const uint32_t n = c + 1 < kChannelSlots ? channelTable[c + 1].placed : 0;
        photonCount[c] = n;
        gatedPhotonCount[c] = n;
        if (photonCounts[c] != 0)
            delayTimes[c].resize(n);
    }
    mainWindow->SetProgress(100);
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

void ImageScan::BinLifetimes(double binWidth)
{
    if (Refuses("BinLifetimes") || !CheckBinWidth(binWidth))
        return;
    lifetimeBinWidth = binWidth;
    if (!reconstructed)
        ReconstructImages();
    if (!reconstructed)
        return;
    BinDelayTimes(binWidth, syncPeriod, photonCounts, delayTimes, lifetimeAxis, lifetimeHistograms);
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
        if (i < linesInFrame.size() && linesInFrame[i] == imageHeight) {
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

void ImageScan::FindMinMax()
{
    minimum.assign(numberOfChannels, 65536);
    maximum.assign(numberOfChannels, 0);
    for (uint32_t c = 0; c < numberOfChannels && c < images.size(); ++c) {
        if (photonCounts[c] == 0 || images[c].empty())
            continue;
        const auto range = std::minmax_element(images[c].begin(), images[c].end());
        minimum[c] = *range.first;
        maximum[c] = *range.second;
    }
}

void ImageScan::CalculateStats()
{
    if (Refuses("CalculateStats"))
        return;
    if (!reconstructed)
        ReconstructImages();
    if (!reconstructed)
        return;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculating stats..."));
    meanImages.assign(numberOfChannels, std::vector<double>());
    varianceImages.assign(numberOfChannels, std::vector<double>());
    timeCourse.assign(numberOfChannels, std::vector<double>());

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
        const uint16_t *data = images[c].data();
        for (uint32_t f = 0; f < F; ++f) {
            const uint16_t *page = data + f * n;
            double sum = 0;
            for (std::size_t p = 0; p < n; ++p) {
                mean[p] += page[p];
                sum += page[p];
            }
            timeCourse[c][f] = n ? sum / n : 0;
        }
        // No frame left: the mean stays 0. Fewer than two frames: no spread, variance 0.
        if (F > 0)
            for (double &m : mean)
                m /= F;
        if (F > 1) {
            for (uint32_t f = 0; f < F; ++f) {
                const uint16_t *page = data + f * n;
                for (std::size_t p = 0; p < n; ++p) {
                    const double d = mean[p] - page[p];
                    variance[p] += d * d;
                }
            }
            for (double &v : variance)
                v /= F - 1;
        }
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculated stats"));
}

void ImageScan::BuildInfoText()
{
    if (!mainWindow)
        return;
    // Rebuilt from scratch so the Summary does not repeat an earlier text.
    infoText.clear();
    const double W = imageWidth;
    infoText += InfoLine(QStringLiteral("Image Width"), QString::number(imageWidth));
    infoText += InfoLine(QStringLiteral("Image Height"), QString::number(imageHeight));
    infoText += InfoLine(QStringLiteral("Orignal Number of Images"), QString::number(numberOfFrames + imagesRemoved));
    infoText += InfoLine(QStringLiteral("Number of Images removed"), QString::number(imagesRemoved));
    infoText += InfoLine(QStringLiteral("Final Number of Images"), QString::number(numberOfFrames));
    infoText += InfoLine(QStringLiteral("Line nSync"), QString::number(lineNSync));
    infoText += InfoLine(QStringLiteral("Line Time"), QString::number(lineTime / 1e6, 'f', 6) + QStringLiteral(" ms"));
    infoText += InfoLine(QStringLiteral("Pixel Time"),
                         QString::number(W > 0 ? lineTime / W / 1000 : 0.0, 'f', 6) + QString::fromUtf8(" µs"));
    infoText += InfoLine(QStringLiteral("Line Sampling Period"),
                         QString::number(1000 * lineSamplingPeriod, 'f', 6) + QStringLiteral(" ms"));
    // With fewer than two frames there is no frame-to-frame period: 0.
    const double imagePeriod =
        frameStartTimes.size() >= 2 ? 1000 * (frameStartTimes[1] - frameStartTimes[0]) : 0.0;
    infoText += InfoLine(QStringLiteral("Image Sampling Period"), QString::number(imagePeriod, 'f', 6) + QStringLiteral(" ms"));
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        infoText += InfoLine(QStringLiteral("Channel %1").arg(c + 1),
                             QStringLiteral("Min = %1, Max = %2, Photon count = %3, Gated photon count = %4")
                                 .arg(minimum[c])
                                 .arg(maximum[c])
                                 .arg(photonCount[c])
                                 .arg(gatedPhotonCount[c]));
    }
    mainWindow->AddSummaryText(infoText);
}

void ImageScan::WriteImages(int exportType, int bitDepth)
{
    if (Refuses("WriteImages"))
        return;
    if (!reconstructed)
        ReconstructImages();
    if (!reconstructed || !file->ExportFolderExists())
        return;
    // The stack, image and raw writers come with the export code.
    (void)exportType;
    (void)bitDepth;
}

void ImageScan::CreateTabs()
{
}
