#include "app/AssetPath.h"
#include "app/Fotonel.h"

#include <QApplication>
#include <QIcon>
#include <memory>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    auto window = std::make_unique<Fotonel>();
    window->SetVersion(QString::fromLatin1(FotonelVersion));
    QApplication::setWindowIcon(QIcon(AssetPath::Find(QStringLiteral("fotonel.ico"))));
    window->show();
    const int result = application.exec();
    // Destroying the window writes the settings file; it goes before the application object.
    window.reset();
    return result;
}
