// The photon pass of point measurements: the vector forms (eight records at
// a time, where the processor has AVX2 or AVX-512) against hand-worked values
// and against the record-by-record form on streams that put special records,
// foreign channels, gate and cursor limits and progress points everywhere in
// a block. Sync period 50 ns, resolution 0.5 ns.
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "scans/PointScan.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

/// Everything the pass leaves behind, with the host's record of it.
struct PassResult {
    std::vector<PointScan::PhotonTimes> times;
    std::vector<std::vector<uint32_t>> delays;
    std::vector<uint32_t> gated;
    double firstTime = 0, lastTime = 0;
    std::vector<int> progress;
    int eventsProcessed = 0;
    QStringList log;
};

struct PassSetup {
    RecordFormat format = RecordFormat::PicoHarpT3;
    // Channel 1: a gate of dtime 5 .. 20 (2.5 .. 10 ns); channel 2: cursors 10 .. 20 ms.
    bool limits = false;
    double syncPeriod = 50, resolution = 0.5;
};

/// The pass of \p words in the form of \p level (PointScan::vectorLevel).
PassResult Pass(const std::vector<uint32_t> &words, const PassSetup &setup, int level)
{
    TestHost host;
    MemoryFile file(host, {}, setup.syncPeriod, setup.resolution);
    file.recordFormat = setup.format;
    file.SetRecords(words);
    PointScan scan;
    scan.Init(host, file);
    scan.GatherInformation();  // sets the ranges of the form's boxes
    if (setup.limits) {
        host.SetGate(1, 2.5, 10);
        host.SetCursor(2, 0.01, 0.02);
    }
    PointScan::vectorLevel = level;
    scan.ReconstructImages();
    PointScan::vectorLevel = 2;
    return {scan.photonTimes, scan.delayCounts, scan.gatedCounts, scan.firstTime,      scan.lastTime,
            host.progress,    host.eventsProcessed, host.Messages(MessageNormal) + host.Messages(MessageWarning)};
}

/// The forms this processor has, the record-by-record one first.
std::vector<int> Levels()
{
    std::vector<int> levels;
    for (int level = 0; level <= PointScan::VectorLevelAvailable(); ++level)
        levels.push_back(level);
    return levels;
}

void ExpectSameResult(const PassResult &one, const PassResult &eight, int level)
{
    SCOPED_TRACE(level);
    ASSERT_EQ(eight.times.size(), one.times.size());
    for (size_t c = 0; c < one.times.size(); ++c) {
        EXPECT_EQ(eight.times[c], one.times[c]) << "channel " << c + 1;
        EXPECT_EQ(eight.delays[c], one.delays[c]) << "channel " << c + 1;
    }
    EXPECT_EQ(eight.gated, one.gated);
    EXPECT_EQ(eight.firstTime, one.firstTime);
    EXPECT_EQ(eight.lastTime, one.lastTime);
    EXPECT_EQ(eight.progress, one.progress);
    EXPECT_EQ(eight.eventsProcessed, one.eventsProcessed);
    EXPECT_EQ(eight.log, one.log);
}

void ExpectSamePass(const std::vector<uint32_t> &words, const PassSetup &setup)
{
    const PassResult one = Pass(words, setup, 0);
    for (int level : Levels())
        if (level > 0)
            ExpectSameResult(one, Pass(words, setup, level), level);
}

void SkipWithoutVectors()
{
    if (PointScan::VectorLevelAvailable() == 0)
        GTEST_SKIP() << "neither AVX2 nor AVX-512 on this processor: only the record-by-record pass runs";
}

/*!
 * \p photons photons on channels drawn from \p channels (0 and 5 and above
 * are not channels of the four-channel file), dtime 0 .. 31, at most
 * \p maxStep sync periods apart (the stream writes the overflows), with a
 * line marker before about one photon in \p markerEvery. With \p damaged,
 * about one photon in 500 carries an nsync of 0: time runs backwards there.
 * Channel 2 has photons at dtime 0 exactly on its cursors, 10 ms and 20 ms.
 */
std::vector<uint32_t> Stream(RecordFormat format, uint32_t photons, uint32_t maxStep, uint32_t markerEvery,
                             bool damaged, const std::vector<uint32_t> &channels)
{
    std::mt19937 random(photons + maxStep);
    synth::RecordStream s(format);
    const bool picoHarp = format == RecordFormat::PicoHarpT3;
    uint64_t sync = 0;
    const uint64_t onCursors[] = {200000, 400000};  // 10 ms and 20 ms
    for (uint32_t n = 0; n < photons; ++n) {
        const uint64_t next = sync + 1 + random() % maxStep;
        for (uint64_t at : onCursors)
            if (sync < at && at <= next)
                s.AddPhoton(at, 2, 0);
        sync = next;
        if (markerEvery && random() % markerEvery == 0)
            s.AddMarker(sync, 1 + random() % 2);
        const uint32_t channel = channels[random() % channels.size()], dtime = random() % 32;
        if (damaged && random() % 500 == 0)
            s.AddRaw(picoHarp ? synth::PhotonWord(channel, dtime, 0) : synth::HarpPhotonWord(channel, dtime, 0));
        else
            s.AddPhoton(sync, channel, dtime);
    }
    return s.words;
}

} // namespace

TEST(PointScanPass, BlockWithSpecialsAndForeignChannelsByHand)
{
    // One block of eight records with an overflow in lane 2, a marker in lane
    // 4 and photons of channels 0 and 5 (not in the file), then one record more.
    const std::vector<uint32_t> words = {
        synth::PhotonWord(1, 4, 10), synth::PhotonWord(2, 0, 20), synth::OverflowWord(),
        synth::PhotonWord(1, 2, 5),  synth::MarkerWord(1, 6),     synth::PhotonWord(0, 0, 7),
        synth::PhotonWord(1, 1, 8),  synth::PhotonWord(5, 0, 9),  synth::PhotonWord(2, 0, 100)};
    for (int level : Levels()) {
        const PassResult r = Pass(words, PassSetup(), level);
        EXPECT_EQ(r.times[0], (PointScan::PhotonTimes{502, 3277051, 3277200.5})) << level;
        EXPECT_EQ(r.times[1], (PointScan::PhotonTimes{1000, 3281800})) << level;
        EXPECT_EQ(r.delays[0][4] + r.delays[0][2] + r.delays[0][1], 3u);
        EXPECT_EQ(r.firstTime, 502);
        EXPECT_EQ(r.lastTime, 3281800);
    }
}

TEST(PointScanPass, ForeignChannelsInABlockOfPhotonsByHand)
{
    // Eight photons, no special record: the last two are of channels 0 and 5
    // (not in the file) and later than the rest; one more photon after them.
    std::vector<uint32_t> words;
    for (uint32_t k = 0; k < 6; ++k)
        words.push_back(synth::PhotonWord(1 + k % 2, 0, 10 + k));
    words.push_back(synth::PhotonWord(0, 0, 30));
    words.push_back(synth::PhotonWord(5, 0, 40));
    for (int level : Levels()) {
        PassResult r = Pass(words, PassSetup(), level);
        EXPECT_EQ(r.times[0], (PointScan::PhotonTimes{500, 600, 700})) << level;
        EXPECT_EQ(r.lastTime, 750) << level;
        words.push_back(synth::PhotonWord(2, 0, 41));
        r = Pass(words, PassSetup(), level);
        EXPECT_EQ(r.lastTime, 2050) << level;
        words.pop_back();
    }
}

TEST(PointScanPass, CountedOverflowsInsideABlockByHand)
{
    // MultiHarp: three wraps of 1024 periods in one overflow record, one in
    // a record whose count is 0, then a photon of channel 64 (not in the file).
    const std::vector<uint32_t> words = {
        synth::HarpPhotonWord(1, 2, 1),   synth::HarpSpecialWord(63, 3), synth::HarpPhotonWord(2, 0, 4),
        synth::HarpSpecialWord(63, 0),    synth::HarpPhotonWord(1, 0, 1), synth::HarpSpecialWord(2, 9),
        synth::HarpPhotonWord(64, 0, 1000), synth::HarpPhotonWord(2, 6, 5)};
    PassSetup setup;
    setup.format = RecordFormat::HydraHarpT3v2;
    for (int level : Levels()) {
        const PassResult r = Pass(words, setup, level);
        EXPECT_EQ(r.times[0], (PointScan::PhotonTimes{51, 204850})) << level;
        EXPECT_EQ(r.times[1], (PointScan::PhotonTimes{153800, 205053})) << level;
        EXPECT_EQ(r.lastTime, 205053) << level;
    }
}

TEST(PointScanPass, TimeRunningBackwardsAcrossBlocks)
{
    // Sixteen photons one sync period apart, but the first of the second
    // block of eight lies before the last of the first.
    std::vector<uint32_t> words;
    for (uint32_t k = 0; k < 16; ++k)
        words.push_back(synth::PhotonWord(1, 0, k == 8 ? 3 : 10 + k));
    for (int level : Levels()) {
        const PassResult r = Pass(words, PassSetup(), level);
        ASSERT_EQ(r.times[0].size(), 16u);
        EXPECT_EQ(r.times[0].front(), 150) << level;
        EXPECT_TRUE(std::is_sorted(r.times[0].begin(), r.times[0].end())) << level;
        EXPECT_TRUE(r.log.contains("Photon times of channel 1 do not ascend in the file: sorted for the analysis"))
            << level;
    }
}

TEST(PointScanPass, VectorPassMatchesRecordByRecord)
{
    SkipWithoutVectors();
    const std::vector<uint32_t> mixed = {1, 2, 1, 0, 2, 5, 1, 2, 3, 14, 2, 1};
    struct Case {
        const char *name;
        RecordFormat format;
        double syncPeriod;
        uint32_t photons, maxStep, markerEvery;
        bool damaged;
        std::vector<uint32_t> channels;
    };
    // 1e9 / 39e6 ns and 0.016 ns: products that round, where a fused
    // multiply-add would round differently.
    const double odd = 1e9 / 39e6;
    const Case cases[] = {
        // Overflows between most photons, markers often: specials in every lane.
        {"PicoHarp, dense specials", RecordFormat::PicoHarpT3, 50, 25003, 60000, 5, false, mixed},
        {"HydraHarp v1, dense specials", RecordFormat::HydraHarpT3v1, 50, 25001, 1500, 7, false, mixed},
        {"MultiHarp, counted wraps", RecordFormat::HydraHarpT3v2, 50, 24999, 9000, 9, false, mixed},
        // Long runs without a special record; the length is no multiple of 8.
        {"PicoHarp, photons only", RecordFormat::PicoHarpT3, 50, 30005, 3, 0, false, {1, 2}},
        {"MultiHarp, one channel", RecordFormat::HydraHarpT3v2, 50, 20003, 2, 0, false, {2}},
        {"PicoHarp, rounded products", RecordFormat::PicoHarpT3, odd, 20001, 100000, 11, false, mixed},
        {"MultiHarp, rounded products", RecordFormat::HydraHarpT3v2, odd, 20001, 5000, 11, false, mixed},
        {"PicoHarp, time running backwards", RecordFormat::PicoHarpT3, 50, 20000, 400, 13, true, mixed},
        {"MultiHarp, time running backwards", RecordFormat::HydraHarpT3v2, 50, 20000, 400, 13, true, mixed},
        // No channel keeps photons: the record-by-record pass takes it all.
        {"PicoHarp, foreign channels only", RecordFormat::PicoHarpT3, 50, 12000, 100, 0, false, {0, 6, 9}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint32_t> words =
            Stream(c.format, c.photons, c.maxStep, c.markerEvery, c.damaged, c.channels);
        for (bool limits : {false, true}) {
            PassSetup setup;
            setup.format = c.format;
            setup.limits = limits;
            setup.syncPeriod = c.syncPeriod;
            setup.resolution = c.syncPeriod == 50 ? 0.5 : 0.016;
            ExpectSamePass(words, setup);
        }
    }
}

TEST(PointScanPass, GateAndCursorLimitsKeepTheirPhotons)
{
    SkipWithoutVectors();
    PassSetup setup;
    setup.limits = true;
    // Few special records: the photons on the limits lie in blocks of photons only.
    const std::vector<uint32_t> words = Stream(RecordFormat::PicoHarpT3, 25003, 40, 0, false, {1, 2, 1, 0, 2, 5, 3});
    for (int level : Levels()) {
        const PassResult r = Pass(words, setup, level);
        // The gate takes dtime 5 .. 20 (2.5 .. 10 ns) and nothing either side.
        for (uint32_t d = 0; d < 32; ++d)
            EXPECT_EQ(r.delays[0][d] > 0, d >= 5 && d <= 20) << "dtime " << d << ", level " << level;
        // The cursors take the photons lying on them.
        ASSERT_FALSE(r.times[1].empty());
        EXPECT_EQ(r.times[1].front(), 1e7) << level;
        EXPECT_EQ(r.times[1].back(), 2e7) << level;
    }
}
