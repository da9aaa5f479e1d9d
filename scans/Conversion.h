#pragma once
#include <QString>
#include <memory>

class FotonelServices;
class pqFile;
class RSD;

/// The empty analysis for a file's ScanType: 1 ImageScan, 2 LineScan,
/// 3 PointScan; null for any other value.
std::unique_ptr<RSD> MakeScan(int scanType);

/*!
 * \brief Turns an opened file into its analysis and reconstructs it.
 *
 * Releases the previous \p scan first. Logs "could not convert %1" (with
 * \p fileName) and returns false when the file is not usable or its scan type
 * is unknown (which also clears the file's ok flag). Otherwise Init and
 * ReconstructImages run and the result is true.
 */
bool ConvertFile(FotonelServices &mainWindow, const QString &fileName, pqFile *file,
                 std::unique_ptr<RSD> &scan);
