// The OME-TIFF and FLIM OME-TIFF exports read back with libtiff, xmllint and the OME schema, and tifffile.
#include "support/ConvertHelpers.h"
#include "support/ConvertRun.h"
#include "support/WindowFixture.h"
#include "scans/ImageScan.h"
#include "ui_Fotonel.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QRegularExpression>
#include <tiffio.h>

#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr int kW = 16, kH = 8, kF = 3;

synth::ImageScanPlan Plan()
{
    synth::ImageScanPlan plan;
    plan.width = kW, plan.height = kH, plan.frames = kF;
    plan.channels = {1, 2};
    plan.photonCount = [](int f, int y, int x, uint32_t c) { return (x * 7 + y * 3 + f + static_cast<int>(c)) % 4; };
    // Delays over 0 .. 24 ns of the 25 ns period, 4 ps a step.
    plan.dtimeOf = [](int f, int y, int x, uint32_t c, int k) {
        return static_cast<uint32_t>((400 * x + 900 * y + 1300 * f + 700 * c + 1700 * k) % 6000);
    };
    return plan;
}

/// The scan as .ptu with ImgHdr_PixResol (µm) when \p pixel > 0, or as .pt3 (no pixel size).
QString WriteScan(const QString &folder, const QString &name, double pixel)
{
    const QString path = folder + "/" + name;
    if (name.endsWith(".pt3")) {
        EXPECT_TRUE(WriteImagePt3(path, Plan()));
        return path;
    }
    QDir().mkpath(folder);
    synth::PtuHeader header = synth::PtuHeader::PicoHarpT3(40e6, 4e-12, kW, kH);
    if (pixel > 0)
        header.tags.push_back(synth::PtuTag::Float("ImgHdr_PixResol", pixel));
    EXPECT_TRUE(synth::WritePtu(path, header, synth::MakeImageScan(Plan()).words));
    return path;
}

struct Page {
    uint32_t width = 0, height = 0;
    std::vector<uint16_t> pixels;
};

/// Every directory of a 16-bit TIFF file through libtiff, and the first description.
std::vector<Page> ReadTiff(const QString &path, QString *description = nullptr)
{
    std::vector<Page> pages;
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff)
        return pages;
    do {
        Page page;
        uint16_t bits = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &page.width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &page.height);
        TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        EXPECT_EQ(bits, 16);
        char *text = nullptr;
        if (description && pages.empty() && TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text) == 1)
            *description = QString::fromLatin1(text);
        page.pixels.resize(static_cast<std::size_t>(page.width) * page.height);
        for (uint32_t row = 0; row < page.height; ++row)
            EXPECT_EQ(TIFFReadScanline(tiff, page.pixels.data() + row * page.width, row, 0), 1);
        pages.push_back(std::move(page));
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return pages;
}

/// The attributes of the first element \p name of \p xml.
std::map<QString, QString> Attributes(const QString &xml, const QString &name)
{
    std::map<QString, QString> attributes;
    const QString text = QRegularExpression("<" + name + "\\s([^>]*)>").match(xml).captured(1);
    for (auto it = QRegularExpression("(\\w+)=\"([^\"]*)\"").globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        attributes[m.captured(1)] = m.captured(2);
    }
    return attributes;
}

/// The lifetime-resolved stack's images: the pixel data ends the file, image after image.
std::vector<uint16_t> ReadLifetimeStack(const QString &path, std::size_t values)
{
    const QByteArray bytes = ReadAll(path);
    std::vector<uint16_t> counts(values);
    if (static_cast<std::size_t>(bytes.size()) >= 2 * values)
        std::memcpy(counts.data(), bytes.constData() + bytes.size() - 2 * values, 2 * values);
    return counts;
}

class OmeExport : public WindowFixture {};

} // namespace

TEST_F(OmeExport, PlanesAndMetadataMatchTheAnalysisAndTheSchema)
{
    // The OME schema: FOTONEL_OME_SCHEMA, or ../shared/ome/ome.xsd beside the source folder.
    QString schema = qEnvironmentVariable("FOTONEL_OME_SCHEMA");
    if (schema.isEmpty())
        schema = QStringLiteral(FOTONEL_SOURCE_DIR "/../shared/ome/ome.xsd");
    const bool validate = QFile::exists(schema) && QProcess::execute("xmllint", {"--version"}) == 0;
    if (!validate)
        std::cout << "[ SKIPPED  ] xmllint validation: no xmllint or no schema at " << schema.toStdString() << "\n";
    const struct {
        const char *name;
        double pixel;  // µm, ImgHdr_PixResol; 0: the file gives none
    } cases[] = {{"scan.ptu", 0.2}, {"scan.pt3", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = WriteScan(dir.filePath("in"), c.name, c.pixel);
        const ConvertRun run = Convert({"--export", "stack", "--export", "ome", "--export", "ome-flim", "--decay",
                                        "--tau-bin", "1", path});
        ASSERT_EQ(run.code, 0) << run.out.toStdString();
        const QString base = dir.filePath("in/scan_export/scan");

        // The count planes: XYCZT, every frame's two channels, as the TIFF stacks hold them.
        QString xml;
        const std::vector<Page> planes = ReadTiff(base + ".ome.tif", &xml);
        const std::vector<Page> stacks[2] = {ReadTiff(base + "_ch1.tif"), ReadTiff(base + "_ch2.tif")};
        ASSERT_EQ(planes.size(), 2u * kF);
        for (int f = 0; f < kF; ++f)
            for (int ch = 0; ch < 2; ++ch)
                EXPECT_EQ(planes[2 * f + ch].pixels, stacks[ch][f].pixels) << f << " " << ch;
        const std::map<QString, QString> pixels = Attributes(xml, "Pixels");
        // The frame period: 8 lines of 1000 sync periods of 25 ns.
        std::map<QString, QString> expected = {{"DimensionOrder", "XYCZT"}, {"Type", "uint16"}, {"SizeX", "16"},
                                               {"SizeY", "8"}, {"SizeZ", "1"}, {"SizeC", "2"}, {"SizeT", "3"},
                                               {"TimeIncrement", "0.0002"}, {"BigEndian", "false"}};
        expected["PhysicalSizeX"] = expected["PhysicalSizeY"] = c.pixel > 0 ? "0.2" : "-";  // "-": none
        for (const auto &[key, value] : expected)
            EXPECT_EQ(pixels.count(key) ? pixels.at(key) : QString("-"), value) << key.toStdString();
        EXPECT_EQ(xml.count(QRegularExpression("<Channel [^>]*Name=\"ch[12]\"")), 2);
        EXPECT_FALSE(xml.contains("Modulo"));

        // FLIM: 25 bins of 1 ns per frame, fastest along T; summed over frames the lifetime stack, over bins the
        // count planes.
        QString flimXml;
        const std::vector<Page> flim = ReadTiff(base + "_flim.ome.tif", &flimXml);
        const int N = 25;
        ASSERT_EQ(flim.size(), static_cast<std::size_t>(2 * kF * N));
        EXPECT_EQ(Attributes(flimXml, "Pixels")["SizeT"], "75");
        EXPECT_EQ(Attributes(flimXml, "Pixels").count("PhysicalSizeY"), c.pixel > 0 ? 1u : 0u);
        EXPECT_EQ(Attributes(flimXml, "XMLAnnotation")["Namespace"], "openmicroscopy.org/omero/dimension/modulo");
        EXPECT_EQ(Attributes(flimXml, "Modulo")["namespace"], "http://www.openmicroscopy.org/Schemas/Additions/2011-09");
        const std::map<QString, QString> modulo = {{"Type", "lifetime"}, {"TypeDescription", "TCSPC"}, {"Unit", "ps"},
                                                   {"Start", "0"}, {"Step", "1000"}, {"End", "24000"}};
        EXPECT_EQ(Attributes(flimXml, "ModuloAlongT"), modulo);
        const std::size_t image = kW * kH;
        for (int ch = 0; ch < 2; ++ch) {
            const std::vector<uint16_t> stack =
                ReadLifetimeStack(base + QString("_Histogram_ch%1.tif").arg(ch + 1), image * N);
            std::vector<uint32_t> overFrames(image * N, 0);
            for (int f = 0; f < kF; ++f) {
                std::vector<uint32_t> overBins(image, 0);
                for (int k = 0; k < N; ++k) {
                    const Page &p = flim[(static_cast<std::size_t>(f) * N + k) * 2 + ch];
                    for (std::size_t i = 0; i < image; ++i) {
                        overBins[i] += p.pixels[i];
                        overFrames[k * image + i] += p.pixels[i];
                    }
                }
                EXPECT_TRUE(std::equal(overBins.begin(), overBins.end(), stacks[ch][f].pixels.begin())) << f;
            }
            EXPECT_TRUE(std::equal(overFrames.begin(), overFrames.end(), stack.begin())) << ch;
        }

        for (const QString &text : {xml, flimXml}) {
            if (!validate || !WriteAll(dir.filePath("ome.xml"), text.toUtf8()))
                continue;
            QProcess lint;
            lint.start("xmllint", {"--noout", "--schema", schema, dir.filePath("ome.xml")});
            lint.waitForFinished();
            EXPECT_EQ(lint.exitCode(), 0) << lint.readAllStandardError().toStdString();
        }
    }
}

TEST_F(OmeExport, TifffileReadsTheShapeAndPhysicalSizes)
{
    if (QProcess::execute("/usr/bin/python3", {"-c", "import tifffile"}) != 0)
        GTEST_SKIP() << "python3-tifffile is not installed";
    const QString path = WriteScan(dir.filePath("in"), "scan.ptu", 0.25);
    ASSERT_EQ(Convert({"--export", "ome", "--export", "ome-flim", "--tau-bin", "5", path}).code, 0);
    QProcess read;
    read.start("/usr/bin/python3", {"-c", "import sys, tifffile\n"
                                          "for name in sys.argv[1:]:\n"
                                          "    t = tifffile.TiffFile(name)\n"
                                          "    s = t.series[0]\n"
                                          "    p = t.ome_metadata.split('PhysicalSizeX=\"')[1].split('\"')[0]\n"
                                          "    print(s.axes, s.shape, p, int(s.asarray().sum()))\n",
                                    dir.filePath("in/scan_export/scan.ome.tif"), dir.filePath("in/scan_export/scan_flim.ome.tif")});
    ASSERT_TRUE(read.waitForFinished());
    const QStringList lines = QString::fromUtf8(read.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << read.readAllStandardError().toStdString();
    // Every photon of both channels once in each file; tifffile reads the modulo as the axis H.
    const QString photons = QString::number(synth::MakeImageScan(Plan()).photons);
    EXPECT_EQ(lines[0], "TCYX (3, 2, 8, 16) 0.25 " + photons);
    EXPECT_EQ(lines[1], "THCYX (3, 5, 2, 8, 16) 0.25 " + photons);
}

// The window writes the converter's bytes; in small chunks and as BigTIFF the FLIM planes stay the same.
TEST_F(OmeExport, WindowWritesTheConvertersFilesInChunksAndAsBigTiff)
{
    const QString win = WriteScan(dir.filePath("win"), "run.ptu", 0.3);
    const QString cli = WriteScan(dir.filePath("cli"), "run.ptu", 0.3);
    ASSERT_EQ(Convert({"--export", "ome", "--export", "ome-flim", "--tau-bin", "1", cli}).code, 0);
    Fotonel &window = Make();
    window.SetVersion(FotonelVersion);
    ASSERT_TRUE(window.OpenFile(win, false));
    window.ui->IStaubinsize->setValue(1);
    window.ui->actionExport_OME_TIFF->trigger();
    window.ui->actionExport_FLIM_OME_TIFF->trigger();
    EXPECT_EQ(ExpectSameFiles(dir.filePath("win/run_export"), dir.filePath("cli/run_export")),
              QStringList({"run.hdr", "run.ome.tif", "run_flim.ome.tif"}));

    auto *image = dynamic_cast<ImageScan *>(window.scan.get());
    ASSERT_NE(image, nullptr);
    // Chunks of about 3 delay bins, blocks of a few rows.
    image->stackChunkBytes = 2.0 * kW * kH * kF * 2 * 3;
    image->stackBlockBytes = 2 * kW * 3;
    image->bigTiffBytes = 0;
    window.ui->actionExport_FLIM_OME_TIFF->trigger();
    const QString big = dir.filePath("win/run_export/run_flim.ome.tif");
    EXPECT_EQ(ReadAll(big).left(4), QByteArray("II+\0", 4));
    EXPECT_EQ(Log().filter("Number of chunks 9").size(), 1) << Log().join('\n').toStdString();
    QString bigXml, classicXml;
    const std::vector<Page> bigPages = ReadTiff(big, &bigXml);
    const std::vector<Page> classicPages = ReadTiff(dir.filePath("cli/run_export/run_flim.ome.tif"), &classicXml);
    ASSERT_EQ(bigPages.size(), 150u);
    ASSERT_EQ(classicPages.size(), bigPages.size());
    for (std::size_t i = 0; i < bigPages.size(); ++i)
        EXPECT_EQ(bigPages[i].pixels, classicPages[i].pixels) << i;
    EXPECT_TRUE(bigXml == classicXml);
}
