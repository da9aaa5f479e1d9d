// The ASCII record table, byte for byte, on records chosen here.
#include "files/pqFile.h"
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
    QFile in(dir.filePath("run.dat"));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

} // namespace

TEST(AsciiRecords, WorkedLines)
{
    using C = RecordColumn;
    const uint32_t photon = 0x1ABC1234u;  // channel 1, dtime 2748, nsync 4660
    const std::vector<uint32_t> words = {photon, synth::OverflowWord(), synth::MarkerWord(4, 7)};
    struct Case {
        std::vector<C> columns;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {{C::Number, C::T3Record, C::nSync, C::Channel, C::dTime, C::Marker, C::TruenSync, C::DelayTime, C::TrueTime,
          C::DeltaTime},
         "        nr T3record nSync Chan dtime marker truensync delaytime (ns)truetime (ns)deltatime (ns)\n"
         "         0 1abc1234  4660    1  2748 photon       4660 1374.000000 234374.000000 234374.000000 \n"
         "         1 f0000000     0   15     0    Ofl      65536 0.000000 3276800.000000 3043800.000000 \n"
         "         2 f0040007     7   15     0   MA:4      65543 0.000000 3277150.000000 350.000000 \n"},
        {{C::Marker}, "marker \nphoton \n   Ofl \n  MA:4 \n"},
        {{C::Number, C::T3Record, C::nSync},
         "        nr T3record nSync \n         0 1abc1234  4660 \n         1 f0000000     0 \n         2 f0040007     7 \n"},
        {{}, "\n\n\n\n"},
    };
    for (const Case &c : cases) {
        TestHost host;
        QTemporaryDir dir;
        EXPECT_EQ(WriteTable(host, dir, words, c.columns), c.expected);
        EXPECT_EQ(host.Messages(), (QStringList{"Writing records to ascii file",
                                                "Records written to file " + dir.filePath("run.dat")}));
    }
}

TEST(AsciiRecords, ProgressEveryTenThousandRecordsAndFailures)
{
    TestHost host;
    QTemporaryDir dir;
    std::vector<uint32_t> words(25000, 0x10000001u);
    const QByteArray text = WriteTable(host, dir, words, {RecordColumn::Number});
    // The last line carries index N - 1.
    EXPECT_TRUE(text.endsWith("     24999 \n"));
    EXPECT_EQ(text.count('\n'), 25001);
    EXPECT_EQ(host.progress, (std::vector<int>{0, 40, 80, 100}));
    EXPECT_EQ(host.eventsProcessed, 2);

    // No records: an error and no file.
    TestHost empty;
    QTemporaryDir emptyDir;
    EXPECT_TRUE(WriteTable(empty, emptyDir, {}, {RecordColumn::Number}).isEmpty());
    EXPECT_TRUE(empty.Logged("Failed to write records to file " + emptyDir.filePath("run.dat"), MessageError));
    EXPECT_FALSE(QFile::exists(emptyDir.filePath("run.dat")));
}
