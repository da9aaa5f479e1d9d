// Conversion of an opened file into its analysis, on synthetic files and on
// the real instrument files named by FOTONEL_REAL_DATA.
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "files/PhotonFileFactory.h"
#include "scans/Conversion.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "tools/synth/RecordStream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <numeric>

namespace {

/// \p markers frame markers with a line between each pair.
std::vector<uint32_t> Markers(int markers)
{
    synth::RecordStream s;
    s.AddPhoton(2, 1, 10);
    uint64_t t = 10;
    for (int f = 0; f < markers; ++f) {
        s.AddMarker(t, 4);
        if (f + 1 == markers)
            break;
        s.AddMarker(t + 10, 1);
        s.AddPhoton(t + 15, 1, 10);
        s.AddMarker(t + 50, 2);
        t += 100;
    }
    s.AddPhoton(t + 10, 1, 10);
    return s.words;
}

} // namespace

TEST(MakeScan, OneAnalysisPerScanType)
{
    EXPECT_NE(dynamic_cast<ImageScan *>(MakeScan(ScanImage).get()), nullptr);
    EXPECT_NE(dynamic_cast<LineScan *>(MakeScan(ScanLine).get()), nullptr);
    EXPECT_NE(dynamic_cast<PointScan *>(MakeScan(ScanPoint).get()), nullptr);
    EXPECT_EQ(MakeScan(ScanUnknown), nullptr);
    EXPECT_EQ(MakeScan(7), nullptr);
}

TEST(ConvertFile, ReconstructsByScanType)
{
    TestHost host;
    std::unique_ptr<RSD> scan;
    MemoryFile image(host, Markers(3));
    ASSERT_TRUE(ConvertFile(host, "image.pt3", &image, scan));
    auto *imageScan = dynamic_cast<ImageScan *>(scan.get());
    ASSERT_NE(imageScan, nullptr);
    EXPECT_TRUE(imageScan->reconstructed);
    EXPECT_EQ(imageScan->numberOfFrames, 2u);

    MemoryFile line(host, Markers(2));
    ASSERT_TRUE(ConvertFile(host, "line.pt3", &line, scan));
    EXPECT_NE(dynamic_cast<LineScan *>(scan.get()), nullptr);
    EXPECT_TRUE(scan->reconstructed);

    MemoryFile point(host, Markers(0));
    ASSERT_TRUE(ConvertFile(host, "point.pt3", &point, scan));
    EXPECT_NE(dynamic_cast<PointScan *>(scan.get()), nullptr);
    EXPECT_TRUE(host.Messages(MessageError).isEmpty());
}

TEST(ConvertFile, UnconvertibleFileIsRefused)
{
    TestHost host;
    std::unique_ptr<RSD> scan = MakeScan(ScanPoint);
    MemoryFile unknown(host, Markers(0));
    unknown.ScanType = ScanUnknown;
    EXPECT_FALSE(ConvertFile(host, "/data/run1.pt3", &unknown, scan));
    EXPECT_EQ(scan, nullptr);  // the previous analysis is released
    EXPECT_FALSE(unknown.ok);
    MemoryFile unusable(host, Markers(3));
    unusable.ok = false;
    EXPECT_FALSE(ConvertFile(host, "run2.ptu", &unusable, scan));
    EXPECT_FALSE(ConvertFile(host, "run3.ptu", nullptr, scan));
    EXPECT_EQ(scan, nullptr);
    EXPECT_EQ(host.Messages(MessageError), (QStringList{"could not convert /data/run1.pt3", "could not convert run2.ptu",
                                                        "could not convert run3.ptu"}));
}

namespace {

class RealFile : public ::testing::Test {
protected:
    /// Copies the named real file into a temporary folder, opens and converts it.
    bool Convert(const QString &name)
    {
        const QByteArray folder = qgetenv("FOTONEL_REAL_DATA");
        if (folder.isEmpty())
            return false;
        const QString source = QDir(QString::fromLocal8Bit(folder)).filePath(name);
        EXPECT_TRUE(dir.isValid());
        path = dir.filePath(QFileInfo(name).fileName());
        EXPECT_TRUE(QFile::copy(source, path)) << source.toStdString();
        file = MakePhotonFile(host, path);
        EXPECT_NE(file, nullptr);
        if (!file)
            return false;
        EXPECT_TRUE(file->Open(path));
        EXPECT_TRUE(ConvertFile(host, path, file.get(), scan));
        return scan != nullptr;
    }

    /// Channel-1 photons whose delay lies in the channel's gate, counted from the raw words.
    uint32_t GatedChannelOnePhotons()
    {
        std::vector<double> lo, hi;
        host.GetGating(lo, hi);
        uint32_t n = 0;
        for (uint32_t w : file->records) {
            const uint32_t channel = w >> 28;
            const double delay = ((w >> 16) & 0xFFFu) * file->Resolution();
            if (channel == 1 && delay >= lo[0] && delay <= hi[0])
                ++n;
        }
        return n;
    }

    void CheckHazelnut(uint32_t photons)
    {
        auto *image = dynamic_cast<ImageScan *>(scan.get());
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->photonCounts, (std::vector<uint32_t>{photons, 0, 0, 0}));
        // Five frame markers, each at the end of its frame: the first frame
        // lies before the first marker and is kept, so five frames of 256 x 256.
        EXPECT_EQ(image->imageWidth, 256u);
        EXPECT_EQ(image->imageHeight, 256u);
        EXPECT_EQ(image->numberOfFrames, 5u);
        EXPECT_EQ(image->lineNSync, 126464u);
        // Every photon of these files lies inside a line: all that pass the gate are placed.
        const uint64_t sum = std::accumulate(image->images[0].begin(), image->images[0].end(), uint64_t(0));
        EXPECT_EQ(sum, image->gatedPhotonCount[0]);
        EXPECT_EQ(image->gatedPhotonCount[0], GatedChannelOnePhotons());
        EXPECT_EQ(std::accumulate(image->delayCounts[0].begin(), image->delayCounts[0].end(), uint64_t(0)),
                  image->gatedPhotonCount[0]);
        // The first frame opens with the first record, a line start at the
        // start of the measurement, and closes at the first frame marker.
        EXPECT_EQ(image->frameStartTimes.front(), image->firstFrameTime / 1e9);
        EXPECT_LT(image->frameStartTimes.front(), 1e-3);
        EXPECT_NEAR(image->frameMarkerTimes.front() - image->frameStartTimes.front(), 0.415, 0.001);
        EXPECT_TRUE(image->infoText.contains("   Final Number of Images : 5\n"));
        EXPECT_TRUE(image->infoText.contains("Frame before first marker : kept (256 whole lines)\n"));
    }

    QTemporaryDir dir;
    QString path;
    TestHost host;
    std::unique_ptr<pqFile> file;
    std::unique_ptr<RSD> scan;
};

#define REAL_FILE_OR_SKIP(name)                                                         \
    if (qgetenv("FOTONEL_REAL_DATA").isEmpty())                                         \
        GTEST_SKIP() << "FOTONEL_REAL_DATA is not set: real instrument files skipped"; \
    ASSERT_TRUE(Convert(name))

} // namespace

TEST_F(RealFile, PointMeasurementConvertsAsPointScan)
{
    REAL_FILE_OR_SKIP("FCSdata_SymphoTime32_A42F_Point_1.pt3");
    auto *point = dynamic_cast<PointScan *>(scan.get());
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->photonCounts, (std::vector<uint32_t>{191790, 0, 0, 0}));
    EXPECT_EQ(point->gatedCounts[0], GatedChannelOnePhotons());
    EXPECT_EQ(point->photonTimes[0].size(), point->gatedCounts[0]);
    // About 30 s of acquisition.
    EXPECT_NEAR((point->lastTime - point->firstTime) / 1e9, 30.0, 0.01);
    EXPECT_EQ(point->traceCounts[0].size(), 999u);
}

TEST_F(RealFile, TwoChannelPointMeasurement)
{
    REAL_FILE_OR_SKIP("FCS_point_correlator_topfluorPE_2_1_1_1.pt3");
    auto *point = dynamic_cast<PointScan *>(scan.get());
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->photonCounts, (std::vector<uint32_t>{482775, 490562, 0, 0}));
    EXPECT_EQ(point->activeChannels, (std::vector<uint32_t>{0, 1}));
    EXPECT_NEAR((point->lastTime - point->firstTime) / 1e9, 10.957, 0.001);
}

TEST_F(RealFile, HazelnutStackConvertsAsImageScan)
{
    REAL_FILE_OR_SKIP("napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z1.ptu");
    CheckHazelnut(150363);
}

TEST_F(RealFile, OtherHazelnutSliceConvertsAsImageScan)
{
    REAL_FILE_OR_SKIP("napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z11.ptu");
    CheckHazelnut(241151);
}

TEST_F(RealFile, SingleFrameImageIsALineScanOfItsLines)
{
    // Its only frame marker is the last record: every line lies before it.
    REAL_FILE_OR_SKIP("PTU_Reader_Example_PTU_PicoHarp.ptu");
    auto *line = dynamic_cast<LineScan *>(scan.get());
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->photonCounts[0], 722402u);
    EXPECT_EQ(line->imageHeight, 256u);
    EXPECT_EQ(line->lineNSync, 83200u);
    EXPECT_EQ(line->gatedPhotonCount[0], GatedChannelOnePhotons());
    EXPECT_EQ(std::accumulate(line->images[0].begin(), line->images[0].end(), uint64_t(0)), line->gatedPhotonCount[0]);
    EXPECT_NEAR(line->lineStartTimes[255] - line->lineStartTimes[0], 255 * 1066.4e-6, 1e-5);
    EXPECT_TRUE(host.Messages(MessageError).isEmpty());
    EXPECT_TRUE(host.Logged("Frame before the first frame marker kept: 256 whole lines"));
    EXPECT_TRUE(line->infoText.contains("          Number of Lines : 256\n"
                                        "Frame before first marker : kept (256 whole lines)\n"));
}

TEST_F(RealFile, HydraHarpBeadsImageWithoutFrameMarkersIsALineScanOfItsFiftyLines)
{
    // HydraHarp v2 records; lines start at marker bit 3 (value 4) and end at
    // bit 4 (value 8), as its imaging tags say; no frame marker at all.
    REAL_FILE_OR_SKIP("rejected/tttrlib_Microtime200_HH400_beads.ptu");
    auto *line = dynamic_cast<LineScan *>(scan.get());
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(host.Logged("Area image without frame markers: its 50 whole lines (ImgHdr_PixY) are one frame"));
    EXPECT_EQ(line->photonCounts, (std::vector<uint32_t>{52833, 20954, 0, 0}));
    ASSERT_EQ(line->imageWidth, 50u);
    ASSERT_EQ(line->imageHeight, 50u);
    EXPECT_EQ(line->lineNSync, 2001936u);
    EXPECT_TRUE(line->infoText.contains("    Frame without markers : 50 whole lines\n"));

    // The photons of each line counted from the raw words: special bit 31,
    // channel bits 25-30, dtime 10-24, nsync 0-9, overflows of 1024 x nsync.
    std::vector<double> lo, hi;
    host.GetGating(lo, hi);
    const double period = file->SyncPeriod(), resolution = file->Resolution();
    const double lineTime = line->lineNSync * period;
    uint64_t offset = 0;
    double start = 0;
    int row = -1;
    bool inLine = false;
    std::vector<uint64_t> expected(2 * 50, 0);
    for (uint32_t w : file->records) {
        const uint32_t channel = (w >> 25) & 63, nsync = w & 1023;
        if (w >> 31) {
            if (channel == 63)
                offset += 1024 * uint64_t(nsync ? nsync : 1);
            else if (channel == 4)
                start = (offset + nsync) * period, inLine = true, ++row;
            else if (channel == 8)
                inLine = false;
            continue;
        }
        const double delay = ((w >> 10) & 0x7FFF) * resolution;
        const double x = 50 * ((offset + nsync) * period + delay - start) / lineTime;
        if (inLine && channel < 2 && x >= 0 && x < 50 && delay >= lo[channel] && delay <= hi[channel])
            ++expected[channel * 50 + row];
    }
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t y = 0; y < 50; ++y) {
            const auto begin = line->images[c].begin() + y * 50;
            const uint64_t sum = std::accumulate(begin, begin + 50, uint64_t(0));
            EXPECT_EQ(sum, expected[c * 50 + y]) << "channel " << c + 1 << " line " << y;
            if (c == 0) {
                EXPECT_GT(sum, 0u) << "line " << y;
            }
        }
}
