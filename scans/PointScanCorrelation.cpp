#include "scans/PointScan.h"

#include "files/pqFile.h"

#include "host/FotonelServices.h"
#include "scans/CorrelationCounter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <algorithm>
#include <cmath>

namespace {
// Far beyond the form's 99 x 99; keeps a damaged setting from asking for gigabytes.
constexpr double kMaxLagEdges = 1048576.0;

QString Seconds(const QElapsedTimer &timer)
{
    return QString::number(static_cast<double>(timer.elapsed()) / 1000);
}
} // namespace

void PointScan::ComputeCorrelations()
{
    if (Refuses("ComputeCorrelations") || !EnsureReconstructed())
        return;
    const double dtau = mainWindow->GetDtau() * 1000;
    if (!MakeLagGrid(dtau, mainWindow->GetNrbins(), mainWindow->GetNcasc()))
        return;

    const std::size_t N = activeChannels.size();
    // Error bars and fits belong to the curves they were made from.
    correlationErrors.clear();
    fits.clear();
    correlations.resize(N * N);
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            QElapsedTimer timer;
            timer.start();
            const uint32_t from = activeChannels[i];
            const uint32_t to = activeChannels[j];
            Correlate(photonTimes[from], photonTimes[to], correlations[i * N + j], lagEdges);
            mainWindow->AddMessage(MessageNormal, QObject::tr("Correlation function G%1%2 calculated in %3 seconds")
                                                      .arg(from + 1)
                                                      .arg(to + 1)
                                                      .arg(Seconds(timer)));
        }
    }
}

bool PointScan::MakeLagGrid(double dtau, int p, int q)
{
    const double count = static_cast<double>(p) * static_cast<double>(q);
    std::vector<double> edges;
    if (std::isfinite(dtau) && dtau > 0 && p >= 1 && q >= 1 && count >= 2 && count <= kMaxLagEdges) {
        edges.resize(static_cast<std::size_t>(count));
        double step = dtau;
        std::size_t m = 0;
        for (int c = 0; c < q; ++c) {
            for (int n = 0; n < p; ++n, ++m)
                edges[m] = m == 0 ? step : edges[m - 1] + step;
            step = 2 * step;
        }
    }
    // Doubling steps overflow for absurd cascade counts; a grid whose edges
    // do not ascend has bins that hold nothing.
    if (!CorrelationCounter::EdgesUsable(edges)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid correlation lag grid: step %1 ns, %2 lags per cascade, %3 cascades")
                                                 .arg(dtau)
                                                 .arg(p)
                                                 .arg(q));
        return false;
    }
    lagEdges = std::move(edges);
    lagAxis.resize(lagEdges.size() - 1);
    for (std::size_t k = 0; k + 1 < lagEdges.size(); ++k)
        lagAxis[k] = (lagEdges[k] + lagEdges[k + 1]) * 0.5 / millisecondScale;
    return true;
}

void PointScan::Correlate(const std::vector<double> &X, const std::vector<double> &Y, std::vector<double> &G,
                          const std::vector<double> &edges)
{
    CorrelateTimes(X, Y, G, edges);
}

void PointScan::Correlate(const PhotonTimes &X, const PhotonTimes &Y, std::vector<double> &G,
                          const std::vector<double> &edges)
{
    CorrelateTimes(X, Y, G, edges);
}

template <class Times>
void PointScan::CorrelateTimes(const Times &X, const Times &Y, std::vector<double> &G, const std::vector<double> &edges)
{
    mainWindow->AddMessage(MessageNormal, QObject::tr("Calculating Correlation function"));
    if (!CorrelationCounter::EdgesUsable(edges)) {
        mainWindow->AddMessage(MessageError, QObject::tr("Invalid correlation lag edges"));
        G.clear();
        return;
    }
    const std::size_t bins = edges.size() - 1;
    G.assign(bins, 0);
    mainWindow->SetProgress(0);
    LetEventsRun();
    QElapsedTimer timer;
    timer.start();

    // Loop 1: pairs per lag bin, up to the first bin without any.
    const double binCount = static_cast<double>(bins);
    CorrelationCounter counter(
        edges,
        [&](std::size_t k) {
            mainWindow->SetProgress(static_cast<int>(static_cast<double>(k) / binCount * 100));
            LetEventsRun();
        },
        [&] { LetEventsRun(); });
    // Time tags: lags far below a sync period may hold no pair (antibunching).
    counter.CountThroughEmptyBins(file->TimeTags());
    std::vector<uint64_t> pairs;
    const std::size_t K = counter.Count(X.data(), X.size(), Y.data(), Y.size(), pairs);
    if (K < bins)
        mainWindow->AddMessage(MessageNormal, QObject::tr("Bin range exceeds measurement time"));
    mainWindow->AddMessage(MessageNormal, QObject::tr("Loop 1 calculated in %1 seconds").arg(Seconds(timer)));
    mainWindow->SetProgress(100);
    LetEventsRun();
    timer.restart();

    // Loop 2: the photons that can take part at each lag. Y counts from the
    // first photon of X on; X counts the photons that lie a whole lag before
    // the last photon T. (A K of 0 means X or Y may be empty: nothing is read.)
    std::vector<double> nX(K), nY(K);
    const double t0 = K > 0 ? X.front() : 0;
    const double T = K > 0 ? std::max(X.back(), Y.back()) : 0;
    for (std::size_t k = 0; k < K; ++k) {
        const double lo = edges[k];
        const double limit = T - edges[k + 1];
        const auto early = std::partition_point(Y.begin(), Y.end(), [&](double y) { return y - t0 <= lo; });
        nY[k] = static_cast<double>(Y.end() - early);
        nX[k] = static_cast<double>(std::lower_bound(X.begin(), X.end(), limit) - X.begin());
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Loop 2 calculated in %1 seconds").arg(Seconds(timer)));

    // Pairs per photon of X, per photon of Y per unit of lag, against the
    // same for a Poisson stream over the time the bin's lag leaves: 1 when
    // the channels are uncorrelated.
    const double span = T - t0;
    for (std::size_t k = 0; k < K; ++k) {
        const double lo = edges[k];
        const double width = edges[k + 1] - lo;
        const double photons = nX[k] * nY[k];
        // A pair whose x lies exactly a whole lag before T is counted while
        // nX leaves that x out; with no other photon there is nothing to divide by.
        G[k] = photons > 0 ? static_cast<double>(pairs[k]) * (span - lo) / (photons * width) : 0;
    }
}
