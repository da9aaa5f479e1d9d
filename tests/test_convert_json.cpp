// fotonel-convert --json: one JSON object per file on standard output, read
// back with Qt's JSON classes, for converted, refused and point files.
#include "support/ConvertRun.h"
#include "tools/synth/DiffusionSimulator.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

/// The JSON lines of \p text, each parsed; an unparsable line fails the test.
std::vector<QJsonObject> JsonLines(const QString &text)
{
    std::vector<QJsonObject> objects;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        objects.push_back(document.object());
    }
    return objects;
}

void WriteFiles(const QTemporaryDir &dir, synth::GeneratedScan &image)
{
    synth::ImageScanPlan plan;
    plan.width = 16, plan.height = 8, plan.frames = 2;
    plan.channels = {1, 2};
    plan.photonCount = [](int f, int y, int x, uint32_t c) { return (x + y + f + static_cast<int>(c)) % 3; };
    image = synth::MakeImageScan(plan);
    synth::PtuHeader header = synth::PtuHeader::PicoHarpT3(40e6, 4e-12, 16, 8);
    header.tags.push_back(synth::PtuTag::Float("ImgHdr_PixResol", 0.5));
    ASSERT_TRUE(synth::WritePtu(dir.filePath("image.ptu"), header, image.words));
    synth::DiffusionPlan diffusion;
    diffusion.brightness = 300e3;
    diffusion.step = 20e-6;
    diffusion.seed = 3;
    ASSERT_TRUE(synth::WritePt3(dir.filePath("point.pt3"), synth::Pt3Header(),
                                synth::SimulateDiffusion(diffusion, 200000).words));
    QFile bad(dir.filePath("bad.pt3"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("not a measurement");
}

} // namespace

TEST(ConvertJson, ConvertedRefusedAndPointFiles)
{
    QTemporaryDir dir;
    synth::GeneratedScan image;
    WriteFiles(dir, image);
    Convert({"--version"});  // the application object
    QString json, text;
    QTextStream out(&json), log(&text);
    const int code = RunConverter({"--json", "--export", "ome", "--correlate", "--fit", "3D", "--segments", "4",
                                   "--dtau", "1", "--steps", "8", "--cascades", "10", dir.filePath("image.ptu"),
                                   dir.filePath("bad.pt3"), dir.filePath("point.pt3")},
                                  out, log);
    out.flush(), log.flush();
    EXPECT_EQ(code, 1);  // one file refused
    EXPECT_TRUE(text.contains("2 converted, 1 failed")) << text.toStdString();
    const std::vector<QJsonObject> reports = JsonLines(json);
    ASSERT_EQ(reports.size(), 3u) << json.toStdString();

    // Every file listed was written, with its size.
    for (const QJsonObject &report : reports)
        for (const QJsonValue &written : report["files"].toArray())
            EXPECT_EQ(written["bytes"].toVariant().toLongLong(), QFileInfo(written["name"].toString()).size())
                << written["name"].toString().toStdString();

    const QJsonObject &converted = reports[0];
    EXPECT_EQ(converted["status"], "converted");
    EXPECT_FALSE(converted.contains("reason"));
    EXPECT_EQ(converted["record_type"], "PicoHarp T3");
    EXPECT_EQ(converted["scan_type"], "image");
    const QJsonObject counts = converted["counts"].toObject();
    EXPECT_EQ(counts["records"].toVariant().toLongLong(), static_cast<qint64>(image.words.size()));
    EXPECT_EQ(counts["photons_per_channel"].toObject(),
              QJsonObject({{"1", static_cast<qint64>(image.photonsPerChannel[1])},
                           {"2", static_cast<qint64>(image.photonsPerChannel[2])}}));
    EXPECT_EQ(counts["frames"].toVariant().toLongLong(), 2);
    EXPECT_EQ(counts["lines"].toVariant().toLongLong(), 16);
    const QJsonObject geometry = converted["geometry"].toObject();
    EXPECT_EQ(geometry["width_px"].toVariant().toLongLong(), 16);
    EXPECT_EQ(geometry["height_px"].toVariant().toLongLong(), 8);
    EXPECT_EQ(geometry["pixel_size_x_um"].toDouble(), 0.5);
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
    // As many lags as the curve file has lines, the same G in its last column.
    QFile curveFile(dir.filePath("point_export/point_G_ch1_ch2.dat"));
    ASSERT_TRUE(curveFile.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(curveFile.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_GT(lines.size(), 10);
    for (const QJsonValue &curve : curves) {
        EXPECT_EQ(curve["lag_ms"].toArray().size(), lines.size());
        EXPECT_EQ(curve["G"].toArray().size(), lines.size());
        EXPECT_EQ(curve["G_sigma"].toArray().size(), lines.size());
    }
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_NEAR(curves[1]["G"][i].toDouble(), lines[i].split('\t').last().toDouble(), 1e-5) << i;
    const QJsonArray fits = point["fits"].toArray();
    ASSERT_EQ(fits.size(), 4);
    const QJsonObject tauD = fits[0]["parameters"]["tauD_ms"].toObject();
    // The simulated diffusion time is 0.39 ms.
    EXPECT_NEAR(tauD["value"].toDouble(), 0.39, 0.15);
    EXPECT_GT(tauD["standard_error"].toDouble(), 0);
    EXPECT_EQ(fits[0]["parameters"]["kappa"]["free"], false);
    EXPECT_EQ(fits[0]["model"], "3D");
}

// As a process: standard output holds the JSON lines alone, the log goes to standard error.
TEST(ConvertJson, StandardOutputHoldsOnlyJson)
{
    QTemporaryDir dir;
    synth::GeneratedScan image;
    WriteFiles(dir, image);
    QProcess convert;
    convert.start(FOTONEL_CONVERT, {"--json", dir.filePath("image.ptu"), dir.filePath("bad.pt3")});
    ASSERT_TRUE(convert.waitForFinished());
    EXPECT_EQ(convert.exitCode(), 1);
    const std::vector<QJsonObject> reports = JsonLines(QString::fromUtf8(convert.readAllStandardOutput()));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0]["file"], dir.filePath("image.ptu"));
    EXPECT_TRUE(convert.readAllStandardError().contains("1 converted, 1 failed"));
}
