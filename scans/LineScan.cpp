#include "scans/LineScan.h"

#include "app/FotonelServices.h"
#include "files/T3RecordCursor.h"

#include <QObject>
#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
// Limits that only absurd header values or bin widths reach.
constexpr double kMaxStackPixels = 1073741824.0;
constexpr double kMaxDelayBins = 4194304.0;
constexpr double kNsPerS = 1e9;
constexpr uint32_t kChannelSlots = 16;

// What a photon of a channel does at the current place in the measurement.
enum PhotonRole : uint8_t {
    Skipped = 0,  // a channel the file does not have
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
    lineStartTimes.assign(imageHeight, 0);
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        images[c].assign(totalPixels, 0);
        delayCounts[c].assign(kDelayBins, 0);
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
        delayCounts[c].assign(kDelayBins, 0);
    }
    lineStartTimes.assign(imageHeight, 0);

    // Per 4-bit channel value, one table outside the lines (and in lines
    // beyond H) and one inside the kept lines: every channel of the file
    // moves lastPhotonTime, usable ones (active, with a gate and cursors) are
    // placed inside a kept line. Channel 0 and channels above the file's
    // count are skipped untouched.
    ChannelSlot outsideLine[kChannelSlots] = {};
    ChannelSlot keptLine[kChannelSlots] = {};
    // The gate test of each dtime value, on the delay the record cursor gives it.
    const double resolution = file->Resolution();
    std::vector<uint8_t> gateTable(static_cast<std::size_t>(numberOfChannels) * kDelayBins, 0);
    for (uint32_t ch = 1; ch <= numberOfChannels && ch < kChannelSlots; ++ch) {
        const uint32_t c = ch - 1;
        outsideLine[ch].role = Timed;
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

    // A fresh cursor counts overflows from record 0: true measurement times.
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
    double *startTimes = lineStartTimes.data();
    std::size_t frameOffset = 0;
    uint32_t frame = 0;
    while (frame < F) {
        // The records up to the next frame marker. Nothing in this loop calls
        // out, so its state stays in registers (a call would cost every xmm
        // register); photons, the vast majority, are dealt with first.
        std::size_t lineOffset = frameOffset;
        uint32_t line = 0;
        const ChannelSlot *table = outsideLine;
        double lineStart = 0;
        double last = lastTime;
        bool closed = false;
        while (cursor.Next()) {
            if (cursor.marker == PHOTON_MARKER) {
                const ChannelSlot &slot = table[cursor.channel];
                if (slot.role == Skipped)
                    continue;
                // Every photon, inside a line or not, moves the end of the data span.
                const double t = cursor.truetime;
                last = t;
                if (slot.role != Placed || !slot.inGate[cursor.dtime] || t < slot.cursorMin || t > slot.cursorMax)
                    continue;
                const double x = width * (t - lineStart) / clock;
                if (!(x >= 0 && x < width))
                    continue;
                uint16_t &count = slot.stack[lineOffset + static_cast<uint32_t>(x)];
                if (count != UINT16_MAX)
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
                if (line < H)
                    startTimes[line] = cursor.truetime / kNsPerS;
                table = line < H ? keptLine : outsideLine;
            } else if (cursor.marker == 4) {
                closed = true;
                break;
            }
        }
        lastTime = last;
        if (!closed)
            break;
        ++frame;
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
    BinDelayTimes(binWidth, syncPeriod, file->Resolution(), photonCounts, delayCounts, lifetimeAxis, lifetimeHistograms);
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
