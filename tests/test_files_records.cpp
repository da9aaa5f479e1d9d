// T3 record words, the record cursor and the record buffer.

#include "files/RecordBuffer.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>

TEST(T3RecordCursor, MarkerBitsOnly)
{
    // Bits 20-27 of a special record are not part of the marker; the ASCII table covers the other fields.
    EXPECT_EQ(T3Word::Marker(0xFFF40000u), 4u);
    TestHost host;
    // Markers 1 and 2 at once are one event of value 3.
    MemoryFile file(host, {0xF0030000u}, 25, 0.004);
    T3RecordCursor<PicoHarpT3Format> c(host, file);
    EXPECT_EQ(c.marker, 3u);
    EXPECT_EQ(c.channel, 15u);
}

TEST(T3RecordCursor, TimesAfterTwoOverflows)
{
    TestHost host;
    // Two overflows, then a photon with dtime 1000 and nsync 10.
    MemoryFile file(host, {0xF0000000u, 0xF0000000u, synth::PhotonWord(1, 1000, 10)}, 25, 0.004);
    T3RecordCursor<PicoHarpT3Format> c(host, file);
    ASSERT_TRUE(c.NextWithMarker(PHOTON_MARKER));
    EXPECT_EQ(c.truensync, 131082u);
    EXPECT_DOUBLE_EQ(c.delaytime, 4.0);
    EXPECT_DOUBLE_EQ(c.truetime, 3277054.0);
    // The previous record is the second overflow at 131072: 10 periods plus the delay.
    EXPECT_DOUBLE_EQ(c.deltatime, 10 * 25 + 4.0);
}

TEST(T3RecordCursor, SeekResetAndEndOfRecords)
{
    TestHost host;
    MemoryFile overflow(host, {synth::PhotonWord(1, 0, 5), 0xF0000000u, synth::PhotonWord(2, 0, 7)});
    T3RecordCursor<PicoHarpT3Format> c(host, overflow);
    c.Seek(1);
    c.Seek(1); // decodes the overflow a second time
    EXPECT_EQ(c.overflowOffset, 131072u);
    c.ResetOverflow();
    EXPECT_EQ(c.overflowOffset, 65536u);
    EXPECT_EQ(c.index, 1u);

    MemoryFile two(host, {synth::PhotonWord(1, 3, 5), synth::PhotonWord(2, 9, 70)});
    T3RecordCursor<PicoHarpT3Format> d(host, two);
    ASSERT_TRUE(d.Next());
    EXPECT_FALSE(d.Next());
    // The last record's fields stay; the index stands one past the end.
    EXPECT_EQ(d.channel, 2u);
    EXPECT_EQ(d.dtime, 9u);
    EXPECT_EQ(d.nsync, 70u);
    EXPECT_EQ(d.index, 2u);
    EXPECT_FALSE(d.Next());
    T3RecordCursor<PicoHarpT3Format> e(host, two);
    EXPECT_FALSE(e.NextWithMarker(4));
    EXPECT_EQ(e.index, 2u);
}

TEST(RecordBuffer, MapsAlignedWordsReadsOthersAndClipsToTheFile)
{
    QTemporaryDir dir;
    const auto write = [&](int lead, std::initializer_list<uint32_t> words, QByteArray tail = {}) {
        QByteArray b(lead, 'h');
        for (uint32_t w : words)
            for (int k = 0; k < 4; ++k)
                b.append(static_cast<char>((w >> (8 * k)) & 0xFF));
        QFile f(dir.filePath(QString("words%1.bin").arg(lead)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(b + tail);
        return f.fileName();
    };
    RecordBuffer b;
    EXPECT_EQ(b.Load(write(8, {0x11223344u, 0xF0040000u, 0x1ABC1234u}), 8, 3), 3);
    EXPECT_TRUE(b.IsMapped());
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0], 0x11223344u);
    EXPECT_EQ(b[2], 0x1ABC1234u);

    EXPECT_EQ(b.Load(write(6, {0x11223344u, 0xF0040000u}), 6, 2), 2);
    EXPECT_FALSE(b.IsMapped());
    EXPECT_EQ(b[0], 0x11223344u);
    EXPECT_EQ(b[1], 0xF0040000u);

    const QString torn = write(4, {1u, 2u, 3u}, QByteArray("\x01\x02", 2)); // a torn last word
    EXPECT_EQ(b.Load(torn, 4, 1000000000ULL), 3);
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b[2], 3u);
    EXPECT_EQ(b.Load(torn, 400, 5), 0);
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
    QFile f(dir.filePath("plain.pt3"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("anything");
    f.close();
    EXPECT_FALSE(file.Open(f.fileName()));
    // A file that cannot be opened names the reason.
    host.messages.clear();
    EXPECT_FALSE(file.Open(dir.filePath("missing.pt3")));
    EXPECT_EQ(host.Messages(MessageError), QStringList("File " + dir.filePath("missing.pt3") + " does not exist"));
}
