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
 * \brief Takes the form's gates over to the newly opened \p file (its delays
 * span 0 to its sync period): a gate that was the whole range of the file it
 * was set on spans the new range (FotonelServices::CarryGatesTo); every
 * other gate that keeps less of it is kept with one warning per channel
 * with photons, naming the gate, the file's range and the share of the
 * channel's photons it keeps. Called once per opened file, before ConvertFile.
 */
void CarryGatesOver(FotonelServices &mainWindow, const pqFile &file);

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
