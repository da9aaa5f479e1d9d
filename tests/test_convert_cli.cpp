// fotonel-convert: options, output and exit status; faults injected into exports (file-size limit, blocked or
// removed folder) reported with the file's name and leaving no file that looks complete; --json read back with Qt.
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "support/ConvertHelpers.h"
#include "support/ConvertRun.h"
#include "support/TestHost.h"
#include "tools/synth/RecordStream.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <map>
#include <random>
#include <set>

namespace {

/// A 4 x 2 image scan of 2 frames 2.5 ms apart, 40 MHz sync, 4 ps bins: pixel x of each line holds x + 1
/// photons of channel 1, of delay 1 ns on the first line and 10 ns on the second (20 photons each).
QString WriteSample(const QTemporaryDir &dir)
{
    synth::ImageScanPlan plan;
    plan.width = 4, plan.height = 2;
    plan.lineSyncs = 400;
    plan.frameGap = 100000;
    plan.photonCount = [](int, int, int x, uint32_t) { return x + 1; };
    plan.dtimeOf = [](int, int y, int, uint32_t, int) { return y == 0 ? 250u : 2500u; };
    EXPECT_TRUE(WriteImagePt3(dir.filePath("run1.pt3"), plan));
    return dir.filePath("run1.pt3");
}

/// A 16 x 8 image scan of \p frames frames, one photon per pixel, 40 MHz sync, 4 ps bins.
QString WriteImage(const QTemporaryDir &dir, const QString &name, int frames = 3, bool lineMarkers = true)
{
    synth::ImageScanPlan plan;
    plan.width = 16, plan.height = 8, plan.frames = frames;
    plan.lineMarkers = lineMarkers;
    EXPECT_TRUE(WriteImagePt3(dir.filePath(name), plan));
    return dir.filePath(name);
}

/// Every file of \p folder (hidden ones too) with its bytes.
std::map<QString, QByteArray> Contents(const QString &folder)
{
    std::map<QString, QByteArray> files;
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        QFile in(info.filePath());
        files[info.filePath()] = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("unreadable");
    }
    return files;
}

/// Removes the export folder as soon as the stack export has started writing. The stack writer's commit then fails (its
/// rename); the full-disk test below never gets that far.
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

/// The JSON lines of \p text, each parsed; an unparsable line fails the test.
std::vector<QJsonObject> JsonLines(const QString &text)
{
    std::vector<QJsonObject> objects;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error{};
        objects.push_back(QJsonDocument::fromJson(line.toUtf8(), &error).object());
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    }
    return objects;
}

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
        {{"--records=number,color", a}, ""}, {{"--fit", "4D", a}, ""}, {{"--fit", "3D", "--free", "tau", a}, ""},
        {{"--tau-bin", a}, "needs a value"}, {{a, "--width"}, "needs a value"}, {{"--gate", "--decay", a}, "needs a value"},
        {{"--export", "b.PTU", a}, "needs a value"},
        // The fit group keeps two decimals: 1.001 would become 1.00, which is "off".
        {{"--reject", "1.001", a}, "--reject takes a factor from 1.01 to 1000"}, {{"--segments", "0", a}, ""},
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
    const QByteArray header = ReadAll(dir.filePath("run1_export/run1.hdr"));
    EXPECT_TRUE(header.size() > 100 && run.out.contains(QString::fromLatin1(header))) << header.toStdString();
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
        // An analysis that reported an error exports nothing.
        {{"--export", "raw", "--decay", WriteImage(dir, "nolines.pt3", 3, false)},
         {"No complete line found after the first frame marker",
          "Nothing exported: the analysis of this file reported an error"},
         ""},
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
    EXPECT_EQ(QDir(dir.filePath("nolines_export")).entryList(QDir::Files | QDir::Hidden), QStringList{"nolines.hdr"});
    // A value the box rounds is used, and the value used is printed.
    const ConvertRun rounded = Convert({"--tau-bin", "0.0123456", image});
    EXPECT_EQ(rounded.code, 0) << rounded.out.toStdString();
    EXPECT_TRUE(rounded.out.contains("warning : --tau-bin 0.0123456 ns used as 0.01235 ns"));
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

TEST(ExportFaults, EveryWriterUnderAFullDiskKeepsThePreviousFileWhole)
{
    // Each writer again under file-size limits at its first write, half a file and a file's last bytes (which small
    // files write only when flushed): an error naming every file over the limit, every previous file as it was.
    QTemporaryDir dir;
    const QString image = WriteImage(dir, "image.pt3", 40), point = dir.filePath("point.pt3");
    // Photons at random times: curves with error bars that the fit takes (fit and _sd files).
    std::mt19937 draw(5);
    std::vector<synth::PointPhoton> photons;
    for (uint64_t sync = 0; sync < 4000000; sync += 1 + draw() % 400)
        photons.push_back({sync, static_cast<uint32_t>(1 + draw() % 2), static_cast<uint32_t>(draw() % 2000)});
    ASSERT_TRUE(synth::WritePt3(point, synth::Pt3Header(), synth::MakePointMeasurement(photons).words));
    synth::ImageScanPlan lineLayout;
    lineLayout.width = 16, lineLayout.height = 8;
    ASSERT_TRUE(synth::WritePt3(dir.filePath("line.pt3"), synth::Pt3Header(), synth::MakeLineScan(lineLayout, 2).words));
    const struct {
        QString folder;
        QStringList args;
    } cases[] = {
        {"image_export", {"--export", "raw", "--decay", "--tau-bin", "1", "--records", image}},
        {"image_export", {"--export", "stack", "--export", "ome", "--export", "ome-flim", "--export", "photon-hdf5",
                          "--tau-bin", "1", image}},
        {"image_export", {"--export", "images", "--bits", "8", image}},
        {"line_export", {"--export", "stack", "--decay", "--tau-bin", "1", dir.filePath("line.pt3")}},
        {"point_export", {"--trace", "--histogram", "--correlate", "--segments", "4", "--fit", "2D", point}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const QString folder = dir.filePath(c.folder);
        QDir(folder).removeRecursively();
        const ConvertRun first = Convert(c.args);
        ASSERT_EQ(first.code, 0) << first.out.toStdString();
        const std::map<QString, QByteArray> previous = Contents(folder);
        if (c.folder == "point_export") {
            EXPECT_TRUE(previous.count(folder + "/point_fit_ch1_ch2.txt") && previous.count(folder + "/point_G_ch1_ch2_sd.dat"));
        }
        std::set<rlim_t> limits{0};
        for (const auto &file : previous)
            limits.insert({static_cast<rlim_t>(file.second.size()) / 2, static_cast<rlim_t>(file.second.size()) - 1});
        for (const rlim_t limit : limits) {
            SCOPED_TRACE(limit);
            const ProcessRun run = RunProcess(c.args, limit);
            const QString &out = run.out;
            EXPECT_EQ(run.code, 1) << out.toStdString();
            EXPECT_EQ(run.err, QByteArray());
            EXPECT_TRUE(Contents(folder) == previous) << "a previous file was changed, or a temporary file was left";
            for (const auto &file : previous) {
                // A macro is written only after its raw file, which is bigger.
                const QString raw = file.first.endsWith(".raw.ijm") ? file.first.chopped(4) : file.first;
                const QRegularExpression named("\\d+ : error : .* " + QRegularExpression::escape(file.first) + "(:.*)?$",
                                               QRegularExpression::MultilineOption);
                const bool attempted = raw == file.first || static_cast<rlim_t>(previous.at(raw).size()) <= limit;
                EXPECT_EQ(out.contains(named), attempted && static_cast<rlim_t>(file.second.size()) > limit)
                    << file.first.toStdString() << " of " << file.second.size() << " bytes\n" << out.toStdString();
            }
        }
    }
}

TEST(ExportFaults, TwoConvertersOfOneFileBothWriteWholeFiles)
{
    // Two processes at once: each rename puts a whole file in place, whichever comes last.
    QTemporaryDir dir;
    const QString image = WriteImage(dir, "image.pt3", 400);
    const QStringList args{"--export", "raw", "--decay", "--tau-bin", "0.5", "--records", image};
    ASSERT_EQ(Convert(args).code, 0);
    const std::map<QString, QByteArray> alone = Contents(dir.filePath("image_export"));
    ASSERT_EQ(alone.size(), 5u);  // header, raw file and its macro, lifetime stack, record table
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        LimitedProcess first, second;
        first.start(QStringLiteral(FOTONEL_CONVERT), args);
        second.start(QStringLiteral(FOTONEL_CONVERT), args);
        ASSERT_TRUE(first.waitForFinished(60000) && second.waitForFinished(60000));
        for (LimitedProcess *run : {&first, &second}) {
            EXPECT_EQ(run->exitCode(), 0) << run->readAllStandardOutput().toStdString();
            EXPECT_EQ(run->readAllStandardError(), QByteArray());
        }
        EXPECT_TRUE(Contents(dir.filePath("image_export")) == alone);
    }
}

TEST(ConvertJson, ConvertedRefusedAndPointFiles)
{
    // An image scan of two channels with its pixel size, a diffusion point measurement, and a file that is none.
    QTemporaryDir dir;
    synth::ImageScanPlan plan;
    plan.width = 16, plan.height = 8, plan.frames = 2;
    plan.channels = {1, 2};
    plan.photonCount = [](int f, int y, int x, uint32_t c) { return (x + y + f + static_cast<int>(c)) % 3; };
    const synth::GeneratedScan image = synth::MakeImageScan(plan);
    synth::PtuHeader header = synth::PtuHeader::PicoHarpT3(40e6, 4e-12, 16, 8);
    header.tags.push_back(synth::PtuTag::Float("ImgHdr_PixResol", 0.5));
    EXPECT_TRUE(synth::WritePtu(dir.filePath("image.ptu"), header, image.words));
    EXPECT_TRUE(WriteDiffusion(dir.filePath("point.pt3")));
    EXPECT_TRUE(WriteAll(dir.filePath("bad.pt3"), "not a measurement"));
    // Standard output holds the JSON lines alone, the log goes to standard error.
    const ProcessRun run = RunProcess({"--json", "--export", "ome", "--correlate", "--fit", "3D", "--segments", "4",
                                       "--dtau", "1", "--steps", "8", "--cascades", "10", dir.filePath("image.ptu"),
                                       dir.filePath("bad.pt3"), dir.filePath("point.pt3")});
    const QString text = QString::fromUtf8(run.err);
    EXPECT_EQ(run.code, 1);  // one file refused
    EXPECT_TRUE(text.contains("2 converted, 1 failed")) << text.toStdString();
    const std::vector<QJsonObject> reports = JsonLines(run.out);
    ASSERT_EQ(reports.size(), 3u) << run.out.toStdString();

    // Every file listed was written, with its size.
    for (const QJsonObject &report : reports)
        for (const QJsonValue &written : report["files"].toArray())
            EXPECT_EQ(written["bytes"].toVariant().toLongLong(), QFileInfo(written["name"].toString()).size())
                << written["name"].toString().toStdString();

    const QJsonObject &converted = reports[0];
    EXPECT_EQ(QStringList({converted["file"].toString(), converted["status"].toString(),
                           converted["record_type"].toString(), converted["scan_type"].toString()}),
              QStringList({dir.filePath("image.ptu"), "converted", "PicoHarp T3", "image"}));
    EXPECT_FALSE(converted.contains("reason"));
    const QJsonObject counts = converted["counts"].toObject(), geometry = converted["geometry"].toObject();
    EXPECT_EQ(counts["photons_per_channel"].toObject(),
              QJsonObject({{"1", static_cast<qint64>(image.photonsPerChannel[1])},
                           {"2", static_cast<qint64>(image.photonsPerChannel[2])}}));
    EXPECT_EQ(QVariantList({counts["records"].toVariant(), counts["frames"].toVariant(), counts["lines"].toVariant(),
                            geometry["width_px"].toVariant(), geometry["height_px"].toVariant(),
                            geometry["pixel_size_x_um"].toVariant()}),
              QVariantList({static_cast<qint64>(image.words.size()), 2, 16, 16, 8, 0.5}));
    QStringList names;
    for (const QJsonValue &written : converted["files"].toArray())
        names << QFileInfo(written["name"].toString()).fileName();
    EXPECT_EQ(names, QStringList({"image.hdr", "image.ome.tif"}));

    const QJsonObject &refused = reports[1];
    EXPECT_EQ(refused["status"], "refused");
    EXPECT_FALSE(refused["reason"].toString().isEmpty());
    EXPECT_TRUE(text.contains(refused["reason"].toString())) << refused["reason"].toString().toStdString();
    EXPECT_TRUE(refused["files"].toArray().isEmpty());

    // Point: four curves of both channels on one lag axis, each with its error bars and fit.
    const QJsonObject &point = reports[2];
    EXPECT_EQ(point["scan_type"], "point");
    const QJsonArray curves = point["correlations"].toArray();
    ASSERT_EQ(curves.size(), 4);
    EXPECT_EQ(curves[1]["from_channel"].toInt(), 1);
    EXPECT_EQ(curves[1]["to_channel"].toInt(), 2);
    // As many lags as the error file has lines after its comment line, the same G and sigma (lag, G, sigma).
    const QStringList sd =
        QString::fromLatin1(ReadAll(dir.filePath("point_export/point_G_ch1_ch2_sd.dat"))).split('\n', Qt::SkipEmptyParts);
    ASSERT_GT(sd.size(), 10);
    for (const QJsonValue &curve : curves)
        for (const char *key : {"lag_ms", "G", "G_sigma"})
            EXPECT_EQ(curve[key].toArray().size(), sd.size() - 1) << key;
    for (int i = 1; i < sd.size(); ++i) {
        EXPECT_NEAR(curves[1]["G"][i - 1].toDouble(), sd[i].split('\t').value(1).toDouble(), 1e-5) << i;
        EXPECT_NEAR(curves[1]["G_sigma"][i - 1].toDouble(), sd[i].split('\t').value(2).toDouble(), 1e-5) << i;
    }
    const QJsonArray fits = point["fits"].toArray();
    ASSERT_EQ(fits.size(), 4);
    const QJsonObject tauD = fits[0]["parameters"]["tauD_ms"].toObject();
    EXPECT_NEAR(tauD["value"].toDouble(), 0.39, 0.15);  // the simulated diffusion time
    EXPECT_GT(tauD["standard_error"].toDouble(), 0);
    EXPECT_EQ(fits[0]["parameters"]["kappa"]["free"], false);
    EXPECT_EQ(fits[0]["model"], "3D");
}
