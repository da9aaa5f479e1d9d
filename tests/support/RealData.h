#pragma once
/*!
 * \brief Instrument files named by FOTONEL_REAL_DATA, opened from a copy in a
 * temporary folder (opening makes an export folder beside the file, and the
 * originals are read-only). Skipped visibly when the variable is not set.
 */
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "support/TestHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

class RealDataTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = qEnvironmentVariable("FOTONEL_REAL_DATA");
        if (folder.isEmpty())
            GTEST_SKIP() << "FOTONEL_REAL_DATA is not set: instrument files not tested";
        ASSERT_TRUE(QDir(folder).exists()) << qPrintable(folder);
    }
    /// Copies \p name (relative to the data folder) into the temporary folder; the copy's path.
    QString Copy(const QString &name)
    {
        const QString copy = tmp.filePath(QFileInfo(name).fileName());
        QFile::remove(copy);
        EXPECT_TRUE(QFile::copy(QDir(folder).filePath(name), copy)) << qPrintable(name);
        return copy;
    }
    /// Copies \p name and opens the copy with a fresh log.
    bool OpenCopy(const QString &name)
    {
        path = Copy(name);
        host.messages.clear();
        host.summary.clear();
        host.header.clear();
        file = MakePhotonFile(host, path);
        EXPECT_NE(file, nullptr);
        return file && file->Open(path);
    }

    QString folder, path;
    QTemporaryDir tmp;
    TestHost host;
    std::unique_ptr<pqFile> file;
};
