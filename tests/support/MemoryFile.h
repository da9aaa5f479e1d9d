#pragma once
/*!
 * \brief A photon file held only in memory: records and acquisition constants
 * chosen by the test, record scan done by the real pqFile::ScanRecords.
 */
#include "files/pqFile.h"

#include <cstdint>
#include <vector>

class MemoryFile : public pqFile {
public:
    /// Takes the records and runs the record scan (the host receives its summary).
    MemoryFile(FotonelServices &host, std::vector<uint32_t> words, double syncPeriodNs = 50,
               double resolutionNs = 0.5, int width = 0, int height = 0);

    /// Replaces the records and scans them again.
    void SetRecords(std::vector<uint32_t> words);

    double SyncPeriod() const override { return syncPeriod; }
    double Resolution() const override { return resolution; }
    int ImageWidth() const override { return width; }
    int ImageHeight() const override { return height; }
    int NumberOfChannels() const override { return channels; }
    int NumberOfRecords() const override { return static_cast<int>(records.size()); }

    double syncPeriod;
    double resolution;
    int width;
    int height;
    int channels = 4;
};
