#pragma once
// What the correlation benchmarks share: a point file of photon times made
// in memory (50 ns sync period, 16 ps resolution, four channels) and the
// processor and wall time of a piece of work.
#include "files/pqFile.h"

#include <time.h>

#include <chrono>
#include <functional>

class PointBenchFile : public pqFile {
public:
    explicit PointBenchFile(FotonelServices &host) : pqFile(host) { ok = true; }
    double SyncPeriod() const override { return 50; }
    double Resolution() const override { return 0.016; }
    int ImageWidth() const override { return 0; }
    int ImageHeight() const override { return 0; }
    int NumberOfChannels() const override { return 4; }
    int NumberOfRecords() const override { return 0; }
};

inline double ProcessSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

/// Processor seconds of \p work (wall seconds in \p wall): on a shared
/// machine the processor time is the steadier figure.
inline double Seconds(const std::function<void()> &work, double &wall)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpu = ProcessSeconds();
    work();
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ProcessSeconds() - cpu;
}
