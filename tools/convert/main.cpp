#include "tools/convert/Converter.h"

#include <QApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char *argv[])
{
    // The settings form is built but never shown: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    out.setCodec("UTF-8");
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return RunConverter(arguments, out);
}
