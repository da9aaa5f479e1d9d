// Checksums of everything a conversion produces, to compare two builds.
//
//   bench_checksums WORKFOLDER FILE...
//
// Copies each FILE into WORKFOLDER (so the export folder is made there and
// the logged paths do not depend on where the file came from), converts it
// as the converter does, then computes the correlations, the export trace and
// the lifetime histograms at a second bin width, and prints one FNV-1a
// checksum per line: the log and summary text, the record scan's counters and
// every array of the analysis. Two builds that give the same output produce
// the same results.

#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "tools/convert/HeadlessHost.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

uint64_t Fnv(const void *data, std::size_t bytes, uint64_t h = 1469598103934665603ULL)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < bytes; ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

class Sums {
public:
    explicit Sums(const QString &file) : file_(file.toStdString()) {}

    template <class Array>
    void Array1(const char *name, const Array &a)
    {
        Print(name, a.size(), Fnv(a.data(), a.size() * sizeof(a[0])));
    }
    template <class Arrays>
    void Arrays2(const char *name, const Arrays &arrays)
    {
        for (std::size_t c = 0; c < arrays.size(); ++c)
            Print((std::string(name) + "[" + std::to_string(c) + "]").c_str(), arrays[c].size(),
                  Fnv(arrays[c].data(), arrays[c].size() * sizeof(arrays[c][0])));
    }
    void Text(const char *name, const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        Print(name, static_cast<std::size_t>(bytes.size()), Fnv(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    }
    void Value(const char *name, double v) { Print(name, 1, Fnv(&v, sizeof v)); }

private:
    void Print(const char *name, std::size_t n, uint64_t h)
    {
        std::printf("%s %s %zu %016llx\n", file_.c_str(), name, n, static_cast<unsigned long long>(h));
    }
    std::string file_;
};

void Raster(Sums &s, RasterScan &r)
{
    s.Arrays2("images", r.images);
    s.Arrays2("meanImages", r.meanImages);
    s.Arrays2("varianceImages", r.varianceImages);
    s.Arrays2("timeCourse", r.timeCourse);
    s.Arrays2("delayCounts", r.delayCounts);
    s.Arrays2("lifetimeHistograms", r.lifetimeHistograms);
    s.Array1("lifetimeAxis", r.lifetimeAxis);
    s.Array1("photonCount", r.photonCount);
    s.Array1("gatedPhotonCount", r.gatedPhotonCount);
    s.Array1("minimum", r.minimum);
    s.Array1("maximum", r.maximum);
    s.Text("infoText", r.infoText);
    for (double v : {r.firstFrameTime, r.lastPhotonTime, r.lineTime, r.lifetimeBinWidth})
        s.Value("time", v);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 3) {
        std::printf("usage: bench_checksums WORKFOLDER FILE...\n");
        return 2;
    }
    const QDir work(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(work.path());
    for (int i = 2; i < argc; ++i) {
        const QString source = QString::fromLocal8Bit(argv[i]);
        const QString name = work.filePath(QFileInfo(source).fileName());
        QFile::remove(name);
        if (!QFile::copy(source, name)) {
            std::printf("%s cannot be copied\n", argv[i]);
            continue;
        }
        QString log;
        QTextStream out(&log);
        std::unique_ptr<HeadlessHost> host = HeadlessHost::Create(out);
        std::unique_ptr<pqFile> file = MakePhotonFile(*host, name);
        std::unique_ptr<RSD> scan;
        Sums s(QFileInfo(source).fileName());
        if (file && file->Open(name) && ConvertFile(*host, name, file.get(), scan) && scan) {
            s.Array1("photonsPerChannel", file->photonsPerChannel);
            s.Array1("eventsPerMarker", file->eventsPerMarker);
            s.Value("frames", file->numberOfFrames);
            s.Value("linesPerFrame", file->linesPerFrame);
            if (auto *image = dynamic_cast<ImageScan *>(scan.get())) {
                Raster(s, *image);
                s.Array1("frameStartTimes", image->frameStartTimes);
                s.Array1("frameMarkerTimes", image->frameMarkerTimes);
                s.Array1("linesInFrame", image->linesInFrame);
            } else if (auto *line = dynamic_cast<LineScan *>(scan.get())) {
                Raster(s, *line);
                s.Array1("lineStartTimes", line->lineStartTimes);
                line->WriteHistogramImages();
                s.Arrays2("histogramImages", line->histogramImages);
            } else if (auto *point = dynamic_cast<PointScan *>(scan.get())) {
                s.Arrays2("photonTimes", point->photonTimes);
                s.Arrays2("delayCounts", point->delayCounts);
                s.Array1("gatedCounts", point->gatedCounts);
                s.Arrays2("traceTimes", point->traceTimes);
                s.Arrays2("traceCounts", point->traceCounts);
                s.Arrays2("lifetimeHistograms", point->lifetimeHistograms);
                s.Array1("lifetimeAxis", point->lifetimeAxis);
                s.Value("firstTime", point->firstTime);
                s.Value("lastTime", point->lastTime);
                point->BinLifetimes(point->lifetimeBinWidth * 4);
                s.Arrays2("lifetimeHistograms4", point->lifetimeHistograms);
                if (point->BinExportTrace(1000))
                    s.Arrays2("exportCounts", point->exportCounts);
                point->ComputeCorrelations();
                s.Array1("lagEdges", point->lagEdges);
                s.Arrays2("correlations", point->correlations);
            }
        }
        out.flush();
        // The correlation lines report how long they took.
        log.replace(QRegularExpression(QStringLiteral("in [0-9.e+-]+ seconds")), QStringLiteral("in N seconds"));
        s.Text("log", log);
        QDir(QFileInfo(name).path() + "/" + QFileInfo(name).completeBaseName() + "_export").removeRecursively();
        QFile::remove(name);
    }
    return 0;
}
