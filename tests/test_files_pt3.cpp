// The .pt3 reader: header checks, header text, .hdr file, damaged files.

#include "files/PhotonFileFactory.h"
#include "files/pt3File.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>

namespace {

class Pt3Test : public ::testing::Test {
protected:
    /// Writes \p bytes as run.pt3 and opens it with a fresh log.
    bool OpenBytes(const QByteArray &bytes)
    {
        QFile f(dir.filePath("run.pt3"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        host.messages.clear();
        file = std::make_unique<pt3File>(host);
        return file->Open(f.fileName());
    }
    bool Open(const synth::Pt3Header &h = synth::Pt3Header(), const std::vector<uint32_t> &words = Photons())
    {
        return OpenBytes(synth::Pt3Bytes(h, words));
    }
    static std::vector<uint32_t> Photons()
    {
        return {synth::PhotonWord(1, 10, 5), synth::PhotonWord(2, 20, 6), synth::PhotonWord(1, 30, 7)};
    }
    /// The line of the header text whose label is \p label.
    QString HeaderLine(const QString &label) const
    {
        for (const QString &line : file->header.HeaderText().split('\n'))
            if (line.startsWith(label.rightJustified(25) + " :"))
                return line;
        return QString();
    }

    QTemporaryDir dir;
    TestHost host;
    std::unique_ptr<pt3File> file;
};

} // namespace

TEST_F(Pt3Test, ReadsAValidFileAndWritesItsHeaderText)
{
    synth::Pt3Header h;
    h.comment = "caf\xe9 sample"; // Latin-1 e acute: written back as the same byte
    ASSERT_TRUE(Open(h));
    EXPECT_TRUE(host.Logged("Read records from file"));
    EXPECT_EQ(file->NumberOfRecords(), 3);
    EXPECT_EQ(file->NumberOfChannels(), 4);
    EXPECT_DOUBLE_EQ(file->SyncPeriod(), 25.0);
    EXPECT_DOUBLE_EQ(file->Resolution(), static_cast<double>(0.004f));
    EXPECT_EQ(file->exportBase, dir.filePath("run_export/run"));
    EXPECT_TRUE(QDir(file->exportFolder).exists());

    EXPECT_EQ(HeaderLine("Identifier"), "               Identifier : PicoHarp 300");
    EXPECT_EQ(HeaderLine("Resolution"), "               Resolution : 0.004000 ns");
    EXPECT_EQ(HeaderLine("CFDLevel0"), "                CFDLevel0 : -150.0 mV");
    EXPECT_EQ(HeaderLine("CFDZeroCross0"), "            CFDZeroCross0 :  10.0 mV");
    EXPECT_EQ(HeaderLine("Sync Period"), "              Sync Period : 25.000000 ns");
    EXPECT_EQ(HeaderLine("Sync Rate"), "                Sync Rate : 40000000 Hz");
    EXPECT_EQ(HeaderLine("Count Rate (Ch0)"), "         Count Rate (Ch0) : 40000000 Hz");
    EXPECT_EQ(HeaderLine("Acquisition Time"), "         Acquisition Time : 1000 ns");
    EXPECT_EQ(HeaderLine("Stop At"), "                  Stop At : 0 counts");
    EXPECT_EQ(HeaderLine("Stop After"), "               Stop After : 1000 ms");
    EXPECT_EQ(HeaderLine("Display Count Axis From"), "  Display Count Axis From : 0");
    EXPECT_EQ(HeaderLine("Number Of Records"), "        Number Of Records : 3");
    // The router block is left out for model code 0.
    const QString text = file->header.HeaderText();
    EXPECT_TRUE(text.contains("           Router Enabled : 0\n         External Devices : 0\n"));
    EXPECT_FALSE(text.contains("Rt Chan"));
    // No imaging header: the text ends with its size.
    EXPECT_TRUE(text.endsWith("      Imaging Header Size : 0 items\n"));
    EXPECT_EQ(host.header, text);

    QFile hdr(dir.filePath("run_export/run.hdr"));
    ASSERT_TRUE(hdr.open(QIODevice::ReadOnly));
    const QByteArray bytes = hdr.readAll();
    EXPECT_EQ(bytes, text.toLatin1());
    EXPECT_TRUE(bytes.contains("                  Comment : caf\xe9 sample\n"));
}

TEST_F(Pt3Test, RouterLinesWhenARouterIsFitted)
{
    synth::Pt3Header h;
    h.routerModelCode = 1;
    h.router[0][0] = 3;    // input type
    h.router[0][1] = -200; // input level, mV
    h.router[0][4] = 7;    // CFD level, mV
    h.router[3][5] = -12;  // CFD zero cross, mV
    ASSERT_TRUE(Open(h));
    const QString text = file->header.HeaderText();
    EXPECT_TRUE(text.contains("           Router Enabled : 0\n      Rt Chan1 Input Type : 3\n"));
    EXPECT_EQ(HeaderLine("Rt Chan1 Input Level"), "     Rt Chan1 Input Level : -200.0000 mV");
    EXPECT_EQ(HeaderLine("Rt Chan1 CFD Level"), "       Rt Chan1 CFD Level : 7.0000 mV");
    EXPECT_TRUE(text.contains("  Rt Chan4 CFD Zero Cross : -12.0000 mV\n         External Devices : 0\n"));
    EXPECT_EQ(text.count("Rt Chan"), 24);
}

TEST_F(Pt3Test, ImagingHeaderItemsAndFirstRecordOffset)
{
    synth::Pt3Header h;
    h.imagingHeader = {1, 2, 3, 4, 5, 6, 64, 32, 9, -10};
    const std::vector<uint32_t> words = {0xF0040000u, synth::PhotonWord(3, 4095, 65535)};
    const QByteArray bytes = synth::Pt3Bytes(h, words);
    ASSERT_EQ(bytes.size(), 768 + 8); // ten items: records at 728 + 40
    ASSERT_TRUE(OpenBytes(bytes));
    EXPECT_EQ(file->records[0], 0xF0040000u);
    EXPECT_EQ(file->records[1], words[1]);
    EXPECT_EQ(file->ImageWidth(), 64);
    EXPECT_EQ(file->ImageHeight(), 32);
    const QString text = file->header.HeaderText();
    EXPECT_TRUE(text.contains("      Imaging Header Size : 10 items\n   Imaging Header item  0 : 1\n"));
    EXPECT_TRUE(text.endsWith("   Imaging Header item  9 : -10\n"));

    // Fewer than eight items describe no image.
    h.imagingHeader = {1, 2, 3, 4, 5, 6, 64};
    ASSERT_TRUE(Open(h));
    EXPECT_EQ(file->ImageWidth(), 0);
    EXPECT_EQ(file->ImageHeight(), 0);
}

TEST_F(Pt3Test, FactoryChoosesByCaseInsensitiveSuffix)
{
    EXPECT_NE(dynamic_cast<pt3File *>(MakePhotonFile(host, "/data/RUN1.PT3").get()), nullptr);
    EXPECT_EQ(MakePhotonFile(host, "/data/run1.txt"), nullptr);
    EXPECT_EQ(MakePhotonFile(host, "/data.pt3/run1"), nullptr);
    EXPECT_TRUE(host.Logged("pt3"));
}

TEST_F(Pt3Test, BadHeadersAreRefusedWithTheirMessage)
{
    using Edit = std::function<void(synth::Pt3Header &)>;
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::pair<Edit, QString> cases[] = {
        {[](auto &h) { h.identifier = "PicoHarp 300 "; }, "This is not a PicoHarp 300 file"},
        {[](auto &h) { h.formatVersion = "2.1"; }, "This program is for version 2.0 only"},
        {[](auto &h) { h.formatVersion = "2.0 "; }, "This program is for version 2.0 only"},
        {[](auto &h) { h.numberOfRecords = 0; }, "This file has zero records"},
        {[](auto &h) { h.numberOfRecords = -7; }, "This file has zero records"},
        {[](auto &h) { h.countRate0 = 0; }, "Invalid sync rate 0 in this file"},
        {[](auto &h) { h.countRate0 = -40000000; }, "Invalid sync rate -40000000 in this file"},
        {[](auto &h) { h.resolution = 0; }, "Invalid resolution 0 ns in this file"},
        {[](auto &h) { h.resolution = -0.004f; }, "Invalid resolution -0.004 ns in this file"},
        {[nan](auto &h) { h.resolution = nan; }, "Invalid resolution nan ns in this file"},
        {[inf](auto &h) { h.resolution = inf; }, "Invalid resolution inf ns in this file"},
    };
    for (const auto &c : cases) {
        synth::Pt3Header h;
        c.first(h);
        EXPECT_FALSE(Open(h)) << c.second.toStdString();
        EXPECT_TRUE(host.Logged(c.second, MessageError)) << c.second.toStdString();
        EXPECT_FALSE(host.Logged("Read records from file")) << c.second.toStdString();
        EXPECT_TRUE(file->records.empty());
    }
    EXPECT_TRUE(host.header.isEmpty());
}

TEST_F(Pt3Test, TruncatedHeadersAndImagingHeaderSizes)
{
    const QByteArray full = synth::Pt3Bytes(synth::Pt3Header(), Photons());
    for (int size : {0, 10, 20, 500, 723, 726}) {
        EXPECT_FALSE(OpenBytes(full.left(size))) << size;
        EXPECT_TRUE(host.Logged("The header of this file is incomplete", MessageError)) << size;
    }
    synth::Pt3Header h;
    h.numberOfRecords = 1;
    for (int32_t n : {-1, 1000000000, 4}) {
        QByteArray bytes = synth::Pt3Bytes(h, {});
        bytes.replace(724, 4, reinterpret_cast<const char *>(&n), 4);
        bytes.append(QByteArray(12, '\0')); // room for three items only
        EXPECT_FALSE(OpenBytes(bytes)) << n;
        EXPECT_TRUE(host.Logged(QString("Invalid imaging header size %1 in this file").arg(n), MessageError)) << n;
    }
}

TEST_F(Pt3Test, RecordCountOtherThanTheRecordsFound)
{
    synth::Pt3Header h;
    h.numberOfRecords = 1000000;
    ASSERT_TRUE(Open(h));
    EXPECT_TRUE(host.Logged("Expected 1000000 records, found 3", MessageWarning));
    EXPECT_EQ(file->records.size(), 3u);
    EXPECT_EQ(file->NumberOfRecords(), 3);
    // The summary shows what the header announced.
    EXPECT_TRUE(host.summary.startsWith("        Number of Records : 1000000\n"));
    EXPECT_EQ(file->eventsPerMarker[16], 3u);

    h.numberOfRecords = 5;
    EXPECT_FALSE(Open(h, {}));
    EXPECT_TRUE(host.Logged("The file ends before its first record: the header announces 5 records, none is complete",
                            MessageError));
    EXPECT_FALSE(file->scanned);
}

TEST_F(Pt3Test, ExportFolderThatCannotBeMade)
{
    ASSERT_TRUE(QFile(dir.filePath("run_export")).open(QIODevice::WriteOnly)); // a plain file in the way
    EXPECT_FALSE(Open());
    EXPECT_TRUE(host.Logged(QString("Export Folder %1 does not exist").arg(dir.filePath("run_export")), MessageError));
    // Still read and summarised.
    EXPECT_TRUE(file->scanned);
    EXPECT_FALSE(host.summary.isEmpty());
}

TEST_F(Pt3Test, PhotonsOnChannelsOutsideOneToFour)
{
    ASSERT_TRUE(Open(synth::Pt3Header(), {synth::PhotonWord(0, 1, 1), synth::PhotonWord(1, 1, 2),
                                          synth::PhotonWord(7, 1, 3), synth::PhotonWord(14, 1, 4),
                                          synth::PhotonWord(4, 1, 5)}));
    EXPECT_TRUE(host.Logged("3 photons on channels outside 1..4 ignored", MessageWarning));
    EXPECT_EQ(file->photonsPerChannel, (std::vector<uint32_t>{1, 0, 0, 1}));
    EXPECT_EQ(file->eventsPerMarker[16], 5u);
}
