#include "files/PhotonFileFactory.h"

#include "host/FotonelServices.h"
#include "files/pt3File.h"
#include "files/ptuFile.h"

#include <QFileInfo>
#include <QObject>

std::unique_ptr<pqFile> MakePhotonFile(FotonelServices &mainWindow, const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix();
    if (suffix.compare(QLatin1String("pt3"), Qt::CaseInsensitive) == 0) {
        mainWindow.AddMessage(MessageNormal, QStringLiteral("pt3"));
        return std::make_unique<pt3File>(mainWindow);
    }
    if (suffix.compare(QLatin1String("ptu"), Qt::CaseInsensitive) == 0) {
        mainWindow.AddMessage(MessageNormal, QStringLiteral("ptu"));
        return std::make_unique<ptuFile>(mainWindow);
    }
    mainWindow.AddMessage(MessageError, QObject::tr("%1 has no reader: only .pt3 and .ptu files can be opened").arg(fileName));
    return nullptr;
}
