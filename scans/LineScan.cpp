#include "scans/LineScan.h"

#include "app/FotonelServices.h"
#include "files/T3RecordCursor.h"

#include <QObject>
#include <algorithm>
#include <cmath>

namespace {
// Limits that only absurd header values or bin widths reach.
constexpr double kMaxStackPixels = 1073741824.0;
constexpr double kMaxDelayBins = 4194304.0;
constexpr double kNsPerS = 1e9;
constexpr uint32_t kChannelSlots = 16;

QString InfoLine(const QString &label, const QString &value)
{
    return QStringLiteral("%1 : %2\n").arg(label, 25).arg(value);
}
} // namespace

bool LineScan::CursorSpan(double &start, double &end) const
{
    if (!reconstructed)
        return false;
    start = firstFrameTime / kNsPerS;
    end = lastPhotonTime / kNsPerS;
    return true;
}

void LineScan::GatherInformation()
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

    // The first line after the first frame marker sets the pixel clock.
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

    int width = mainWindow->GetLSImageWidthcheck() == Qt::Checked ? mainWindow->GetLSImageWidth() : file->ImageWidth();
    if (width <= 0) {
        width = mainWindow->GetLSImageWidth();
        if (width <= 0)
            width = 32;
        mainWindow->AddMessage(MessageWarning,
                               QObject::tr("No line width in the file header: using %1 pixels per line "
                                           "(the line width override changes it)").arg(width));
    }
    imageWidth = static_cast<uint32_t>(width);
    imageHeight = file->linesPerFrame;
    numberOfFrames = file->numberOfFrames;
    numberOfChannels = static_cast<uint32_t>(channels);
    if (!lineFound) {
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
    const double block = static_cast<double>(imageWidth) * imageHeight;
    if (block * std::max<uint32_t>(numberOfFrames, 1) * std::max<uint32_t>(activeChannelCount, 1) > kMaxStackPixels) {
        mainWindow->AddMessage(MessageError, QObject::tr("Image stack of %1 x %2 x %3 pixels is too large")
                                                 .arg(imageWidth).arg(imageHeight).arg(numberOfFrames));
        return;
    }
    pixelsPerImage = imageWidth * imageHeight;
    totalPixels = pixelsPerImage * numberOfFrames;

    const std::vector<std::vector<double>> noDoubles(numberOfChannels);
    images.assign(numberOfChannels, std::vector<uint16_t>());
    histogramImages.assign(numberOfChannels, std::vector<uint16_t>());
    histogramBins = 0;
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
    lineStartTimes.assign(imageHeight, 0);
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        images[c].assign(totalPixels, 0);
        delayTimes[c].resize(photonCounts[c]);
    }

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
    if (reconstructed || Refuses("ReconstructImages"))
        return;
    if (!gathered)
        GatherInformation();
    if (!gathered)
        return;

    std::vector<double> gateMin, gateMax, cursorMin, cursorMax;
    mainWindow->GetGating(gateMin, gateMax);
    mainWindow->GetCursors(cursorMin, cursorMax, kNsPerS);

    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        images[c].assign(totalPixels, 0);
        delayTimes[c].resize(photonCounts[c]);
    }
    lineStartTimes.assign(imageHeight, 0);

    // Per 4-bit channel value; channel 0 and channels above the file's
    // count are skipped untouched.
    bool real[kChannelSlots] = {};
    bool usable[kChannelSlots] = {};
    uint16_t *stack[kChannelSlots] = {};
    double *delays[kChannelSlots] = {};
    uint32_t placed[kChannelSlots] = {};
    double gLo[kChannelSlots] = {}, gHi[kChannelSlots] = {}, cLo[kChannelSlots] = {}, cHi[kChannelSlots] = {};
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        real[ch] = true;
        if (photonCounts[c] == 0 || c >= gateMin.size() || c >= gateMax.size() || c >= cursorMin.size() ||
            c >= cursorMax.size())
            continue;
        usable[ch] = true;
        stack[ch] = images[c].data();
        delays[ch] = delayTimes[c].data();
        gLo[ch] = gateMin[c];
        gHi[ch] = gateMax[c];
        cLo[ch] = cursorMin[c];
        cHi[ch] = cursorMax[c];
    }

    // A fresh cursor counts overflows from record 0: true measurement times.
    T3RecordCursor cursor(*mainWindow, *file);
    ToFirstFrameMarker(cursor);
    firstFrameTime = cursor.truetime;
    double lastTime = firstFrameTime;
    mainWindow->SetProgress(0);

    const uint32_t W = imageWidth, H = imageHeight, F = numberOfFrames;
    const double width = W;
    const double clock = lineTime;
    double *startTimes = lineStartTimes.data();
    std::size_t frameOffset = 0;
    std::size_t lineOffset = 0;
    uint32_t frame = 0, line = 0;
    bool inLine = false;
    double lineStart = 0;
    while (frame < F && cursor.Next()) {
        switch (cursor.marker) {
        case PHOTON_MARKER: {
            const uint32_t ch = cursor.channel;
            if (!real[ch])
                break;
            // Every photon, inside a line or not, moves the end of the data span.
            const double t = cursor.truetime;
            lastTime = t;
            if (!inLine || !usable[ch] || line >= H)
                break;
            const double d = cursor.delaytime;
            if (d < gLo[ch] || d > gHi[ch] || t < cLo[ch] || t > cHi[ch])
                break;
            const double x = width * (t - lineStart) / clock;
            if (!(x >= 0 && x < width))
                break;
            uint16_t &count = stack[ch][lineOffset + static_cast<uint32_t>(x)];
            if (count != UINT16_MAX)
                ++count;
            delays[ch][placed[ch]++] = d;
            break;
        }
        case 2:
            ++line;
            inLine = false;
            break;
        case 1:
            lineStart = cursor.truetime;
            lineOffset = frameOffset + static_cast<std::size_t>(line) * W;
            if (line < H)
                startTimes[line] = cursor.truetime / kNsPerS;
            inLine = true;
            break;
        case 4:
            ++frame;
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame) / F * 100));
            LetEventsRun();
            line = 0;
            inLine = false;
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
        const uint32_t n = c + 1 < kChannelSlots ? placed[c + 1] : 0;
        photonCount[c] = n;
        gatedPhotonCount[c] = n;
        if (photonCounts[c] != 0)
            delayTimes[c].resize(n);
    }
    mainWindow->SetProgress(100);
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

void LineScan::BinLifetimes(double binWidth)
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

void LineScan::BuildHistogramImages(double binWidth)
{
    if (Refuses("BuildHistogramImages") || !CheckBinWidth(binWidth))
        return;
    if (!reconstructed)
        ReconstructImages();
    if (!reconstructed)
        return;

    std::vector<double> cursorMin, cursorMax;
    mainWindow->GetCursors(cursorMin, cursorMax, kNsPerS);
    const double bins = std::ceil(file->SyncPeriod() / binWidth);
    if (!(bins <= kMaxDelayBins) ||
        bins * imageWidth * std::max<uint32_t>(activeChannelCount, 1) > kMaxStackPixels) {
        mainWindow->AddMessage(MessageError,
                               QObject::tr("Too many delay bins %1 for bin width %2 ns").arg(bins, 0, 'f', 0).arg(binWidth));
        return;
    }
    const uint32_t N = static_cast<uint32_t>(bins);
    histogramBins = N;
    mainWindow->AddMessage(MessageNormal, QStringLiteral("%1 %2").arg(N).arg(imageWidth));

    bool usable[kChannelSlots] = {};
    uint16_t *hist[kChannelSlots] = {};
    double cLo[kChannelSlots] = {}, cHi[kChannelSlots] = {};
    histogramImages.assign(numberOfChannels, std::vector<uint16_t>());
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        histogramImages[c].assign(static_cast<std::size_t>(imageWidth) * N, 0);
        const uint32_t ch = c + 1;
        if (ch >= kChannelSlots || c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        usable[ch] = true;
        hist[ch] = histogramImages[c].data();
        cLo[ch] = cursorMin[c];
        cHi[ch] = cursorMax[c];
    }

    T3RecordCursor cursor(*mainWindow, *file);
    ToFirstFrameMarker(cursor);
    mainWindow->SetProgress(0);
    LetEventsRun();

    const uint32_t H = imageHeight, F = numberOfFrames;
    const double width = imageWidth;
    const double clock = lineTime;
    const double kept = N;
    uint32_t frame = 0, line = 0;
    bool inLine = false;
    double lineStart = 0;
    while (frame < F && cursor.Next()) {
        switch (cursor.marker) {
        case PHOTON_MARKER: {
            const uint32_t ch = cursor.channel;
            if (!inLine || !usable[ch] || line >= H)
                break;
            const double t = cursor.truetime;
            if (t < cLo[ch] || t > cHi[ch])
                break;
            const double x = width * (t - lineStart) / clock;
            const double b = cursor.delaytime / binWidth;
            if (!(x >= 0 && x < width && b >= 0 && b < kept))
                break;
            uint16_t &count = hist[ch][static_cast<std::size_t>(x) * N + static_cast<uint32_t>(b)];
            if (count != UINT16_MAX)
                ++count;
            break;
        }
        case 2:
            ++line;
            inLine = false;
            break;
        case 1:
            lineStart = cursor.truetime;
            inLine = true;
            break;
        case 4:
            ++frame;
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(frame) / F * 100));
            LetEventsRun();
            line = 0;
            inLine = false;
            break;
        default:
            break;
        }
    }
    mainWindow->SetProgress(100);
}

void LineScan::FindMinMax()
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

void LineScan::CalculateStats()
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
        const uint16_t *data = images[c].data();
        for (uint32_t y = 0; y < H; ++y) {
            const uint16_t *row = data + static_cast<std::size_t>(y) * W;
            double sum = 0;
            for (uint32_t x = 0; x < W; ++x) {
                mean[x] += row[x];
                sum += row[x];
            }
            timeCourse[c][y] = W ? sum / W : 0;
        }
        if (H > 0)
            for (double &m : mean)
                m /= H;
        // Fewer than two lines: no spread, variance 0.
        if (H > 1) {
            for (uint32_t y = 0; y < H; ++y) {
                const uint16_t *row = data + static_cast<std::size_t>(y) * W;
                for (uint32_t x = 0; x < W; ++x) {
                    const double d = mean[x] - row[x];
                    variance[x] += d * d;
                }
            }
            for (double &v : variance)
                v /= H - 1;
        }
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculated stats"));
}

void LineScan::BuildInfoText()
{
    if (!mainWindow)
        return;
    // Rebuilt from scratch so the Summary does not repeat an earlier text.
    infoText.clear();
    const double W = imageWidth;
    infoText += InfoLine(QStringLiteral("Image Width"), QString::number(imageWidth));
    infoText += InfoLine(QStringLiteral("Number of Lines"), QString::number(imageHeight));
    infoText += InfoLine(QStringLiteral("Line nSync"), QString::number(lineNSync));
    infoText += InfoLine(QStringLiteral("Pixel Time"),
                         QString::number(W > 0 ? lineTime / W / 1000 : 0.0, 'f', 6) + QString::fromUtf8(" µs"));
    infoText += InfoLine(QStringLiteral("Line Scan Time"), QString::number(lineTime / 1e6, 'f', 6) + QStringLiteral(" ms"));
    // With fewer than two lines there is no line-to-line period: 0.
    const double linePeriod =
        lineStartTimes.size() >= 2 ? 1000 * (lineStartTimes[1] - lineStartTimes[0]) : 0.0;
    infoText += InfoLine(QStringLiteral("Line Sampling Period"), QString::number(linePeriod, 'f', 6) + QStringLiteral(" ms"));
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

void LineScan::WriteImages(int exportType, int bitDepth)
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

void LineScan::CreateTabs()
{
}
