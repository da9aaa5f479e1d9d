// The synthetic file writer and scan generators, read back byte by byte.

#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int32_t IntAt(const QByteArray &b, int offset)
{
    int32_t v;
    std::memcpy(&v, b.constData() + offset, 4);
    return v;
}

uint64_t U64At(const QByteArray &b, int offset)
{
    uint64_t v;
    std::memcpy(&v, b.constData() + offset, 8);
    return v;
}

} // namespace

TEST(SyntheticPt3, FieldsAtTheirOffsets)
{
    synth::Pt3Header h;
    h.cfdLevel1 = -77;
    h.router[2][3] = 9;
    h.imagingHeader = {5, 6};
    const QByteArray b = synth::Pt3Bytes(h, {0xDEADBEEFu});
    ASSERT_EQ(b.size(), 728 + 8 + 4);
    EXPECT_EQ(QByteArray(b.constData(), 16), QByteArray("PicoHarp 300\0\0\0\0", 16));
    EXPECT_EQ(QByteArray(b.constData() + 16, 6), QByteArray("2.0\0\0\0", 6));
    EXPECT_EQ(IntAt(b, 332), 32);          // bits per record
    EXPECT_EQ(IntAt(b, 580), -77);         // CFD level 1
    float res;
    std::memcpy(&res, b.constData() + 584, 4);
    EXPECT_EQ(res, 0.004f);
    EXPECT_EQ(IntAt(b, 596 + 2 * 24 + 12), 9);  // router channel 3, CFD present
    EXPECT_EQ(IntAt(b, 704), 40000000);    // sync rate
    EXPECT_EQ(IntAt(b, 720), 1);           // records written
    EXPECT_EQ(IntAt(b, 724), 2);           // imaging items
    EXPECT_EQ(IntAt(b, 732), 6);
    EXPECT_EQ(static_cast<uint32_t>(IntAt(b, 736)), 0xDEADBEEFu);
}

TEST(SyntheticPtu, TagHeadsAndRecordCount)
{
    synth::PtuHeader h;
    h.tags.push_back(synth::PtuTag::Text("A", "xyz"));
    h.tags.push_back(synth::PtuTag::Int("TTResult_NumberOfRecords", -1));
    const QByteArray b = synth::PtuBytes(h, {7u, 8u});
    EXPECT_EQ(QByteArray(b.constData(), 8), QByteArray("PQTTTR\0\0", 8));
    // Text tag: head at 16, 8-byte block "xyz" + NUL padding.
    EXPECT_EQ(QByteArray(b.constData() + 16, 2), QByteArray("A\0", 2));
    EXPECT_EQ(IntAt(b, 16 + 32), -1);
    EXPECT_EQ(static_cast<uint32_t>(IntAt(b, 16 + 36)), 0x4001FFFFu);
    EXPECT_EQ(U64At(b, 16 + 40), 8u);
    EXPECT_EQ(QByteArray(b.constData() + 64, 8), QByteArray("xyz\0\0\0\0\0", 8));
    // The placeholder count becomes the number of words written.
    EXPECT_EQ(U64At(b, 72 + 40), 2u);
    EXPECT_EQ(QByteArray(b.constData() + 120, 10), QByteArray("Header_End"));
    EXPECT_EQ(static_cast<uint32_t>(IntAt(b, 120 + 36)), 0xFFFF0008u);
    EXPECT_EQ(b.size(), 168 + 8);
    EXPECT_EQ(IntAt(b, 168), 7);
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
    EXPECT_EQ(s.frameMarkers, 3u);
    EXPECT_EQ(s.lineStarts, 6u);
    EXPECT_EQ(s.lineEnds, 6u);
    EXPECT_EQ(s.photonsPerChannel[1], 2u * 3 * (0 + 1 + 2 + 3));
    EXPECT_EQ(s.photonsPerChannel[3], 2u * 3 * 4);
    EXPECT_EQ(s.lineStartSyncs, (std::vector<uint64_t>{65530, 66030, 66530, 67030, 67530, 68030}));
    EXPECT_EQ(s.overflows, 1u);
    // Frame marker, line start, the overflow, then pixel 0 of channel 3 at 50 (the centre of 0..100).
    EXPECT_EQ(s.words[0] >> 16, 0xF004u);
    EXPECT_EQ(s.words[1] >> 16, 0xF001u);
    EXPECT_EQ(s.words[2], 0xF0000000u);
    EXPECT_EQ(s.words[3], synth::PhotonWord(3, 0, 65530 + 50 - 65536));
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
    const std::pair<M, uint64_t> modes[] = {{M::EndOfFrame, 3}, {M::StartOfFrame, 3}, {M::BetweenFrames, 2}, {M::None, 0}};
    for (const auto &[mode, count] : modes) {
        layout.frameMarkers = mode;
        EXPECT_EQ(synth::MakeImageScan(layout).frameMarkers, count);
    }
    for (int n : {0, 1, 2}) {
        const synth::GeneratedScan line = synth::MakeLineScan(layout, n);
        EXPECT_EQ(line.frameMarkers, static_cast<uint64_t>(n));
        EXPECT_EQ(line.lineStarts, 8u);
    }
    // Point photons are put in time order with the overflows between them.
    const synth::GeneratedScan s = synth::MakePointMeasurement({{70000, 2, 5}, {10, 1, 3}, {131082, 1, 1000}});
    EXPECT_EQ(s.words, (std::vector<uint32_t>{synth::PhotonWord(1, 3, 10), 0xF0000000u,
                                              synth::PhotonWord(2, 5, 70000 - 65536), 0xF0000000u,
                                              synth::PhotonWord(1, 1000, 10)}));
    EXPECT_EQ(s.overflows, 2u);
    EXPECT_EQ(s.photons, 3u);
}
