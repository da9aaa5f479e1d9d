// libFuzzer target: any .pt3 bytes opened with the record scan in one thread
// and in two, then an image scan or a point measurement analysed in one
// thread and in two; any difference in what the file or the analysis holds,
// in the log or in the progress, traps.
#include "files/pt3File.h"
#include "fuzz/FuzzFile.h"
#include "scans/ImageScan.h"
#include "scans/PointScan.h"
#include "support/TestHost.h"

#include <cstring>

namespace {

/// The image scan of \p file with the pass and the statistics in one thread or two.
struct ImageAnalysis {
    ImageAnalysis(pqFile &file, bool twoThreads)
    {
        RasterScan::parallelPassRecords = twoThreads ? 0 : SIZE_MAX;
        RasterScan::parallelStatisticsCounts = twoThreads ? 0 : SIZE_MAX;
        scan.Init(host, file);
        scan.ReconstructImages();
        RasterScan::parallelPassRecords = std::size_t(1) << 20;
        RasterScan::parallelStatisticsCounts = std::size_t(1) << 22;
    }
    TestHost host;
    ImageScan scan;
};

/// The point measurement of \p file with its photon pass in one thread or two.
struct PointAnalysis {
    PointAnalysis(pqFile &file, bool twoThreads)
    {
        PointScan::parallelPassRecords = twoThreads ? 0 : SIZE_MAX;
        scan.Init(host, file);
        scan.ReconstructImages();
        PointScan::parallelPassRecords = std::size_t(1) << 20;
    }
    TestHost host;
    PointScan scan;
};

template <class V>
bool Same(const V &a, const V &b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

template <class V>
bool SameEach(const std::vector<V> &a, const std::vector<V> &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!Same(a[i], b[i]))
            return false;
    return true;
}

bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

bool SameScan(const pqFile &a, const pqFile &b)
{
    if (a.frameMarkers.size() != b.frameMarkers.size())
        return false;
    for (std::size_t m = 0; m < a.frameMarkers.size(); ++m)
        if (a.frameMarkers[m].index != b.frameMarkers[m].index ||
            a.frameMarkers[m].overflowOffset != b.frameMarkers[m].overflowOffset)
            return false;
    const FrameList &f = a.frames, &g = b.frames;
    return a.ScanType == b.ScanType && a.eventsPerMarker == b.eventsPerMarker &&
           a.photonsPerChannel == b.photonsPerChannel && a.syncRecords == b.syncRecords &&
           a.numberOfFrames == b.numberOfFrames && a.linesPerFrame == b.linesPerFrame && f.count == g.count &&
           f.lines == g.lines && f.leading == g.leading && f.trailing == g.trailing && f.opening == g.opening &&
           f.stop == g.stop;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QString path = fuzz::WriteInput(data, size, QStringLiteral("input.pt3"));
    TestHost hostOne, hostTwo;
    pt3File fileOne(hostOne), fileTwo(hostTwo);
    pqFile::parallelScanRecords = SIZE_MAX;
    const bool opened = fileOne.Open(path);
    pqFile::parallelScanRecords = 0;
    const bool openedTwo = fileTwo.Open(path);
    pqFile::parallelScanRecords = std::size_t(1) << 20;
    bool same = opened == openedTwo && hostOne.Messages() == hostTwo.Messages() && hostOne.progress == hostTwo.progress;
    if (same && opened) {
        same = SameScan(fileOne, fileTwo);
        if (same && fileOne.ScanType == ScanImage) {
            const ImageAnalysis one(fileOne, false), two(fileTwo, true);
            const ImageScan &a = one.scan, &b = two.scan;
            same = one.host.Messages() == two.host.Messages() && one.host.progress == two.host.progress &&
                   SameEach(a.images, b.images) && a.delayCounts == b.delayCounts &&
                   Same(a.linesInFrame, b.linesInFrame) && Same(a.frameStartTimes, b.frameStartTimes) &&
                   Same(a.frameMarkerTimes, b.frameMarkerTimes) && SameDouble(a.lastPhotonTime, b.lastPhotonTime) &&
                   SameEach(a.meanImages, b.meanImages) && SameEach(a.varianceImages, b.varianceImages) &&
                   SameEach(a.timeCourse, b.timeCourse);
        } else if (same && fileOne.ScanType == ScanPoint) {
            const PointAnalysis one(fileOne, false), two(fileTwo, true);
            const PointScan &a = one.scan, &b = two.scan;
            same = one.host.Messages() == two.host.Messages() && one.host.progress == two.host.progress &&
                   SameEach(a.photonTimes, b.photonTimes) && a.delayCounts == b.delayCounts &&
                   a.gatedCounts == b.gatedCounts && SameDouble(a.firstTime, b.firstTime) &&
                   SameDouble(a.lastTime, b.lastTime) && SameEach(a.traceCounts, b.traceCounts);
        }
    }
    if (!same)
        __builtin_trap();
    fuzz::ClearScratch();
    return 0;
}
