// Conversion of an opened file into its analysis: refusals, and the real instrument files named by FOTONEL_REAL_DATA.
#include "support/MemoryFile.h"
#include "support/RealData.h"
#include "support/TestHost.h"
#include "scans/Conversion.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

class RealFile : public RealDataTest {
protected:
    /// Opens a copy of the named real file and converts it.
    bool Convert(const QString &name) { return OpenCopy(name) && ConvertFile(host, path, file.get(), scan) && scan; }

    /// Channel-1 photons whose delay lies in the channel's gate, counted from the raw words.
    uint32_t GatedChannelOnePhotons()
    {
        std::vector<double> lo, hi;
        host.GetGating(lo, hi);
        uint32_t n = 0;
        for (uint32_t w : file->records) {
            const double delay = ((w >> 16) & 0xFFFu) * file->Resolution();
            n += (w >> 28) == 1 && delay >= lo[0] && delay <= hi[0];
        }
        return n;
    }

    std::unique_ptr<RSD> scan;
};

} // namespace

TEST(ConvertFile, UnconvertibleFileIsRefused)
{
    EXPECT_TRUE(MakeScan(ScanUnknown) == nullptr && MakeScan(7) == nullptr);
    TestHost host;
    std::unique_ptr<RSD> scan = MakeScan(ScanPoint);
    const std::vector<uint32_t> words{synth::PhotonWord(1, 0, 0), synth::PhotonWord(1, 0, 20)};
    MemoryFile unknown(host, words), unusable(host, words);
    unknown.ScanType = ScanUnknown;
    EXPECT_FALSE(ConvertFile(host, "/data/run1.pt3", &unknown, scan));
    EXPECT_EQ(scan, nullptr);  // the previous analysis is released
    EXPECT_FALSE(unknown.ok);
    unusable.ok = false;
    EXPECT_FALSE(ConvertFile(host, "run2.ptu", &unusable, scan));
    EXPECT_FALSE(ConvertFile(host, "run3.ptu", nullptr, scan));
    EXPECT_EQ(host.Messages(MessageError), (QStringList{"could not convert /data/run1.pt3", "could not convert run2.ptu",
                                                        "could not convert run3.ptu"}));
}

TEST_F(RealFile, PointMeasurementConvertsAsPointScan)
{
    ASSERT_TRUE(Convert("FCSdata_SymphoTime32_A42F_Point_1.pt3"));
    auto *point = dynamic_cast<PointScan *>(scan.get());
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->photonCounts, (std::vector<uint32_t>{191790, 0, 0, 0}));
    EXPECT_EQ(point->gatedCounts[0], GatedChannelOnePhotons());
    EXPECT_EQ(point->photonTimes[0].size(), point->gatedCounts[0]);
    EXPECT_NEAR((point->lastTime - point->firstTime) / 1e9, 30.0, 0.01);  // about 30 s of acquisition
    EXPECT_EQ(point->traceCounts[0].size(), 999u);
}

TEST_F(RealFile, TwoChannelPointMeasurementAndItsCorrelations)
{
    ASSERT_TRUE(Convert("FCS_point_correlator_topfluorPE_2_1_1_1.pt3"));
    auto *point = dynamic_cast<PointScan *>(scan.get());
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->photonCounts, (std::vector<uint32_t>{482775, 490562, 0, 0}));
    EXPECT_EQ(point->activeChannels, (std::vector<uint32_t>{0, 1}));
    EXPECT_NEAR((point->lastTime - point->firstTime) / 1e9, 10.957, 0.001);

    host.ncasc = 15;  // lags up to 26 ms, past the slow decay of this sample
    point->ComputeCorrelations();
    EXPECT_EQ(point->lagEdges.front(), 51);  // 0.05 µs made 4 sync periods of 12.8 ns
    ASSERT_EQ(point->correlations.size(), 4u);
    const std::vector<double> &G12 = point->correlations[1], &G21 = point->correlations[2];
    ASSERT_EQ(G12.size(), 239u);
    for (std::size_t k = 223; k < 239; ++k)  // the last cascade, 13 to 26 ms
        for (const std::vector<double> &G : point->correlations)
            EXPECT_NEAR(G[k], 1, 0.03) << "bin " << k;
    for (std::size_t k = 0; k < 239; k += 16)
        EXPECT_NEAR(G12[k], G21[k], 0.05 * G12[k]) << "bin " << k;
}

TEST_F(RealFile, PicoHarpImagesConvertAsImageScans)
{
    // The hazelnut slices have five frame markers, each at the end of its frame: the first frame lies
    // before the first marker and is kept. The example's only frame marker is its last record: every line
    // lies before it, and ImgHdr_Dimensions 3 with ImgHdr_PixY 256 make that one frame an image.
    const struct {
        const char *name;
        uint32_t photons, frames, lineNSync;
        const char *text;
    } cases[] = {
        {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z1.ptu", 150363, 5, 126464,
         "   Final Number of Images : 5\nFrame before first marker : kept (256 whole lines)\n"},
        {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z11.ptu", 241151, 5, 126464,
         "   Final Number of Images : 5\nFrame before first marker : kept (256 whole lines)\n"},
        {"PTU_Reader_Example_PTU_PicoHarp.ptu", 722402, 1, 83200,
         "   Final Number of Images : 1\n"
         "          One frame image : area image (ImgHdr_Dimensions 3) of 256 lines (ImgHdr_PixY)\n"
         "Frame before first marker : kept (256 whole lines)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Convert(c.name));
        auto *image = dynamic_cast<ImageScan *>(scan.get());
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->photonCounts, (std::vector<uint32_t>{c.photons, 0, 0, 0}));
        EXPECT_TRUE(image->imageWidth == 256 && image->imageHeight == 256 && image->numberOfFrames == c.frames);
        EXPECT_EQ(image->lineNSync, c.lineNSync);
        // Every photon of these files lies inside a line: all that pass the gate are placed.
        EXPECT_EQ(image->gatedPhotonCount[0], GatedChannelOnePhotons());
        EXPECT_EQ(std::accumulate(image->images[0].begin(), image->images[0].end(), uint64_t(0)),
                  image->gatedPhotonCount[0]);
        EXPECT_EQ(std::accumulate(image->delayCounts[0].begin(), image->delayCounts[0].end(), uint64_t(0)),
                  image->gatedPhotonCount[0]);
        // Mean and variance are images of a frame, not profiles along a line.
        EXPECT_TRUE(image->meanImages[0].size() == 256u * 256u && image->varianceImages[0].size() == 256u * 256u);
        EXPECT_TRUE(image->infoText.contains(c.text)) << image->infoText.toStdString();
        EXPECT_TRUE(host.Messages(MessageError).isEmpty());
        if (c.frames == 1) {
            EXPECT_NEAR(image->lineSamplingPeriod, 1066.4e-6, 1e-7);
            EXPECT_TRUE(host.Logged("One frame of an area image (ImgHdr_Dimensions 3) with its 256 lines (ImgHdr_PixY): an image scan"));
            continue;
        }
        // The first frame opens with the first record, a line start at the
        // start of the measurement, and closes at the first frame marker.
        EXPECT_EQ(image->frameStartTimes.front(), image->firstFrameTime / 1e9);
        EXPECT_LT(image->frameStartTimes.front(), 1e-3);
        EXPECT_NEAR(image->frameMarkerTimes.front() - image->frameStartTimes.front(), 0.415, 0.001);
    }
}

TEST_F(RealFile, HydraHarpAreaImageWithoutFrameMarkers)
{
    // HydraHarp v2 records; lines start at marker bit 3 (value 4) and end at
    // bit 4 (value 8), as its imaging tags say; no frame marker at all.
    ASSERT_TRUE(Convert("rejected/tttrlib_Microtime200_HH400_beads.ptu"));
    auto *image = dynamic_cast<ImageScan *>(scan.get());
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(host.Logged("Area image without frame markers: its 50 whole lines (ImgHdr_PixY) are one frame"));
    EXPECT_EQ(image->photonCounts, (std::vector<uint32_t>{52833, 20954, 0, 0}));
    ASSERT_TRUE(image->imageWidth == 50 && image->imageHeight == 50 && image->numberOfFrames == 1);
    EXPECT_EQ(image->meanImages[0].size(), 50u * 50u);
    EXPECT_EQ(image->lineNSync, 2001936u);
    EXPECT_TRUE(image->infoText.contains("of 50 lines (ImgHdr_PixY)\n    Frame without markers : 50 whole lines\n"));

    // Every line holds channel-1 photons, and every photon placed in the stack has its delay counted.
    for (uint32_t c = 0; c < 2; ++c) {
        uint64_t placed = 0;
        for (uint32_t y = 0; y < 50; ++y) {
            const uint64_t line = std::accumulate(image->images[c].begin() + y * 50,
                                                  image->images[c].begin() + y * 50 + 50, uint64_t(0));
            EXPECT_TRUE(c == 1 || line > 0) << "line " << y;
            placed += line;
        }
        EXPECT_EQ(placed, std::accumulate(image->delayCounts[c].begin(), image->delayCounts[c].end(), uint64_t(0)));
        EXPECT_GT(placed, 0u);
    }
}
