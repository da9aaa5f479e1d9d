// fotonel-convert run in-process: options, output and exit status.
#include "tools/convert/Converter.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/SyntheticFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct ConvertRun {
    int code;
    QString out;
};

ConvertRun Convert(const QStringList &arguments)
{
    static int argc = 1;
    static char name[] = "test_convert_cli";
    static char *argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    QString text;
    QTextStream out(&text);
    const int code = RunConverter(arguments, out);
    out.flush();
    return {code, text};
}

/*
 * A 4 x 2 image scan of 2 frames on a 40 MHz sync (25 ns) with 4 ps bins:
 * frame markers at sync 0, 100000, 200000 (2.5 ms apart); in each frame two lines of 400 syncs
 * (10 µs) starting 1000 and 5000 syncs after the frame marker. Pixel x of line y
 * of frame f gets (x + 1) photons of channel 1, every photon 50 syncs into its
 * pixel, with dtime 250 (1 ns) for even photons and 2500 (10 ns) for odd ones.
 */
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
    header.imagingHeader.assign(8, 0);
    header.imagingHeader[6] = 4;
    header.imagingHeader[7] = 2;
    const QString path = dir.filePath("run1.pt3");
    EXPECT_TRUE(synth::WritePt3(path, header, s.words));
    return path;
}

} // namespace

TEST(ConvertCli, HelpAndBadOptions)
{
    ConvertRun help = Convert({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char *option : {"--gate", "--cursor", "--width", "--tau-bin", "--correlate", "--dtau", "--steps",
                               "--cascades", "--trace", "--trace-bin", "--histogram", "FILE"})
        EXPECT_TRUE(help.out.contains(option)) << option;

    // No file, channel out of range, minimum above maximum, not numbers, zero width, negative bin, unknown.
    for (const QStringList &bad : {QStringList(), QStringList{"--gate", "5:0:10", "x.pt3"},
                                   {"--gate", "1:10:0", "x.pt3"}, {"--cursor", "1:a:b", "x.pt3"},
                                   {"--width", "0", "x.pt3"}, {"--tau-bin", "-1", "x.pt3"},
                                   {"--dtau", "0", "x.pt3"}, {"--trace-bin", "x", "x.pt3"},
                                   {"--steps", "1", "x.pt3"}, {"--cascades", "0", "x.pt3"},
                                   {"--no-such-option", "x.pt3"}})
        EXPECT_EQ(Convert(bad).code, 2) << bad.join(' ').toStdString();
}

TEST(ConvertCli, ConvertsAnImageScanAndWritesTheHeaderFile)
{
    QTemporaryDir dir;
    const QString path = WriteSample(dir);

    ConvertRun run = Convert({path});
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    const QStringList lines = run.out.split('\n');
    EXPECT_EQ(lines.value(0), QString("0001 : Trying to open file %1").arg(path));
    EXPECT_EQ(lines.value(1), QString("0002 : pt3"));
    EXPECT_TRUE(run.out.contains(QString(" : Succesfully openend file %1\n").arg(path)));
    EXPECT_TRUE(run.out.contains("Image Scan File\n"));
    EXPECT_TRUE(run.out.contains(QString("%1 : 4\n").arg("Image Width", 25)));
    EXPECT_TRUE(run.out.contains(QString("%1 : 2\n").arg("Final Number of Images", 25)));
    EXPECT_TRUE(run.out.contains("Min = 1, Max = 4, Photon count = 40, Gated photon count = 40"))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.endsWith("1 converted, 0 failed\n"));

    QFile hdr(dir.filePath("run1_export/run1.hdr"));
    ASSERT_TRUE(hdr.open(QIODevice::ReadOnly));
    const QByteArray text = hdr.readAll();
    EXPECT_TRUE(text.startsWith(QString("%1 : PicoHarp 300\n").arg("Identifier", 25).toLatin1()));
    EXPECT_TRUE(run.out.contains(QString::fromLatin1(text)));
}

TEST(ConvertCli, OptionsActLikeTheForm)
{
    QTemporaryDir dir;
    const QString path = WriteSample(dir);

    // Gate 0..5 ns keeps the 1 ns photons only: 20 of 40.
    // Cursors (1 ms steps, as the boxes show 3 decimals of a second) that end
    // before the second frame, which starts at 2.5 ms, keep 20 of 40 as well.
    const std::pair<QStringList, QString> cases[] = {
        {{"--gate", "1:0:5"}, "Photon count = 20, Gated photon count = 20"},
        {{"--width", "8"}, QString("%1 : 8\n").arg("Image Width", 25)},
        {{"--cursor", "all:0:0.002"}, "Photon count = 20, Gated photon count = 20"},
    };
    for (const auto &c : cases) {
        const ConvertRun run = Convert(c.first + QStringList(path));
        EXPECT_EQ(run.code, 0);
        EXPECT_TRUE(run.out.contains(c.second)) << run.out.toStdString();
    }
    EXPECT_GE(Convert({"--tau-bin", "5", path}).out.count("Binned Life Time Data"), 2);
}

TEST(ConvertCli, FailedFilesGiveExitStatusOne)
{
    QTemporaryDir dir;
    synth::Pt3Header header;
    header.identifier = "TimeHarp 200";
    const QString wrong = dir.filePath("wrong.pt3");
    ASSERT_TRUE(synth::WritePt3(wrong, header, {synth::PhotonWord(1, 10, 10)}));
    const QString other = dir.filePath("notes.txt");
    QFile(other).open(QIODevice::WriteOnly);

    ConvertRun run = Convert({wrong, other});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.contains("error : This is not a PicoHarp 300 file\n"));
    EXPECT_TRUE(run.out.contains(QString("error : Failed to open file %1\n").arg(wrong)));
    EXPECT_TRUE(run.out.contains(QString("error : Failed to open file %1\n").arg(other)));
    EXPECT_TRUE(run.out.endsWith("0 converted, 2 failed\n"));
}
