// Photons between two special records are placed many at a time: ends of runs, pixel and line edges, lanes
// skipped, gated or placed, full counts, in every form (one record at a time, AVX2, AVX-512), layout and scan
// type, against hand-worked counts. Sync 50 ns, resolution 0.001 ns, width 4, pixels of 10 sync periods.
#include "support/MemoryFile.h"
#include "support/Placed.h"
#include "support/TestHost.h"
#include "support/VectorForm.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

struct Photon {
    int offset;  // sync periods after the line start (negative: a record written out of order)
    uint32_t channel;
    uint32_t dtime;
};

struct RunCase {
    const char *name;
    std::function<void(synth::RecordStream &)> write;  // PicoHarp words, one frame
    std::vector<uint16_t> channel1, channel2;          // the frame's counts
    std::map<uint32_t, uint32_t> delays1, delays2;     // placed photons per dtime
    double last, lastOfLineScan;  // ns, the photon that ends the data span (line scans: outside lines too)
    double cursorStart = 0;       // s, channel 1's cursors start here and end at 1 s
};

double Time(uint64_t sync, uint32_t dtime) { return sync * 50.0 + dtime * 0.001; }

void Line(synth::RecordStream &s, uint64_t start, const std::vector<Photon> &photons)
{
    s.AddMarker(start, 1);
    for (const Photon &p : photons) {
        const uint64_t sync = start + p.offset;
        if (p.offset < 0)
            s.AddRaw(synth::PhotonWord(p.channel, p.dtime, static_cast<uint32_t>(sync - s.OverflowOffset())));
        else
            s.AddPhoton(sync, p.channel, p.dtime);
    }
    s.AddMarker(start + 40, 2);
}

// Lines 0..17 with n photons each, photon j at pixel j % 4 with dtime j: every line end falls on another place of a
// block of eight. Line 16 holds the overflow of the HydraHarp layouts at sync 1024.
RunCase EveryLength()
{
    RunCase r{"line ends at every place of a block",
              [](synth::RecordStream &s) {
                  s.AddMarker(200, 4);
                  for (int n = 0; n < 18; ++n) {
                      std::vector<Photon> photons;  // in time order: j = 4k + p at offset 10p + k
                      for (int p = 0; p < 4; ++p)
                          for (int k = 0; 4 * k + p < n; ++k)
                              photons.push_back({10 * p + k, 1, static_cast<uint32_t>(4 * k + p)});
                      Line(s, 210 + 50 * n, photons);
                  }
                  s.AddMarker(1110, 4);
              },
              {}, std::vector<uint16_t>(72, 0), {}, {},
              // Line 17's photon j = 15 (offset 33) is its last.
              Time(1060 + 33, 15), Time(1060 + 33, 15)};
    for (int n = 0; n < 18; ++n)
        for (int p = 0; p < 4; ++p)
            r.channel1.push_back(static_cast<uint16_t>((n + 3 - p) / 4));
    for (uint32_t j = 0; j < 17; ++j)
        r.delays1[j] = 17 - j;
    return r;
}

// Pixel edges, x = W, a photon before its line start, skipped channels (0,
// and 5 which the file lacks) and channel 2 gated to 0.010..0.050 ns.
RunCase EdgesAndLanesLeftOut()
{
    return {"edges and lanes left out",
            [](synth::RecordStream &s) {
                s.AddMarker(100, 4);
                Line(s, 110, {{0, 1, 0}, {0, 2, 5}, {0, 2, 20}, {5, 0, 1}, {10, 1, 0}, {15, 5, 1}, {19, 1, 999},
                              {20, 1, 0}, {20, 2, 20}, {29, 2, 5}, {30, 1, 0}, {39, 1, 0}, {39, 2, 20},
                              {40, 1, 0}, {40, 0, 3}});
                s.AddPhoton(160, 2, 20);  // between the lines
                Line(s, 170, {{-1, 1, 0}, {0, 1, 3}, {1, 2, 10}, {2, 2, 50}, {3, 2, 9}, {4, 2, 51}, {5, 2, 34},
                              {6, 2, 35}, {7, 2, 36}, {8, 2, 37}, {9, 2, 38}, {10, 2, 39}, {35, 2, 5},
                              {40, 0, 3}, {40, 0, 3}, {40, 0, 3}, {40, 0, 3}, {40, 0, 3}, {40, 0, 3}, {40, 0, 3}});
                s.AddMarker(220, 4);
            },
            // Offsets 0, 10, 20 and 30 lie on the edges, 19 with dtime 999 and 39 inside,
            // 40 is x = W and -1 is x < 0; channel 2's gate holds dtime 10 to 50. The
            // last photon that counts (offset 35 of line 1) is followed by skipped ones.
            {1, 2, 1, 2, 1, 0, 0, 0},
            {1, 0, 1, 1, 7, 1, 0, 0},
            {{0, 5}, {3, 1}, {999, 1}},
            {{10, 1}, {20, 3}, {34, 1}, {35, 1}, {36, 1}, {37, 1}, {38, 1}, {39, 1}, {50, 1}},
            Time(205, 5), Time(205, 5)};
}

// 65540 photons on one pixel stop at 65535; the delay counts do not.
RunCase Saturation()
{
    return {"a full count",
            [](synth::RecordStream &s) {
                s.AddMarker(100, 4);
                std::vector<Photon> photons(65540, Photon{20, 1, 7});
                photons.insert(photons.end(), 9, Photon{30, 1, 8});
                Line(s, 110, photons);
                s.AddPhoton(155, 1, 0);  // after the line
                s.AddMarker(160, 4);
            },
            {0, 0, 65535, 9}, {}, {{7, 65540}, {8, 9}}, {},
            Time(140, 8), Time(155, 0)};
}

// Channel 1's cursors from 1 ms: the first line (at 5.5 µs) lies before them.
RunCase CursorsInsideTheFrame()
{
    return {"cursors inside the frame",
            [](synth::RecordStream &s) {
                s.AddMarker(100, 4);
                std::vector<Photon> photons;
                for (uint32_t j = 0; j < 10; ++j)
                    photons.push_back({static_cast<int>(j), 1, j});
                Line(s, 110, photons);
                for (Photon &p : photons)
                    p.offset += 10;
                Line(s, 40010, photons);
                s.AddMarker(40060, 4);
            },
            {0, 0, 0, 0, 0, 10, 0, 0}, {},
            {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}}, {},
            Time(40029, 9), Time(40029, 9), 0.001};
}

template <class Scan>
void Check(const RunCase &run, RecordFormat format, int level, double last)
{
    const auto counts = [](const LargeArray<uint16_t> &a) { return std::vector<uint16_t>(a.begin(), a.end()); };
    synth::RecordStream pico;
    run.write(pico);
    TestHost host;
    MemoryFile file(host, {}, 50.0, 0.001, 4);
    file.recordFormat = format;
    file.channels = 2;  // channel 2, which holds photons, is the file's last
    file.SetRecords(format == RecordFormat::PicoHarpT3 ? pico.words : synth::Transcode(pico.words, format));
    Scan scan;
    scan.Init(host, file);
    scan.GatherInformation();  // sets the ranges of the gate and cursor boxes
    host.SetGate(2, 0.010, 0.050);
    if (run.cursorStart > 0)
        host.SetCursor(1, run.cursorStart, 1);
    RasterScan::vectorLevel = level;
    scan.ReconstructImages();
    RasterScan::vectorLevel = 2;

    ASSERT_TRUE(scan.reconstructed);
    EXPECT_EQ(counts(scan.images[0]), run.channel1);
    EXPECT_EQ(Placed(scan.delayCounts[0]), run.delays1);
    EXPECT_EQ(counts(scan.images[1]), scan.images[1].empty() ? std::vector<uint16_t>() : run.channel2);
    EXPECT_EQ(Placed(scan.delayCounts[1]), run.delays2);
    EXPECT_EQ(scan.lastPhotonTime, last);
}

/// One form of the runs (RasterScan::vectorLevel).
using PhotonRuns = VectorFormTest;

} // namespace

INSTANTIATE_TEST_SUITE_P(Forms, PhotonRuns, testing::Values(0, 1, 2), FormParamName);

TEST_P(PhotonRuns, EveryLayoutPlacesTheHandCountedPhotons)
{
    for (const RunCase &run : {EveryLength(), EdgesAndLanesLeftOut(), Saturation(), CursorsInsideTheFrame()})
        for (RecordFormat format : {RecordFormat::PicoHarpT3, RecordFormat::HydraHarpT3v1, RecordFormat::HydraHarpT3v2}) {
            SCOPED_TRACE(testing::Message() << run.name << ", layout " << static_cast<int>(format));
            Check<ImageScan>(run, format, GetParam(), run.last);
            Check<LineScan>(run, format, GetParam(), run.lastOfLineScan);
        }
}
