// T3 record words, the record cursor, the record buffer and the ASCII record
// table (byte for byte); the synthetic file writer and scan generators, read
// back byte by byte (the image scan's pixels: test_files_readers).

#include "files/RecordBuffer.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "support/Files.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

using synth::PhotonWord;

TEST(T3RecordCursor, MarkerBitsTimesSeekAndTheEndOfTheRecords)
{
    TestHost host;
    MemoryFile both(host, {0xF0030000u}, 25, 0.004); // markers 1 and 2 at once: one event of value 3
    T3RecordCursor<PicoHarpT3Format> m(host, both);
    EXPECT_EQ(std::make_pair(m.marker, m.channel), std::make_pair(3u, 15u));
    // Bits 20-27 of a special record are not part of the marker.
    MemoryFile high(host, {0xFFF40000u}, 25, 0.004);
    EXPECT_EQ(T3RecordCursor<PicoHarpT3Format>(host, high).marker, 4u);

    MemoryFile file(host, {0xF0000000u, 0xF0000000u, PhotonWord(1, 1000, 10)}, 25, 0.004);
    T3RecordCursor<PicoHarpT3Format> c(host, file);
    ASSERT_TRUE(c.NextWithMarker(PHOTON_MARKER));
    EXPECT_EQ(c.truensync, 131082u);
    EXPECT_DOUBLE_EQ(c.delaytime, 4.0);
    EXPECT_DOUBLE_EQ(c.truetime, 3277054.0);
    EXPECT_DOUBLE_EQ(c.deltatime, 10 * 25 + 4.0); // since the second overflow: 10 periods plus the delay

    MemoryFile overflow(host, {PhotonWord(1, 0, 5), 0xF0000000u, PhotonWord(2, 0, 7)});
    T3RecordCursor<PicoHarpT3Format> s(host, overflow);
    s.Seek(1);
    s.Seek(1); // decodes the overflow a second time
    EXPECT_EQ(s.overflowOffset, 131072u);
    s.ResetOverflow();
    EXPECT_EQ(s.overflowOffset, 65536u);
    EXPECT_EQ(s.index, 1u);

    MemoryFile two(host, {PhotonWord(1, 3, 5), PhotonWord(2, 9, 70)});
    T3RecordCursor<PicoHarpT3Format> d(host, two);
    ASSERT_TRUE(d.Next());
    EXPECT_FALSE(d.Next());
    EXPECT_FALSE(d.Next());
    // The last record's fields stay; the index stands one past the end.
    EXPECT_EQ((std::vector<uint64_t>{d.channel, d.dtime, d.nsync, d.index}), (std::vector<uint64_t>{2, 9, 70, 2}));
    T3RecordCursor<PicoHarpT3Format> e(host, two);
    EXPECT_FALSE(e.NextWithMarker(4));
    EXPECT_EQ(e.index, 2u);
}

TEST(RecordBuffer, MapsAlignedWordsReadsOthersAndClipsToTheFile)
{
    QTemporaryDir dir;
    const auto write = [&](int lead, std::vector<uint32_t> words, QByteArray tail = {}) {
        QFile f(dir.filePath(QString("words%1.bin").arg(lead)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(lead, 'h') + QByteArray(reinterpret_cast<const char *>(words.data()), 4 * int(words.size())) + tail);
        return f.fileName();
    };
    const auto contents = [](const RecordBuffer &b) { return std::vector<uint32_t>(b.begin(), b.end()); };
    RecordBuffer b;
    EXPECT_EQ(b.Load(write(8, {0x11223344u, 0xF0040000u, 0x1ABC1234u}), 8, 3), 3);
    EXPECT_TRUE(b.IsMapped());
    EXPECT_EQ(contents(b), (std::vector<uint32_t>{0x11223344u, 0xF0040000u, 0x1ABC1234u}));
    EXPECT_EQ(b.Load(write(6, {0x11223344u, 0xF0040000u}), 6, 2), 2);
    EXPECT_FALSE(b.IsMapped());
    EXPECT_EQ(contents(b), (std::vector<uint32_t>{0x11223344u, 0xF0040000u}));

    const QString torn = write(4, {1u, 2u, 3u}, QByteArray("\x01\x02", 2)); // a torn last word
    EXPECT_EQ(b.Load(torn, 4, 1000000000ULL), 3);
    EXPECT_EQ(contents(b), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(b.Load(torn, 400, 5), 0);
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.Load(dir.filePath("missing.bin"), 0, 5), -1);
    EXPECT_TRUE(b.empty());
}

namespace {

/// Writes the table of \p words (sync 50 ns, resolution 0.5 ns) with only \p checked boxes checked.
QByteArray WriteTable(TestHost &host, const QTemporaryDir &dir, std::vector<uint32_t> words,
                      const std::vector<RecordColumn> &checked)
{
    for (Qt::CheckState &state : host.recordColumns)
        state = Qt::Unchecked;
    for (RecordColumn c : checked)
        host.recordColumns[static_cast<int>(c)] = Qt::Checked;
    MemoryFile file(host, std::move(words), 50, 0.5);
    file.exportFolder = dir.path();
    file.exportBase = dir.filePath("run");
    host.progress.clear();
    host.eventsProcessed = 0;
    file.WriteRecords();
    return ReadAll(dir.filePath("run.dat"));
}

} // namespace

TEST(AsciiRecords, WorkedLines)
{
    using C = RecordColumn;
    // A photon on channel 1 with dtime 2748 and nsync 4660, an overflow, marker 4 at nsync 7.
    const std::vector<uint32_t> words = {0x1ABC1234u, synth::OverflowWord(), synth::MarkerWord(4, 7)};
    const std::pair<std::vector<C>, QByteArray> cases[] = {
        {{C::Number, C::T3Record, C::nSync, C::Channel, C::dTime, C::Marker, C::TruenSync, C::DelayTime, C::TrueTime,
          C::DeltaTime},
         "        nr T3record nSync Chan dtime marker truensync delaytime (ns)truetime (ns)deltatime (ns)\n"
         "         0 1abc1234  4660    1  2748 photon       4660 1374.000000 234374.000000 234374.000000 \n"
         "         1 f0000000     0   15     0    Ofl      65536 0.000000 3276800.000000 3043800.000000 \n"
         "         2 f0040007     7   15     0   MA:4      65543 0.000000 3277150.000000 350.000000 \n"},
        {{C::Marker}, "marker \nphoton \n   Ofl \n  MA:4 \n"},
        {{}, "\n\n\n\n"},
    };
    for (const auto &[columns, expected] : cases) {
        TestHost host;
        QTemporaryDir dir;
        EXPECT_EQ(WriteTable(host, dir, words, columns), expected);
        EXPECT_EQ(host.Messages(), (QStringList{"Writing records to ascii file",
                                                "Records written to file " + dir.filePath("run.dat")}));
    }
}

TEST(AsciiRecords, ProgressEveryTenThousandRecordsAndFailures)
{
    // A user who ticks another column while the dump lets events run.
    struct ClickingHost : TestHost {
        void ProcessEvents() override
        {
            TestHost::ProcessEvents();
            recordColumns[static_cast<int>(RecordColumn::Channel)] = Qt::Checked;
        }
    } host;
    QTemporaryDir dir;
    const QByteArray text = WriteTable(host, dir, std::vector<uint32_t>(25000, 0x10000001u), {RecordColumn::Number});
    EXPECT_TRUE(text.endsWith("     24999 \n")); // the last line carries index N - 1
    EXPECT_EQ(text.count('\n'), 25001);
    // Every line has the header's one column: 10 characters, a blank and the line end.
    EXPECT_EQ(text.size(), 25001 * 12);
    EXPECT_EQ(host.progress, (std::vector<int>{0, 40, 80, 100}));
    EXPECT_EQ(host.eventsProcessed, 2);

    // No records: an error and no file.
    TestHost empty;
    QTemporaryDir emptyDir;
    EXPECT_TRUE(WriteTable(empty, emptyDir, {}, {RecordColumn::Number}).isEmpty());
    EXPECT_TRUE(empty.Logged("Failed to write records to file " + emptyDir.filePath("run.dat"), MessageError));
    EXPECT_FALSE(QFile::exists(emptyDir.filePath("run.dat")));
}

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
