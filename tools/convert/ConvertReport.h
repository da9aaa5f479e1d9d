#pragma once
/*!
 * \brief The converter's JSON summary of one file (--json): one object per
 * input file, written as one line (JSON Lines). Units are in the key names.
 */
#include <QJsonObject>
#include <QString>
#include <QStringList>

class pqFile;
class RSD;

struct FileOutcome {
    QString fileName;      ///< as given on the command line
    bool converted = false;
    QString reason;        ///< the first error logged for a refused file
    QStringList written;   ///< final names of the files written, in order
};

/// The summary of \p outcome; \p file and \p scan may be null (refused before they existed).
QJsonObject FileReport(const FileOutcome &outcome, const pqFile *file, const RSD *scan);
