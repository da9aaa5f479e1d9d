#include "scans/RSD.h"

#include "app/FotonelServices.h"
#include "files/T3RecordCursor.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <cmath>

namespace {
// dtime has 12 bits, so no delay histogram needs more bins than a few
// thousand; this bound only stops absurd widths from allocating gigabytes.
constexpr double kMaxLifetimeBins = 4194304.0;
// Progress and events every this many delays.
constexpr std::size_t kDelayChunk = 10000;
} // namespace

void RSD::Init(FotonelServices &window, pqFile &photonFile)
{
    mainWindow = &window;
    file = &photonFile;
    gathered = false;
    reconstructed = false;
    resetCursors = true;
}

void RSD::ReconstructImages()
{
    if (mainWindow)
        mainWindow->AddMessage(MessageNormal, QObject::tr("RSD::ReconstructImages"));
}

void RSD::GatherInformation()
{
    if (mainWindow)
        mainWindow->AddMessage(MessageNormal, QObject::tr("RSD::GatherInformation"));
}

void RSD::WriteImages(int, int)
{
    if (mainWindow)
        mainWindow->AddMessage(MessageNormal, QObject::tr("RSD::WriteImages"));
}

void RSD::CreateTabs()
{
}

bool RSD::CursorSpan(double &, double &) const
{
    return false;
}

void RSD::LetEventsRun()
{
    insideLoop = true;
    mainWindow->ProcessEvents();
    insideLoop = false;
}

bool RSD::Refuses(const char *operation)
{
    if (!mainWindow || !file)
        return true;
    if (insideLoop) {
        mainWindow->AddMessage(MessageWarning,
                               QObject::tr("%1 ignored: the analysis is still running").arg(QString::fromLatin1(operation)));
        return true;
    }
    return false;
}

bool RSD::ToFirstFrameMarker(T3RecordCursor &cursor)
{
    if (cursor.index == 0 && cursor.recordCount > 0 && cursor.marker == 4)
        return true;
    return cursor.NextWithMarker(4);
}

bool RSD::CheckBinWidth(double width)
{
    if (std::isfinite(width) && width > 0)
        return true;
    mainWindow->AddMessage(MessageError, QObject::tr("Invalid bin width %1 ns").arg(width));
    return false;
}

bool RSD::BinDelayTimes(double width, double syncPeriod, const std::vector<uint32_t> &photonCounts,
                        const std::vector<std::vector<double>> &delayTimes, std::vector<double> &axis,
                        std::vector<std::vector<double>> &histograms)
{
    if (!CheckBinWidth(width))
        return false;
    if (!(std::isfinite(syncPeriod) && syncPeriod > 0)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid sync period %1 ns").arg(syncPeriod));
        return false;
    }
    const double bins = std::ceil(syncPeriod / width);
    if (bins > kMaxLifetimeBins) {
        mainWindow->AddMessage(MessageError,
                               QObject::tr("Too many lifetime bins %1 for bin width %2 ns").arg(bins, 0, 'f', 0).arg(width));
        return false;
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binning Life Time Data..."));

    // N bins of which the last is a guard for delays at or beyond (N - 1) x width.
    const uint32_t N = static_cast<uint32_t>(bins);
    const uint32_t M = N - 1;
    const double kept = M;
    axis.resize(M);
    for (uint32_t i = 0; i < M; ++i)
        axis[i] = 0.5 * width + i * width;

    const std::size_t channels = photonCounts.size();
    histograms.assign(channels, std::vector<double>());
    for (std::size_t c = 0; c < channels; ++c)
        if (photonCounts[c] != 0)
            histograms[c].assign(N, 1e-12);

    for (std::size_t c = 0; c < channels && c < delayTimes.size(); ++c) {
        if (photonCounts[c] == 0)
            continue;
        mainWindow->SetProgress(0);
        double *bin = histograms[c].data();
        const double *d = delayTimes[c].data();
        const std::size_t count = delayTimes[c].size();
        for (std::size_t start = 0; start < count; start += kDelayChunk) {
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(start) / count * 100));
            LetEventsRun();
            const std::size_t stop = std::min(count, start + kDelayChunk);
            for (std::size_t i = start; i < stop; ++i) {
                // floor(q) < M is q < M for q >= 0; negative or NaN delays
                // (a damaged resolution) land in the guard bin.
                const double q = d[i] / width;
                if (q >= 0 && q < kept)
                    bin[static_cast<uint32_t>(q)] += 1;
                else
                    bin[M] += 1;
            }
        }
        mainWindow->SetProgress(100);
    }
    for (auto &h : histograms)
        if (!h.empty())
            h.resize(M);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binned Life Time Data"));
    return true;
}
