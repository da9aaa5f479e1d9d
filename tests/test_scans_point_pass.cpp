// The photon pass of point measurements: the vector forms (AVX2, AVX-512) against hand-worked values and
// against the record-by-record form, in one thread and split between two, on streams with special records, foreign channels, gate and cursor
// limits and progress points everywhere in a block. Sync 50 ns, resolution 0.5 ns unless a case says otherwise.
#include "support/MemoryFile.h"
#include "support/TestHost.h"
#include "support/VectorForm.h"
#include "scans/NearlySorted.h"
#include "scans/PointScan.h"
#include "tools/synth/RecordStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

struct PassSetup {
    RecordFormat format = RecordFormat::PicoHarpT3;
    // Channel 1: a gate of dtime 5 .. 20 (2.5 .. 10 ns); channel 2: cursors 10 .. 20 ms.
    bool limits = false;
    double syncPeriod = 50, resolution = 0.5;
    int channels = 4;  // of the file
};

/// Everything the pass leaves behind, with the host's record of it.
struct PassResult {
    std::vector<PointScan::PhotonTimes> times;
    std::vector<std::vector<uint32_t>> delays;
    double lastTime;
    std::vector<int> progress;
    QStringList log;
};

/// The pass of \p words in the form of \p level (PointScan::vectorLevel); with \p twoThreads the record
/// scan and the pass each split the file between two threads.
PassResult Pass(const std::vector<uint32_t> &words, const PassSetup &setup, int level, bool twoThreads = false)
{
    TestHost host;
    MemoryFile file(host, {}, setup.syncPeriod, setup.resolution);
    file.recordFormat = setup.format;
    file.channels = setup.channels;
    pqFile::parallelScanRecords = twoThreads ? 0 : SIZE_MAX;
    PointScan::parallelPassRecords = twoThreads ? 0 : SIZE_MAX;
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
    pqFile::parallelScanRecords = PointScan::parallelPassRecords = std::size_t(1) << 20;
    return {scan.photonTimes, scan.delayCounts, scan.lastTime, host.progress,
            host.Messages(MessageNormal) + host.Messages(MessageWarning)};
}

/// \p photons photons on \p channels (0 and 5 up are foreign), dtime 0 .. 31, 1 .. \p maxStep sync periods
/// apart, a line marker before about one in \p markerEvery; with \p damaged, about one in 500 has nsync 0
/// (time runs backwards). Channel 2 has photons at dtime 0 on its cursors, 10 and 20 ms.
std::vector<uint32_t> Stream(RecordFormat format, uint32_t photons, uint32_t maxStep, uint32_t markerEvery,
                             bool damaged, const std::vector<uint32_t> &channels)
{
    std::mt19937 random(photons + maxStep);
    synth::RecordStream s(format);
    uint64_t sync = 0;
    for (uint32_t n = 0; n < photons; ++n) {
        const uint64_t next = sync + 1 + random() % maxStep;
        for (uint64_t at : {200000, 400000})
            if (sync < at && at <= next)
                s.AddPhoton(at, 2, 0);
        sync = next;
        if (markerEvery && random() % markerEvery == 0)
            s.AddMarker(sync, 1 + random() % 2);
        const uint32_t channel = channels[random() % channels.size()], dtime = random() % 32;
        if (!damaged || random() % 500 != 0)
            s.AddPhoton(sync, channel, dtime);
        else
            s.AddRaw(format == RecordFormat::PicoHarpT3 ? synth::PhotonWord(channel, dtime, 0)
                                                        : synth::HarpPhotonWord(channel, dtime, 0));
    }
    return s.words;
}

/// The tests of one form of the pass (PointScan::vectorLevel).
using PointScanPass = VectorFormTest;
using PointScanVectorPass = VectorFormTest;

} // namespace

INSTANTIATE_TEST_SUITE_P(Forms, PointScanPass, testing::Values(0, 1, 2), FormParamName);
INSTANTIATE_TEST_SUITE_P(Forms, PointScanVectorPass, testing::Values(1, 2), FormParamName);

TEST_P(PointScanPass, BlocksByHand)
{
    using synth::HarpPhotonWord, synth::HarpSpecialWord, synth::PhotonWord;
    struct Case {
        const char *name;
        RecordFormat format;
        std::vector<uint32_t> words;
        PointScan::PhotonTimes channel1, channel2;
        double lastTime;
        int channels = 4;  // of the file
    };
    std::vector<uint32_t> backwards;  // the first of the second block before the last of the first
    for (uint32_t k = 0; k < 16; ++k)
        backwards.push_back(PhotonWord(1, 0, k == 8 ? 3 : 10 + k));
    // A file of two channels with photons on channel 3, which it lacks.
    const std::vector<uint32_t> pico = {PhotonWord(1, 0, 1), PhotonWord(2, 2, 2), PhotonWord(3, 0, 3),
                                        PhotonWord(2, 4, 4), PhotonWord(1, 0, 5), PhotonWord(2, 0, 6),
                                        PhotonWord(3, 0, 7), PhotonWord(2, 0, 8), PhotonWord(2, 0, 9)};
    std::vector<uint32_t> harp;
    for (uint32_t w : pico)
        harp.push_back(HarpPhotonWord(w >> 28, (w >> 16) & 0xFFF, w & 0xFFFF));
    const Case cases[] = {
        {"overflow in lane 2, marker in lane 4, channels 0 and 5 in lanes 5 and 7, one record more",
         RecordFormat::PicoHarpT3,
         {PhotonWord(1, 4, 10), PhotonWord(2, 0, 20), synth::OverflowWord(), PhotonWord(1, 2, 5),
          synth::MarkerWord(1, 6), PhotonWord(0, 0, 7), PhotonWord(1, 1, 8), PhotonWord(5, 0, 9),
          PhotonWord(2, 0, 100)},
         {502, 3277051, 3277200.5}, {1000, 3281800}, 3281800},
        {"photons only, the last two of channels 0 and 5 and later than the rest", RecordFormat::PicoHarpT3,
         {PhotonWord(1, 0, 10), PhotonWord(2, 0, 11), PhotonWord(1, 0, 12), PhotonWord(2, 0, 13),
          PhotonWord(1, 0, 14), PhotonWord(2, 0, 15), PhotonWord(0, 0, 30), PhotonWord(5, 0, 40)},
         {500, 600, 700}, {550, 650, 750}, 750},
        {"three wraps in one overflow, one in an overflow of count 0, channel 64", RecordFormat::HydraHarpT3v2,
         {HarpPhotonWord(1, 2, 1), HarpSpecialWord(63, 3), HarpPhotonWord(2, 0, 4), HarpSpecialWord(63, 0),
          HarpPhotonWord(1, 0, 1), HarpSpecialWord(2, 9), HarpPhotonWord(64, 0, 1000), HarpPhotonWord(2, 6, 5)},
         {51, 204850}, {153800, 205053}, 205053},
        {"time running backwards across two blocks", RecordFormat::PicoHarpT3, backwards,
         {150, 500, 550, 600, 650, 700, 750, 800, 850, 950, 1000, 1050, 1100, 1150, 1200, 1250}, {}, 1250},
        {"the last channel of a PicoHarp file", RecordFormat::PicoHarpT3, pico, {50, 250}, {101, 202, 300, 400, 450},
         450, 2},
        {"the last channel of a HydraHarp file", RecordFormat::HydraHarpT3v2, harp, {50, 250},
         {101, 202, 300, 400, 450}, 450, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PassSetup setup{c.format};
        setup.channels = c.channels;
        const PassResult r = Pass(c.words, setup, GetParam());
        ASSERT_EQ(r.times.size(), static_cast<std::size_t>(c.channels));
        EXPECT_EQ(r.times[0], c.channel1);
        EXPECT_EQ(r.times[1], c.channel2);
        EXPECT_EQ(r.lastTime, c.lastTime);
        EXPECT_EQ(r.log.contains("Photon times of channel 1 do not ascend in the file: sorted for the analysis"),
                  c.words == backwards);
    }
}

TEST_P(PointScanPass, GateAndCursorLimitsAreInclusive)
{
    using synth::PhotonWord;
    // Channel 1's gate holds dtime 5 .. 20, channel 2's cursors 10 .. 20 ms (sync 200000 .. 400000): each limit with
    // a photon on it and one just outside, two blocks of eight.
    synth::RecordStream s;
    for (uint32_t dtime : {4, 5, 20, 21})
        s.AddPhoton(1000 + dtime, 1, dtime);
    s.AddPhoton(199999, 2, 0);
    s.AddPhoton(200000, 2, 0);
    s.AddPhoton(300000, 2, 3);
    s.AddPhoton(400000, 2, 0);
    s.AddPhoton(400000, 2, 1);
    while (s.words.size() % 8 != 0)
        s.AddPhoton(400001, 3, 0);
    const PassResult r = Pass(s.words, PassSetup{RecordFormat::PicoHarpT3, true}, GetParam());
    EXPECT_EQ(r.times[0], (PointScan::PhotonTimes{50252.5, 51010}));
    EXPECT_EQ(r.times[1], (PointScan::PhotonTimes{1e7, 1.5e7 + 1.5, 2e7}));
}

TEST_P(PointScanVectorPass, MatchesRecordByRecord)
{
    const int level = GetParam();
    const std::vector<uint32_t> mixed = {1, 2, 1, 0, 2, 5, 1, 2, 3, 14, 2, 1};
    const std::vector<uint32_t> mixedT2 = {1, 2, 1, 6, 2, 5, 1, 2, 3, 14, 2, 1};
    // 1e9 / 39e6 ns and 0.016 ns: products that round, differently if a multiply were fused into the add.
    const double odd = 1e9 / 39e6;
    const struct {
        const char *name;
        RecordFormat format;
        double syncPeriod;
        uint32_t photons, maxStep, markerEvery;
        bool damaged;
        std::vector<uint32_t> channels;
    } cases[] = {
        // Overflows between most photons, markers often: specials in every lane.
        {"PicoHarp, dense specials", RecordFormat::PicoHarpT3, 50, 25003, 60000, 5, false, mixed},
        {"HydraHarp v1, dense specials", RecordFormat::HydraHarpT3v1, 50, 25001, 1500, 7, false, mixed},
        {"MultiHarp, counted wraps", RecordFormat::HydraHarpT3v2, 50, 24999, 9000, 9, false, mixed},
        // Long runs without a special record; lengths no multiple of 8.
        {"PicoHarp, photons only", RecordFormat::PicoHarpT3, 50, 30005, 40, 0, false, {1, 2, 1, 0, 2, 5, 3}},
        {"MultiHarp, one channel", RecordFormat::HydraHarpT3v2, 50, 20003, 2, 0, false, {2}},
        {"PicoHarp, rounded products", RecordFormat::PicoHarpT3, odd, 20001, 100000, 11, false, mixed},
        {"MultiHarp, rounded products", RecordFormat::HydraHarpT3v2, odd, 20001, 5000, 11, false, mixed},
        {"PicoHarp, time running backwards", RecordFormat::PicoHarpT3, 50, 20000, 400, 13, true, mixed},
        {"MultiHarp, time running backwards", RecordFormat::HydraHarpT3v2, 50, 20000, 400, 13, true, mixed},
        // T2 time tags (no syncs): overflows and markers in every lane, counted wraps of 2^25 steps.
        {"PicoHarp T2", RecordFormat::PicoHarpT2, 50, 25003, 300000000, 5, false, mixedT2},
        {"HydraHarp T2 v1", RecordFormat::HydraHarpT2v1, 50, 25001, 60000000, 7, false, mixedT2},
        {"MultiHarp T2, counted wraps", RecordFormat::HydraHarpT2v2, odd, 24999, 400000000, 9, false, mixedT2},
        {"PicoHarp T2, photons only", RecordFormat::PicoHarpT2, 50, 30005, 30000, 0, false, {1, 2, 3, 6}},
        {"MultiHarp T2, photons only", RecordFormat::HydraHarpT2v2, 50, 30003, 4000, 0, false, {2, 1, 4}},
        // No channel keeps photons: the record-by-record pass takes it all.
        {"PicoHarp, foreign channels only", RecordFormat::PicoHarpT3, 50, 12000, 100, 0, false, {0, 6, 9}},
    };
    for (const auto &c : cases) {
        const std::vector<uint32_t> words =
            Stream(c.format, c.photons, c.maxStep, c.markerEvery, c.damaged, c.channels);
        for (bool limits : {false, true}) {
            const PassSetup setup{c.format, limits, c.syncPeriod, c.syncPeriod == 50 ? 0.5 : 0.016};
            const PassResult one = Pass(words, setup, 0);
            SCOPED_TRACE(testing::Message() << c.name << (limits ? ", limits" : ""));
            for (bool twoThreads : {false, true}) {
                SCOPED_TRACE(twoThreads ? "two threads" : "one thread");
                const PassResult r = Pass(words, setup, level, twoThreads);
                ASSERT_EQ(r.times.size(), one.times.size());
                for (size_t ch = 0; ch < one.times.size(); ++ch) {
                    EXPECT_EQ(r.times[ch], one.times[ch]) << "channel " << ch + 1;
                    EXPECT_EQ(r.delays[ch], one.delays[ch]) << "channel " << ch + 1;
                }
                EXPECT_EQ(r.lastTime, one.lastTime);
                EXPECT_EQ(r.progress, one.progress);
                EXPECT_EQ(r.log, one.log);
            }
        }
    }
    // Time runs backwards only where the halves of two threads meet: record 100 of 200.
    synth::RecordStream meet(RecordFormat::PicoHarpT3);
    for (uint64_t k = 0; k < 200; ++k)
        meet.AddPhoton(k == 100 ? 985 : 10 * k, 1, 0);
    const PassResult one = Pass(meet.words, {}, 0), two = Pass(meet.words, {}, level, true);
    EXPECT_EQ(two.times, one.times);
    EXPECT_EQ(two.log, one.log);
    EXPECT_TRUE(one.log.join('\n').contains("do not ascend"));
}

TEST(NearlySortedTimes, EqualsAStableSortOnEveryPatternOfInversions)
{
    // Values with their place in the input: sorted by value only, so a
    // stable sort keeps the places of equal values ascending.
    struct Item {
        double t;
        int place;
        bool operator==(const Item &o) const { return t == o.t && place == o.place; }
    };
    auto byTime = [](const Item &a, const Item &b) { return a.t < b.t; };
    std::mt19937 random(20);
    auto ascending = [&](int n, int step) {  // steps of 0 .. step - 1: equal neighbours too
        std::vector<double> v(n);
        double t = 0;
        for (double &x : v)
            x = t += static_cast<double>(random() % step);
        return v;
    };
    auto swapPairs = [&](std::vector<double> v, int pairs) {
        for (int k = 0; k < pairs && v.size() > 1; ++k) {
            const std::size_t i = random() % (v.size() - 1);
            std::swap(v[i], v[i + 1]);
        }
        return v;
    };
    auto reverseRuns = [&](std::vector<double> v, int runs, int length) {
        for (int k = 0; k < runs; ++k) {
            const std::size_t i = random() % (v.size() - length + 1);
            std::reverse(v.begin() + i, v.begin() + i + length);
        }
        return v;
    };
    auto moveBack = [&](std::vector<double> v, std::size_t from, std::size_t to) {  // a later stretch first
        std::rotate(v.begin(), v.begin() + from, v.begin() + to);
        return v;
    };
    auto shuffled = [&](std::vector<double> v) {
        std::shuffle(v.begin(), v.end(), random);
        return v;
    };
    const struct {
        const char *name;
        std::vector<double> times;
    } cases[] = {
        {"empty", {}},
        {"one", {3}},
        {"ascending, no inversion", ascending(5000, 7)},
        {"all equal", std::vector<double>(3000, 2.5)},
        {"adjacent pairs swapped", swapPairs(ascending(20000, 5), 300)},
        {"adjacent pairs of distinct values swapped", swapPairs(ascending(20000, 1000), 3000)},
        {"short runs backwards", reverseRuns(ascending(20000, 3), 100, 7)},
        {"long runs backwards", reverseRuns(ascending(20000, 4), 5, 3000)},
        {"whole array backwards", reverseRuns(ascending(4000, 1000), 1, 4000)},
        {"a stretch far back (a sync counter wrapped unseen)", moveBack(ascending(10000, 3), 7000, 10000)},
        {"the first value far ahead", moveBack(ascending(10000, 3), 1, 10000)},
        {"the last value far back", moveBack(ascending(10000, 3), 9999, 10000)},
        {"descending pairs of equal runs", {2, 1, 2, 1, 2, 1, 1, 1, 0, 2, 2, 0}},
        {"shuffled (the full sort takes over)", shuffled(ascending(20000, 3))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Item> items;
        for (double t : c.times)
            items.push_back({t, static_cast<int>(items.size())});
        std::vector<Item> expected = items;
        std::stable_sort(expected.begin(), expected.end(), byTime);
        const bool descends = !std::is_sorted(items.begin(), items.end(), byTime);
        EXPECT_EQ(NearlySorted::Sort(items, byTime), descends);
        EXPECT_TRUE(items == expected);
    }
}
