// The record scan: counts, scan type and the summary text.

#include "files/pt3File.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class ScanTest : public ::testing::Test {
protected:
    bool Open(const std::vector<uint32_t> &words)
    {
        const QString path = dir.filePath(QStringLiteral("scan%1.pt3").arg(++opened));
        EXPECT_TRUE(synth::WritePt3(path, synth::Pt3Header(), words));
        host.messages.clear();
        host.summary.clear();
        host.progress.clear();
        file = std::make_unique<pt3File>(host);
        return file->Open(path);
    }
    static synth::ImageScanPlan Layout(int width, int height, int frames, uint64_t lineSyncs, uint64_t lineGap)
    {
        synth::ImageScanPlan layout;
        layout.width = width;
        layout.height = height;
        layout.frames = frames;
        layout.lineSyncs = lineSyncs;
        layout.lineGap = lineGap;
        return layout;
    }

    QTemporaryDir dir;
    TestHost host;
    std::unique_ptr<pt3File> file;
    int opened = 0;
};

} // namespace

TEST_F(ScanTest, SummaryOfALargeImageScan)
{
    // 100 frames of 512 lines between 101 frame markers; the last event lies
    // in the 3052nd overflow period, so there are 3051 overflows.
    synth::ImageScanPlan layout = Layout(11, 512, 100, 3000, 905);
    layout.start = 3051ull * 65536 - (51199ull * 3905 + 3000) + 1000;
    layout.channels = {1, 2};
    layout.photonCount = [](int f, int y, int x, uint32_t ch) {
        const long slot = ((static_cast<long>(f) * 512 + y) * 11 + x) * 2 + static_cast<long>(ch) - 1;
        return slot < 1094448 ? 1 : 0;
    };
    const synth::GeneratedScan scan = synth::MakeImageScan(layout);
    ASSERT_EQ(scan.words.size(), 1200000u);
    ASSERT_EQ(scan.overflows, 3051u);

    ASSERT_TRUE(Open(scan.words));
    EXPECT_EQ(host.summary, "        Number of Records : 1200000\n"
                            "                 Overflow : 3051\n"
                            " Marker 1 (Start of Line) : 51200\n"
                            "   Marker 2 (End of Line) : 51200\n"
                            "  Marker 4 (Frame Marker) : 101\n"
                            "                   Photon : 1094448\n"
                            "\n"
                            "                Channel 1 : 547224\n"
                            "                Channel 2 : 547224\n"
                            "                Channel 3 : 0\n"
                            "                Channel 4 : 0\n"
                            "\n"
                            "Image Scan File\n");
    EXPECT_EQ(file->ScanType, ScanImage);
    EXPECT_EQ(file->numberOfFrames, 100u);
    EXPECT_EQ(file->linesPerFrame, 512u);
    EXPECT_TRUE(host.Messages(MessageWarning).isEmpty());
}

namespace {

/// Records from a pattern: 'L' a whole line (start, photon, end), 'S' a line
/// start alone, 'E' a line end alone, '|' a frame marker, 'p' a stray photon.
std::vector<uint32_t> Pattern(const char *pattern)
{
    synth::RecordStream s;
    uint64_t t = 10;
    for (const char *c = pattern; *c; ++c) {
        switch (*c) {
        case 'L':
            s.AddMarker(t += 100, 1);
            s.AddPhoton(t += 50, 1, 7);
            s.AddMarker(t += 50, 2);
            break;
        case 'S': s.AddMarker(t += 100, 1); break;
        case 'E': s.AddMarker(t += 100, 2); break;
        case '|': s.AddMarker(t += 10, 4); break;
        default: s.AddPhoton(t += 10, 1, 9); break;
        }
    }
    return s.words;
}

} // namespace

TEST_F(ScanTest, RunsOfWholeFramesBeforeTheFirstAndAfterTheLastMarkerAreFrames)
{
    struct {
        const char *pattern;
        uint32_t frames;
        bool leading, trailing;
        int type;
    } cases[] = {
        {"|LLL|LLL|LLL|", 3, false, false, ScanImage},  // markers around every frame
        {"LLL|LLL|LLL|", 3, true, false, ScanImage},    // markers after each frame
        {"|LLL|LLL|LLLp", 3, false, true, ScanImage},   // markers before each frame
        {"LLL|LLL|LLL", 3, true, true, ScanImage},      // markers between frames only
        {"pLLLp|", 1, true, false, ScanLine},           // one frame closed by its only marker
        {"LL|LLL|LLL|", 2, false, false, ScanImage},    // a leading run shorter than H
        {"|LLL|LLL|LLS", 2, false, false, ScanImage},   // a trailing run cut short
        {"ELLL|LLL|LLEL", 1, false, false, ScanLine},   // a line end without its start spoils a run
        {"|LLLLLL", 1, false, false, ScanLine},         // H = 0 before the only marker: no run is whole
        {"ELLLpLL", 0, false, false, ScanPoint},        // line markers without frame markers
        {"p", 0, false, false, ScanPoint},              // 0 to 3 frame markers and no lines
        {"|p", 1, false, false, ScanLine},
        {"||p", 1, false, false, ScanLine},
        {"|||p", 2, false, false, ScanImage},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern);
        ASSERT_TRUE(Open(Pattern(c.pattern)));
        EXPECT_EQ(file->numberOfFrames, c.frames);
        EXPECT_EQ(file->ScanType, c.type);
        EXPECT_EQ(file->frames.leading, c.leading);
        EXPECT_EQ(file->frames.trailing, c.trailing);
        EXPECT_EQ(host.Logged("Frame before the first frame marker kept: 3 whole lines"), c.leading);
        EXPECT_EQ(host.Logged("Frame after the last frame marker kept: 3 whole lines"), c.trailing);
        EXPECT_TRUE(host.Messages(MessageWarning).isEmpty());
        EXPECT_TRUE(host.summary.endsWith(c.type == ScanPoint ? "Point FCS File\n"
                                          : c.type == ScanLine ? "Line Scan File\n" : "Image Scan File\n"));
    }
}

TEST_F(ScanTest, LinesPerFrameIsTheLargestCountBetweenFrameMarkers)
{
    ASSERT_TRUE(Open(synth::MakeImageScan(Layout(2, 512, 2, 100, 10)).words));
    EXPECT_EQ(file->linesPerFrame, 512u);

    // Line ends after the last frame marker never count.
    std::vector<uint32_t> words = Pattern("LLLL|LLLL|p");
    for (int i = 0; i < 9; ++i)
        words.push_back(synth::MarkerWord(2, 60000));
    ASSERT_TRUE(Open(words));
    EXPECT_EQ(file->linesPerFrame, 4u);
}

TEST_F(ScanTest, UnknownMarkersAreListedAndWarnedOncePerValue)
{
    ASSERT_TRUE(Open({synth::MarkerWord(8, 1), synth::MarkerWord(8, 2), synth::PhotonWord(1, 0, 3)}));
    EXPECT_TRUE(host.summary.contains("                 Overflow : 0\n"
                                      "                 Marker 8 : 2\n"
                                      "                   Photon : 1\n"));
    EXPECT_EQ(host.Messages(MessageWarning), QStringList{"Unknown Markers in File"});

    ASSERT_TRUE(Open({synth::MarkerWord(3, 1), synth::MarkerWord(8, 2), synth::MarkerWord(3, 3)}));
    EXPECT_TRUE(host.summary.contains("                 Marker 3 : 2\n                 Marker 8 : 1\n"));
    EXPECT_EQ(host.Messages(MessageWarning), QStringList({"Unknown Markers in File", "Unknown Markers in File"}));
}

TEST_F(ScanTest, ProgressMovesOnlyAtFrameMarkers)
{
    // Markers at indices 0, 4 and 8 of 9 records.
    std::vector<uint32_t> words;
    for (int i = 0; i < 9; ++i)
        words.push_back(i % 4 == 0 ? synth::MarkerWord(4, static_cast<uint32_t>(i)) : synth::PhotonWord(1, 0, static_cast<uint32_t>(i)));
    ASSERT_TRUE(Open(words));
    EXPECT_EQ(host.progress, (std::vector<int>{0, 0, 50, 100, 100}));
    EXPECT_EQ(host.eventsProcessed, 3);

    // One record that is a frame marker: the scan is done at it.
    ASSERT_TRUE(Open({synth::MarkerWord(4, 1)}));
    EXPECT_EQ(host.progress, (std::vector<int>{0, 100, 100}));
    EXPECT_EQ(file->ScanType, ScanLine);
}

TEST_F(ScanTest, SecondScanChangesNothing)
{
    ASSERT_TRUE(Open(Pattern("LL|LL|LL|p")));
    const QString summary = host.summary;
    const std::vector<uint32_t> markers = file->eventsPerMarker;
    file->photonsPerChannel[0] = 12345;
    EXPECT_TRUE(file->ScanRecords());
    EXPECT_EQ(host.summary, summary);
    EXPECT_EQ(file->eventsPerMarker, markers);
    EXPECT_EQ(file->photonsPerChannel[0], 12345u);
}

TEST_F(ScanTest, CountsDoNotDependOnWhereRecordsFallInTheUnrolledLoop)
{
    // 4n + 0..3 records with specials at every position modulo 4.
    for (int n = 1; n <= 11; ++n) {
        std::vector<uint32_t> words;
        for (int i = 0; i < n; ++i)
            words.push_back(i % 3 == 0 ? synth::MarkerWord(static_cast<uint32_t>(1 + i % 2), 0)
                                       : synth::PhotonWord(static_cast<uint32_t>(1 + i % 4), 0, 0));
        ASSERT_TRUE(Open(words));
        const uint32_t specials = static_cast<uint32_t>(n + 2) / 3; // indices 0, 3, 6, 9
        EXPECT_EQ(file->eventsPerMarker[1] + file->eventsPerMarker[2], specials) << n;
        EXPECT_EQ(file->eventsPerMarker[16], static_cast<uint32_t>(n) - specials) << n;
    }
}
