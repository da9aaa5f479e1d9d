#include "scans/ImageScan.h"

#include "app/FotonelServices.h"
#include "files/T3RecordCursor.h"

#include <QObject>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace {
// 2^30 16-bit counts (2 GiB) over all channels: larger stacks come only from
// absurd header values (image width, line or frame counts).
constexpr double kMaxStackPixels = 1073741824.0;
constexpr double kNsPerS = 1e9;
// Channels are 4 bits wide; the tables of the photon pass are indexed by them.
constexpr uint32_t kChannelSlots = 16;

// What a photon of a channel does at the current place in the frame.
enum PhotonRole : uint8_t {
    Skipped = 0,  // outside a line, or a channel the file does not have
    Timed = 1,    // moves lastPhotonTime only
    Placed = 2,   // moves lastPhotonTime and is placed when it passes gate, cursors and pixel
};

// What the photon pass needs of one channel, kept together in one cache line.
struct alignas(64) ChannelSlot {
    uint16_t *stack;
    uint32_t *delays;        // placed photons per dtime value
    const uint8_t *inGate;   // per dtime value: 1 when its delay lies inside the gate
    double cursorMin, cursorMax;  // ns, inclusive
    PhotonRole role;
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
    delayCounts.assign(numberOfChannels, std::vector<uint32_t>());
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
        delayCounts[c].assign(kDelayBins, 0);
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

    // Per 4-bit channel value, one table for each place a photon can meet:
    // outside a line nothing counts; inside a line every channel of the file
    // moves lastPhotonTime, and usable ones (active, with a gate and cursors)
    // are placed while the line lies below H. Channel 0 and channels above
    // the file's count are skipped everywhere.
    ChannelSlot outsideLine[kChannelSlots] = {};
    ChannelSlot droppedLine[kChannelSlots] = {};
    ChannelSlot keptLine[kChannelSlots] = {};
    // The gate test of each dtime value, on the delay the record cursor gives it.
    const double resolution = file->Resolution();
    std::vector<uint8_t> gateTable(static_cast<std::size_t>(numberOfChannels) * kDelayBins, 0);
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        droppedLine[ch].role = Timed;
        keptLine[ch].role = Timed;
        if (photonCounts[c] == 0 || c >= gateMin.size() || c >= gateMax.size() || c >= cursorMin.size() ||
            c >= cursorMax.size())
            continue;
        ChannelSlot &slot = keptLine[ch];
        slot.role = Placed;
        slot.stack = images[c].data();
        slot.delays = delayCounts[c].data();
        uint8_t *inGate = gateTable.data() + static_cast<std::size_t>(c) * kDelayBins;
        for (uint32_t k = 0; k < kDelayBins; ++k) {
            const double d = k * resolution;
            inGate[k] = !(d < gateMin[c] || d > gateMax[c]);
        }
        slot.inGate = inGate;
        slot.cursorMin = cursorMin[c];
        slot.cursorMax = cursorMax[c];
    }

    // A fresh cursor counts overflows from record 0: its times, and so the
    // cursor ranges set below, are true measurement times.
    T3RecordCursor first(*mainWindow, *file);
    ToFirstFrameMarker(first);
    // The walk goes on with a copy whose address never leaves this function,
    // so the compiler keeps its fields in registers and drops the work for
    // the fields this pass does not read.
    T3RecordCursor cursor(first);
    firstFrameTime = cursor.truetime;
    double lastTime = firstFrameTime;
    mainWindow->SetProgress(0);

    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    const double width = W;
    const double clock = lineTime;
    std::size_t frameOffset = 0;  // f x W x H
    uint32_t frame = 0;
    while (frame < F) {
        // The records of one frame, up to its marker. Nothing in this loop
        // calls out, so its state stays in registers (a call would cost every
        // xmm register); photons, the vast majority, are dealt with first.
        std::size_t lineOffset = frameOffset;  // f x W x H + line x W, valid while line < H
        uint32_t line = 0;
        bool frameHasLine = false;
        const ChannelSlot *table = outsideLine;
        double lineStart = 0;
        double last = lastTime;
        bool closed = false;
        while (cursor.Next()) {
            if (cursor.marker == PHOTON_MARKER) {
                const ChannelSlot &slot = table[cursor.channel];
                if (slot.role == Skipped)
                    continue;
                const double t = cursor.truetime;
                last = t;
                if (slot.role != Placed || !slot.inGate[cursor.dtime] || t < slot.cursorMin || t > slot.cursorMax)
                    continue;
                // Pixel clock of the first line; x = W (the offset equals lineTime) is dropped.
                const double x = width * (t - lineStart) / clock;
                if (!(x >= 0 && x < width))
                    continue;
                uint16_t &count = slot.stack[lineOffset + static_cast<uint32_t>(x)];
                if (count != UINT16_MAX)  // saturate rather than wrap to 0
                    ++count;
                ++slot.delays[cursor.dtime];
                continue;
            }
            if (cursor.marker == 2) {
                ++line;
                table = outsideLine;
            } else if (cursor.marker == 1) {
                lineStart = cursor.truetime;
                lineOffset = frameOffset + static_cast<std::size_t>(line) * W;
                if (!frameHasLine)
                    frameStartTimes[frame] = cursor.truetime / kNsPerS;
                table = line < H ? keptLine : droppedLine;
                frameHasLine = true;
            } else if (cursor.marker == 4) {
                closed = true;
                break;
            }
        }
        lastTime = last;
        if (!closed)
            break;
        linesInFrame[frame] = line;
        frameMarkerTimes[frame] = cursor.truetime / kNsPerS;
        ++frame;
        mainWindow->AddMessage(MessageNormal, QStringLiteral("%1: %2").arg(frame).arg(cursor.truetime / kNsPerS, 0, 'f', 6));
        mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame) / F * 100));
        LetEventsRun();
        frameOffset += pixelsPerImage;
    }
    lastPhotonTime = lastTime;

    if (resetCursors) {
        mainWindow->SetCursorRanges(firstFrameTime / kNsPerS, lastPhotonTime / kNsPerS);
        resetCursors = false;
    }
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        const std::vector<uint32_t> &counts = delayCounts[c];
        const uint32_t n = std::accumulate(counts.begin(), counts.end(), 0u);
        photonCount[c] = n;
        gatedPhotonCount[c] = n;
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
    BinDelayTimes(binWidth, syncPeriod, file->Resolution(), photonCounts, delayCounts, lifetimeAxis, lifetimeHistograms);
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
