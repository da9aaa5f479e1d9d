#include "scans/RSD.h"

#include "host/FotonelServices.h"
#include "files/HeaderChecks.h"
#include "files/pqFile.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <cmath>

namespace {
// dtime has 12 bits, so no delay histogram needs more bins than a few
// thousand; this bound only stops absurd widths from allocating gigabytes.
constexpr double kMaxLifetimeBins = HeaderChecks::kMaxLifetimeBins;
} // namespace

void RSD::Init(FotonelServices &window, pqFile &photonFile)
{
    mainWindow = &window;
    file = &photonFile;
    gathered = false;
    reconstructed = false;
    resetCursors = true;
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

bool RSD::CheckBinWidth(double width)
{
    if (std::isfinite(width) && width > 0)
        return true;
    mainWindow->AddMessage(MessageError, QObject::tr("Invalid bin width %1 ns").arg(width));
    return false;
}

bool RSD::ReadFileConstants(uint32_t &channels, double &sync, double &resolution)
{
    if (!file->scanned)
        file->ScanRecords();
    const int count = file->NumberOfChannels();
    if (count < 1 || count > 14) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid number of channels %1").arg(count));
        return false;
    }
    sync = file->SyncPeriod();
    resolution = file->Resolution();
    if (!(std::isfinite(sync) && sync > 0)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid sync period %1 ns").arg(sync));
        return false;
    }
    if (!(std::isfinite(resolution) && resolution > 0)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid resolution %1 ns").arg(resolution));
        return false;
    }
    channels = static_cast<uint32_t>(count);
    delayBins = file->DelayBins();
    return true;
}

uint32_t RSD::CopyPhotonCounts(uint32_t channels, std::vector<uint32_t> &photonCounts) const
{
    photonCounts.assign(channels, 0);
    uint32_t active = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        photonCounts[c] = c < file->photonsPerChannel.size() ? file->photonsPerChannel[c] : 0;
        if (photonCounts[c] != 0)
            ++active;
    }
    return active;
}

void RSD::FillGateTable(uint8_t *inGate, uint32_t count, double resolution, double gateMin, double gateMax)
{
    for (uint32_t k = 0; k < count; ++k) {
        const double d = k * resolution;
        inGate[k] = !(d < gateMin || d > gateMax);
    }
}

bool RSD::GateRange(const uint8_t *inGate, uint32_t count, uint32_t &low, uint32_t &high)
{
    const uint8_t *end = inGate + count;
    const uint8_t *first = std::find(inGate, end, 1);
    const uint8_t *beyond = std::find(first, end, 0);
    low = first == end ? 1 : static_cast<uint32_t>(first - inGate);
    high = first == end ? 0 : static_cast<uint32_t>(beyond - inGate) - 1;
    return std::find(beyond, end, 1) == end;
}

bool RSD::EnsureGathered()
{
    if (!gathered)
        GatherInformation();
    return gathered;
}

bool RSD::EnsureReconstructed()
{
    if (!reconstructed)
        ReconstructImages();
    return reconstructed;
}

bool RSD::RefusesExport()
{
    if (!analysisFailed)
        return false;
    mainWindow->AddMessage(MessageError, QObject::tr("Nothing exported: the analysis of this file reported an error"));
    return true;
}

double RSD::AddOnes(double start, uint64_t n)
{
    double s = start;
    while (n > 0) {
        // From 1 up to 2^53 the spacing of doubles is at most 1, so inside one
        // binade [2^(e-1), 2^e) every +1 is exact: take all those steps at
        // once. Only the step that crosses into the next binade rounds.
        if (s >= 1 && s < 9007199254740992.0) {
            int e = 0;
            std::frexp(s, &e);
            const double room = std::ldexp(1.0, e) - s;  // exact: s lies within a factor 2 of 2^e
            const uint64_t exactSteps = std::min<uint64_t>(static_cast<uint64_t>(std::ceil(room)) - 1, n);
            s += static_cast<double>(exactSteps);
            n -= exactSteps;
            if (n == 0)
                break;
        }
        s += 1;
        --n;
    }
    return s;
}

void RSD::BinLifetimes(double binWidth)
{
    if (Refuses("BinLifetimes") || !CheckBinWidth(binWidth))
        return;
    lifetimeBinWidth = LifetimeBin(binWidth);
    if (!EnsureReconstructed())
        return;
    BinDelayTimes(lifetimeBinWidth);
}

uint32_t RSD::DelaySteps(double width) const
{
    const double steps = std::round(width / file->Resolution());
    return steps >= 1 && steps <= double(UINT32_MAX) ? static_cast<uint32_t>(steps) : (steps >= 1 ? UINT32_MAX : 1u);
}

double RSD::LifetimeBin(double requested)
{
    if (!mainWindow || !file)
        return requested;
    const double resolution = file->Resolution();
    if (!(std::isfinite(requested) && requested > 0) || !(std::isfinite(resolution) && resolution > 0))
        return requested;
    const uint32_t steps = DelaySteps(requested);
    const double multiple = steps * resolution;
    // The boxes show five decimals: a value they show as a whole number of
    // steps already is one and is used as it is (the bins are whole numbers
    // of steps either way). Another becomes the multiple as its box shows it,
    // so pressing the button again bins the same.
    if (std::abs(multiple - requested) < 0.5e-5)
        return requested;
    const double width = mainWindow->ShowTauBinSize(file->ScanType, multiple);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Lifetime bin %1 ns used as %2 ns (%3 x %4 ns, the delay resolution)")
                                              .arg(requested)
                                              .arg(width)
                                              .arg(steps)
                                              .arg(resolution));
    return width;
}

bool RSD::BinDelayTimes(double width)
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
    const uint32_t steps = DelaySteps(width);
    std::vector<double> &axis = lifetimeAxis;
    std::vector<std::vector<double>> &histograms = lifetimeHistograms;
    axis.resize(M);
    for (uint32_t i = 0; i < M; ++i)
        axis[i] = 0.5 * width + i * width;

    const std::size_t channels = photonCounts.size();
    histograms.assign(channels, std::vector<double>());
    for (std::size_t c = 0; c < channels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        mainWindow->SetProgress(0);
        LetEventsRun();
        // Whole photon counts first (exact in a double), then the value the
        // bin reaches from 1e-12 when its photons are added one at a time.
        std::vector<double> &bin = histograms[c];
        bin.assign(N, 0);
        if (c < delayCounts.size()) {
            const uint32_t *n = delayCounts[c].data();
            const std::size_t values = delayCounts[c].size();
            for (uint32_t k = 0; k < values; ++k) {
                if (n[k] == 0)
                    continue;
                // Whole steps: a quotient of the two delays in floating point
                // can land just below a whole number and move a dtime value
                // into the bin before its own.
                const uint32_t b = k / steps;
                bin[b < M ? b : M] += n[k];
            }
        }
        for (double &b : bin)
            b = AddOnes(1e-12, static_cast<uint64_t>(b));
        bin.resize(M);
        mainWindow->SetProgress(100);
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binned Life Time Data"));
    return true;
}
