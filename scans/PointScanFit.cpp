// Error bars of the correlation curves from segments of the measurement, and
// model fits of the curves (the numerical work lives in fcs/).
#include "scans/PointScan.h"

#include "files/AtomicFile.h"
#include "files/pqFile.h"
#include "host/FotonelServices.h"
#include "fcs/SegmentStatistics.h"
#include "scans/CorrelationCounter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <functional>

namespace {

/*!
 * \brief G of photon times X[0..nx) ("from") and Y[0..ny) ("to") on \p edges,
 * normalised exactly as the whole-measurement correlation: pairs x (T_tot -
 * lo) / (n_X n_Y width), with t0 the first photon of X and T the last photon
 * of either. Returns the bins with values (the count stops at the first bin
 * without a pair).
 */
std::size_t SegmentCurve(CorrelationCounter &counter, const double *X, std::size_t nx, const double *Y, std::size_t ny,
                         const std::vector<double> &edges, std::vector<double> &G)
{
    std::vector<uint64_t> pairs;
    const std::size_t K = counter.Count(X, nx, Y, ny, pairs);
    G.assign(edges.size() - 1, 0);
    if (K == 0)
        return 0;
    const double t0 = X[0];
    const double T = std::max(X[nx - 1], Y[ny - 1]);
    const double span = T - t0;
    for (std::size_t k = 0; k < K; ++k) {
        const double lo = edges[k];
        const double width = edges[k + 1] - lo;
        const double nY = static_cast<double>(Y + ny - std::partition_point(Y, Y + ny, [&](double y) { return y - t0 <= lo; }));
        const double nX = static_cast<double>(std::lower_bound(X, X + nx, T - edges[k + 1]) - X);
        const double photons = nX * nY;
        G[k] = photons > 0 ? static_cast<double>(pairs[k]) * (span - lo) / (photons * width) : 0;
    }
    return K;
}

QString Number(double v)
{
    return QString::number(v);
}

/// One report line: the label right-aligned in 25 characters.
QString Line(const QString &label, const QString &value)
{
    return QStringLiteral("%1 : %2\n").arg(label, 25).arg(value);
}

QString ValueWithError(double value, double error, const QString &unit)
{
    QString text = QStringLiteral("%1 +- %2").arg(Number(value), Number(error));
    return unit.isEmpty() ? text : text + QLatin1Char(' ') + unit;
}

/// A fitted parameter: value +- covariance error, and the segment scatter when there is one.
QString Fitted(const fcs::FitResult &fit, std::size_t p, const QString &unit)
{
    QString text = ValueWithError(fit.value[p], fit.standardError[p], unit);
    if (fit.segmentFits >= 2)
        text += QStringLiteral(" (segment scatter +- %1)").arg(Number(fit.segmentError[p]));
    return text;
}

/// The measurement inside the cursors (ns): from the latest start to the
/// earliest end of the active channels' cursors, within \p first .. \p last.
void CursorWindow(FotonelServices &host, const std::vector<uint32_t> &channels, double secondScale, double first,
                  double last, double &start, double &end)
{
    std::vector<double> starts, ends;
    host.GetCursors(starts, ends, secondScale);
    start = first;
    end = last;
    double cursorStart = -INFINITY, cursorEnd = INFINITY;
    for (uint32_t c : channels)
        if (c < starts.size() && c < ends.size()) {
            cursorStart = std::max(cursorStart, starts[c]);
            cursorEnd = std::min(cursorEnd, ends[c]);
        }
    start = std::max(start, cursorStart);
    end = std::min(end, cursorEnd);
}

/// The segments of the measurement the error bars come from.
struct Segments {
    /// Per channel, the photon index bounds of every segment (M + 1 of them).
    std::vector<std::vector<std::size_t>> bounds;
    std::vector<double> rates;     ///< kHz, summed over the active channels, per segment
    std::vector<std::size_t> used;  ///< the segments kept
};

/// Splits the photons of the active channels into \p M segments of \p duration
/// ns from \p start: segment s holds the photons with start + s d <= t <
/// start + (s + 1) d, the last one up to \p end. Fills bounds and rates.
Segments SplitIntoSegments(const std::vector<PointScan::PhotonTimes> &photonTimes, const std::vector<uint32_t> &channels,
                           uint32_t channelCount, double start, double end, int M, double duration)
{
    Segments segments;
    segments.bounds.resize(channelCount);
    segments.rates.assign(static_cast<std::size_t>(M), 0);
    for (uint32_t c : channels) {
        const PointScan::PhotonTimes &t = photonTimes[c];
        std::vector<std::size_t> &bounds = segments.bounds[c];
        bounds.resize(static_cast<std::size_t>(M) + 1);
        for (int s = 0; s <= M; ++s) {
            const double edge = s == M ? end : start + s * duration;
            const auto at = s == M ? std::upper_bound(t.begin(), t.end(), edge) : std::lower_bound(t.begin(), t.end(), edge);
            bounds[static_cast<std::size_t>(s)] = static_cast<std::size_t>(at - t.begin());
        }
        for (int s = 0; s < M; ++s)
            segments.rates[static_cast<std::size_t>(s)] += static_cast<double>(bounds[s + 1] - bounds[s]) / duration * 1e6;
    }
    return segments;
}

/// Keeps the segments whose count rate is within \p rejectFactor of the
/// median (all without a factor) in segments.used; a warning for each left out.
void ChooseSegments(Segments &segments, double rejectFactor, FotonelServices &host)
{
    const std::vector<double> &rates = segments.rates;
    const int M = static_cast<int>(rates.size());
    const std::vector<bool> keep = fcs::KeepSegments(rates, rejectFactor);
    std::vector<double> sortedRates = rates;
    std::sort(sortedRates.begin(), sortedRates.end());
    const double median = M % 2 ? sortedRates[M / 2] : (sortedRates[M / 2 - 1] + sortedRates[M / 2]) / 2;
    for (int s = 0; s < M; ++s) {
        if (keep[static_cast<std::size_t>(s)]) {
            segments.used.push_back(static_cast<std::size_t>(s));
            continue;
        }
        host.AddMessage(MessageWarning, QObject::tr("Segment %1 of %2 left out of the error bars: count rate %3 kHz, median %4 kHz")
                                            .arg(s + 1)
                                            .arg(M)
                                            .arg(Number(rates[static_cast<std::size_t>(s)]))
                                            .arg(Number(median)));
    }
}

/*!
 * \brief Every ordered pair (i, j) of active channels correlated in each
 * used segment: the segments' curves into curves[i N + j], their spread per
 * lag bin into errors[i N + j]. Drives the progress bar by segment.
 */
void CorrelateSegments(const std::vector<PointScan::PhotonTimes> &photonTimes, const std::vector<uint32_t> &channels,
                       const std::vector<double> &lagEdges, const Segments &segments, bool throughEmptyBins,
                       FotonelServices &host, const std::function<void()> &letEventsRun,
                       std::vector<std::vector<double>> &errors,
                       std::vector<std::vector<std::vector<double>>> &curvesPerPair)
{
    const std::size_t N = channels.size();
    const std::vector<std::size_t> &used = segments.used;
    const std::size_t bins = lagEdges.size() - 1;
    CorrelationCounter counter(lagEdges, {}, letEventsRun);
    counter.CountThroughEmptyBins(throughEmptyBins);
    errors.assign(N * N, {});
    curvesPerPair.assign(N * N, {});
    std::vector<std::vector<double>> curves(used.size());
    std::vector<std::size_t> reached(used.size());
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            const uint32_t from = channels[i], to = channels[j];
            for (std::size_t u = 0; u < used.size(); ++u) {
                const std::size_t s = used[u];
                const std::size_t x0 = segments.bounds[from][s], x1 = segments.bounds[from][s + 1];
                const std::size_t y0 = segments.bounds[to][s], y1 = segments.bounds[to][s + 1];
                reached[u] = SegmentCurve(counter, photonTimes[from].data() + x0, x1 - x0, photonTimes[to].data() + y0,
                                          y1 - y0, lagEdges, curves[u]);
                host.SetProgress(static_cast<int>(static_cast<double>((i * N + j) * used.size() + u)
                                                  / static_cast<double>(N * N * used.size()) * 100));
                letEventsRun();
            }
            errors[i * N + j] = fcs::SegmentSpread(curves, reached, bins);
            curvesPerPair[i * N + j] = curves;
        }
    }
}

} // namespace

void PointScan::ComputeCorrelationErrors()
{
    if (Refuses("ComputeCorrelationErrors") || !EnsureReconstructed())
        return;
    fitSettings = mainWindow->GetFitSettings();
    SegmentErrors(fitSettings);
}

void PointScan::SegmentErrors(const fcs::FitSettings &settings)
{
    correlationErrors.clear();
    segmentCurves.clear();
    errorSegments = 0;
    const std::size_t N = activeChannels.size();
    if (N == 0 || lagEdges.size() < 2 || correlations.size() != N * N)
        return;

    double start = 0, end = 0;
    CursorWindow(*mainWindow, activeChannels, secondScale, firstTime, lastTime, start, end);
    channelRates.assign(channelCount, 0);
    if (!(end > start))
        return;
    for (uint32_t c : activeChannels)
        channelRates[c] = static_cast<double>(photonTimes[c].size()) / (end - start) * 1e6;  // per ns to kHz

    if (settings.segments <= 1)
        return;
    const int M = settings.segments;
    const double duration = (end - start) / M;
    QElapsedTimer timer;
    timer.start();
    Segments segments = SplitIntoSegments(photonTimes, activeChannels, channelCount, start, end, M, duration);
    ChooseSegments(segments, settings.rejectFactor, *mainWindow);
    if (segments.used.size() < 2) {
        mainWindow->AddMessage(MessageError, QObject::tr("Fewer than two segments left for the error bars"));
        return;
    }
    CorrelateSegments(photonTimes, activeChannels, lagEdges, segments, file->TimeTags(), *mainWindow,
                      [this] { LetEventsRun(); }, correlationErrors, segmentCurves);
    errorSegments = static_cast<int>(segments.used.size());
    mainWindow->SetProgress(100);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Error bars from %1 segments of %2 s calculated in %3 seconds")
                                              .arg(errorSegments)
                                              .arg(Number(duration / secondScale))
                                              .arg(Number(static_cast<double>(timer.elapsed()) / 1000)));
}

void PointScan::FitCorrelations()
{
    if (Refuses("FitCorrelations") || !EnsureReconstructed())
        return;
    fitSettings = mainWindow->GetFitSettings();
    const std::size_t N = activeChannels.size();
    fits.assign(correlations.size(), {});
    if (correlations.size() != N * N || lagAxis.empty()) {
        mainWindow->AddMessage(MessageError, QObject::tr("No correlation curves to fit: calculate them first"));
        return;
    }
    SegmentErrors(fitSettings);
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            const std::size_t k = i * N + j;
            fcs::Curve curve{lagAxis, correlations[k], k < correlationErrors.size() ? correlationErrors[k] : std::vector<double>()};
            fits[k] = fcs::Fit(curve, fitSettings);
            if (k < segmentCurves.size() && fits[k].ok && fits[k].weighted) {
                // A segment's own error is sqrt(M) times that of the whole curve.
                std::vector<fcs::Curve> segments;
                for (const std::vector<double> &G : segmentCurves[k]) {
                    segments.push_back({lagAxis, G, curve.sigma});
                    for (double &s : segments.back().sigma)
                        s *= std::sqrt(static_cast<double>(errorSegments));
                }
                fcs::AddSegmentScatter(fits[k], segments, fitSettings);
            }
            const QString pair = QStringLiteral("G%1%2").arg(activeChannels[i] + 1).arg(activeChannels[j] + 1);
            for (const std::string &w : fits[k].warnings)
                mainWindow->AddMessage(MessageWarning, QObject::tr("Fit of %1: %2").arg(pair, QString::fromStdString(w)));
            if (!fits[k].ok) {
                mainWindow->AddMessage(MessageError, QObject::tr("Fit of %1 refused: %2").arg(pair, QString::fromStdString(fits[k].error)));
                continue;
            }
            mainWindow->AddMessage(MessageNormal, QObject::tr("Fitted %1 with the %2 model: N = %3, tauD = %4 ms, reduced chi square %5")
                                                      .arg(pair, QString::fromLatin1(fcs::ModelName(fits[k].model)))
                                                      .arg(Number(fits[k].value[fcs::N]))
                                                      .arg(Number(fits[k].value[fcs::TauD]))
                                                      .arg(Number(fits[k].reducedChiSquare)));
        }
    }
}

QString PointScan::FitReport(std::size_t k) const
{
    const std::size_t N = activeChannels.size();
    if (k >= fits.size() || !fits[k].ok || N == 0)
        return {};
    const fcs::FitResult &fit = fits[k];
    const uint32_t from = activeChannels[k / N], to = activeChannels[k % N];
    QString text;
    text += Line(QStringLiteral("Correlation"), QStringLiteral("G%1%2").arg(from + 1).arg(to + 1));
    text += Line(QStringLiteral("Model"), QString::fromLatin1(fcs::ModelName(fit.model)));
    text += Line(QStringLiteral("Weights"), fit.weighted ? QStringLiteral("1/sigma^2, sigma from %1 segments").arg(errorSegments)
                                                         : QStringLiteral("uniform (no error bars)"));
    text += Line(QStringLiteral("Fit range"), QStringLiteral("%1 to %2 ms").arg(Number(lagAxis[fit.first]), Number(lagAxis[fit.last])));
    text += Line(QStringLiteral("Points"), QString::number(fit.points));
    text += Line(QStringLiteral("Reduced chi square"), Number(fit.reducedChiSquare));
    text += Line(QStringLiteral("Errors"), fit.segmentFits >= 2
                                               ? QStringLiteral("covariance x reduced chi square; scatter of %1 segment fits")
                                                     .arg(fit.segmentFits)
                                               : QStringLiteral("covariance x reduced chi square"));
    for (std::size_t p = 0; p < fcs::ParameterCount; ++p) {
        if (!fit.used[p])
            continue;
        const QString unit = QString::fromLatin1(fcs::ParameterUnit(p));
        const QString label = QString::fromLatin1(fcs::ParameterName(p));
        if (fit.free[p])
            text += Line(label, Fitted(fit, p, unit));
        else
            text += Line(label, (unit.isEmpty() ? Number(fit.value[p]) : Number(fit.value[p]) + QLatin1Char(' ') + unit)
                                    + QStringLiteral(" (fixed)"));
    }
    const bool cross = from != to;
    const double rateFrom = from < channelRates.size() ? channelRates[from] : 0;
    const double rateTo = to < channelRates.size() ? channelRates[to] : 0;
    const fcs::Derived d = fcs::Derive(fit, fitSettings.w0, rateFrom, rateTo, cross);
    text += Line(QStringLiteral("Count rate ch%1").arg(from + 1), QStringLiteral("%1 kHz").arg(Number(rateFrom)));
    if (cross)
        text += Line(QStringLiteral("Count rate ch%1").arg(to + 1), QStringLiteral("%1 kHz").arg(Number(rateTo)));
    text += Line(QStringLiteral("Brightness"),
                 ValueWithError(d.brightness, d.brightnessError, QStringLiteral("kHz per molecule"))
                     + (cross ? QStringLiteral(" (geometric mean of the ch%1 and ch%2 rates)").arg(from + 1).arg(to + 1)
                              : QStringLiteral(" (ch%1 rate)").arg(from + 1)));
    if (d.focus) {
        text += Line(QStringLiteral("w0"), QStringLiteral("%1 um").arg(Number(fitSettings.w0)));
        text += Line(QStringLiteral("D"), ValueWithError(d.D, d.DError, QStringLiteral("um^2/s")));
        text += Line(QStringLiteral("V_eff"), QStringLiteral("%1 fL").arg(Number(d.volume)));
        text += Line(QStringLiteral("Concentration"), ValueWithError(d.concentration, d.concentrationError, QStringLiteral("nM")));
    }
    return text;
}

void PointScan::SaveFits()
{
    if (Refuses("SaveFits"))
        return;
    const std::size_t N = activeChannels.size();
    for (std::size_t k = 0; k < fits.size() && k < N * N; ++k) {
        const QString name = QStringLiteral("%1_fit_ch%2_ch%3.txt")
                                 .arg(file->exportBase)
                                 .arg(activeChannels[k / N] + 1)
                                 .arg(activeChannels[k % N] + 1);
        if (!fits[k].ok) {
            // No report of an earlier fit may stand for this one.
            QFile::remove(name);
            continue;
        }
        AtomicFile out(name);
        if (!out.Open()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Could not open %1").arg(name));
            continue;
        }
        QTextStream text(&out);
        text << FitReport(k);
        text.flush();
        if (text.status() != QTextStream::Ok || !out.Commit()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Could not write %1").arg(name));
            continue;
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Fit saved to %1").arg(name));
    }
}

void PointScan::SaveCorrelationErrors()
{
    if (Refuses("SaveCorrelationErrors"))
        return;
    const std::size_t N = activeChannels.size();
    if (correlationErrors.size() != N * N || correlations.size() != N * N)
        return;
    const QChar tab(QLatin1Char('\t'));
    for (std::size_t k = 0; k < N * N; ++k) {
        const QString name = QStringLiteral("%1_G_ch%2_ch%3_sd.dat")
                                 .arg(file->exportBase)
                                 .arg(activeChannels[k / N] + 1)
                                 .arg(activeChannels[k % N] + 1);
        AtomicFile out(name);
        if (!out.Open()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Could not open %1").arg(name));
            continue;
        }
        QTextStream text(&out);
        text << "# lag centre (ms)\tG\tsigma of G (" << errorSegments << " segments)\n";
        const std::vector<double> &G = correlations[k];
        const std::vector<double> &sigma = correlationErrors[k];
        for (std::size_t b = 0; b < lagAxis.size(); ++b)
            text << Number(lagAxis[b]) << tab << Number(b < G.size() ? G[b] : 0.0) << tab
                 << Number(b < sigma.size() ? sigma[b] : 0.0) << '\n';
        text.flush();
        if (text.status() != QTextStream::Ok || !out.Commit()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Could not write %1").arg(name));
            continue;
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Correlation errors saved to %1").arg(name));
    }
}
