// T2 records: layouts on hand-made words, T2 files giving the T3 file's results, antibunching, instrument files.
#include "files/RecordFormat.h"
#include "support/ConvertRun.h"
#include "support/Files.h"
#include "support/RealData.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>

namespace {

struct Word {
    uint32_t word;
    uint32_t marker, channel;
    uint64_t truensync;
};

/// Decodes \p words in order with the layout of \p format.
void ExpectDecoded(RecordFormat format, const std::vector<Word> &words)
{
    WithAnyRecordFormat(format, [&](auto layout) {
        using Format = decltype(layout);
        T3RecordFields f;
        for (const Word &w : words) {
            SCOPED_TRACE(testing::Message() << std::hex << "word 0x" << w.word);
            Format::Decode(w.word, f);
            EXPECT_EQ(f.marker, w.marker);
            // The record scan's view of the word agrees with the decoder's.
            EXPECT_EQ(Format::IsSpecialKey(Format::ScanKey(w.word)), w.marker != PHOTON_MARKER);
            if (w.marker != PHOTON_MARKER) {
                EXPECT_EQ(Format::SpecialMarker(w.word), w.marker);
            } else {
                EXPECT_EQ(f.channel, w.channel);
            }
            EXPECT_EQ(f.truensync, w.truensync);
            EXPECT_EQ(f.dtime, 0u);
        }
    });
}

QString Read(const QString &path)
{
    return QString::fromLatin1(ReadAll(path));
}

/// The G values (fourth column) of a correlation file.
std::vector<double> GValues(const QString &path)
{
    std::vector<double> g;
    for (const QString &line : Read(path).split('\n', Qt::SkipEmptyParts))
        g.push_back(line.split('\t').value(3).toDouble());
    return g;
}

/// Two channels, \p count photons at random delays, 1 to \p maxGap syncs apart.
std::vector<synth::PointPhoton> RandomPhotons(unsigned seed, int count, uint32_t maxGap)
{
    std::mt19937 rng(seed);
    std::vector<synth::PointPhoton> photons;
    uint64_t sync = 0;
    for (int k = 0; k < count; ++k) {
        sync += 1 + rng() % maxGap;
        photons.push_back({sync, static_cast<uint32_t>(1 + rng() % 2), static_cast<uint32_t>(rng() % 4096)});
    }
    return photons;
}

const std::pair<const char *, uint32_t> kT2Types[] = {
    {"PicoHarp", 0x00010203u},      {"HydraHarp v1", 0x00010204u},  {"HydraHarp v2", 0x01010204u},
    {"TimeHarp 260 N", 0x00010205u}, {"TimeHarp 260 P", 0x00010206u}, {"MultiHarp", 0x00010207u},
};

} // namespace

TEST(T2Layouts, HandMadeWordsFollowEachRule)
{
    constexpr uint64_t pico = 210698240, v1 = 33552000, v2 = 33554432;
    // PicoHarp: channel 15 special, its low 4 bits marker bits, 0 an overflow.
    ExpectDecoded(RecordFormat::PicoHarpT2, {
        {0x00000005u, PHOTON_MARKER, 1, 5},                      // channel 0 becomes 1
        {0x3FFFFFFFu, PHOTON_MARKER, 4, 0x0FFFFFFF},             // channel 3, largest tag
        {0xF0000000u, 0, 0, pico},                               // overflow
        {0x10000003u, PHOTON_MARKER, 2, pico + 3},
        {0xF0000124u, 4, 0, pico + 0x124},                       // marker bits 4
        {0xF0000000u, 0, 0, 2 * pico},
    });
    // HydraHarp v1: one fixed period per overflow, whatever its tag says.
    ExpectDecoded(RecordFormat::HydraHarpT2v1, {
        {0x00000007u, PHOTON_MARKER, 1, 7},
        {0xFE000005u, 0, 0, v1},                                 // overflow, tag 5 ignored
        {0x80000009u, SYNC_MARKER, 0, v1 + 9},                   // channel 0 special: sync
        {0x86000010u, 3, 0, v1 + 16},                            // marker bits 3
        {0x7E000001u, PHOTON_MARKER, 64, v1 + 1},                // photon channel 63 becomes 64
        {0xA8000002u, UNKNOWN_SPECIAL_MARKER, 0, v1 + 2},        // special channel 20: no known kind
    });
    // Later layouts: the overflow's tag counts the wraps, 0 meaning one.
    ExpectDecoded(RecordFormat::HydraHarpT2v2, {
        {0xFE000000u, 0, 0, v2},
        {0xFE000003u, 0, 0, 4 * v2},
        {0x02000011u, PHOTON_MARKER, 2, 4 * v2 + 17},
        {0x80000001u, SYNC_MARKER, 0, 4 * v2 + 1},
        {0x9E000002u, 15, 0, 4 * v2 + 2},
    });
    // Every T2 record type has its layout (T2Files below); an unknown one has none.
    RecordFormat f = RecordFormat::PicoHarpT3;
    EXPECT_FALSE(RecordType::FormatOf(0x00010208u, f));
}

class T2Files : public ::testing::Test {
protected:
    QString Path(const QString &name) const { return tmp.filePath(name); }
    /// The converter's run over \p file with the correlation, trace and fit options.
    ConvertRun Run(const QString &file, const QStringList &extra = {})
    {
        const QStringList options = {"--correlate", "--trace", "--trace-bin", "10", "--dtau", "0.1", "--steps", "8",
                                     "--cascades", "12"};
        return Convert(options + extra + QStringList(file));
    }
    QString Export(const QString &stem, const QString &suffix) const { return Path(stem + "_export/" + stem + suffix); }
    /// Each of \p suffixes from \p stem's run is the T3 file's, byte for byte.
    void ExpectSameAsT3(const QString &stem, const QStringList &suffixes) const
    {
        for (const QString &suffix : suffixes) {
            SCOPED_TRACE(suffix.toStdString());
            const QString expected = Read(Export("t3", suffix));
            ASSERT_FALSE(expected.isEmpty());
            EXPECT_TRUE(Read(Export(stem, suffix)) == expected);
        }
    }
    QTemporaryDir tmp;
};

TEST_F(T2Files, GiveTheResultsOfTheT3FileOfTheSamePhotons)
{
    // 25 ns sync = 6250 units of 4 ps.
    const std::vector<synth::PointPhoton> photons = RandomPhotons(5, 60000, 3000);
    const auto measurement = synth::MakePointMeasurement(photons);
    const std::vector<uint32_t> &t3 = measurement.words;
    ASSERT_TRUE(synth::WritePtu(Path("t3.ptu"), synth::PtuHeader::PicoHarpT3(40e6, 4e-12), t3));
    ASSERT_EQ(Run(Path("t3.ptu")).code, 0);
    const QStringList outputs = {"_G_ch1_ch1.dat", "_G_ch1_ch2.dat", "_G_ch2_ch1.dat", "_G_ch2_ch2.dat",
                                 "_trace_ch1.dat", "_trace_ch1.bin", "_trace_ch2.bin"};
    const std::array<uint64_t, 16> &perChannel = measurement.photonsPerChannel;

    for (const auto &[name, type] : kT2Types) {
        SCOPED_TRACE(name);
        RecordFormat format = RecordFormat::PicoHarpT3;
        ASSERT_TRUE(RecordType::FormatOf(type, format) && IsTimeTagFormat(format));
        const QString stem = QStringLiteral("t2_%1").arg(type, 0, 16);
        ASSERT_TRUE(synth::WritePtu(Path(stem + ".ptu"), synth::PtuHeader::T2(type),
                                    synth::TranscodeToT2(t3, format, 6250)));
        const ConvertRun run = Run(Path(stem + ".ptu"), {"--records", "nsync,channel,marker,truetime"});
        ASSERT_EQ(run.code, 0) << qPrintable(run.out);
        EXPECT_TRUE(run.out.contains("                     Mode : T2\n"));
        EXPECT_TRUE(run.out.contains(QStringLiteral("                Channel 1 : %1\n                Channel 2 : %2\n")
                                         .arg(perChannel[1])
                                         .arg(perChannel[2])));
        ExpectSameAsT3(stem, outputs);
        // The record table: each photon's time tag and its true time (tag x 4 ps).
        const QStringList lines = Read(Export(stem, ".dat")).split('\n', Qt::SkipEmptyParts);
        ASSERT_GT(lines.size(), 2);
        const QStringList first = lines[1].simplified().split(' ');
        ASSERT_EQ(first.size(), 4);
        const uint64_t tag = photons[0].sync * 6250 + photons[0].dtime;
        EXPECT_EQ(first[0].toULongLong(), tag);
        EXPECT_EQ(first[2], "photon");
        EXPECT_NEAR(first[3].toDouble(), tag * 0.004, 1e-6);
    }
}

TEST_F(T2Files, ImagingMarkersAreRefusedWithTheirReason)
{
    // Frame markers (4) in every lane of the record scan's groups of four,
    // beside markers 12 and 8 that are no imaging marker.
    for (const auto &[format, type] : {std::pair{RecordFormat::HydraHarpT2v2, 0x01010204u},
                                       std::pair{RecordFormat::PicoHarpT2, 0x00010203u}}) {
        synth::RecordStream s(format);
        for (uint32_t k = 0; k < 24; ++k) {
            s.AddPhoton(100 * k + 10, 1 + k % 2, 0);
            if (k % 5 == 1)
                s.AddMarker(100 * k + 50, k % 2 ? 4 : 12);
            if (k == 7)
                s.AddMarker(100 * k + 60, 8);
        }
        ASSERT_TRUE(synth::WritePtu(Path("marked.ptu"), synth::PtuHeader::T2(type), s.words));
        const ConvertRun run = Run(Path("marked.ptu"));
        EXPECT_EQ(run.code, 1);
        EXPECT_TRUE(run.out.contains("This T2 file holds frame or line markers (3 of marker 4)")) << qPrintable(run.out);
    }
}

TEST_F(T2Files, SyncRecordsAreCounted)
{
    synth::RecordStream s(RecordFormat::HydraHarpT2v1);
    for (uint64_t k = 0; k < 5; ++k) {
        s.AddSync(k * 50000000);
        s.AddPhoton(k * 50000000 + 100, 1 + k % 2, 0);
    }
    ASSERT_TRUE(synth::WritePtu(Path("syncs.ptu"), synth::PtuHeader::T2(0x00010204u, 1e-12, 0), s.words));
    const ConvertRun run = Convert({"--histogram", Path("syncs.ptu")});
    ASSERT_EQ(run.code, 0) << qPrintable(run.out);
    EXPECT_TRUE(run.out.contains("                 Overflow : 5\n                     Sync : 5\n"
                                 "                   Photon : 5\n"));
    EXPECT_TRUE(run.out.contains("          Resolution (ns) : 0.001\n"));
    // 50 µs between syncs at 1 ps: too long a period for delays.
    EXPECT_TRUE(run.out.contains("its 5 sync records give no sync period"));
    EXPECT_TRUE(run.out.contains("This T2 file has no delays: no lifetime histogram saved"));
    EXPECT_FALSE(QFile::exists(Export("syncs", "_histogram_ch1.dat")));
}

TEST_F(T2Files, SyncRecordsGiveTheDelaysOfTheT3File)
{
    // Photons in most sync periods, so consecutive syncs measure the period.
    const std::vector<synth::PointPhoton> photons = RandomPhotons(7, 40000, 3);
    const QStringList options = {"--histogram", "--tau-bin", "0.2", "--gate", "1:2:9", "--gate", "2:0:6"};
    const std::vector<uint32_t> t3 = synth::MakePointMeasurement(photons).words;
    ASSERT_TRUE(synth::WritePtu(Path("t3.ptu"), synth::PtuHeader::PicoHarpT3(40e6, 4e-12), t3));
    ASSERT_EQ(Run(Path("t3.ptu"), options).code, 0);
    ASSERT_TRUE(synth::WritePtu(Path("t2.ptu"), synth::PtuHeader::T2(0x01010204u),
                                synth::TranscodeToT2(t3, RecordFormat::HydraHarpT2v2, 6250, true)));
    ConvertRun run = Run(Path("t2.ptu"), options + QStringList{"--records", "channel,dtime,delaytime"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.out);
    EXPECT_TRUE(run.out.contains("sync period 25 ns (6250 resolution steps)")) << qPrintable(run.out);
    EXPECT_FALSE(run.out.contains("no delays"));
    ExpectSameAsT3("t2", {"_histogram_ch1.dat", "_G_ch1_ch2.dat", "_G_ch2_ch2.dat"});
    // The record table: the first sync, then the first photon with its delay.
    const QStringList lines = Read(Export("t2", ".dat")).split('\n', Qt::SkipEmptyParts);
    ASSERT_GT(lines.size(), 2);
    EXPECT_EQ(lines[2].simplified(), QStringLiteral("%1 %2 %3")
                                         .arg(photons[0].channel)
                                         .arg(photons[0].dtime)
                                         .arg(photons[0].dtime * 0.004, 0, 'f', 6));

    // Photons before the first sync, or a period and more after the last, have no delay.
    synth::RecordStream s(RecordFormat::HydraHarpT2v2);
    s.AddPhoton(3, 1, 0);
    for (uint64_t k = 1; k <= 4; ++k) {
        s.AddSync(k * 1000);
        s.AddPhoton(k * 1000 + k * 100, 1, 0);
    }
    s.AddPhoton(5500, 1, 0);
    ASSERT_TRUE(synth::WritePtu(Path("edges.ptu"), synth::PtuHeader::T2(0x01010204u), s.words));
    run = Convert({"--histogram", "--tau-bin", "0.4", "--records", "dtime,delaytime", Path("edges.ptu")});
    ASSERT_EQ(run.code, 0) << qPrintable(run.out);
    EXPECT_TRUE(run.out.contains("2 photons came before the first sync")) << qPrintable(run.out);
    EXPECT_EQ(Read(Export("edges", ".dat")).split('\n').value(1).simplified(), "- -");
    const QStringList bins = Read(Export("edges", "_histogram_ch1.dat")).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(bins.size(), 9);  // 4 ns in bins of 0.4 ns, the last a guard
    for (int b = 0; b < 9; ++b)
        EXPECT_NEAR(bins[b].split(' ').value(1).toDouble(), b >= 1 && b <= 4 ? 1.0 : 0.0, 1e-9) << b;
}

TEST_F(T2Files, AntibunchingEmptiesTheCrossCorrelationAtZeroLag)
{
    // One emitter: photons never closer than 20 ns (5000 units), split at
    // random over two detectors behind a beam splitter.
    std::mt19937_64 rng(11);
    std::exponential_distribution<double> wait(1.0 / 50000.0);
    synth::RecordStream s(RecordFormat::HydraHarpT2v2);
    uint64_t t = 0;
    for (int k = 0; k < 400000; ++k) {
        t += 5000 + static_cast<uint64_t>(wait(rng));
        s.AddPhoton(t, 1 + rng() % 2, 0);
    }
    ASSERT_TRUE(synth::WritePtu(Path("emitter.ptu"), synth::PtuHeader::T2(0x01010204u, 4e-12, 0), s.words));
    // Lags from 4 ns in steps of 4 ns: below the dead time, then beyond it.
    ASSERT_EQ(Convert({"--correlate", "--dtau", "0.004", "--steps", "16", "--cascades", "6", Path("emitter.ptu")}).code, 0);
    const std::vector<double> g = GValues(Export("emitter", "_G_ch1_ch2.dat"));
    ASSERT_GE(g.size(), 60u);
    for (int k = 0; k < 3; ++k)  // lags below 16 ns hold no pair
        EXPECT_EQ(g[k], 0.0) << k;
    EXPECT_LT(g[3], 0.05);  // 16 to 20 ns: only pairs a rounding short of the dead time
    double far = 0;
    for (std::size_t k = g.size() - 10; k < g.size(); ++k)
        far += g[k] / 10;
    EXPECT_NEAR(far, 1.0, 0.1);
}

using T2RealFiles = RealDataTest;

TEST_F(T2RealFiles, InstrumentFilesOpenAndCorrelate)
{
    const std::pair<const char *, const char *> files[] = {
        {"picoquant-sample-data_hydraharp_v20_t2", "Channel 1 : 305565\n                Channel 2 : 0\n"},
        {"picoquant-sample-data_picoharp_v30_t2", "Channel 1 : 531477\n                Channel 2 : 388700\n"},
    };
    for (const auto &[name, counts] : files) {
        SCOPED_TRACE(name);
        const ConvertRun run = Convert({"--correlate", Copy(QStringLiteral("rejected/%1.ptu").arg(name))});
        ASSERT_EQ(run.code, 0) << qPrintable(run.out);
        EXPECT_TRUE(run.out.contains(counts)) << qPrintable(run.out);
        const std::vector<double> g = GValues(tmp.filePath(QStringLiteral("%1_export/%1_G_ch1_ch1.dat").arg(name)));
        ASSERT_FALSE(g.empty());
        for (double v : g)
            EXPECT_TRUE(std::isfinite(v));
    }
}
