#include "app/AssetPath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString AssetPath::Find(const QString &relativeName)
{
    QStringList folders;
    if (QCoreApplication::instance())
        folders << QCoreApplication::applicationDirPath();
    return Find(relativeName, folders);
}

QString AssetPath::Find(const QString &relativeName, const QStringList &folders)
{
    if (QFileInfo::exists(relativeName))
        return relativeName;
    for (const QString &folder : folders) {
        const QString candidate = QDir(folder).filePath(relativeName);
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return relativeName;
}
