// fotonel-screenshot: opens a measurement in the main window at its start-up
// size, as the open dialog would, optionally presses the point page's
// correlation button, and saves a picture of the window. Used by
// tools/screenshots.sh to make the pictures of the README.

#include "app/AssetPath.h"
#include "app/Fotonel.h"
#include "files/AtomicFile.h"
#include "host/FotonelServices.h"

#include <QApplication>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>
#include <QStringList>
#include <QTextStream>
#include <QThread>
#include <cstdio>

namespace {

const char *kUsage = "Usage: fotonel-screenshot [--correlation] [--tab PAGE] [--size WxH] [--tmax MS]\n"
                     "                         MEASUREMENT OUT.png\n"
                     "\n"
                     "Opens MEASUREMENT in the Fotonel window and saves the window as OUT.png.\n"
                     "  --correlation  press \"ACF/XCF\" on the point page first (point measurements)\n"
                     "  --tab PAGE     then show the result tab whose page is named PAGE (DataTab, MeanTab, ...)\n"
                     "  --size WxH     window size instead of the start-up size (855x685)\n"
                     "  --tmax MS      maximum correlation lag typed into \"tmax (ms)\" before \"ACF/XCF\"\n";

/// Takes "--name VALUE" out of \p args; empty when absent.
QString TakeOption(QStringList &args, const QString &name)
{
    const int at = args.indexOf(name);
    if (at < 0 || at + 1 >= args.size())
        return QString();
    const QString value = args[at + 1];
    args.erase(args.begin() + at, args.begin() + at + 2);
    return value;
}

/// Lets the window settle: layouts, the first paints, the plots' replots.
void Settle()
{
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QStringList args = QApplication::arguments().mid(1);
    const bool correlation = args.removeAll(QStringLiteral("--correlation")) > 0;
    const QString tab = TakeOption(args, QStringLiteral("--tab"));
    const QStringList size = TakeOption(args, QStringLiteral("--size")).split(QLatin1Char('x'));
    const QString tmax = TakeOption(args, QStringLiteral("--tmax"));
    if (args.size() != 2 || args.first().startsWith(QLatin1Char('-'))) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Fotonel window;
    window.SetVersion(QString::fromLatin1(FotonelVersion));
    QApplication::setWindowIcon(QIcon(AssetPath::Find(QStringLiteral("fotonel.ico"))));
    if (size.size() == 2)
        window.resize(size[0].toInt(), size[1].toInt());
    window.show();
    Settle();
    if (!window.OpenFile(args[0], true)) {
        std::fprintf(stderr, "could not open %s\n", qPrintable(args[0]));
        return 1;
    }
    if (!tmax.isEmpty()) {
        // As typed by a user: the value, then the end of the edit.
        auto *box = window.findChild<QDoubleSpinBox *>(QStringLiteral("tmaxXCF"));
        if (!box) {
            std::fputs("no tmax box\n", stderr);
            return 1;
        }
        box->setValue(tmax.toDouble());
        emit box->editingFinished();
    }
    if (correlation) {
        auto *button = window.findChild<QPushButton *>(QStringLiteral("xcfButton"));
        if (!button) {
            std::fputs("no correlation button\n", stderr);
            return 1;
        }
        button->click();
    }
    if (!tab.isEmpty())
        window.ShowTab(tab);
    Settle();
    AtomicFile picture(args[1]);
    const QByteArray format = QFileInfo(args[1]).suffix().toUpper().toLatin1();
    if (!picture.Open() || !window.grab().save(&picture, format.isEmpty() ? "PNG" : format.constData()) ||
        !picture.Commit()) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(args[1]));
        return 1;
    }
    return 0;
}
