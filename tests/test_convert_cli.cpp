// fotonel-convert: options, output and exit status run in-process; for
// scripts, exit status 1 whenever an error was logged for a file, option values
// the form would change refused with the range, nothing on standard error, and
// faults injected into exports (file-size limit, blocked or removed folder)
// reported with the file's name, leaving no file that looks complete.
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "support/ConvertRun.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// A 4 x 2 image scan of 2 frames, 40 MHz sync (25 ns), 4 ps bins: frame markers at sync 0, 100000, 200000
// (2.5 ms apart); in each frame two lines of 400 syncs (10 µs) starting 1000 and 5000 syncs after the frame
// marker. Pixel x of each line gets (x + 1) photons of channel 1, 50 syncs into the pixel, with dtime
// 250 (1 ns) for even photons and 2500 (10 ns) for odd ones.
QString WriteSample(const QTemporaryDir &dir)
{
    synth::RecordStream s;
    uint32_t photons = 0;
    for (uint64_t f = 0; f < 2; ++f) {
        const uint64_t frame = f * 100000;
        s.AddMarker(frame, 4);
        for (uint64_t y = 0; y < 2; ++y) {
            const uint64_t start = frame + 1000 + y * 4000;
            s.AddMarker(start, 1);
            for (uint64_t x = 0; x < 4; ++x)
                for (uint64_t k = 0; k <= x; ++k, ++photons)
                    s.AddPhoton(start + x * 100 + 50, 1, photons % 2 ? 2500 : 250);
            s.AddMarker(start + 400, 2);
        }
    }
    s.AddMarker(200000, 4);
    EXPECT_EQ(photons, 40u);
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, 4, 2};
    const QString path = dir.filePath("run1.pt3");
    EXPECT_TRUE(synth::WritePt3(path, header, s.words));
    return path;
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

/// The converter as its own process, optionally under a file-size limit (SIGXFSZ ignored).
class ConverterProcess : public QProcess {
public:
    rlim_t sizeLimit = RLIM_INFINITY;

protected:
    void setupChildProcess() override
    {
        const struct rlimit limit = {sizeLimit, sizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
    }
};

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

TEST(ConvertCli, HelpAndBadOptions)
{
    const ConvertRun help = Convert({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("--trace-bin") && help.out.contains("FILE")) << help.out.toStdString();

    // Refused before any file is opened, and an option missing its value must not swallow the file after it.
    QTemporaryDir dir;
    const QString a = WriteSample(dir);
    const std::pair<QStringList, const char *> cases[] = {
        {{}, ""}, {{"--gate", "5:0:10", a}, ""}, {{"--gate", "1:10:0", a}, ""}, {{"--cursor", "1:a:b", a}, ""},
        {{"--width", "0", a}, ""}, {{"--tau-bin", "-1", a}, ""}, {{"--dtau", "0", a}, ""},
        {{"--trace-bin", "x", a}, ""}, {{"--steps", "1", a}, ""}, {{"--cascades", "0", a}, ""},
        {{"--no-such-option", a}, ""}, {{"--export", "tiff", a}, ""}, {{"--bits", "16", a}, ""},
        {{"--records=number,color", a}, ""}, {{"--tau-bin", a}, "needs a value"}, {{a, "--width"}, "needs a value"},
        {{"--gate", "--decay", a}, "needs a value"}, {{"--export", "b.PTU", a}, "needs a value"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first.join(' ').toStdString());
        const ConvertRun run = Convert(c.first);
        EXPECT_EQ(run.code, 2);
        EXPECT_TRUE(run.out.contains(c.second)) << run.out.toStdString();
        EXPECT_FALSE(run.out.contains("Trying to open"));
    }
}

TEST(ConvertCli, ConvertsAnImageScanAsTheFormWould)
{
    QTemporaryDir dir;
    const QString path = WriteSample(dir);
    const auto field = [](const char *name, int value) { return QString("%1 : %2\n").arg(name, 25).arg(value); };
    // Gate 0..5 ns keeps the 1 ns photons only: 20 of 40. Cursors (1 ms steps, as the boxes show 3 decimals
    // of a second) that end before the second frame, which starts at 2.5 ms, keep 20 of 40 as well.
    const std::pair<QStringList, QStringList> cases[] = {
        {{}, {"Image Scan File\n", field("Image Width", 4), field("Final Number of Images", 2),
              "Min = 1, Max = 4, Photon count = 40, Gated photon count = 40", "1 converted, 0 failed\n"}},
        {{"--gate", "1:0:5"}, {"Photon count = 20, Gated photon count = 20"}},
        {{"--width", "8"}, {field("Image Width", 8)}},
        {{"--cursor", "all:0:0.002"}, {"Photon count = 20, Gated photon count = 20"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first.join(' ').toStdString());
        const ConvertRun run = Convert(c.first + QStringList(path));
        EXPECT_EQ(run.code, 0);
        for (const QString &text : c.second)
            EXPECT_TRUE(run.out.contains(text)) << run.out.toStdString();
    }
    EXPECT_GE(Convert({"--tau-bin", "5", path}).out.count("Binned Life Time Data"), 2);

    const ConvertRun run = Convert({path});
    EXPECT_TRUE(run.out.startsWith(QString("0001 : Trying to open file %1\n0002 : pt3\n").arg(path)));
    QFile hdr(dir.filePath("run1_export/run1.hdr"));
    ASSERT_TRUE(hdr.open(QIODevice::ReadOnly));
    const QByteArray text = hdr.readAll();
    EXPECT_TRUE(text.startsWith(QString("%1 : PicoHarp 300\n").arg("Identifier", 25).toLatin1()));
    EXPECT_TRUE(run.out.contains(QString::fromLatin1(text)));
}

TEST(ConvertStatus, AnyErrorLoggedForAFileFailsIt)
{
    QTemporaryDir dir;
    const QString image = WriteImage(dir, "run.pt3"), single = dir.filePath("single.pt3");
    ASSERT_TRUE(synth::WritePt3(single, synth::Pt3Header(), synth::MakePointMeasurement({{1000, 1, 10}}).words));
    synth::Pt3Header timeHarp;
    timeHarp.identifier = "TimeHarp 200";
    const QString wrong = dir.filePath("wrong.pt3"), other = dir.filePath("notes.txt");
    ASSERT_TRUE(synth::WritePt3(wrong, timeHarp, {synth::PhotonWord(1, 10, 10)}));
    QFile(other).open(QIODevice::WriteOnly);
    QFile::copy(image, dir.filePath("blocked.pt3"));
    QFile(dir.filePath("blocked_export")).open(QIODevice::WriteOnly);  // a file where the folder should be

    const struct {
        QStringList args;
        QStringList errors;
        const char *tail;
    } cases[] = {
        {{wrong, other},
         {"This is not a PicoHarp 300 file", "Failed to open file " + wrong, "Failed to open file " + other},
         "0 converted, 2 failed\n"},
        {{WriteImage(dir, "nolines.pt3", 3, false)}, {"No complete line found after the first frame marker"}, ""},
        {{single}, {"Measurement too short to bin a trace"}, ""},
        {{"--tau-bin", "1e-9", image}, {"--tau-bin 1e-09 ns is outside the range 0.00400 to 25.00000 ns for this file"}, ""},
        {{"--tau-bin", "1e300", image}, {"--tau-bin 1e+300 ns is outside the range 0.00400 to 25.00000 ns"}, ""},
        {{"--gate", "all:0:1e300", image}, {"--gate 1:MAX 1e+300 ns is outside the range 0.000 to 25.000 ns"}, ""},
        {{"--export", "stack", dir.filePath("blocked.pt3")},
         {"Export Folder " + dir.filePath("blocked_export") + " cannot be created: File exists"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ConvertRun run = Convert(c.args);
        EXPECT_EQ(run.code, 1) << run.out.toStdString();
        for (const QString &error : c.errors)
            EXPECT_TRUE(run.out.contains("error : " + error)) << run.out.toStdString();
        EXPECT_TRUE(run.out.endsWith(*c.tail ? c.tail : "0 converted, 1 failed\n"));
    }
    // A value the box rounds is used, and the value used is printed.
    const ConvertRun rounded = Convert({"--tau-bin", "0.0123456", image});
    EXPECT_EQ(rounded.code, 0) << rounded.out.toStdString();
    EXPECT_TRUE(rounded.out.contains("warning : --tau-bin 0.0123456 ns used as 0.01235 ns"));
}

TEST(ConvertProcess, FailuresLeaveStandardErrorEmptyAndNoFinishedFile)
{
    QTemporaryDir dir;
    const QString good = WriteImage(dir, "good.pt3");
    const QString fifo = dir.filePath("bad.pt3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // 40 pages of 16 x 8 x 2 bytes and a 20 kB record table; a 6000-byte limit fits the header text only.
    const QString big = WriteImage(dir, "big.pt3", 40), base = dir.filePath("big_export/big");
    const struct {
        QStringList args;
        rlim_t limit;
        QStringList expected;
        const char *tail;
    } cases[] = {
        {{"--export", "stack", "--decay", "--records", good, fifo}, RLIM_INFINITY, {"is not a regular file"},
         "1 converted, 1 failed\n"},
        {{"--export", "stack", "--records", big}, 6000,
         {"error : Failed to save TIFF stack file " + base + "_ch1.tif",
          "error : Failed to write records to file " + base + ".dat"},
         "0 converted, 1 failed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        ConverterProcess run;
        run.sizeLimit = c.limit;
        run.start(QStringLiteral(FOTONEL_CONVERT), c.args);
        ASSERT_TRUE(run.waitForFinished(60000));
        EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_EQ(run.readAllStandardError(), QByteArray()) << "libtiff or Qt printed on standard error";
        const QString out = QString::fromUtf8(run.readAllStandardOutput());
        for (const QString &text : c.expected)
            EXPECT_TRUE(out.contains(text)) << out.toStdString();
        EXPECT_TRUE(out.endsWith(c.tail)) << out.toStdString();
    }
    // Only the header looks finished: partial exports keep their .part name.
    EXPECT_EQ(QDir(dir.filePath("big_export")).entryList(QDir::Files).filter(QRegularExpression("^(?!.*\\.part$)")),
              QStringList{"big.hdr"});
}

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
