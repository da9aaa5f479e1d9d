#pragma once
#include <QString>
#include <memory>

class FotonelServices;
class pqFile;

/// The reader for \p fileName by its suffix, ignoring case: "pt3" logs "pt3"
/// and gives a pt3File, "ptu" logs "ptu" and gives a ptuFile. Any other
/// suffix gives null after an error naming the file (no reader exists for it).
std::unique_ptr<pqFile> MakePhotonFile(FotonelServices &mainWindow, const QString &fileName);
