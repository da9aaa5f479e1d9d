#include "scans/Hdf5Module.h"

#include "hdf5/Hdf5Writer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStringList>
#include <dlfcn.h>

namespace {

/// Folders to search, in order.
QStringList Folders()
{
    const QByteArray chosen = qgetenv("FOTONEL_HDF5_MODULE_DIR");
    if (!chosen.isEmpty())
        return {QFile::decodeName(chosen)};
    QStringList folders;
    if (QCoreApplication::instance())
        folders << QCoreApplication::applicationDirPath();
    else
        folders << QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
#ifdef FOTONEL_HDF5_MODULE_BUILD_DIR
    // Tests and benchmarks run from other folders of the build tree.
    folders << QStringLiteral(FOTONEL_HDF5_MODULE_BUILD_DIR);
#endif
    folders.removeDuplicates();
    return folders;
}

QString LoaderError()
{
    const char *text = dlerror();
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
}

} // namespace

QString Hdf5ModuleName()
{
#ifdef FOTONEL_HDF5_MODULE_NAME
    return QStringLiteral(FOTONEL_HDF5_MODULE_NAME);
#else
    return QStringLiteral("libfotonel_hdf5.so");
#endif
}

const FotonelHdf5Api *LoadHdf5Module(QString &error)
{
    QStringList reasons;
    for (const QString &folder : Folders()) {
        const QString path = QDir(folder).filePath(Hdf5ModuleName());
        // Loading a loaded module again only finds it.
        void *module = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            reasons << LoaderError();
            continue;
        }
        const auto factory = reinterpret_cast<FotonelHdf5Factory>(dlsym(module, FOTONEL_HDF5_FACTORY));
        const FotonelHdf5Api *api = factory ? factory() : nullptr;
        if (api && api->version == FOTONEL_HDF5_API_VERSION)
            return api;
        reasons << (factory ? QStringLiteral("%1: version %2 of the interface, not %3")
                                  .arg(path)
                                  .arg(api ? api->version : 0)
                                  .arg(FOTONEL_HDF5_API_VERSION)
                            : LoaderError());
        dlclose(module);
    }
    error = QObject::tr("Cannot load the HDF5 module %1: %2")
                .arg(Hdf5ModuleName(), reasons.isEmpty() ? QStringLiteral("no folder to search") : reasons.join(QStringLiteral("; ")));
    return nullptr;
}
