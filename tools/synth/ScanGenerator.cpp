#include "tools/synth/ScanGenerator.h"

#include "tools/synth/RecordStream.h"

#include <algorithm>

namespace synth {

namespace {

struct Builder {
    RecordStream stream;
    GeneratedScan out;

    void Photon(uint64_t sync, uint32_t channel, uint32_t dtime)
    {
        stream.AddPhoton(sync, channel, dtime);
        out.photonsPerChannel[channel & 0xFu] += 1;
        out.photons += 1;
        out.lastSync = sync;
    }
    void Marker(uint64_t sync, uint32_t marker)
    {
        stream.AddMarker(sync, marker);
        if (marker == 4)
            out.frameMarkers += 1;
        else if (marker == 1)
            out.lineStarts += 1;
        else if (marker == 2)
            out.lineEnds += 1;
        out.lastSync = sync;
    }
    GeneratedScan Finish()
    {
        out.overflows = stream.OverflowOffset() / 65536;
        out.words = std::move(stream.words);
        return std::move(out);
    }
};

struct TimedPhoton {
    uint64_t sync;
    uint32_t channel;
    uint32_t dtime;
};

} // namespace

GeneratedScan MakeImageScan(const ImageScanPlan &layout)
{
    Builder b;
    const uint64_t width = layout.width > 0 ? static_cast<uint64_t>(layout.width) : 1;
    const uint64_t L = layout.lineSyncs;
    const bool markBefore = layout.frameMarkers == FrameMarkers::AroundFrames
                            || layout.frameMarkers == FrameMarkers::StartOnly
                            || layout.frameMarkers == FrameMarkers::StartOfFrame;
    const bool markAfter = layout.frameMarkers == FrameMarkers::AroundFrames
                           || layout.frameMarkers == FrameMarkers::EndOfFrame;
    // Markers that close one frame and open the next, but not the last frame.
    const bool markBetween = layout.frameMarkers == FrameMarkers::StartOfFrame
                             || layout.frameMarkers == FrameMarkers::BetweenFrames;

    std::vector<TimedPhoton> pixel;
    uint64_t lineStart = layout.start;
    if (markBefore)
        b.Marker(lineStart, 4);
    for (int f = 0; f < layout.frames; ++f) {
        for (int y = 0; y < layout.height; ++y) {
            if (layout.lineMarkers)
                b.Marker(lineStart, 1);
            b.out.lineStartSyncs.push_back(lineStart);
            for (int x = 0; x < layout.width; ++x) {
                pixel.clear();
                const uint64_t ux = static_cast<uint64_t>(x);
                for (uint32_t ch : layout.channels) {
                    const int n = layout.photonCount ? layout.photonCount(f, y, x, ch) : layout.photonsPerPixel;
                    for (int k = 0; k < n; ++k) {
                        const uint64_t uk = static_cast<uint64_t>(k);
                        const uint64_t un = static_cast<uint64_t>(n);
                        const uint64_t at = layout.centred
                            ? lineStart + (2 * ux + 1) * L / (2 * width)
                            : lineStart + (ux * (un + 1) + uk + 1) * L / (width * (un + 1));
                        const uint32_t dt = layout.dtimeOf ? layout.dtimeOf(f, y, x, ch, k) : layout.dtime;
                        pixel.push_back({at, ch, dt});
                    }
                }
                std::stable_sort(pixel.begin(), pixel.end(),
                                 [](const TimedPhoton &a, const TimedPhoton &c) { return a.sync < c.sync; });
                for (const TimedPhoton &p : pixel)
                    b.Photon(p.sync, p.channel, p.dtime);
            }
            const uint64_t lineEnd = lineStart + L;
            if (layout.lineMarkers)
                b.Marker(lineEnd, 2);
            lineStart = lineEnd + layout.lineGap;
        }
        if (markAfter || (markBetween && f + 1 < layout.frames))
            b.Marker(lineStart - layout.lineGap, 4);
        lineStart += layout.frameGap;
    }
    return b.Finish();
}

GeneratedScan MakeLineScan(ImageScanPlan layout, int frameMarkerCount)
{
    layout.frames = 1;
    layout.frameMarkers = frameMarkerCount <= 0   ? FrameMarkers::None
                        : frameMarkerCount == 1 ? FrameMarkers::StartOnly
                                                : FrameMarkers::AroundFrames;
    return MakeImageScan(layout);
}

GeneratedScan MakePointMeasurement(std::vector<PointPhoton> photons)
{
    std::stable_sort(photons.begin(), photons.end(),
                     [](const PointPhoton &a, const PointPhoton &c) { return a.sync < c.sync; });
    Builder b;
    for (const PointPhoton &p : photons)
        b.Photon(p.sync, p.channel, p.dtime);
    return b.Finish();
}

} // namespace synth
