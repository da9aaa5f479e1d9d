#include "fuzz/FuzzFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {
QTemporaryDir &Scratch()
{
    // Lives as long as the process; removed with everything in it at exit.
    // In memory where the system offers it: the exports sync their files to
    // disk before renaming them, which on a disk costs milliseconds per input.
    const QString shm = QStringLiteral("/dev/shm");
    const QString base = QFileInfo(shm).isDir() && QFileInfo(shm).isWritable() ? shm : QDir::tempPath();
    static QTemporaryDir dir(base + QStringLiteral("/fotonel-fuzz-XXXXXX"));
    return dir;
}
} // namespace

QString fuzz::WriteInput(const uint8_t *data, std::size_t size, const QString &name)
{
    ClearScratch();
    const QString path = Scratch().filePath(name);
    QFile out(path);
    if (out.open(QIODevice::WriteOnly))
        out.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    return path;
}

void fuzz::ClearScratch()
{
    QDir dir(Scratch().path());
    for (const QString &entry : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        QFileInfo info(dir.filePath(entry));
        if (info.isDir() && !info.isSymLink())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}
