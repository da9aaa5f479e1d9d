// The Lifetime group of the window: it writes the very bytes the converter
// writes for the same settings.
#include "app/LifetimeGroup.h"
#include "support/ConvertRun.h"
#include "support/FlimFiles.h"
#include "support/WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>

using namespace flimfiles;

namespace {

using LifetimeWindow = WindowFixture;

TEST_F(LifetimeWindow, LifetimeButtonWritesWhatTheConverterWrites)
{
    QDir(dir.path()).mkdir(QStringLiteral("window"));
    QDir(dir.path()).mkdir(QStringLiteral("convert"));
    for (const char *side : {"window", "convert"})
        ASSERT_TRUE(WriteGradientImage(dir.filePath(QStringLiteral("%1/grad.pt3").arg(QLatin1String(side))), 1));
    ASSERT_TRUE(WriteDecayPoint(dir.filePath(QStringLiteral("dye.pt3")), 4.0, 100000));

    Fotonel &window = Make();
    // The version main() gives the window, written into every map.
    window.SetVersion(QString::fromLatin1(FotonelVersion));
    ASSERT_TRUE(window.OpenFile(dir.filePath(QStringLiteral("window/grad.pt3")), true));
    auto *group = W<LifetimeGroup>(QStringLiteral("lifetimeGroup"));
    group->reference->setText(dir.filePath(QStringLiteral("dye.pt3")));
    group->referenceTau->setValue(4);
    group->median->setValue(1);
    group->fits->setChecked(true);
    group->components->setValue(2);
    group->binning->setCurrentIndex(1);
    Invoke("RunLifetimes");

    const ConvertRun run = Convert({"--phasor", "--reference",
                                    dir.filePath(QStringLiteral("dye.pt3")), "--reference-tau", "4", "--median", "1",
                                    "--fit-decay", "--components", "2", "--binning", "3",
                                    dir.filePath(QStringLiteral("convert/grad.pt3"))});
    ASSERT_EQ(run.code, 0) << run.out.toStdString();
    const QStringList names = {"phasor_g", "phasor_s", "tau_phase", "tau_mod", "tau_fit"};
    for (const QString &n : names) {
        const QString file = QStringLiteral("grad_export/grad_%1_ch1.tif").arg(n);
        const QByteArray fromWindow = ReadFile(QStringLiteral("window/") + file);
        EXPECT_FALSE(fromWindow.isEmpty()) << n.toStdString();
        EXPECT_EQ(fromWindow, ReadFile(QStringLiteral("convert/") + file)) << n.toStdString();
    }
    const QByteArray table = ReadFile(QStringLiteral("window/grad_export/grad_decayfit_ch1.txt"));
    EXPECT_TRUE(table.contains("               Components : 2\n"));
    EXPECT_EQ(table, ReadFile(QStringLiteral("convert/grad_export/grad_decayfit_ch1.txt")));
}

} // namespace
