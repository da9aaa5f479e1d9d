// fotonel-convert for scripts: exit status 1 whenever an error was logged for
// a file, option values the form would change refused, option values that
// are missing refused, nothing on standard error; faults injected into
// exports (full file-size limit, blocked or removed folder) reported with
// the file's name and leaving no file that looks complete.
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "support/TestHost.h"
#include "tools/convert/Converter.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct ConvertRun {
    int code;
    QString out;
};

ConvertRun Convert(const QStringList &arguments)
{
    static int argc = 1;
    static char name[] = "test_convert_refusals";
    static char *argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    QString text;
    QTextStream out(&text);
    const int code = RunConverter(arguments, out);
    out.flush();
    return {code, text};
}

/// A 16 x 8 image scan of \p frames frames, one photon per pixel, 40 MHz sync, 4 ps bins.
QString WriteImage(const QTemporaryDir &dir, const QString &name, int frames = 3, bool lineMarkers = true)
{
    synth::ImageScanPlan plan;
    plan.width = 16;
    plan.height = 8;
    plan.frames = frames;
    plan.lineMarkers = lineMarkers;
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, 16, 8};
    const QString path = dir.filePath(name);
    EXPECT_TRUE(synth::WritePt3(path, header, synth::MakeImageScan(plan).words));
    return path;
}

QString WritePoint(const QTemporaryDir &dir, const QString &name, const std::vector<synth::PointPhoton> &photons)
{
    const QString path = dir.filePath(name);
    EXPECT_TRUE(synth::WritePt3(path, synth::Pt3Header(), synth::MakePointMeasurement(photons).words));
    return path;
}

/// Files of \p folder whose names do not end in .part: what a user takes for finished.
QStringList FinishedFiles(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files);
    names.erase(std::remove_if(names.begin(), names.end(), [](const QString &n) { return n.endsWith(".part"); }),
                names.end());
    return names;
}

} // namespace

TEST(ConvertStatus, AnyErrorLoggedForAFileFailsIt)
{
    QTemporaryDir dir;
    const std::pair<QString, const char *> cases[] = {
        {WriteImage(dir, "nolines.pt3", 3, false), "No complete line found after the first frame marker"},
        {WritePoint(dir, "single.pt3", {{1000, 1, 10}}), "Measurement too short to bin a trace"},
    };
    for (const auto &c : cases) {
        const ConvertRun run = Convert({c.first});
        EXPECT_EQ(run.code, 1) << run.out.toStdString();
        EXPECT_TRUE(run.out.contains(QString("error : ") + c.second)) << run.out.toStdString();
        EXPECT_TRUE(run.out.endsWith("0 converted, 1 failed\n"));
    }
}

TEST(ConvertOptions, ValuesOutsideTheFormsRangeAreRefusedWithTheRange)
{
    QTemporaryDir dir;
    const QString path = WriteImage(dir, "run.pt3");
    const std::pair<QStringList, const char *> cases[] = {
        {{"--tau-bin", "1e-9"}, "--tau-bin 1e-09 ns is outside the range 0.00400 to 25.00000 ns for this file"},
        {{"--tau-bin", "1e300"}, "--tau-bin 1e+300 ns is outside the range 0.00400 to 25.00000 ns"},
        {{"--gate", "all:0:1e300"}, "--gate 1:MAX 1e+300 ns is outside the range 0.000 to 25.000 ns"},
    };
    for (const auto &c : cases) {
        const ConvertRun run = Convert(c.first + QStringList(path));
        EXPECT_EQ(run.code, 1) << run.out.toStdString();
        EXPECT_TRUE(run.out.contains(QString("error : ") + c.second)) << run.out.toStdString();
    }
    // A value the box rounds is used, and the value used is printed.
    const ConvertRun rounded = Convert({"--tau-bin", "0.0123456", path});
    EXPECT_EQ(rounded.code, 0) << rounded.out.toStdString();
    EXPECT_TRUE(rounded.out.contains("warning : --tau-bin 0.0123456 ns used as 0.01235 ns"));
}

TEST(ConvertOptions, AnOptionMissingItsValueDoesNotSwallowAFile)
{
    QTemporaryDir dir;
    const QString a = WriteImage(dir, "a.pt3");
    for (const QStringList &args : {QStringList{"--tau-bin", a}, QStringList{a, "--width"},
                                    QStringList{"--gate", "--decay", a}, QStringList{"--export", "b.PTU", a}}) {
        const ConvertRun run = Convert(args);
        EXPECT_EQ(run.code, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(run.out.contains("needs a value")) << run.out.toStdString();
        EXPECT_FALSE(run.out.contains("Trying to open"));
    }
}

TEST(ConvertProcess, StandardErrorStaysEmpty)
{
    QTemporaryDir dir;
    const QString good = WriteImage(dir, "good.pt3");
    const QString bad = dir.filePath("bad.pt3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
    QProcess run;
    run.start(QStringLiteral(FOTONEL_CONVERT), {"--export", "stack", "--decay", "--records", good, bad});
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 1);
    EXPECT_EQ(run.readAllStandardError(), QByteArray());
    const QByteArray out = run.readAllStandardOutput();
    EXPECT_TRUE(out.contains("is not a regular file")) << out.constData();
    EXPECT_TRUE(out.endsWith("1 converted, 1 failed\n"));
}

TEST(ExportFaults, AFileSizeLimitFailsTheExportAndLeavesNoFinishedFile)
{
    QTemporaryDir dir;
    const QString path = WriteImage(dir, "big.pt3", 40);  // 40 pages of 16 x 8 x 2 bytes, and a 20 kB record table
    const QString log = dir.filePath("log.txt");
    const QByteArray program = QFile::encodeName(QStringLiteral(FOTONEL_CONVERT));
    const QByteArray file = QFile::encodeName(path);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // 6000 bytes: the header text fits, no export does.
        struct rlimit limit = {6000, 6000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        const int fd = ::open(QFile::encodeName(log).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        const int err = ::open(QFile::encodeName(log + ".err").constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        const char *argv[] = {program.constData(), "--export", "stack", "--records", file.constData(), nullptr};
        ::execv(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    QFile out(log);
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(out.readAll());
    const QString base = dir.filePath("big_export/big");
    EXPECT_TRUE(text.contains(QString("error : Failed to save TIFF stack file %1_ch1.tif").arg(base))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString("error : Failed to write records to file %1.dat").arg(base)));
    EXPECT_EQ(FinishedFiles(dir.filePath("big_export")), QStringList{"big.hdr"});
    EXPECT_EQ(QFileInfo(log + ".err").size(), 0) << "libtiff or Qt printed on standard error";
}

TEST(ExportFaults, ABlockedExportFolderFailsTheFileWithItsName)
{
    QTemporaryDir dir;
    const QString path = WriteImage(dir, "run.pt3");
    QFile(dir.filePath("run_export")).open(QIODevice::WriteOnly);  // a file where the folder should be
    const ConvertRun run = Convert({"--export", "stack", path});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.contains(QString("error : Export Folder %1 does not exist").arg(dir.filePath("run_export"))));
}

namespace {
/// Removes the export folder as soon as the stack export has started writing.
class RemovingHost : public TestHost {
public:
    using TestHost::AddMessage;
    void AddMessage(int level, const QString &text) override
    {
        TestHost::AddMessage(level, text);
        if (text.startsWith("Saving TIFF stack file"))
            QDir(folder).removeRecursively();
    }
    QString folder;
};
} // namespace

TEST(ExportFaults, AFolderRemovedDuringAnExportIsReported)
{
    QTemporaryDir dir;
    const QString path = WriteImage(dir, "run.pt3");
    RemovingHost host;
    host.folder = dir.filePath("run_export");
    std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
    ASSERT_TRUE(file->Open(path));
    std::unique_ptr<RSD> scan;
    ASSERT_TRUE(ConvertFile(host, path, file.get(), scan));
    scan->WriteImages(0, 1);
    EXPECT_TRUE(host.Logged(QString("Failed to save TIFF stack file %1/run_ch1.tif").arg(host.folder), MessageError));
    EXPECT_FALSE(QFileInfo::exists(host.folder + "/run_ch1.tif"));
}
