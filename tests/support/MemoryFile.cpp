#include "MemoryFile.h"

MemoryFile::MemoryFile(FotonelServices &host, std::vector<uint32_t> words, double syncPeriodNs, double resolutionNs,
                       int imageWidth, int imageHeight)
    : pqFile(host), syncPeriod(syncPeriodNs), resolution(resolutionNs), width(imageWidth), height(imageHeight)
{
    SetRecords(std::move(words));
}

void MemoryFile::SetRecords(std::vector<uint32_t> words)
{
    records.Assign(std::move(words));
    recordsRead = !records.empty();
    ok = true;
    scanned = false;
    ScanRecords();
}
