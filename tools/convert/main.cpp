#include "tools/convert/Converter.h"

#include <QApplication>
#include <QTextStream>
#include <cstdio>
#include <cstdlib>

namespace {
// The converter's own lines go to standard output; what Qt says about the
// hidden form and its platform is not for its user, and scripts
// that watch standard error must see nothing there.
void DropQtMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fputs(message.toLocal8Bit().constData(), stderr);
        std::abort();
    }
}
} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(DropQtMessage);
    // The settings form is built but never shown or drawn: no display is
    // needed, and the minimal platform does not load the system's fonts,
    // which took a third of the converter's start-up.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "minimal");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    out.setCodec("UTF-8");
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return RunConverter(arguments, out);
}
