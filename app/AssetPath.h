#pragma once
#include <QString>
#include <QStringList>

/*!
 * \brief Finds the files the program loads by relative name (pictures, the
 * window icon, the manual): first in the working directory, then beside the
 * executable, so the program finds them wherever it is started from.
 */
class AssetPath {
public:
    /// The name itself when it exists relative to the working directory (so
    /// style sheets keep their short relative form), else the path beside the
    /// executable when it exists there, else the name unchanged (loading it
    /// then fails quietly, as a missing picture should).
    static QString Find(const QString &relativeName);

    /// The same search over an explicit list of folders tried after the
    /// working directory.
    static QString Find(const QString &relativeName, const QStringList &folders);
};
