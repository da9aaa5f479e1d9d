// The .ptu reader: tag renderings, required tags, damaged files.

#include "files/PhotonFileFactory.h"
#include "files/ptuFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/SyntheticFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <limits>

using synth::PtuHeader;
using synth::PtuTag;

namespace {

class PtuTest : public ::testing::Test {
protected:
    bool OpenBytes(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("img%1.ptu").arg(++opened));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        host.messages.clear();
        host.header.clear();
        file = std::make_unique<ptuFile>(host);
        return file->Open(path);
    }
    bool Open(const PtuHeader &h, const std::vector<uint32_t> &words = Photons())
    {
        return OpenBytes(synth::PtuBytes(h, words));
    }
    /// A valid PicoHarp T3 header with \p extra tags in front of its own.
    static PtuHeader With(std::vector<PtuTag> extra)
    {
        PtuHeader h = PtuHeader::PicoHarpT3();
        h.tags.insert(h.tags.begin(), extra.begin(), extra.end());
        return h;
    }
    /// A PicoHarp T3 header without the tag \p name.
    static PtuHeader Without(const std::string &name)
    {
        PtuHeader h = PtuHeader::PicoHarpT3();
        for (auto it = h.tags.begin(); it != h.tags.end(); ++it)
            if (it->name == name) {
                h.tags.erase(it);
                break;
            }
        return h;
    }
    static std::vector<uint32_t> Photons()
    {
        return {synth::PhotonWord(1, 10, 5), 0xF0040000u, synth::PhotonWord(2, 20, 6)};
    }
    /// The header line that starts with \p label right-aligned in 40.
    QString Line(const QString &label) const
    {
        for (const QString &line : file->header.HeaderText().split('\n'))
            if (line.startsWith(label.rightJustified(40) + " :"))
                return line;
        return QString();
    }

    QTemporaryDir dir;
    TestHost host;
    std::unique_ptr<ptuFile> file;
    int opened = 0;
};

} // namespace

TEST_F(PtuTest, ReadsAPicoHarpT3File)
{
    ASSERT_TRUE(Open(PtuHeader::PicoHarpT3(40e6, 4e-12, 256, 128)));
    EXPECT_DOUBLE_EQ(file->Resolution(), 0.004);
    EXPECT_DOUBLE_EQ(file->SyncPeriod(), 25.0);
    EXPECT_EQ(file->ImageWidth(), 256);
    EXPECT_EQ(file->ImageHeight(), 128);
    EXPECT_EQ(file->NumberOfChannels(), 4);
    EXPECT_EQ(file->NumberOfRecords(), 3);
    EXPECT_EQ(file->records[1], 0xF0040000u);
    EXPECT_EQ(file->ScanType, ScanLine);
    EXPECT_EQ(host.header, file->header.HeaderText());
    EXPECT_TRUE(host.header.startsWith("                             Tag Version : 00.0.1\n"));
    EXPECT_TRUE(host.header.endsWith("                              Header_End :<empty Tag>\n"));
    EXPECT_EQ(Line("MeasDesc_Resolution"), "                     MeasDesc_Resolution :4e-12");
    EXPECT_EQ(Line("TTResult_SyncRate"), "                       TTResult_SyncRate :40000000");

    QFile hdr(file->exportBase + ".hdr");
    ASSERT_TRUE(hdr.open(QIODevice::ReadOnly));
    EXPECT_EQ(hdr.readAll(), file->header.HeaderText().toLatin1());

    // Without image tags the image has no size.
    ASSERT_TRUE(Open(PtuHeader::PicoHarpT3()));
    EXPECT_EQ(file->ImageWidth(), 0);
    EXPECT_EQ(file->ImageHeight(), 0);
    EXPECT_NE(dynamic_cast<ptuFile *>(MakePhotonFile(host, "x/Run.PtU").get()), nullptr);
    EXPECT_TRUE(host.Logged("ptu"));
}

TEST_F(PtuTest, TagRenderings)
{
    // The blob's 1000 bytes are skipped: the next tag is read behind them.
    const std::pair<PtuTag, QString> cases[] = {
        {PtuTag::Text("File_Comment", "beads"), "                            File_Comment :beads"},
        {PtuTag::Int("ImgHdr_Ident", 3, 3), "                        ImgHdr_Ident (3) :3"},
        {PtuTag::Blob("ChkHistogram", 1000), "                            ChkHistogram :<Binary Blob contains 1000 Bytes>"},
        {PtuTag::FloatArray("HW_Offsets", std::vector<double>(10, 1.5)),
         "                              HW_Offsets :<Float Array with 10 Entries>"},
        {PtuTag::Int("Big", (int64_t(1) << 32) + 5), "                                     Big :5"},
        {PtuTag::Int("Negative", -7), "                                Negative :-7"},
        {PtuTag::Bool("Yes", true), "                                     Yes :True"},
        {PtuTag::Bool("No", false), "                                      No :False"},
        {PtuTag::Empty("Nothing"), "                                 Nothing :<empty Tag>"},
        {PtuTag::Float("MeasDesc_GlobalResolution", 1.2817e-08),
         "               MeasDesc_GlobalResolution :1.2817e-08"},
        {PtuTag::Float("Third", 1.0 / 81), "                                   Third :0.0123457"},
        {PtuTag::WideText("Wide", u"\u00e9t\u00e9"), QString("                                    Wide :\u00e9t\u00e9")},
        {PtuTag{"Bits", -1, synth::tyBitSet64, 0xFF, {}}, "                                    Bits :"},
        {PtuTag{"Colour", -1, synth::tyColor8, 0x123456, {}}, "                                  Colour :"},
        {PtuTag{"Created", -1, synth::tyTDateTime, 0x40E5000000000000ull, {}}, "                                 Created :"},
    };
    std::vector<PtuTag> tags;
    for (const auto &c : cases)
        tags.push_back(c.first);
    ASSERT_TRUE(Open(With(tags)));
    const QStringList lines = file->header.HeaderText().split('\n');
    for (const auto &c : cases)
        EXPECT_TRUE(lines.contains(c.second)) << c.second.toStdString();
}

TEST_F(PtuTest, UnalignedRecordsAreStillRead)
{
    // A text block of 3 bytes leaves the records at an odd offset.
    QByteArray abc("abc");
    ASSERT_TRUE(Open(With({PtuTag{"Odd", -1, synth::tyAnsiString, 3, abc}})));
    EXPECT_FALSE(file->records.IsMapped());
    EXPECT_EQ(file->records.size(), 3u);
    EXPECT_EQ(file->records[2], synth::PhotonWord(2, 20, 6));
    EXPECT_EQ(Line("Odd"), "                                     Odd :abc");
}

TEST_F(PtuTest, DamagedFilesAreRefusedWithTheirMessage)
{
    EXPECT_FALSE(OpenBytes("PQTTTR\0\0"));
    EXPECT_TRUE(host.Logged("error reading ptu header, aborted.", MessageError));
    PtuHeader h = PtuHeader::PicoHarpT3();
    h.magic = "PQTTTX";
    EXPECT_FALSE(Open(h));
    EXPECT_TRUE(host.Logged("Wrong Magic, this is not a PTU file.", MessageError));
    // Cut inside the last tag head, before Header_End is complete.
    const QByteArray full = synth::PtuBytes(PtuHeader::PicoHarpT3(), {});
    EXPECT_FALSE(OpenBytes(full.left(full.size() - 10)));
    EXPECT_TRUE(host.Logged("Incomplete File.", MessageError));
    EXPECT_FALSE(host.Logged("Read records from file"));
    EXPECT_TRUE(host.header.isEmpty());
    EXPECT_FALSE(Open(With({PtuTag{"Strange", -1, 0x12345678u, 0, {}}})));
    EXPECT_TRUE(host.Logged("Illegal Type identifier found! Broken file?", MessageError));

    for (uint32_t type : {synth::tyAnsiString, synth::tyWideString, synth::tyBinaryBlob, synth::tyFloat8Array}) {
        for (uint64_t length : {uint64_t(1) << 40, uint64_t(200)}) {
            // The block claims more than the bytes that follow its head.
            QByteArray bytes = synth::PtuBytes(With({PtuTag{"Huge", -1, type, length, QByteArray(16, 'x')}}), {});
            bytes.truncate(16 + 48 + 16 + 40);
            EXPECT_FALSE(OpenBytes(bytes)) << type << " " << length;
            EXPECT_TRUE(host.Logged("Incomplete File.", MessageError)) << type << " " << length;
        }
    }
}

TEST_F(PtuTest, BadTagValuesAreRefusedWithTheirMessage)
{
    const std::pair<PtuHeader, QString> cases[] = {
        {Without("TTResultFormat_TTTRRecType"), "This is not a PicoHarp DU3 file."},
        {PtuHeader::PicoHarpT3(40e6, 4e-12, 0, 0, 0), "This file has zero records"},
        {PtuHeader::PicoHarpT3(40e6, 4e-12, 0, 0, -3), "This file has zero records"},
        {Without("TTResult_NumberOfRecords"), "This file has zero records"},
        {PtuHeader::PicoHarpT3(0, 4e-12), "Invalid sync rate 0 in this file"},
        {PtuHeader::PicoHarpT3(-5, 4e-12), "Invalid sync rate -5 in this file"},
        {Without("TTResult_SyncRate"), "The sync rate (TTResult_SyncRate) is missing in this file"},
        {PtuHeader::PicoHarpT3(40e6, 0), "Invalid resolution 0 ns in this file"},
        {PtuHeader::PicoHarpT3(40e6, -4e-12), "Invalid resolution -0.004 ns in this file"},
        {PtuHeader::PicoHarpT3(40e6, std::numeric_limits<double>::quiet_NaN()), "Invalid resolution nan ns in this file"},
        {Without("MeasDesc_Resolution"), "The resolution (MeasDesc_Resolution) is missing in this file"},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(Open(c.first)) << c.second.toStdString();
        EXPECT_TRUE(host.Logged(c.second, MessageError)) << c.second.toStdString();
        EXPECT_FALSE(host.Logged("Read records from file")) << c.second.toStdString();
        EXPECT_TRUE(host.header.isEmpty()) << c.second.toStdString();
    }
    // T2 records and record types of no known T3 layout, by their code.
    const std::pair<int64_t, QString> types[] = {
        {0x10203, "This file was recorded in T2 mode (record type 0x00010203): only T3 measurements can be read."},
        {0x1010204, "This file was recorded in T2 mode (record type 0x01010204): only T3 measurements can be read."},
        {0x10308, "Unknown record type 0x00010308: this is not a PicoQuant T3 file this program can read."},
        {0x3, "Unknown record type 0x00000003: this is not a PicoQuant T3 file this program can read."},
    };
    for (const auto &t : types) {
        EXPECT_FALSE(Open(PtuHeader::T3(static_cast<uint32_t>(t.first)))) << t.first;
        EXPECT_TRUE(host.Logged(t.second, MessageError)) << t.second.toStdString();
    }
}

TEST_F(PtuTest, RecordCountBeyondTheFileAndBeyond32Bits)
{
    const int64_t count = (int64_t(1) << 32) + 5;
    ASSERT_TRUE(Open(PtuHeader::PicoHarpT3(40e6, 4e-12, 0, 0, count)));
    EXPECT_TRUE(host.Logged("Expected 4294967301 records, found 3", MessageWarning));
    EXPECT_EQ(file->NumberOfRecords(), 3);
    EXPECT_TRUE(host.summary.startsWith("        Number of Records : 4294967301\n"));
    EXPECT_EQ(Line("TTResult_NumberOfRecords"), "                TTResult_NumberOfRecords :5");
}
