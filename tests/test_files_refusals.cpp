// Files no analysis can use are refused at open, with the reason at error
// level, and leave no export folder behind; analyses whose arrays would not
// fit the memory budget are refused before anything is allocated.

#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace {

std::vector<uint32_t> Photons()
{
    return {synth::PhotonWord(1, 10, 5), synth::PhotonWord(2, 20, 6), synth::PhotonWord(1, 30, 7)};
}

void WriteBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray PtuWithTag(const synth::PtuTag &extra)
{
    synth::PtuHeader h = synth::PtuHeader::PicoHarpT3();
    h.tags.push_back(extra);
    return synth::PtuBytes(h, Photons());
}

struct RefusalCase {
    const char *what;
    const char *name;                                   // file name inside the temporary folder
    std::function<void(const QString &path)> make;      // lays the file (or what stands in its name)
    const char *reason;                                 // part of the error line
};

} // namespace

TEST(OpenRefusals, EveryRefusalNamesItsCauseAtErrorLevelAndLeavesNoFolder)
{
    auto pt3 = [](std::function<void(synth::Pt3Header &)> change) {
        return [change](const QString &path) {
            synth::Pt3Header h;
            change(h);
            WriteBytes(path, synth::Pt3Bytes(h, Photons()));
        };
    };
    const RefusalCase cases[] = {
        {"missing file", "gone.pt3", [](const QString &) {}, "does not exist"},
        {"pipe", "fifo.pt3", [](const QString &p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0600), 0); },
         "is not a regular file"},
        {"folder", "folder.pt3", [](const QString &p) { ASSERT_TRUE(QDir().mkpath(p)); }, "is a folder"},
        {"dangling link", "link.ptu",
         [](const QString &p) { ASSERT_TRUE(QFile::link(p + ".target", p)); }, "which does not exist"},
        {"unknown suffix", "run.txt", [](const QString &p) { WriteBytes(p, "x"); }, "only .pt3 and .ptu"},
        {"unknown tag type", "tag.ptu",
         [](const QString &p) {
             synth::PtuTag odd = synth::PtuTag::Int("Odd", 1);
             odd.type = 0x12345678u;
             WriteBytes(p, PtuWithTag(odd));
         },
         "Illegal Type identifier found! Broken file?"},
        {"cut inside the first record", "cut.pt3",
         [](const QString &p) { WriteBytes(p, synth::Pt3Bytes(synth::Pt3Header(), Photons()).left(728 + 2)); },
         "ends before its first record: the header announces 3 records"},
        {"resolution of 1e-45 ns", "fine.pt3", pt3([](synth::Pt3Header &h) { h.resolution = 1e-45f; }),
         "(Resolution) is finer than"},
        {"sync rate of 5 Hz", "slow.pt3", pt3([](synth::Pt3Header &h) { h.countRate0 = 5; }),
         "Sync rate 5 Hz (Count Rate (Ch0))"},
        {"ptu sync rate of 2 Hz", "slow.ptu",
         [](const QString &p) { WriteBytes(p, synth::PtuBytes(synth::PtuHeader::PicoHarpT3(2), Photons())); },
         "Sync rate 2 Hz (TTResult_SyncRate)"},
        {"ptu resolution of 1e-20 s", "fine.ptu",
         [](const QString &p) { WriteBytes(p, synth::PtuBytes(synth::PtuHeader::PicoHarpT3(40e6, 1e-20), Photons())); },
         "(MeasDesc_Resolution) is finer than"},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        c.make(path);
        TestHost host;
        std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
        if (file) {
            EXPECT_FALSE(file->Open(path));
        }
        const QStringList errors = host.Messages(MessageError);
        ASSERT_FALSE(errors.isEmpty());
        EXPECT_TRUE(errors.join('\n').contains(QString::fromLatin1(c.reason))) << errors.join('\n').toStdString();
        const QString stem = path.left(path.lastIndexOf('.'));
        EXPECT_FALSE(QFileInfo::exists(stem + "_export")) << "export folder left behind";
    }
}

TEST(OpenRefusals, AnExportFolderThatWasThereBeforeIsKept)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("run.pt3");
    synth::Pt3Header h;
    h.countRate0 = 0;
    WriteBytes(path, synth::Pt3Bytes(h, Photons()));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("run_export")));
    TestHost host;
    EXPECT_FALSE(MakePhotonFile(host, path)->Open(path));
    EXPECT_TRUE(QFileInfo(dir.filePath("run_export")).isDir());
}

TEST(OpenRefusals, MeasurementIsOpenedReadOnlyAndLeftUnchanged)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("run.pt3");
    const QByteArray bytes = synth::Pt3Bytes(synth::Pt3Header(), Photons());
    WriteBytes(path, bytes);
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    TestHost host;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
    ASSERT_TRUE(file->Open(path));
    file->WriteRecords();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), bytes);
}

TEST(MemoryBudget, AnImageWidthOfAHundredMillionIsRefusedBeforeAnyAllocation)
{
    synth::ImageScanPlan plan;
    plan.width = 4;
    plan.height = 4;
    plan.frames = 2;
    const synth::GeneratedScan scan = synth::MakeImageScan(plan);
    QTemporaryDir dir;
    const QString path = dir.filePath("wide.pt3");
    synth::Pt3Header h;
    h.imagingHeader = {0, 0, 0, 0, 0, 0, 100000000, 4};
    WriteBytes(path, synth::Pt3Bytes(h, scan.words));

    TestHost host;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
    ASSERT_TRUE(file->Open(path));
    std::unique_ptr<RSD> analysis;
    ConvertFile(host, path, file.get(), analysis);
    ASSERT_TRUE(analysis);
    EXPECT_FALSE(analysis->gathered);
    const QString errors = host.Messages(MessageError).join('\n');
    EXPECT_TRUE(errors.contains("Image width 100000000 with 4 lines and 2 frames in 1 channels needs 7630 MB, more than the"))
        << errors.toStdString();
}
