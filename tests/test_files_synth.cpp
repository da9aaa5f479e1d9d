// The synthetic file writer and scan generators, read back byte by byte.

#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

template <typename T>
T At(const QByteArray &b, int offset)
{
    T v;
    std::memcpy(&v, b.constData() + offset, sizeof v);
    return v;
}

} // namespace

TEST(SyntheticFiles, Pt3AndPtuFieldsAtTheirOffsets)
{
    synth::Pt3Header h;
    h.cfdLevel1 = -77;
    h.router[2][3] = 9;
    h.imagingHeader = {5, 6};
    const QByteArray b = synth::Pt3Bytes(h, {0xDEADBEEFu});
    ASSERT_EQ(b.size(), 728 + 8 + 4);
    EXPECT_EQ(b.left(22), QByteArray("PicoHarp 300\0\0\0\0" "2.0\0\0\0", 22));
    EXPECT_EQ(At<float>(b, 584), 0.004f); // resolution
    // Bits per record, CFD level 1, router channel 3's CFD, sync rate, records, imaging items, the last item, the record.
    const std::pair<int, int32_t> ints[] = {{332, 32}, {580, -77}, {596 + 2 * 24 + 12, 9}, {704, 40000000},
                                            {720, 1},  {724, 2},   {732, 6},               {736, int32_t(0xDEADBEEFu)}};
    for (const auto &[offset, value] : ints)
        EXPECT_EQ(At<int32_t>(b, offset), value) << offset;

    synth::PtuHeader p;
    p.tags.push_back(synth::PtuTag::Text("A", "xyz"));
    p.tags.push_back(synth::PtuTag::Int("TTResult_NumberOfRecords", -1));
    const QByteArray u = synth::PtuBytes(p, {7u, 8u});
    EXPECT_EQ(u.left(8), QByteArray("PQTTTR\0\0", 8));
    // Text tag: head at 16, 8-byte block "xyz" + NUL padding.
    EXPECT_EQ(u.mid(16, 2), QByteArray("A\0", 2));
    EXPECT_EQ(At<int32_t>(u, 16 + 32), -1);
    EXPECT_EQ(At<uint32_t>(u, 16 + 36), 0x4001FFFFu);
    EXPECT_EQ(At<uint64_t>(u, 16 + 40), 8u);
    EXPECT_EQ(u.mid(64, 8), QByteArray("xyz\0\0\0\0\0", 8));
    EXPECT_EQ(At<uint64_t>(u, 72 + 40), 2u); // the placeholder count becomes the number of words written
    EXPECT_EQ(u.mid(120, 10), QByteArray("Header_End"));
    EXPECT_EQ(At<uint32_t>(u, 120 + 36), 0xFFFF0008u);
    ASSERT_EQ(u.size(), 168 + 8);
    EXPECT_EQ(At<int32_t>(u, 168), 7);
}

TEST(ScanGenerator, ImageScanMarkersAndCentredPhotons)
{
    synth::ImageScanPlan layout;
    layout.width = 4;
    layout.height = 3;
    layout.frames = 2;
    layout.start = 65530; // overflow inside the first line
    layout.lineSyncs = 400;
    layout.lineGap = 100;
    layout.channels = {1, 3};
    layout.photonCount = [](int, int, int x, uint32_t ch) { return ch == 1 ? x : 1; };
    layout.dtimeOf = [](int f, int y, int x, uint32_t, int) { return static_cast<uint32_t>(100 * f + 10 * y + x); };
    const synth::GeneratedScan s = synth::MakeImageScan(layout);
    EXPECT_EQ((std::vector<uint64_t>{s.frameMarkers, s.lineStarts, s.lineEnds, s.overflows}),
              (std::vector<uint64_t>{3, 6, 6, 1}));
    EXPECT_EQ(s.photonsPerChannel[1], 2u * 3 * (0 + 1 + 2 + 3));
    EXPECT_EQ(s.photonsPerChannel[3], 2u * 3 * 4);
    EXPECT_EQ(s.lineStartSyncs, (std::vector<uint64_t>{65530, 66030, 66530, 67030, 67530, 68030}));
    // Frame marker, line start, the overflow, then pixel 0 of channel 3 at 50 (the centre of 0..100).
    EXPECT_EQ((std::vector<uint32_t>{s.words[0] >> 16, s.words[1] >> 16, s.words[2], s.words[3]}),
              (std::vector<uint32_t>{0xF004u, 0xF001u, 0xF0000000u, synth::PhotonWord(3, 0, 65530 + 50 - 65536)}));
    // Every photon lies at the centre of its pixel; the dtime names the pixel.
    uint64_t offset = 0;
    for (uint32_t w : s.words) {
        offset += w == 0xF0000000u ? 65536 : 0;
        if ((w >> 28) == 15)
            continue;
        const uint32_t d = (w >> 16) & 0xFFF, x = d % 10, y = d / 10 % 10, f = d / 100;
        EXPECT_EQ(offset + (w & 0xFFFF), s.lineStartSyncs[f * 3 + y] + 100 * x + 50) << d;
    }
    // The end-of-frame marker shares the time of the last line end, 68030 + 400.
    EXPECT_EQ(s.words.back(), synth::MarkerWord(4, 68430 - 65536));
}

TEST(ScanGenerator, FrameMarkersAndPointPhotons)
{
    synth::ImageScanPlan layout;
    layout.frames = 3;
    using M = synth::FrameMarkers;
    for (const auto &[mode, count] : {std::pair{M::EndOfFrame, 3u}, {M::StartOfFrame, 3u}, {M::BetweenFrames, 2u}, {M::None, 0u}}) {
        layout.frameMarkers = mode;
        EXPECT_EQ(synth::MakeImageScan(layout).frameMarkers, count);
    }
    for (uint64_t n : {0, 1, 2}) {
        const synth::GeneratedScan line = synth::MakeLineScan(layout, static_cast<int>(n));
        EXPECT_EQ(std::make_pair(line.frameMarkers, line.lineStarts), std::make_pair(n, uint64_t(8)));
    }
    // Point photons are put in time order with the overflows between them.
    const synth::GeneratedScan s = synth::MakePointMeasurement({{70000, 2, 5}, {10, 1, 3}, {131082, 1, 1000}});
    EXPECT_EQ(s.words, (std::vector<uint32_t>{synth::PhotonWord(1, 3, 10), 0xF0000000u,
                                              synth::PhotonWord(2, 5, 70000 - 65536), 0xF0000000u,
                                              synth::PhotonWord(1, 1000, 10)}));
    EXPECT_EQ(std::make_pair(s.overflows, s.photons), std::make_pair(uint64_t(2), uint64_t(3)));
}
