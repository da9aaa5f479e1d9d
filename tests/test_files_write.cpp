// The one write path of every file: a temporary name of this process in the
// final name's folder, every step checked, the final name replaced only by a
// complete file.
#include "files/AtomicFile.h"

#include "support/Files.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

TEST(AtomicFile, EachFailurePointLeavesThePreviousFileWhole)
{
    // 200,000 bytes in two writes: the second reaches the descriptor only at the flush of the commit.
    const QByteArray big(150000, 'a'), tail(50000, 'b');
    const struct {
        const char *point;
        rlim_t limit;
        std::function<void(QTemporaryDir &)> before;  // what stands in the way
        bool opens;
    } cases[] = {
        {"open: the folder is gone", RLIM_INFINITY, [](QTemporaryDir &d) { QDir(d.path()).removeRecursively(); }, false},
        {"first write", 0, [](QTemporaryDir &) {}, true},
        {"a middle write", 100000, [](QTemporaryDir &) {}, true},
        {"the flush at commit", 160000, [](QTemporaryDir &) {}, true},
        // rename(2) cannot replace a folder that holds a file.
        {"the rename at commit", RLIM_INFINITY, [](QTemporaryDir &d) {
             QFile::remove(d.filePath("out.dat"));
             QDir(d.path()).mkpath("out.dat/inside");
         }, true},
    };
    // Also with the old file freed in another thread, as the converter frees it.
    for (const bool later : {false, true})
    for (const auto &c : cases) {
        SCOPED_TRACE(c.point);
        SCOPED_TRACE(later ? "old file freed later" : "old file freed by the rename");
        AtomicFile::ReleaseReplacedFilesLater(later);
        QTemporaryDir dir;
        const QString name = dir.filePath("out.dat");
        ASSERT_TRUE(WriteAll(name, "previous"));
        c.before(dir);
        const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        bool opened = false, committed = true;
        QString reason;
        WithSizeLimit(c.limit, [&] {
            AtomicFile out(name);
            opened = out.Open();
            committed = out.Write(big) && out.Write(tail) && out.Commit();
            reason = out.Reason();
        });
        EXPECT_EQ(opened, c.opens);
        EXPECT_FALSE(committed);
        EXPECT_FALSE(reason.isEmpty());
        // The final name is as it was, with no temporary file beside it.
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
        EXPECT_TRUE(!QFileInfo(name).isFile() || ReadAll(name) == "previous");
    }
    AtomicFile::ReleaseReplacedFilesLater(false);
}

TEST(AtomicFile, AReplacedFileFreedLaterLeavesOnlyTheNewFile)
{
    QTemporaryDir dir;
    const QString name = dir.filePath("out.dat");
    const auto entries = [&] { return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); };
    ASSERT_TRUE(WriteAll(name, "previous"));
    QFile old(name);  // a reader of the old file keeps its bytes
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    AtomicFile::ReleaseReplacedFilesLater(true);
    {
        AtomicFile out(name);
        ASSERT_TRUE(out.Open() && out.Write("new", 3) && out.Commit());
    }
    EXPECT_EQ(ReadAll(name), "new");
    AtomicFile::WaitForReleasedFiles();
    EXPECT_EQ(entries(), QStringList{"out.dat"});
    EXPECT_EQ(old.readAll(), "previous");
    // A rename that fails after the old file got its second name: the old
    // file stands whole under its name, and the second name is gone.
    {
        AtomicFile out(name);
        ASSERT_TRUE(out.Open() && out.Write("lost", 4));
        ASSERT_TRUE(QFile::remove(out.TemporaryName()));
        EXPECT_FALSE(out.Commit());
    }
    AtomicFile::WaitForReleasedFiles();
    AtomicFile::ReleaseReplacedFilesLater(false);
    EXPECT_EQ(entries(), QStringList{"out.dat"});
    EXPECT_EQ(ReadAll(name), "new");
}

TEST(AtomicFile, TemporaryNamesAreUniqueAndFitTheFolder)
{
    const long pid = 4321;
    EXPECT_EQ(AtomicFile::TemporaryNameFor("/d/run_ch1.tif", pid, 7, 255), "/d/run_ch1.tif.4321-7.part");
    EXPECT_EQ(AtomicFile::TemporaryNameFor("run.hdr", pid, 0, 255), "run.hdr.4321-0.part");
    // A final name of 245 bytes leaves no room for the suffix: a short name in the same folder.
    const QString longName = QString(245, QLatin1Char('x'));
    EXPECT_EQ(AtomicFile::TemporaryNameFor("/d/" + longName.left(243), pid, 3, 255), "/d/" + longName.left(243) + ".4321-3.part");
    EXPECT_EQ(AtomicFile::TemporaryNameFor("/d/" + longName, pid, 3, 255), "/d/.fotonel.4321-3.part");
    // Counted in bytes of the file system's encoding, not in characters.
    const QString wide = QString(123, QChar(0x00e9));  // 246 bytes in UTF-8
    EXPECT_EQ(AtomicFile::TemporaryNameFor("/d/" + wide, pid, 3, 255), "/d/.fotonel.4321-3.part");

    // Names at the limit are written; two files of one process never share a temporary name.
    QTemporaryDir dir;
    const long nameMax = pathconf(QFile::encodeName(dir.path()).constData(), _PC_NAME_MAX);
    const QString atLimit = dir.filePath(QString(static_cast<int>(nameMax > 0 ? nameMax : 255), QLatin1Char('n')));
    AtomicFile first(atLimit), second(atLimit);
    ASSERT_TRUE(first.Open() && second.Open());
    EXPECT_NE(first.TemporaryName(), second.TemporaryName());
    EXPECT_TRUE(first.Write("1", 1) && second.Write("22", 2) && first.Commit() && second.Commit());
    EXPECT_EQ(ReadAll(atLimit), "22");
}
