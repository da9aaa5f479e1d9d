#include "scans/PointScan.h"

#include "host/FotonelServices.h"
#include "files/AtomicFile.h"
#include "files/pqFile.h"

#include <QObject>
#include <QString>
#include <QTextStream>
#include <QtEndian>
#include <algorithm>
#include <cstring>

namespace {
// 16-bit counts converted and written this many at a time.
constexpr std::size_t kCountsPerWrite = 65536;
} // namespace

bool PointScan::FirstActiveChannel(uint32_t &channel) const
{
    for (uint32_t c = 0; c < photonCounts.size(); ++c) {
        if (photonCounts[c] != 0) {
            channel = c;
            return true;
        }
    }
    return false;
}

bool PointScan::SaveColumns(const QString &name, const std::vector<double> &x, const std::vector<double> &y)
{
    // Written beside the final name and renamed over it once complete, so a
    // failed write leaves the previous file as it was.
    AtomicFile out(name);
    if (!out.Open()) {
        mainWindow->AddMessage(MessageError, QObject::tr("Could not open %1").arg(name));
        return false;
    }
    QTextStream text(&out);
    // The stream's default: 6 significant digits, exponent only when small or large.
    const std::size_t lines = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < lines; ++i)
        text << x[i] << ' ' << y[i] << '\n';
    text.flush();
    if (text.status() != QTextStream::Ok || !out.Commit()) {
        mainWindow->AddMessage(MessageError, QObject::tr("Could not write %1").arg(name));
        return false;
    }
    return true;
}

void PointScan::SaveTraceText()
{
    uint32_t c = 0;
    if (Refuses("SaveTraceText") || !FirstActiveChannel(c))
        return;
    mainWindow->SetProgress(0);
    const QString name = QStringLiteral("%1_trace_ch%2.dat").arg(file->exportBase).arg(c + 1);
    const std::vector<double> none;
    const bool binned = c < traceTimes.size() && c < traceCounts.size();
    if (SaveColumns(name, binned ? traceTimes[c] : none, binned ? traceCounts[c] : none))
        mainWindow->AddMessage(MessageNormal, QObject::tr("Trace saved to %1").arg(name));
}

void PointScan::SaveHistogram()
{
    uint32_t c = 0;
    if (Refuses("SaveHistogram") || !FirstActiveChannel(c))
        return;
    mainWindow->SetProgress(0);
    const QString name = QStringLiteral("%1_histogram_ch%2.dat").arg(file->exportBase).arg(c + 1);
    const std::vector<double> none;
    if (SaveColumns(name, lifetimeAxis, c < lifetimeHistograms.size() ? lifetimeHistograms[c] : none))
        mainWindow->AddMessage(MessageNormal, QObject::tr("Histogram saved to %1").arg(name));
}

void PointScan::SaveTraceBinary()
{
    if (Refuses("SaveTraceBinary"))
        return;
    const double w = mainWindow->GetBinsize() * 1000;  // µs to ns
    // A refused binning leaves the counts of an earlier bin width, which must
    // not go out under this one.
    if (!BinExportTrace(w))
        return;
    for (uint32_t c : activeChannels) {
        mainWindow->SetProgress(0);
        const QString name = QStringLiteral("%1_trace_ch%2.bin").arg(file->exportBase).arg(c + 1);
        AtomicFile out(name);
        if (!out.Open()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Could not open %1").arg(name));
            continue;
        }
        // Bin width in ms as a little-endian IEEE double, then the 16-bit
        // little-endian counts, bin 0 first.
        const double widthMs = w / 1e6;
        uint64_t widthBits = 0;
        std::memcpy(&widthBits, &widthMs, sizeof widthBits);
        uchar head[8];
        qToLittleEndian<quint64>(widthBits, head);
        bool written = out.Write(head, sizeof head);

        const std::vector<uint16_t> &counts = exportCounts[c];
        std::vector<uchar> chunk(2 * kCountsPerWrite);
        for (std::size_t start = 0; written && start < counts.size(); start += kCountsPerWrite) {
            const std::size_t n = std::min(kCountsPerWrite, counts.size() - start);
            for (std::size_t b = 0; b < n; ++b)
                qToLittleEndian<quint16>(counts[start + b], chunk.data() + 2 * b);
            const qint64 bytes = static_cast<qint64>(2 * n);
            written = out.Write(chunk.data(), bytes);
        }
        if (!written || !out.Commit()) {
            mainWindow->AddMessage(MessageError, QObject::tr("Could not write %1").arg(name));
            continue;
        }
        mainWindow->AddMessage(MessageNormal, QObject::tr("Trace saved to %1").arg(name));
    }
}

void PointScan::SaveCorrelations()
{
    if (Refuses("SaveCorrelations"))
        return;
    const std::size_t N = activeChannels.size();
    const std::vector<double> none;
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            mainWindow->SetProgress(0);
            const QString name = QStringLiteral("%1_G_ch%2_ch%3.dat")
                                     .arg(file->exportBase)
                                     .arg(activeChannels[i] + 1)
                                     .arg(activeChannels[j] + 1);
            AtomicFile out(name);
            if (!out.Open()) {
                mainWindow->AddMessage(MessageError, QObject::tr("Could not open %1").arg(name));
                continue;
            }
            const std::vector<double> &G = i * N + j < correlations.size() ? correlations[i * N + j] : none;
            QTextStream text(&out);
            const QChar tab(QLatin1Char('\t'));
            for (std::size_t k = 0; k < lagAxis.size() && k + 1 < lagEdges.size(); ++k) {
                // Bins after the early stop of a curve hold 0.
                text << QString::number(lagEdges[k] / millisecondScale) << tab
                     << QString::number(lagEdges[k + 1] / millisecondScale) << tab << QString::number(lagAxis[k])
                     << tab << QString::number(k < G.size() ? G[k] : 0.0) << '\n';
            }
            text.flush();
            if (text.status() != QTextStream::Ok || !out.Commit()) {
                mainWindow->AddMessage(MessageError, QObject::tr("Could not write %1").arg(name));
                continue;
            }
            mainWindow->AddMessage(MessageNormal, QObject::tr("Correlation function saved to %1").arg(name));
        }
    }
}
