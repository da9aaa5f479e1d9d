#include "scans/PointScan.h"

#include "host/FotonelServices.h"
#include "files/AtomicFile.h"
#include "files/pqFile.h"

#include <QObject>
#include <QFileInfo>
#include <QStorageInfo>
#include <QString>
#include <QTextStream>
#include <QtEndian>
#include <algorithm>
#include <cstring>

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

void PointScan::SaveLowestChannel(const char *operation, const char *pattern, const QString &saved,
                                  const std::vector<double> *x, const std::vector<std::vector<double>> &xs,
                                  const std::vector<std::vector<double>> &ys)
{
    uint32_t c = 0;
    if (Refuses(operation) || !FirstActiveChannel(c))
        return;
    mainWindow->SetProgress(0);
    const QString name = QString::fromLatin1(pattern).arg(file->exportBase).arg(c + 1);
    // Not binned yet: a file without lines.
    const std::vector<double> none;
    const std::vector<double> &column1 = x ? *x : c < xs.size() ? xs[c] : none;
    if (SaveColumns(name, column1, c < ys.size() ? ys[c] : none))
        mainWindow->AddMessage(MessageNormal, saved.arg(name));
}

void PointScan::SaveTraceText()
{
    SaveLowestChannel("SaveTraceText", "%1_trace_ch%2.dat", QObject::tr("Trace saved to %1"), nullptr, traceTimes,
                      traceCounts);
}

void PointScan::SaveHistogram()
{
    if (!file->HasDelays()) {
        // Every delay of a T2 file without syncs is 0: there is no histogram to save.
        mainWindow->AddMessage(MessageWarning, QObject::tr("This T2 file has no delays: no lifetime histogram saved"));
        return;
    }
    SaveLowestChannel("SaveHistogram", "%1_histogram_ch%2.dat", QObject::tr("Histogram saved to %1"), &lifetimeAxis, {},
                      lifetimeHistograms);
}

void PointScan::SaveTraceBinary()
{
    if (Refuses("SaveTraceBinary"))
        return;
    const double w = mainWindow->GetBinsize() * 1000;  // µs to ns
    if (!CheckBinWidth(w) || !EnsureReconstructed())
        return;
    traceBinWidth = w;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Binning export data..."));
    // Streamed: the bins go to the file as they are counted, so any bin width
    // works on any measurement the disk can take.
    const uint64_t n = ExportTraceBins(w);
    // Refuse before writing anything what the disk cannot take.
    const double needed = (8 + 2 * static_cast<double>(n)) * static_cast<double>(activeChannels.size());
    const QStorageInfo disk(QFileInfo(file->exportBase).absolutePath());
    const double available = static_cast<double>(disk.bytesAvailable());
    if (disk.isValid() && needed > available) {
        mainWindow->AddMessage(MessageError, QObject::tr("Binary traces of %1 bytes do not fit in the %2 bytes free in %3")
                                                 .arg(needed, 0, 'f', 0)
                                                 .arg(available, 0, 'f', 0)
                                                 .arg(disk.rootPath()));
        return;
    }
    for (uint32_t c : activeChannels) {
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

        std::vector<uchar> bytes;
        written = written && StreamTraceBins(c, w, n, [&](const uint16_t *bins, std::size_t count) {
            bytes.resize(2 * count);
            for (std::size_t b = 0; b < count; ++b)
                qToLittleEndian<quint16>(bins[b], bytes.data() + 2 * b);
            const qint64 size = static_cast<qint64>(bytes.size());
            return out.Write(bytes.data(), size);
        });
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
