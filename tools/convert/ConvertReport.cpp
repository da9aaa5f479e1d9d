#include "tools/convert/ConvertReport.h"

#include "fcs/FcsFit.h"
#include "fcs/FcsModel.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"

#include <QFileInfo>
#include <QJsonArray>
#include <cmath>

namespace {

const char *RecordTypeName(RecordFormat format)
{
    switch (format) {
    case RecordFormat::PicoHarpT3: return "PicoHarp T3";
    case RecordFormat::HydraHarpT3v1: return "HydraHarp T3 (v1)";
    case RecordFormat::HydraHarpT3v2: return "HydraHarp, TimeHarp 260 or MultiHarp T3";
    case RecordFormat::PicoHarpT2: return "PicoHarp T2";
    case RecordFormat::HydraHarpT2v1: return "HydraHarp T2 (v1)";
    case RecordFormat::HydraHarpT2v2: return "HydraHarp, TimeHarp 260 or MultiHarp T2";
    }
    return "unknown";
}

const char *ScanTypeName(int type)
{
    switch (type) {
    case ScanImage: return "image";
    case ScanLine: return "line";
    case ScanPoint: return "point";
    default: return "unknown";
    }
}

/// A number, or null where it is not finite (JSON has no infinity).
QJsonValue Number(double value) { return std::isfinite(value) ? QJsonValue(value) : QJsonValue(); }

QJsonArray Numbers(const std::vector<double> &values)
{
    QJsonArray array;
    for (double v : values)
        array.append(Number(v));
    return array;
}

/// Parameter keys with their units: times in ms.
QString ParameterKey(std::size_t p)
{
    const QString name = QString::fromLatin1(fcs::ParameterName(p));
    return p == fcs::TauD || p == fcs::TauT || p == fcs::TauD2 ? name + QStringLiteral("_ms") : name;
}

void AddPointResults(QJsonObject &report, const PointScan &point)
{
    const std::size_t n = point.activeChannels.size();
    if (point.correlations.empty() || point.correlations.size() != n * n)
        return;
    QJsonArray curves, fits;
    for (std::size_t k = 0; k < point.correlations.size(); ++k) {
        const int from = static_cast<int>(point.activeChannels[k / n]) + 1;
        const int to = static_cast<int>(point.activeChannels[k % n]) + 1;
        QJsonObject curve{{QStringLiteral("from_channel"), from},
                          {QStringLiteral("to_channel"), to},
                          {QStringLiteral("lag_ms"), Numbers(point.lagAxis)},
                          {QStringLiteral("G"), Numbers(point.correlations[k])}};
        if (k < point.correlationErrors.size() && !point.correlationErrors[k].empty())
            curve.insert(QStringLiteral("G_sigma"), Numbers(point.correlationErrors[k]));
        curves.append(curve);
        if (k >= point.fits.size() || !point.fits[k].ok)
            continue;
        const fcs::FitResult &fit = point.fits[k];
        QJsonObject parameters;
        for (std::size_t p = 0; p < fcs::ParameterCount; ++p) {
            if (!fit.used[p])
                continue;
            QJsonObject parameter{{QStringLiteral("value"), Number(fit.value[p])},
                                  {QStringLiteral("free"), fit.free[p]}};
            if (fit.free[p]) {
                parameter.insert(QStringLiteral("standard_error"), Number(fit.standardError[p]));
                if (fit.segmentFits > 0)
                    parameter.insert(QStringLiteral("segment_error"), Number(fit.segmentError[p]));
            }
            parameters.insert(ParameterKey(p), parameter);
        }
        fits.append(QJsonObject{{QStringLiteral("from_channel"), from},
                                {QStringLiteral("to_channel"), to},
                                {QStringLiteral("model"), QString::fromLatin1(fcs::ModelName(fit.model))},
                                {QStringLiteral("parameters"), parameters},
                                {QStringLiteral("reduced_chi_square"), Number(fit.reducedChiSquare)},
                                {QStringLiteral("points"), static_cast<qint64>(fit.points)},
                                {QStringLiteral("range_ms"), QJsonArray{Number(point.lagAxis[fit.first]),
                                                                       Number(point.lagAxis[fit.last])}}});
    }
    report.insert(QStringLiteral("correlations"), curves);
    if (!fits.isEmpty())
        report.insert(QStringLiteral("fits"), fits);
}

} // namespace

QJsonObject FileReport(const FileOutcome &outcome, const pqFile *file, const RSD *scan)
{
    QJsonObject report{{QStringLiteral("file"), outcome.fileName},
                       {QStringLiteral("status"), outcome.converted ? QStringLiteral("converted") : QStringLiteral("refused")}};
    if (!outcome.converted)
        report.insert(QStringLiteral("reason"), outcome.reason);
    QJsonArray written;
    for (const QString &name : outcome.written)
        written.append(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("bytes"), static_cast<qint64>(QFileInfo(name).size())}});
    report.insert(QStringLiteral("files"), written);
    if (!file || !file->scanned)
        return report;

    report.insert(QStringLiteral("record_type"), QString::fromLatin1(RecordTypeName(file->recordFormat)));
    report.insert(QStringLiteral("scan_type"), QString::fromLatin1(ScanTypeName(file->ScanType)));
    // A T2 file's own unit is its time tag; its sync period, where it has
    // one, is measured from its sync records.
    if (file->TimeTags()) {
        report.insert(QStringLiteral("time_tag_unit_ns"), Number(file->SyncPeriod()));
        if (file->HasDelays())
            report.insert(QStringLiteral("sync_period_ns"), Number(file->DelayRange()));
    } else {
        report.insert(QStringLiteral("sync_period_ns"), Number(file->SyncPeriod()));
    }
    report.insert(QStringLiteral("resolution_ns"), Number(file->Resolution()));
    QJsonObject photons;
    for (std::size_t c = 0; c < file->photonsPerChannel.size(); ++c)
        if (file->photonsPerChannel[c] != 0)
            photons.insert(QString::number(c + 1), static_cast<qint64>(file->photonsPerChannel[c]));
    QJsonObject counts{{QStringLiteral("records"), static_cast<qint64>(file->records.size())},
                       {QStringLiteral("photons_per_channel"), photons}};

    if (const auto *raster = dynamic_cast<const RasterScan *>(scan); raster && raster->gathered) {
        counts.insert(QStringLiteral("frames"), static_cast<qint64>(raster->numberOfFrames));
        counts.insert(QStringLiteral("lines"), static_cast<qint64>(raster->imageHeight) * raster->numberOfFrames);
        QJsonObject geometry{{QStringLiteral("width_px"), static_cast<qint64>(raster->imageWidth)},
                             {QStringLiteral("height_px"), static_cast<qint64>(raster->imageHeight)},
                             {QStringLiteral("frames"), static_cast<qint64>(raster->numberOfFrames)},
                             {QStringLiteral("line_time_ms"), Number(raster->lineTime / 1e6)}};
        const OmeImage ome = raster->OmeDescription(raster->numberOfFrames);
        if (ome.physicalSizeX > 0)
            geometry.insert(QStringLiteral("pixel_size_x_um"), ome.physicalSizeX);
        if (ome.physicalSizeY > 0)
            geometry.insert(QStringLiteral("pixel_size_y_um"), ome.physicalSizeY);
        if (ome.timeIncrement > 0)
            geometry.insert(QStringLiteral("frame_period_s"), ome.timeIncrement);
        report.insert(QStringLiteral("geometry"), geometry);
    } else if (const auto *point = dynamic_cast<const PointScan *>(scan); point && point->reconstructed) {
        report.insert(QStringLiteral("geometry"),
                      QJsonObject{{QStringLiteral("duration_s"), Number((point->lastTime - point->firstTime) / 1e9)}});
        AddPointResults(report, *point);
    }
    report.insert(QStringLiteral("counts"), counts);
    return report;
}
