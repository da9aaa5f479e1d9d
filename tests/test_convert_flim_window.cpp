// The Lifetime group of the window: it writes the very bytes the converter
// writes for the same settings.
#include "app/LifetimeGroup.h"
#include "support/ConvertRun.h"
#include "support/FlimFiles.h"
#include "support/WindowFixture.h"
#include "widgets/LifetimeMap.h"
#include "widgets/LinePlot.h"
#include "widgets/PhasorPlot.h"

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
    ASSERT_TRUE(WriteGradientPair(dir.path()));
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

TEST_F(LifetimeWindow, PhasorCursorHighlightsThePixelsOfItsLifetime)
{
    ASSERT_TRUE(WriteGradientImage(dir.filePath(QStringLiteral("grad.pt3")), 3));
    ASSERT_TRUE(WriteDecayPoint(dir.filePath(QStringLiteral("dye.pt3")), 4.0, 100000));
    Fotonel &window = Make();
    ASSERT_TRUE(window.OpenFile(dir.filePath(QStringLiteral("grad.pt3")), true));
    auto *group = W<LifetimeGroup>(QStringLiteral("lifetimeGroup"));
    group->reference->setText(dir.filePath(QStringLiteral("dye.pt3")));
    group->referenceTau->setValue(4);
    group->fits->setChecked(true);
    Invoke("RunLifetimes");
    auto *plot = W<PhasorPlot>(QStringLiteral("phasorPlot"));
    auto *selection = W<LifetimeMap>(QStringLiteral("phasorSelection"));
    ASSERT_TRUE(plot && selection);
    EXPECT_NE(W<LifetimeMap>(QStringLiteral("lifetimeMap")), nullptr);
    // The cursor on the semicircle at 2 ns: column 4 of the gradient lights up, the ends do not.
    const double x = 2 * M_PI / 25 * TauAt(4);
    plot->SetCursor(1 / (1 + x * x), x / (1 + x * x), 0.04);
    emit plot->CursorMoved(plot->CursorG(), plot->CursorS(), plot->CursorRadius());
    const QImage &image = selection->Image();
    ASSERT_EQ(image.width(), kWidth);
    const auto lit = [&](int column) {
        int n = 0;
        for (int y = 0; y < kHeight; ++y)
            n += image.pixel(column, y) == QColor(255, 0, 200).rgb();
        return n;
    };
    EXPECT_GE(lit(4), kHeight - 2);
    EXPECT_EQ(lit(0), 0);
    EXPECT_EQ(lit(kWidth - 1), 0);
    // The decay of the chosen pixels, fitted: their lifetime.
    const QString title = W<LinePlot>(QStringLiteral("selectionDecay"))->title().text();
    ASSERT_TRUE(title.startsWith(QStringLiteral("tau "))) << title.toStdString();
    EXPECT_NEAR(title.section(QLatin1Char(' '), 1, 1).toDouble(), TauAt(4), 0.1 * TauAt(4)) << title.toStdString();
}

} // namespace
