// The .pt3 and .ptu readers: header texts, tag renderings, required values, damaged files; the record
// scan's counts, scan type and summary (of a generated image scan, checked pixel by pixel); refusals at open
// (no export folder left) and before allocation.

#include "files/PhotonFileFactory.h"
#include "files/pt3File.h"
#include "files/ptuFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "support/Files.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <sys/stat.h>

using synth::PtuHeader;
using synth::PtuTag;

namespace {

std::vector<uint32_t> Photons() { return {synth::PhotonWord(1, 10, 5), 0xF0040000u, synth::PhotonWord(2, 20, 6)}; }

/// The bytes of a .pt3 file whose default header is changed by \p edit.
QByteArray Pt3(const std::function<void(synth::Pt3Header &)> &edit, const std::vector<uint32_t> &words = Photons())
{
    synth::Pt3Header h;
    edit(h);
    return synth::Pt3Bytes(h, words);
}

/// A valid PicoHarp T3 .ptu header with \p extra tags in front of its own.
PtuHeader With(std::vector<PtuTag> extra)
{
    PtuHeader h = PtuHeader::PicoHarpT3();
    h.tags.insert(h.tags.begin(), extra.begin(), extra.end());
    return h;
}

/// A PicoHarp T3 .ptu header without the tag \p name.
PtuHeader Without(const std::string &name)
{
    PtuHeader h = PtuHeader::PicoHarpT3();
    h.tags.erase(std::remove_if(h.tags.begin(), h.tags.end(), [&](const PtuTag &t) { return t.name == name; }), h.tags.end());
    return h;
}

/// Records from a pattern: 'L' a whole line (start, photon, end), 'S' a line
/// start alone, 'E' a line end alone, '|' a frame marker, 'p' a stray photon.
std::vector<uint32_t> Pattern(const char *pattern)
{
    synth::RecordStream s;
    uint64_t t = 10;
    for (const char *c = pattern; *c; ++c) {
        switch (*c) {
        case 'L': s.AddMarker(t += 100, 1), s.AddPhoton(t += 50, 1, 7), s.AddMarker(t += 50, 2); break;
        case 'S': s.AddMarker(t += 100, 1); break;
        case 'E': s.AddMarker(t += 100, 2); break;
        case '|': s.AddMarker(t += 10, 4); break;
        default: s.AddPhoton(t += 10, 1, 9); break;
        }
    }
    return s.words;
}

class Reader : public ::testing::Test {
protected:
    /// Writes \p bytes as run.pt3 or run.ptu and opens it, chosen by its suffix, with a fresh log.
    bool OpenBytes(const QByteArray &bytes, const char *suffix = "pt3")
    {
        file.reset();
        const QString path = dir.filePath(QStringLiteral("run.") + suffix);
        EXPECT_TRUE(WriteAll(path, bytes));
        host.messages.clear();
        host.header.clear();
        host.summary.clear();
        host.progress.clear();
        file = MakePhotonFile(host, path);
        return file && file->Open(path);
    }
    bool OpenPt3(const std::function<void(synth::Pt3Header &)> &edit = [](auto &) {}, const std::vector<uint32_t> &words = Photons())
    {
        return OpenBytes(Pt3(edit, words));
    }
    bool Open(const std::vector<uint32_t> &words) { return OpenPt3([](auto &) {}, words); }
    bool OpenPtu(const PtuHeader &h) { return OpenBytes(synth::PtuBytes(h, Photons()), "ptu"); }
    /// True when the header text holds each of \p lines as a whole line.
    void ExpectLines(std::initializer_list<QString> lines) const
    {
        for (const QString &line : lines)
            EXPECT_TRUE(host.header.split('\n').contains(line)) << line.toStdString();
    }

    QTemporaryDir dir;
    TestHost host;
    std::unique_ptr<pqFile> file;
};

} // namespace

TEST_F(Reader, ReadsAValidPt3FileWithItsRouterAndImagingHeaderAndWritesItsHeaderText)
{
    ASSERT_TRUE(OpenPt3([](auto &h) { h.comment = "caf\xe9 sample"; })); // Latin-1 e acute: written back as that byte
    EXPECT_TRUE(host.Logged("Read records from file"));
    EXPECT_EQ(std::make_pair(file->NumberOfRecords(), file->NumberOfChannels()), std::make_pair(3, 4));
    EXPECT_EQ(std::make_pair(file->SyncPeriod(), file->Resolution()), std::make_pair(25.0, double(0.004f)));
    ExpectLines({"               Identifier : PicoHarp 300", "               Resolution : 0.004000 ns",
                 "                CFDLevel0 : -150.0 mV", "            CFDZeroCross0 :  10.0 mV",
                 "              Sync Period : 25.000000 ns", "                Sync Rate : 40000000 Hz",
                 "         Count Rate (Ch0) : 40000000 Hz", "         Acquisition Time : 1000 ms",
                 "                  Stop At : 0 counts", "               Stop After : 1000 ms",
                 "  Display Count Axis From : 0", "        Number Of Records : 3"});
    // The router block is left out for model code 0; with no imaging header the text ends with its size.
    EXPECT_TRUE(host.header.contains("           Router Enabled : 0\n         External Devices : 0\n"));
    EXPECT_TRUE(host.header.endsWith("      Imaging Header Size : 0 items\n"));
    const QByteArray bytes = ReadAll(dir.filePath("run_export/run.hdr"));
    EXPECT_EQ(bytes, host.header.toLatin1());
    EXPECT_TRUE(bytes.contains("                  Comment : caf\xe9 sample\n"));

    // Router lines and the imaging header.
    ASSERT_TRUE(OpenPt3([](auto &h) {
        h.routerModelCode = 1;
        h.router[0][0] = 3;    // input type
        h.router[0][1] = -200; // input level, mV
        h.router[0][4] = 7;    // CFD level, mV
        h.router[3][5] = -12;  // CFD zero cross, mV
    }));
    EXPECT_TRUE(host.header.contains("           Router Enabled : 0\n      Rt Chan1 Input Type : 3\n"));
    ExpectLines({"     Rt Chan1 Input Level : -200.0000 mV", "       Rt Chan1 CFD Level : 7.0000 mV"});
    EXPECT_TRUE(host.header.contains("  Rt Chan4 CFD Zero Cross : -12.0000 mV\n         External Devices : 0\n"));
    EXPECT_EQ(host.header.count("Rt Chan"), 24);

    const std::vector<uint32_t> words = {0xF0040000u, synth::PhotonWord(3, 4095, 65535)};
    const QByteArray imaged = Pt3([](auto &h) { h.imagingHeader = {1, 2, 3, 4, 5, 6, 64, 32, 9, -10}; }, words);
    ASSERT_EQ(imaged.size(), 768 + 8); // ten items: records at 728 + 40
    ASSERT_TRUE(OpenBytes(imaged));
    EXPECT_EQ(std::vector<uint32_t>(file->records.begin(), file->records.end()), words);
    EXPECT_EQ(std::make_pair(file->ImageWidth(), file->ImageHeight()), std::make_pair(64, 32));
    EXPECT_TRUE(host.header.contains("      Imaging Header Size : 10 items\n   Imaging Header item  0 : 1\n"));
    EXPECT_TRUE(host.header.endsWith("   Imaging Header item  9 : -10\n"));
    // Fewer than eight items describe no image.
    ASSERT_TRUE(OpenPt3([](auto &h) { h.imagingHeader = {1, 2, 3, 4, 5, 6, 64}; }));
    EXPECT_EQ(std::make_pair(file->ImageWidth(), file->ImageHeight()), std::make_pair(0, 0));
}

TEST_F(Reader, ReadsAPicoHarpT3PtuFileItsAnnouncedRecordCountAndEveryTagType)
{
    // The header announces more records than the three found, beyond 32 bits: the summary shows its count.
    ASSERT_TRUE(OpenPtu(PtuHeader::PicoHarpT3(40e6, 4e-12, 256, 128, (int64_t(1) << 32) + 5)));
    EXPECT_TRUE(host.Logged("Expected 4294967301 records, found 3", MessageWarning));
    EXPECT_TRUE(host.summary.startsWith("        Number of Records : 4294967301\n"));
    ExpectLines({"                TTResult_NumberOfRecords :4294967301"});
    EXPECT_EQ(std::make_pair(file->SyncPeriod(), file->Resolution()), std::make_pair(25.0, 0.004));
    EXPECT_EQ((std::vector<int>{file->ImageWidth(), file->ImageHeight(), file->NumberOfChannels(), file->NumberOfRecords(),
                                file->ScanType}),
              (std::vector<int>{256, 128, 4, 3, ScanLine}));
    EXPECT_TRUE(host.header.startsWith("                             Tag Version : 00.0.1\n"));
    EXPECT_TRUE(host.header.endsWith("                              Header_End :<empty Tag>\n"));

    // Tag renderings; without image tags the image has no size. The blob's 1000 bytes are skipped: the next tag
    // is read behind them. The text block of 3 bytes leaves the records at an odd offset.
    const std::pair<PtuTag, QString> cases[] = {
        {PtuTag::Text("File_Comment", "beads"), "                            File_Comment :beads"},
        {PtuTag::Int("ImgHdr_Ident", 3, 3), "                        ImgHdr_Ident (3) :3"},
        {PtuTag::Blob("ChkHistogram", 1000), "                            ChkHistogram :<Binary Blob contains 1000 Bytes>"},
        {PtuTag::FloatArray("HW_Offsets", std::vector<double>(10, 1.5)),
         "                              HW_Offsets :<Float Array with 10 Entries>"},
        {PtuTag::Int("Big", (int64_t(1) << 62) + 5), "                                     Big :4611686018427387909"},
        {PtuTag::Int("Negative", -7), "                                Negative :-7"},
        {PtuTag::Bool("Yes", true), "                                     Yes :True"},
        {PtuTag::Bool("No", false), "                                      No :False"},
        {PtuTag::Empty("Nothing"), "                                 Nothing :<empty Tag>"},
        {PtuTag::Float("MeasDesc_GlobalResolution", 1.2817e-08), "               MeasDesc_GlobalResolution :1.2817e-08"},
        {PtuTag::Float("Third", 1.0 / 81), "                                   Third :0.0123457"},
        {PtuTag::WideText("Wide", u"\u00e9t\u00e9"), QString("                                    Wide :\u00e9t\u00e9")},
        {PtuTag{"Bits", -1, synth::tyBitSet64, 0xFF, {}}, "                                    Bits :"},
        {PtuTag{"Colour", -1, synth::tyColor8, 0x123456, {}}, "                                  Colour :"},
        {PtuTag{"Created", -1, synth::tyTDateTime, 0x40E5000000000000ull, {}}, "                                 Created :"},
        {PtuTag{"Odd", -1, synth::tyAnsiString, 3, QByteArray("abc")}, "                                     Odd :abc"},
    };
    std::vector<PtuTag> tags;
    for (const auto &c : cases)
        tags.push_back(c.first);
    ASSERT_TRUE(OpenPtu(With(tags)));
    for (const auto &c : cases)
        ExpectLines({c.second});
    EXPECT_EQ(std::make_pair(file->ImageWidth(), file->ImageHeight()), std::make_pair(0, 0));
    EXPECT_EQ(std::vector<uint32_t>(file->records.begin(), file->records.end()), Photons());
}

TEST_F(Reader, BadHeaderValuesAndDamagedFilesAreRefusedWithTheirMessage)
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const auto ptu = [](const PtuHeader &h) { return std::make_pair(synth::PtuBytes(h, Photons()), "ptu"); };
    const auto pt3 = [](const std::function<void(synth::Pt3Header &)> &edit) { return std::make_pair(Pt3(edit), "pt3"); };
    const QString t2 = "This file was recorded in T2 mode with a record type this program does not know (0x%1): it cannot be read.";
    const QString unknown = "Unknown record type 0x%1: this is not a PicoQuant T3 file this program can read.";
    std::vector<std::pair<std::pair<QByteArray, const char *>, QString>> cases = {
        {pt3([](auto &h) { h.identifier = "PicoHarp 300 "; }), "This is not a PicoHarp 300 file"},
        {pt3([](auto &h) { h.formatVersion = "2.1"; }), "This program is for version 2.0 only"},
        {pt3([](auto &h) { h.formatVersion = "2.0 "; }), "This program is for version 2.0 only"},
        {pt3([](auto &h) { h.numberOfRecords = 0; }), "This file has zero records"},
        {pt3([](auto &h) { h.numberOfRecords = -7; }), "This file has zero records"},
        {pt3([](auto &h) { h.countRate0 = 0; }), "Invalid sync rate 0 in this file"},
        {pt3([](auto &h) { h.countRate0 = -40000000; }), "Invalid sync rate -40000000 in this file"},
        {pt3([](auto &h) { h.resolution = 0; }), "Invalid resolution 0 ns in this file"},
        {pt3([](auto &h) { h.resolution = -0.004f; }), "Invalid resolution -0.004 ns in this file"},
        {pt3([nan](auto &h) { h.resolution = nan; }), "Invalid resolution nan ns in this file"},
        {pt3([inf](auto &h) { h.resolution = inf; }), "Invalid resolution inf ns in this file"},
        {{"PQTTTR\0\0", "ptu"}, "error reading ptu header, aborted."},
        {ptu([] { PtuHeader h = PtuHeader::PicoHarpT3(); h.magic = "PQTTTX"; return h; }()), "Wrong Magic, this is not a PTU file."},
        // Cut inside the last tag head, before Header_End is complete.
        {{synth::PtuBytes(PtuHeader::PicoHarpT3(), {}).chopped(10), "ptu"}, "Incomplete File."},
        {ptu(Without("TTResultFormat_TTTRRecType")), "This is not a PicoHarp DU3 file."},
        {ptu(PtuHeader::PicoHarpT3(40e6, 4e-12, 0, 0, 0)), "This file has zero records"},
        {ptu(PtuHeader::PicoHarpT3(40e6, 4e-12, 0, 0, -3)), "This file has zero records"},
        {ptu(Without("TTResult_NumberOfRecords")), "This file has zero records"},  // counted as 0
        {ptu(PtuHeader::PicoHarpT3(0, 4e-12)), "Invalid sync rate 0 in this file"},
        {ptu(PtuHeader::PicoHarpT3(-5, 4e-12)), "Invalid sync rate -5 in this file"},
        {ptu(Without("TTResult_SyncRate")), "The sync rate (TTResult_SyncRate) is missing in this file"},
        {ptu(PtuHeader::PicoHarpT3(40e6, 0)), "Invalid resolution 0 ns in this file"},
        {ptu(PtuHeader::PicoHarpT3(40e6, -4e-12)), "Invalid resolution -0.004 ns in this file"},
        {ptu(PtuHeader::PicoHarpT3(40e6, std::numeric_limits<double>::quiet_NaN())), "Invalid resolution nan ns in this file"},
        {ptu(Without("MeasDesc_Resolution")), "The resolution (MeasDesc_Resolution) is missing in this file"},
        // Values an int holds: refused beyond 32 bits instead of being cut to their low bits.
        {ptu(With({PtuTag::Int("ImgHdr_PixX", int64_t(1) << 40)})), "ImgHdr_PixX = 1099511627776 does not fit in a 32-bit number"},
        {ptu(With({PtuTag::Int("ImgHdr_PixY", -(int64_t(1) << 31) - 1)})), "ImgHdr_PixY = -2147483649 does not fit in a 32-bit number"},
        // T2 and T3 record types of no known layout, by their code.
        {ptu(PtuHeader::T3(0x10208)), t2.arg("00010208")},
        {ptu(PtuHeader::T3(0x1010208)), t2.arg("01010208")},
        {ptu(PtuHeader::T3(0x10308)), unknown.arg("00010308")},
        {ptu(PtuHeader::T3(0x3)), unknown.arg("00000003")},
    };
    for (uint32_t type : {synth::tyAnsiString, synth::tyWideString, synth::tyBinaryBlob, synth::tyFloat8Array}) {
        for (uint64_t length : {uint64_t(1) << 40, uint64_t(200)}) {
            // The block claims more than the bytes that follow its head.
            QByteArray bytes = synth::PtuBytes(With({PtuTag{"Huge", -1, type, length, QByteArray(16, 'x')}}), {});
            bytes.truncate(16 + 48 + 16 + 40);
            cases.push_back({{bytes, "ptu"}, "Incomplete File."});
        }
    }
    for (int size : {0, 10, 20, 500, 723, 726})
        cases.push_back({{Pt3([](auto &) {}).left(size), "pt3"}, "The header of this file is incomplete"});
    for (int32_t n : {-1, 1000000000, 4}) {
        QByteArray bytes = Pt3([](auto &h) { h.numberOfRecords = 1; }, {});
        bytes.replace(724, 4, reinterpret_cast<const char *>(&n), 4);
        bytes.append(QByteArray(12, '\0')); // room for three items only
        cases.push_back({{bytes, "pt3"}, QString("Invalid imaging header size %1 in this file").arg(n)});
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto &[bytes, message] = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << message.toStdString());
        EXPECT_FALSE(OpenBytes(bytes.first, bytes.second));
        EXPECT_TRUE(host.Logged(message, MessageError));
        EXPECT_FALSE(host.Logged("Read records from file"));
        EXPECT_TRUE(host.header.isEmpty() && file->records.empty());
    }
}

TEST_F(Reader, FactoryAndChannelsOutsideOneToFour)
{
    EXPECT_NE(dynamic_cast<pt3File *>(MakePhotonFile(host, "/data/RUN1.PT3").get()), nullptr);
    EXPECT_NE(dynamic_cast<ptuFile *>(MakePhotonFile(host, "x/Run.PtU").get()), nullptr);
    EXPECT_EQ(MakePhotonFile(host, "/data/run1.txt"), nullptr);
    EXPECT_EQ(MakePhotonFile(host, "/data.pt3/run1"), nullptr);

    ASSERT_TRUE(OpenPt3([](auto &) {}, {synth::PhotonWord(0, 1, 1), synth::PhotonWord(1, 1, 2), synth::PhotonWord(7, 1, 3),
                                        synth::PhotonWord(14, 1, 4), synth::PhotonWord(4, 1, 5)}));
    EXPECT_TRUE(host.Logged("3 photons on channels outside 1..4 ignored", MessageWarning));
    EXPECT_EQ(file->photonsPerChannel, (std::vector<uint32_t>{1, 0, 0, 1}));
    EXPECT_EQ(file->eventsPerMarker[16], 5u);
}

TEST_F(Reader, GeneratedImageScanPixelCentresAndItsScanSummary)
{
    // 2 frames of 3 lines of 4 pixels, 500 syncs a line (400 scanned) from 65530: the one overflow falls inside
    // the first line.
    synth::ImageScanPlan layout;
    layout.width = 4;
    layout.height = 3;
    layout.frames = 2;
    layout.start = 65530;
    layout.lineSyncs = 400;
    layout.lineGap = 100;
    layout.channels = {1, 3};
    layout.photonCount = [](int, int, int x, uint32_t ch) { return ch == 1 ? x : 1; };
    layout.dtimeOf = [](int f, int y, int x, uint32_t, int) { return static_cast<uint32_t>(100 * f + 10 * y + x); };
    const synth::GeneratedScan s = synth::MakeImageScan(layout);
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

    // 60 photons, 12 line markers, 3 frame markers and the overflow.
    ASSERT_TRUE(Open(s.words));
    EXPECT_EQ(host.summary, "        Number of Records : 76\n"
                            "                 Overflow : 1\n"
                            " Marker 1 (Start of Line) : 6\n"
                            "   Marker 2 (End of Line) : 6\n"
                            "  Marker 4 (Frame Marker) : 3\n"
                            "                   Photon : 60\n"
                            "\n"
                            "                Channel 1 : 36\n"
                            "                Channel 2 : 0\n"
                            "                Channel 3 : 24\n"
                            "                Channel 4 : 0\n"
                            "\n"
                            "Image Scan File\n");
    EXPECT_EQ(std::make_pair(file->numberOfFrames, file->linesPerFrame), std::make_pair(2u, 3u));
    EXPECT_TRUE(host.Messages(MessageWarning).isEmpty());
}

TEST_F(Reader, ScanRunsOfWholeFramesBeforeTheFirstAndAfterTheLastMarkerAreFrames)
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
        EXPECT_EQ(std::make_pair(file->numberOfFrames, file->ScanType), std::make_pair(c.frames, c.type));
        EXPECT_EQ(host.Logged("Frame before the first frame marker kept: 3 whole lines"), c.leading);
        EXPECT_EQ(host.Logged("Frame after the last frame marker kept: 3 whole lines"), c.trailing);
        EXPECT_TRUE(host.Messages(MessageWarning).isEmpty());
        EXPECT_TRUE(host.summary.endsWith(c.type == ScanPoint ? "Point FCS File\n"
                                          : c.type == ScanLine ? "Line Scan File\n" : "Image Scan File\n"));
    }
}

TEST_F(Reader, ScanLinesPerFrameUnknownMarkersAndASecondScan)
{
    // Line ends after the last frame marker never count.
    std::vector<uint32_t> words = Pattern("LLLL|LLLL|p");
    words.insert(words.end(), 9, synth::MarkerWord(2, 60000));
    ASSERT_TRUE(Open(words));
    EXPECT_EQ(file->linesPerFrame, 4u);
    // Scanning again changes nothing.
    const QString summary = host.summary;
    const std::vector<uint32_t> markers = file->eventsPerMarker;
    file->photonsPerChannel[0] = 12345;
    EXPECT_TRUE(file->ScanRecords());
    EXPECT_TRUE(host.summary == summary && file->eventsPerMarker == markers && file->photonsPerChannel[0] == 12345u);

    // Unknown markers are listed and warned of once per value.
    ASSERT_TRUE(
        Open({synth::MarkerWord(3, 1), synth::MarkerWord(8, 2), synth::MarkerWord(3, 3), synth::PhotonWord(1, 0, 4)}));
    EXPECT_TRUE(host.summary.contains("                 Overflow : 0\n"
                                      "                 Marker 3 : 2\n"
                                      "                 Marker 8 : 1\n"
                                      "                   Photon : 1\n"));
    EXPECT_EQ(host.Messages(MessageWarning), QStringList({"Unknown Markers in File", "Unknown Markers in File"}));
}

TEST_F(Reader, ScanProgressMovesOnlyAtFrameMarkersAndCountsDoNotDependOnTheUnrolledLoop)
{
    // Markers at indices 0, 4 and 8 of 9 records.
    std::vector<uint32_t> words;
    for (uint32_t i = 0; i < 9; ++i)
        words.push_back(i % 4 == 0 ? synth::MarkerWord(4, i) : synth::PhotonWord(1, 0, i));
    ASSERT_TRUE(Open(words));
    EXPECT_EQ(std::make_pair(host.progress, host.eventsProcessed), std::make_pair(std::vector<int>{0, 0, 50, 100, 100}, 3));
    // One record that is a frame marker: the scan is done at it.
    ASSERT_TRUE(Open({synth::MarkerWord(4, 1)}));
    EXPECT_EQ(host.progress, (std::vector<int>{0, 100, 100}));
    EXPECT_EQ(file->ScanType, ScanLine);

    // The counts do not depend on where records fall in the unrolled loop: 4n + 0..3 records, specials at every
    // position modulo 4.
    for (uint32_t n = 1; n <= 11; ++n) {
        words.clear();
        for (uint32_t i = 0; i < n; ++i)
            words.push_back(i % 3 == 0 ? synth::MarkerWord(1 + i % 2, 0) : synth::PhotonWord(1 + i % 4, 0, 0));
        ASSERT_TRUE(Open(words));
        const uint32_t specials = (n + 2) / 3; // indices 0, 3, 6, 9
        EXPECT_EQ(file->eventsPerMarker[1] + file->eventsPerMarker[2], specials) << n;
        EXPECT_EQ(file->eventsPerMarker[16], n - specials) << n;
    }
}

TEST(OpenRefusals, EveryRefusalNamesItsCauseAtErrorLevelAndLeavesNoFolder)
{
    const auto bytes = [](const QByteArray &b) { return [b](const QString &path) { ASSERT_TRUE(WriteAll(path, b)); }; };
    synth::PtuHeader oddTag = synth::PtuHeader::PicoHarpT3();
    oddTag.tags.push_back({"Odd", -1, 0x12345678u, 0, {}});
    const struct {
        const char *name;                              // file name inside the temporary folder
        std::function<void(const QString &path)> make; // lays the file (or what stands in its name)
        const char *reason;                            // part of the error line
    } cases[] = {
        {"gone.pt3", [](const QString &) {}, "does not exist"},
        {"fifo.pt3", [](const QString &p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0600), 0); },
         "is not a regular file"},
        {"folder.pt3", [](const QString &p) { ASSERT_TRUE(QDir().mkpath(p)); }, "is a folder"},
        {"link.ptu", [](const QString &p) { ASSERT_TRUE(QFile::link(p + ".target", p)); }, "which does not exist"},
        {"run.txt", bytes("x"), "only .pt3 and .ptu"},
        {"tag.ptu", bytes(synth::PtuBytes(oddTag, Photons())), "Illegal Type identifier found! Broken file?"},
        {"cut.pt3", bytes(Pt3([](auto &) {}).left(728 + 2)),
         "The file ends before its first record: the header announces 3 records, none is complete"},
        {"fine.pt3", bytes(Pt3([](auto &h) { h.resolution = 1e-45f; })), "(Resolution) is finer than"},
        {"slow.pt3", bytes(Pt3([](auto &h) { h.countRate0 = 5; })), "Sync rate 5 Hz (Count Rate (Ch0))"},
        {"slow.ptu", bytes(synth::PtuBytes(synth::PtuHeader::PicoHarpT3(2), Photons())), "Sync rate 2 Hz (TTResult_SyncRate)"},
        {"fine.ptu", bytes(synth::PtuBytes(synth::PtuHeader::PicoHarpT3(40e6, 1e-20), Photons())),
         "(MeasDesc_Resolution) is finer than"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        c.make(path);
        TestHost host;
        std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
        if (file) {
            EXPECT_FALSE(file->Open(path));
        }
        const QString errors = host.Messages(MessageError).join('\n');
        EXPECT_TRUE(errors.contains(QString::fromLatin1(c.reason))) << errors.toStdString();
        EXPECT_FALSE(QFileInfo::exists(path.left(path.lastIndexOf('.')) + "_export")) << "export folder left behind";
    }
}

/// A folder nobody may write into: without the owner's write permission, or
/// (root writes anywhere else) immutable. Undone when it goes.
struct UnwritableFolder {
    QString path, reason;
    bool immutable = false;
    explicit UnwritableFolder(const QString &folder) : path(folder)
    {
        if (!QDir().mkpath(path))
            return;
        if (::geteuid() != 0) {
            if (QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner))
                reason = QString::fromLocal8Bit(std::strerror(EACCES));
            return;
        }
        immutable = SetImmutable(true);
        if (immutable)
            reason = QString::fromLocal8Bit(std::strerror(EPERM));
    }
    ~UnwritableFolder()
    {
        if (immutable)
            SetImmutable(false);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    bool SetImmutable(bool on) const
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        set = set && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return set;
    }
};

TEST_F(Reader, AnExportFolderThatCannotBeWrittenRefusesTheOpenWithTheReason)
{
    const UnwritableFolder folder(dir.filePath("run_export"));
    if (folder.reason.isEmpty())
        GTEST_SKIP() << "run as root on a file system without immutable folders: every folder can be written";
    EXPECT_FALSE(OpenPt3());
    EXPECT_TRUE(host.Logged("Export Folder " + folder.path + " cannot be written: " + folder.reason, MessageError));
}

TEST_F(Reader, AnExportFolderThatWasThereBeforeIsKeptAndTheMeasurementIsLeftUnchanged)
{
    ASSERT_TRUE(QDir().mkpath(dir.filePath("run_export")));
    EXPECT_FALSE(OpenPt3([](auto &h) { h.countRate0 = 0; }));
    EXPECT_TRUE(QFileInfo(dir.filePath("run_export")).isDir());

    // A read-only measurement opens, and writing the records leaves it as it was.
    const QString path = dir.filePath("run.pt3");
    const QByteArray bytes = Pt3([](auto &) {});
    file.reset();
    ASSERT_TRUE(WriteAll(path, bytes));
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    file = MakePhotonFile(host, path);
    ASSERT_TRUE(file->Open(path));
    file->WriteRecords();
    EXPECT_EQ(ReadAll(path), bytes);
}

TEST_F(Reader, AnImageWidthOfAHundredMillionIsRefusedBeforeAnyAllocation)
{
    synth::ImageScanPlan plan;
    plan.width = plan.height = 4;
    plan.frames = 2;
    ASSERT_TRUE(OpenPt3([](auto &h) { h.imagingHeader = {0, 0, 0, 0, 0, 0, 100000000, 4}; }, synth::MakeImageScan(plan).words));
    std::unique_ptr<RSD> analysis;
    ConvertFile(host, dir.filePath("run.pt3"), file.get(), analysis);
    ASSERT_TRUE(analysis);
    EXPECT_FALSE(analysis->gathered);
    const QString errors = host.Messages(MessageError).join('\n');
    EXPECT_TRUE(errors.contains("Image width 100000000 with 4 lines and 2 frames in 1 channels needs 7630 MB, more than the"))
        << errors.toStdString();
}
