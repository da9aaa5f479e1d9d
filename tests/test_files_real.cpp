// Instrument files open with the counts of an independent decoding; the
// HydraHarp T3 files too (the T2 files: test_convert_t2).

#include "support/RealData.h"

namespace {

struct Expected {
    const char *name;
    uint32_t records;
    double syncPeriod, resolution; ///< ns
    uint32_t overflows, marker1, marker2, marker4, ch1, ch2;
    int scanType, width, height;
    std::vector<const char *> headerLines = {}; ///< whole lines of the header text
};

const Expected kUsable[] = {
    {"FCSdata_SymphoTime32_A42F_Point_1.pt3", 229458, 1e9 / 19999131, 0.016, 9154, 14257, 14257, 0, 191790, 0, ScanPoint, 0, 0,
     {"             Creator Name : SymPhoTime", "          Creator Version : 5.3.2.2",
      "             Sync Divider : 8"}},
    {"FCSdata_SymphoTime32_A42F_Point_2.pt3", 211153, 1e9 / 19999038, 0.016, 9154, 14256, 14256, 0, 173487, 0, ScanPoint, 0, 0},
    {"FCSdata_SymphoTime32_A42F_Point_3.pt3", 205212, 1e9 / 19999142, 0.016, 9154, 14257, 14257, 0, 167544, 0, ScanPoint, 0, 0},
    {"FCSdata_SymphoTime32_A42F_Point_4.pt3", 208781, 1e9 / 19999000, 0.016, 9154, 14257, 14257, 0, 171113, 0, ScanPoint, 0, 0},
    {"FCSdata_SymphoTime32_A42F_Point_5.pt3", 204436, 1e9 / 19999081, 0.016, 9154, 14257, 14257, 0, 166768, 0, ScanPoint, 0, 0},
    {"FCSdata_SymphoTime32_A42F_Point_6.pt3", 205398, 1e9 / 19999157, 0.016, 9154, 14256, 14256, 0, 167732, 0, ScanPoint, 0, 0},
    {"FCS_point_correlator_topfluorPE_2_1_1_1.pt3", 986400, 1e9 / 78133041, 0.016, 13063, 0, 0, 0, 482775, 490562, ScanPoint, 0, 0},
    // One frame marker at the very end, after all 256 lines: one frame of an area image.
    {"PTU_Reader_Example_PTU_PicoHarp.ptu", 723240, 1e9 / 78020000, 0.09697, 325, 256, 256, 1, 722402, 0, ScanImage, 256, 256},
    {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z1.ptu", 155398, 1e9 / 78020000, 0.09697, 2470, 1280, 1280, 5, 150363, 0, ScanImage, 256, 256,
     {"                          CreatorSW_Name :SymPhoTime 64", "              TTResultFormat_TTTRRecType :66307"}},
    {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z2.ptu", 353982, 1e9 / 78020000, 0.09697, 2470, 1280, 1280, 5, 348947, 0, ScanImage, 256, 256},
    {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z10.ptu", 731977, 1e9 / 78020000, 0.09697, 2470, 1280, 1280, 5, 726942, 0, ScanImage, 256, 256},
    {"napari-flim-phasor-plotter_hazelnut_ptu_stack_FLIM_z11.ptu", 246186, 1e9 / 78020000, 0.09697, 2470, 1280, 1280, 5, 241151, 0, ScanImage, 256, 256},
};

using RealFiles = RealDataTest;

} // namespace

TEST_F(RealFiles, UsableFilesOpenWithTheirVerifiedCountsAndHeaderLines)
{
    for (const Expected &e : kUsable) {
        SCOPED_TRACE(e.name);
        ASSERT_TRUE(OpenCopy(e.name));
        EXPECT_EQ(std::make_pair(file->NumberOfRecords(), file->records.size()), std::make_pair(int(e.records), std::size_t(e.records)));
        EXPECT_NEAR(file->SyncPeriod(), e.syncPeriod, 1e-9);
        EXPECT_NEAR(file->Resolution(), e.resolution, 1e-6);
        const std::vector<uint32_t> &n = file->eventsPerMarker;
        ASSERT_EQ(n.size(), 17u);
        EXPECT_EQ(std::vector<uint32_t>({n[0], n[1], n[2], n[4], n[16]}),
                  std::vector<uint32_t>({e.overflows, e.marker1, e.marker2, e.marker4, e.ch1 + e.ch2}));
        EXPECT_EQ(file->photonsPerChannel, (std::vector<uint32_t>{e.ch1, e.ch2, 0, 0}));
        EXPECT_EQ(file->ScanType, e.scanType);
        EXPECT_EQ(std::make_pair(file->ImageWidth(), file->ImageHeight()), std::make_pair(e.width, e.height));
        EXPECT_TRUE(host.summary.startsWith(QString("        Number of Records : %1\n").arg(e.records)));
        EXPECT_TRUE(host.Messages(MessageWarning).isEmpty() && host.Messages(MessageError).isEmpty());
        for (const char *line : e.headerLines)
            EXPECT_TRUE(host.header.split('\n').contains(QString::fromLatin1(line))) << line;
    }
}

TEST_F(RealFiles, HydraHarpT3FilesOpen)
{
    // Counts from an independent decoding of the HydraHarp layout.
    const struct {
        const char *name;
        uint32_t overflows, marker4, marker8, ch1, ch2;
        int scanType;
    } t3[] = {
        {"picoquant-sample-data_hydraharp_v10_t3.ptu", 73241, 0, 0, 48001, 46559, ScanPoint},
        {"picoquant-sample-data_hydraharp_v20_t3.ptu", 28466, 0, 0, 45012, 32871, ScanPoint},
        {"tttrlib_Microtime200_HH400_beads.ptu", 30889, 50, 50, 52833, 20954, ScanImage},
    };
    for (const auto &e : t3) {
        SCOPED_TRACE(e.name);
        ASSERT_TRUE(OpenCopy(QStringLiteral("rejected/") + e.name));
        const std::vector<uint32_t> &n = file->eventsPerMarker;
        EXPECT_EQ(std::vector<uint32_t>({n[0], n[4], n[8], n[16]}),
                  std::vector<uint32_t>({e.overflows, e.marker4, e.marker8, e.ch1 + e.ch2}));
        EXPECT_EQ(file->photonsPerChannel, (std::vector<uint32_t>{e.ch1, e.ch2, 0, 0}));
        EXPECT_EQ(file->ScanType, e.scanType);
        EXPECT_TRUE(host.Messages(MessageWarning).isEmpty() && host.Messages(MessageError).isEmpty());
    }
    // The beads file's line markers carry their meanings in the summary.
    EXPECT_TRUE(host.summary.contains("Marker 4 (Start of Line) : 50\n   Marker 8 (End of Line) : 50\n"));
}
