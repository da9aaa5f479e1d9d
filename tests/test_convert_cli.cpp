// fotonel-convert run in-process: options, output and exit status.
#include "support/ConvertRun.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/SyntheticFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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

} // namespace

TEST(ConvertCli, HelpAndBadOptions)
{
    const ConvertRun help = Convert({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char *option : {"--gate", "--cursor", "--width", "--tau-bin", "--correlate", "--dtau", "--steps",
                               "--cascades", "--trace", "--trace-bin", "--histogram", "FILE"})
        EXPECT_TRUE(help.out.contains(option)) << option;

    // Refused before any file is opened: no file, channel out of range, minimum above maximum, not numbers,
    // zero width, negative bin, unknown option or export, bits without an export, an unknown record column,
    // and an option missing its value (which must not swallow the file after it).
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
    EXPECT_TRUE(run.out.contains(QString(" : Succesfully openend file %1\n").arg(path)));
    QFile hdr(dir.filePath("run1_export/run1.hdr"));
    ASSERT_TRUE(hdr.open(QIODevice::ReadOnly));
    const QByteArray text = hdr.readAll();
    EXPECT_TRUE(text.startsWith(QString("%1 : PicoHarp 300\n").arg("Identifier", 25).toLatin1()));
    EXPECT_TRUE(run.out.contains(QString::fromLatin1(text)));
}
