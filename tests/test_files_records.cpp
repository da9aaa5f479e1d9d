// T3 record words, the record cursor and the record buffer.

#include "files/RecordBuffer.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>

namespace {

/// A file with chosen constants and records, without a header behind it.
class FakeFile : public pqFile {
public:
    FakeFile(FotonelServices &host, std::vector<uint32_t> words, double resolution = 0.004, double period = 25)
        : pqFile(host), resolution_(resolution), period_(period)
    {
        records.Assign(std::move(words));
    }
    double SyncPeriod() const override { return period_; }
    double Resolution() const override { return resolution_; }

private:
    double resolution_;
    double period_;
};

} // namespace

TEST(T3Word, FieldsOfTheWordsOfTheFormat)
{
    // Overflow: channel 15, marker bits 0.
    EXPECT_EQ(T3Word::Channel(0xF0000000u), 15u);
    EXPECT_EQ(T3Word::Marker(0xF0000000u), 0u);
    // Frame marker, and markers 1 and 2 at once are one event of value 3.
    EXPECT_EQ(T3Word::Marker(0xF0040000u), 4u);
    EXPECT_EQ(T3Word::Marker(0xF0030000u), 3u);
    // Photon of channel 1: dtime 0xABC, nsync 0x1234.
    EXPECT_EQ(T3Word::Channel(0x1ABC1234u), 1u);
    EXPECT_EQ(T3Word::DTime(0x1ABC1234u), 2748u);
    EXPECT_EQ(T3Word::NSync(0x1ABC1234u), 4660u);
    EXPECT_EQ(T3Word::Marker(0x1ABC1234u), PHOTON_MARKER);
    // Bits 20-27 of a special record are not part of the marker.
    EXPECT_EQ(T3Word::Marker(0xFFF40000u), 4u);
}

TEST(T3RecordCursor, DecodesSpecialAndPhotonRecords)
{
    TestHost host;
    FakeFile file(host, {0xF0000000u, 0xF0040000u, 0xF0030000u, 0x1ABC1234u});
    T3RecordCursor c(host, file);
    EXPECT_EQ(c.marker, 0u);
    EXPECT_EQ(c.dtime, 0u);
    EXPECT_EQ(c.overflowOffset, 65536u);
    ASSERT_TRUE(c.Next());
    EXPECT_EQ(c.marker, 4u);
    EXPECT_EQ(c.channel, 15u);
    ASSERT_TRUE(c.Next());
    EXPECT_EQ(c.marker, 3u);
    ASSERT_TRUE(c.Next());
    EXPECT_EQ(c.channel, 1u);
    EXPECT_EQ(c.dtime, 2748u);
    EXPECT_EQ(c.nsync, 4660u);
    EXPECT_EQ(c.marker, 16u);
    EXPECT_EQ(c.truensync, 65536u + 4660u);
}

TEST(T3RecordCursor, TimesAfterTwoOverflows)
{
    TestHost host;
    // Two overflows, then a photon with dtime 1000 and nsync 10.
    FakeFile file(host, {0xF0000000u, 0xF0000000u, synth::PhotonWord(1, 1000, 10)}, 0.004, 25);
    T3RecordCursor c(host, file);
    ASSERT_TRUE(c.NextWithMarker(PHOTON_MARKER));
    EXPECT_EQ(c.truensync, 131082u);
    EXPECT_DOUBLE_EQ(c.delaytime, 4.0);
    EXPECT_DOUBLE_EQ(c.truetime, 3277054.0);
    // The previous record is the second overflow at 131072: 10 periods plus the delay.
    EXPECT_DOUBLE_EQ(c.deltatime, 10 * 25 + 4.0);
}

TEST(T3RecordCursor, SeekTwiceOnAnOverflowAndReset)
{
    TestHost host;
    FakeFile file(host, {synth::PhotonWord(1, 0, 5), 0xF0000000u, synth::PhotonWord(2, 0, 7)});
    T3RecordCursor c(host, file);
    c.Seek(1);
    c.Seek(1);
    EXPECT_EQ(c.overflowOffset, 131072u);
    c.ResetOverflow();
    EXPECT_EQ(c.overflowOffset, 65536u);
    EXPECT_EQ(c.index, 1u);
}

TEST(T3RecordCursor, EndOfRecords)
{
    TestHost host;
    FakeFile file(host, {synth::PhotonWord(1, 3, 5), synth::PhotonWord(2, 9, 70)});
    T3RecordCursor c(host, file);
    ASSERT_TRUE(c.Next());
    EXPECT_FALSE(c.Next());
    // The last record's fields stay; the index stands one past the end.
    EXPECT_EQ(c.channel, 2u);
    EXPECT_EQ(c.dtime, 9u);
    EXPECT_EQ(c.nsync, 70u);
    EXPECT_EQ(c.index, 2u);
    EXPECT_FALSE(c.Next());

    T3RecordCursor d(host, file);
    EXPECT_FALSE(d.NextWithMarker(4));
    EXPECT_EQ(d.index, 2u);
}

class RecordBufferTest : public ::testing::Test {
protected:
    QString Write(const QByteArray &bytes)
    {
        const QString path = dir.filePath("words.bin");
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }
    static QByteArray Words(int lead, std::initializer_list<uint32_t> words)
    {
        QByteArray b(lead, 'h');
        for (uint32_t w : words)
            for (int k = 0; k < 4; ++k)
                b.append(static_cast<char>((w >> (8 * k)) & 0xFF));
        return b;
    }
    QTemporaryDir dir;
};

TEST_F(RecordBufferTest, AlignedWordsAreMappedInPlace)
{
    const QString path = Write(Words(8, {0x11223344u, 0xF0040000u, 0x1ABC1234u}));
    RecordBuffer b;
    EXPECT_EQ(b.Load(path, 8, 3), 3);
    EXPECT_TRUE(b.IsMapped());
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0], 0x11223344u);
    EXPECT_EQ(b[2], 0x1ABC1234u);
}

TEST_F(RecordBufferTest, UnalignedOffsetIsReadIntoTheHeap)
{
    const QString path = Write(Words(6, {0x11223344u, 0xF0040000u}));
    RecordBuffer b;
    EXPECT_EQ(b.Load(path, 6, 2), 2);
    EXPECT_FALSE(b.IsMapped());
    EXPECT_EQ(b[0], 0x11223344u);
    EXPECT_EQ(b[1], 0xF0040000u);
}

TEST_F(RecordBufferTest, ClipsToTheWholeWordsInTheFile)
{
    QByteArray bytes = Words(4, {1u, 2u, 3u});
    bytes.append("\x01\x02", 2);  // a torn last word
    const QString path = Write(bytes);
    RecordBuffer b;
    EXPECT_EQ(b.Load(path, 4, 1000000000ULL), 3);
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b[2], 3u);
    EXPECT_EQ(b.Load(path, 400, 5), 0);
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.Load(dir.filePath("missing.bin"), 0, 5), -1);
    EXPECT_TRUE(b.empty());
}

TEST(pqFileBase, AnswersNaNAndRefusesToOpen)
{
    TestHost host;
    pqFile file(host);
    EXPECT_TRUE(std::isnan(file.SyncPeriod()));
    EXPECT_TRUE(std::isnan(file.Resolution()));
    EXPECT_EQ(file.NumberOfRecords(), 0);
    QTemporaryDir dir;
    const QString path = dir.filePath("plain.pt3");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("anything");
    f.close();
    EXPECT_FALSE(file.Open(path));
    EXPECT_FALSE(file.ok);
    // A file that cannot be opened fails without a message of its own.
    host.messages.clear();
    EXPECT_FALSE(file.Open(dir.filePath("missing.pt3")));
    EXPECT_TRUE(host.Messages(MessageError).isEmpty());
}
