// The record layouts of the HydraHarp, TimeHarp 260 and MultiHarp: words
// decoded by hand, files in every layout giving the PicoHarp file's results,
// and marker meanings from the imaging tags.

#include "files/T3RecordCursor.h"
#include "files/ptuFile.h"
#include "scans/Conversion.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

using synth::HarpPhotonWord;
using synth::HarpSpecialWord;

TEST(HarpRecords, LayoutOfPhotonsMarkersAndOverflows)
{
    TestHost host;
    const std::vector<uint32_t> words = {
        HarpSpecialWord(63, 0),            // overflow: one wrap in both versions
        HarpSpecialWord(63, 3),            // v1: one wrap; v2: three
        HarpPhotonWord(1, 0x7FFF, 0x3FF),  // channel field 0, largest dtime and nsync
        HarpSpecialWord(4, 20),            // marker bit 3
        HarpPhotonWord(64, 7, 30),         // channel field 63 of a photon
        HarpSpecialWord(0, 40),            // a special record of no known kind
    };
    using V = std::vector<uint64_t>;
    // By record type code (HydraHarp v1 and v2, TimeHarp 260 N and P, MultiHarp): the sync periods after the
    // two overflows. Only the HydraHarp v1 layout counts every overflow as one wrap.
    const std::pair<int64_t, uint64_t> types[] = {
        {0x00010304, 2048}, {0x01010304, 4096}, {0x00010305, 4096}, {0x00010306, 4096}, {0x00010307, 4096}};
    for (const auto &[type, offset] : types) {
        SCOPED_TRACE(type);
        RecordFormat format = RecordFormat::PicoHarpT3;
        ASSERT_TRUE(RecordType::FormatOf(type, format));
        MemoryFile file(host, {}, 25, 0.004);
        file.recordFormat = format;
        file.SetRecords(words);
        WithRecordFormat(format, [&, offset = offset](auto layout) {
            T3RecordCursor<decltype(layout)> r(host, file);
            EXPECT_EQ((V{r.marker, r.overflowOffset}), (V{0, 1024}));
            ASSERT_TRUE(r.Next()); // an overflow's nsync is a count, not a time
            EXPECT_EQ((V{r.marker, r.channel, r.truensync}), (V{0, 63, offset}));
            ASSERT_TRUE(r.Next());
            EXPECT_EQ((V{r.marker, r.channel, r.dtime, r.truensync}), (V{PHOTON_MARKER, 1, 32767, offset + 1023}));
            EXPECT_DOUBLE_EQ(r.truetime, (offset + 1023) * 25.0 + 32767 * 0.004);
            ASSERT_TRUE(r.Next());
            EXPECT_EQ((V{r.marker, r.dtime, r.truensync}), (V{4, 0, offset + 20}));
            ASSERT_TRUE(r.Next());
            EXPECT_EQ((V{r.channel, r.dtime}), (V{64, 7}));
            ASSERT_TRUE(r.Next());
            EXPECT_EQ(r.marker, UNKNOWN_SPECIAL_MARKER);
        });
        // Channel 64 lies outside the four channels; the unknown record is counted apart.
        EXPECT_EQ(file.photonsPerChannel, (std::vector<uint32_t>{1, 0, 0, 0}));
        EXPECT_EQ(std::make_pair(file.eventsPerMarker[0], file.eventsPerMarker[PHOTON_MARKER]), std::make_pair(2u, 2u));
        EXPECT_TRUE(host.Logged("1 photons on channels outside 1..4 ignored", MessageWarning));
        EXPECT_TRUE(host.Logged("1 special records of an unknown kind ignored", MessageWarning));
    }
}

namespace {

constexpr uint32_t kRecordTypes[] = {0x00010303, 0x00010304, 0x01010304, 0x00010305, 0x00010306, 0x00010307};

/// A .ptu of \p picoHarp's events in the layout of \p recordType, opened and converted.
struct Converted {
    Converted(QTemporaryDir &dir, const std::vector<uint32_t> &picoHarp, uint32_t recordType, int width, int height,
              std::vector<synth::PtuTag> tags = {}, const std::array<uint32_t, 16> *markerOf = nullptr)
    {
        RecordFormat format = RecordFormat::PicoHarpT3;
        EXPECT_TRUE(RecordType::FormatOf(recordType, format));
        synth::PtuHeader header = synth::PtuHeader::T3(recordType, 20e6, 0.5e-9, width, height);
        header.tags.insert(header.tags.end(), tags.begin(), tags.end());
        path = dir.filePath(QStringLiteral("m%1_%2.ptu").arg(recordType, 0, 16).arg(++counter));
        EXPECT_TRUE(synth::WritePtu(path, header, synth::Transcode(picoHarp, format, markerOf)));
        file = std::make_unique<ptuFile>(host);
        EXPECT_TRUE(file->Open(path));
        EXPECT_TRUE(ConvertFile(host, path, file.get(), scan));
    }

    static inline int counter = 0;
    QString path;
    TestHost host;
    std::unique_ptr<pqFile> file;
    std::unique_ptr<RSD> scan;
    template <class T>
    const T *As() const { return dynamic_cast<const T *>(scan.get()); }
};

/// Delay counts of \p a: those of \p b, then zeros for the dtime values \p b's layout lacks.
void ExpectSameDelays(std::vector<std::vector<uint32_t>> a, const std::vector<std::vector<uint32_t>> &b)
{
    for (std::size_t c = 0; c < a.size() && c < b.size() && a[c].size() >= b[c].size(); ++c) {
        EXPECT_EQ(std::count(a[c].begin() + b[c].size(), a[c].end(), 0u), a[c].end() - a[c].begin() - b[c].size());
        a[c].resize(b[c].size());
    }
    EXPECT_EQ(a, b);
}

std::vector<uint32_t> Image(int frames, int lines, synth::FrameMarkers markers = synth::FrameMarkers::AroundFrames)
{
    synth::ImageScanPlan layout;
    layout.width = 6;
    layout.height = lines;
    layout.frames = frames;
    layout.lineSyncs = 3000;  // overflows inside lines in every layout
    layout.lineGap = 700;
    layout.frameMarkers = markers;
    layout.channels = {1, 2};
    layout.photonCount = [](int f, int y, int x, uint32_t ch) { return (f + y + x + static_cast<int>(ch)) % 3; };
    layout.dtimeOf = [](int, int y, int x, uint32_t ch, int k) { return static_cast<uint32_t>(x * 311 + y * 97 + k + ch); };
    return synth::MakeImageScan(layout).words;
}

} // namespace

// Line scans in the HydraHarp layouts: PhotonRuns.EveryLayoutPlacesTheHandCountedPhotons (test_scans_runs).
TEST(HarpRecords, EveryLayoutAndTheImagingTagsGiveThePicoHarpResults)
{
    QTemporaryDir dir;
    std::vector<synth::PointPhoton> photons;
    for (uint64_t i = 0; i < 3000; ++i)
        photons.push_back({50 + i * i % 7919 + i * 1500, 1 + static_cast<uint32_t>(i % 3 == 0), static_cast<uint32_t>(i * 37 % 4000)});
    const std::vector<uint32_t> point = synth::MakePointMeasurement(photons).words;
    const std::vector<uint32_t> image = Image(3, 4);

    const Converted pointRef(dir, point, kRecordTypes[0], 0, 0), imageRef(dir, image, kRecordTypes[0], 6, 4);
    const auto *p0 = pointRef.As<PointScan>();
    const auto *i0 = imageRef.As<ImageScan>();
    ASSERT_TRUE(p0 && i0);
    ASSERT_EQ(i0->numberOfFrames, 3u);
    for (uint32_t type : kRecordTypes) {
        SCOPED_TRACE(type);
        const Converted p(dir, point, type, 0, 0), i(dir, image, type, 6, 4);
        const auto *p1 = p.As<PointScan>();
        const auto *i1 = i.As<ImageScan>();
        ASSERT_TRUE(p1 && i1);
        EXPECT_EQ(p.file->photonsPerChannel, pointRef.file->photonsPerChannel);
        EXPECT_EQ(p1->photonTimes, p0->photonTimes);
        EXPECT_EQ(p1->traceCounts, p0->traceCounts);
        ExpectSameDelays(p1->delayCounts, p0->delayCounts);
        EXPECT_EQ(p1->lifetimeHistograms, p0->lifetimeHistograms);

        EXPECT_EQ(i.file->numberOfFrames, imageRef.file->numberOfFrames);
        EXPECT_EQ(i1->images, i0->images);
        EXPECT_EQ(i1->frameStartTimes, i0->frameStartTimes);
        ExpectSameDelays(i1->delayCounts, i0->delayCounts);
        EXPECT_EQ(i1->lifetimeHistograms, i0->lifetimeHistograms);
    }

    // Imaging tags move the markers: line start on bit 3 (value 4), line end on bit 4 (8), frame on bit 1 (1).
    std::array<uint32_t, 16> moved{};
    moved[1] = 4, moved[2] = 8, moved[4] = 1;
    using synth::PtuTag;
    const Converted tagged(dir, image, kRecordTypes[2], 6, 4,
                           {PtuTag::Int("ImgHdr_LineStart", 3), PtuTag::Int("ImgHdr_LineStop", 4), PtuTag::Int("ImgHdr_Frame", 1)},
                           &moved);
    const auto *i1 = tagged.As<ImageScan>();
    ASSERT_NE(i1, nullptr);
    EXPECT_EQ(i1->images, i0->images);
    EXPECT_TRUE(tagged.host.summary.contains("Marker 1 (Frame Marker) : 4\n Marker 4 (Start of Line) : 12\n"
                                             "   Marker 8 (End of Line) : 12\n"));
    EXPECT_TRUE(tagged.host.Messages(MessageWarning).isEmpty());

    // Tags that give one bit two meanings are set aside; a bit outside 1..4 gives its meaning no marker.
    const Converted clash(dir, image, kRecordTypes[0], 6, 4, {PtuTag::Int("ImgHdr_LineStart", 2), PtuTag::Int("ImgHdr_LineStop", 2)});
    EXPECT_TRUE(clash.host.Logged("The imaging tags give marker bit 2 two meanings: the PicoHarp markers 1, 2 and 4 are used",
                                  MessageWarning));
    EXPECT_EQ(clash.As<ImageScan>()->images, i0->images);
    const Converted noFrame(dir, image, kRecordTypes[0], 6, 4, {PtuTag::Int("ImgHdr_Frame", 7)});
    EXPECT_TRUE(noFrame.host.Logged("ImgHdr_Frame 7 is not a marker bit (1 to 4): no marker has its meaning", MessageWarning));
    EXPECT_EQ(noFrame.file->ScanType, ScanPoint);
}

TEST(HarpRecords, AreaImageWithoutFrameMarkersIsOneFrameOfItsLines)
{
    QTemporaryDir dir;
    using synth::PtuTag;
    const std::vector<uint32_t> lines = Image(1, 5, synth::FrameMarkers::None);
    const Converted reference(dir, Image(1, 5), kRecordTypes[0], 6, 5);
    const auto *l0 = reference.As<LineScan>();
    ASSERT_NE(l0, nullptr);
    // Only an area image (dimensions 3) with exactly ImgHdr_PixY whole lines;
    // its one frame is an image.
    for (const auto &[dimensions, pixY, scanType] : {std::tuple{3, 5, ScanImage}, {3, 4, ScanPoint}, {3, 6, ScanPoint}, {2, 5, ScanPoint}}) {
        SCOPED_TRACE(pixY);
        const Converted area(dir, lines, kRecordTypes[1], 6, pixY, {PtuTag::Int("ImgHdr_Dimensions", dimensions)});
        EXPECT_EQ(area.file->ScanType, scanType);
        if (scanType != ScanImage)
            continue;
        EXPECT_TRUE(area.host.Logged("Area image without frame markers: its 5 whole lines (ImgHdr_PixY) are one frame"));
        const auto *i1 = area.As<ImageScan>();
        ASSERT_NE(i1, nullptr);
        EXPECT_EQ(i1->images, l0->images);
        EXPECT_EQ(i1->frameStartTimes, std::vector<double>{l0->lineStartTimes[0]});
    }
}
