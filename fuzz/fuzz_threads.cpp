// libFuzzer target: an image scan of any .pt3 bytes placed in two threads
// against one thread; any difference in what the analysis holds traps.
#include "files/pt3File.h"
#include "fuzz/FuzzFile.h"
#include "scans/ImageScan.h"
#include "support/TestHost.h"

#include <cstring>

namespace {

/// The image scan of \p file with the pass and the statistics in one thread or two.
struct Analysis {
    Analysis(pqFile &file, bool twoThreads)
    {
        RasterScan::parallelPassRecords = twoThreads ? 0 : SIZE_MAX;
        RasterScan::parallelStatisticsCounts = twoThreads ? 0 : SIZE_MAX;
        scan.Init(host, file);
        scan.ReconstructImages();
    }
    TestHost host;
    ImageScan scan;
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QString path = fuzz::WriteInput(data, size, QStringLiteral("input.pt3"));
    TestHost host;
    pt3File file(host);
    if (file.Open(path) && file.ScanType == ScanImage) {
        const Analysis one(file, false), two(file, true);
        const ImageScan &a = one.scan, &b = two.scan;
        const bool same = one.host.Messages() == two.host.Messages() && SameEach(a.images, b.images) &&
                          a.delayCounts == b.delayCounts && Same(a.linesInFrame, b.linesInFrame) &&
                          Same(a.frameStartTimes, b.frameStartTimes) && Same(a.frameMarkerTimes, b.frameMarkerTimes) &&
                          std::memcmp(&a.lastPhotonTime, &b.lastPhotonTime, sizeof(double)) == 0 &&
                          SameEach(a.meanImages, b.meanImages) && SameEach(a.varianceImages, b.varianceImages) &&
                          SameEach(a.timeCourse, b.timeCourse);
        RasterScan::parallelPassRecords = std::size_t(1) << 20;
        RasterScan::parallelStatisticsCounts = std::size_t(1) << 22;
        if (!same)
            __builtin_trap();
    }
    fuzz::ClearScratch();
    return 0;
}
