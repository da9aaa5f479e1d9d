// Error bars and fits of point measurements: the window's Fit group and the
// converter's fit options write the same files; refused fits leave none.
#include "app/FitGroup.h"
#include "support/ConvertRun.h"
#include "support/RealData.h"
#include "support/WindowFixture.h"
#include "tools/synth/DiffusionSimulator.h"
#include "tools/synth/SyntheticFile.h"
#include "widgets/LinePlot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableWidget>
#include <qwt_plot_item.h>

namespace {

/// 0.4 s of diffusing molecules on two channels, in \p path.
void WriteDiffusion(const QString &path)
{
    synth::DiffusionPlan plan;
    plan.brightness = 300e3;
    plan.step = 20e-6;
    plan.seed = 3;
    static const std::vector<uint32_t> words = synth::SimulateDiffusion(plan, 200000).words;
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    ASSERT_TRUE(synth::WritePt3(path, synth::Pt3Header(), words));
}

const QStringList kGrid = {"--dtau", "1", "--steps", "8", "--cascades", "10"};

class FitFiles : public WindowFixture {};

} // namespace

TEST_F(FitFiles, WindowAndConverterWriteTheSameFiles)
{
    WriteDiffusion(dir.filePath("win/run.pt3"));
    WriteDiffusion(dir.filePath("cli/run.pt3"));
    Fotonel &window = Make();
    ASSERT_TRUE(window.OpenFile(dir.filePath("win/run.pt3"), false));
    W<QSpinBox>("nrbins")->setValue(8);
    W<QSpinBox>("ncasc")->setValue(10);
    W<QDoubleSpinBox>("dtau")->setValue(1);
    W<QCheckBox>("fitFree_Ginf")->setChecked(false);  // held at 1
    W<QDoubleSpinBox>("fitW0")->setValue(0.25);
    W<QSpinBox>("fitSegments")->setValue(8);
    W<QLineEdit>("fitRangeFrom")->setText("0.002");
    W<QLineEdit>("fitRangeTo")->setText("10");
    W<QPushButton>("fitButton")->click();

    const ConvertRun run = Convert(kGrid + QStringList{"--fit", "3D", "--fix", "Ginf=1", "--w0", "0.25", "--segments", "8",
                                                       "--fit-range", "0.002:10", dir.filePath("cli/run.pt3")});
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    const QDir win(dir.filePath("win/run_export")), cli(dir.filePath("cli/run_export"));
    const QStringList names = win.entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(names, cli.entryList(QDir::Files, QDir::Name));
    EXPECT_EQ(names.filter("_fit_").size(), 4);
    EXPECT_EQ(names.filter("_sd.dat").size(), 4);
    for (const QString &name : names) {
        if (name != "run.hdr") {
            EXPECT_EQ(ReadFile("win/run_export/" + name), ReadFile("cli/run_export/" + name)) << name.toStdString();
        }
    }

    // The report: labels right-aligned in 25 characters, units in the line.
    const QString fit = QString::fromUtf8(ReadFile("win/run_export/run_fit_ch1_ch2.txt"));
    EXPECT_TRUE(fit.startsWith("              Correlation : G12\n                    Model : 3D\n")) << fit.toStdString();
    EXPECT_TRUE(fit.contains("\n                     Ginf : 1 (fixed)\n"));
    EXPECT_TRUE(fit.contains(QRegularExpression("\n                     tauD : [0-9.e-]+ \\+- [0-9.e-]+ ms \\(segment scatter")));
    EXPECT_TRUE(fit.contains("(geometric mean of the ch1 and ch2 rates)"));
    EXPECT_TRUE(fit.contains(QRegularExpression("\n            Concentration : [0-9.e-]+ \\+- [0-9.e-]+ nM\n")));
    EXPECT_TRUE(run.out.contains(fit)) << "the converter prints the table";
    // Error file: one comment line, then lag, G and sigma, tab separated.
    const QStringList sd = QString::fromUtf8(ReadFile("win/run_export/run_G_ch1_ch1_sd.dat")).split('\n');
    EXPECT_EQ(sd[0], "# lag centre (ms)\tG\tsigma of G (8 segments)");
    const QStringList first = sd[1].split('\t');
    ASSERT_EQ(first.size(), 3);
    EXPECT_EQ(first[0], "0.0015");
    EXPECT_GT(first[2].toDouble(), 0);
    EXPECT_EQ(sd.size(), 8 * 10 - 1 + 2);  // header, 79 bins, the final line feed

    // The correlation tab shows error bars, the model over each curve, the
    // weighted residuals under it and a results row per pair.
    QWidget *tab = window.findChildren<QWidget *>("CorrTab").last();
    auto *table = tab->findChild<QTableWidget *>("fitTable");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), 4);
    EXPECT_EQ(table->item(1, 0)->text(), "G12");
    EXPECT_EQ(tab->findChildren<LinePlot *>("residuals").size(), 4u);
    for (LinePlot *plot : tab->findChildren<LinePlot *>()) {
        if (plot->objectName() == "residuals")
            continue;
        EXPECT_EQ(plot->Curves().size(), 2u);  // G and the model
        EXPECT_EQ(plot->itemList(QwtPlotItem::Rtti_PlotIntervalCurve).size(), 1);
    }
}

TEST_F(FitFiles, RefusedFitsGiveAnErrorLineAndNoFitFile)
{
    const QString file = dir.filePath("run/run.pt3");
    WriteDiffusion(file);
    const QString fitFile = dir.filePath("run/run_export/run_fit_ch1_ch1.txt");
    ASSERT_EQ(Convert(kGrid + QStringList{"--fit", "3D", file}).code, 0);
    ASSERT_TRUE(QFile::exists(fitFile));
    const struct {
        QStringList options;
        const char *error;
    } cases[] = {
        {{"--fit", "3D+T", "--fix", "T=1.5"}, "error : Fit of G11 refused: 1.5 for T is outside its bounds"},
        // Centres 0.0025 and 0.0035 ms: two points for three free parameters.
        {{"--fit", "3D", "--fit-range", "0.002:0.0035"},
         "error : Fit of G11 refused: 2 points in the fit range for 3 free parameters: need more points"},
    };
    for (const auto &c : cases) {
        const ConvertRun run = Convert(kGrid + c.options + QStringList(file));
        EXPECT_EQ(run.code, 1);
        EXPECT_TRUE(run.out.contains(c.error)) << run.out.toStdString();
        // No report of an earlier fit stands for the refused one.
        EXPECT_FALSE(QFile::exists(fitFile));
    }
    EXPECT_EQ(Convert(kGrid + QStringList{"--fit", "4D", file}).code, 2);
    EXPECT_EQ(Convert(kGrid + QStringList{"--fit", "3D", "--free", "tau", file}).code, 2);
}

using FitRealFiles = RealDataTest;

TEST_F(FitRealFiles, SameSampleSixTimesGivesOneDiffusionTime)
{
    std::vector<double> tau, error;
    for (int i = 1; i <= 6; ++i) {
        const QString name = QStringLiteral("FCSdata_SymphoTime32_A42F_Point_%1").arg(i);
        const ConvertRun run = Convert(kGrid + QStringList{"--cascades", "12", "--fit", "3D", Copy(name + ".pt3")});
        ASSERT_EQ(run.code, 0) << run.out.toStdString();
        const QRegularExpressionMatch m = QRegularExpression("tauD : (\\S+) \\+- (\\S+) ms \\(segment scatter \\+- (\\S+)\\)")
                                              .match(QString::fromUtf8(ReadAll(tmp.filePath(name + "_export/" + name + "_fit_ch1_ch1.txt"))));
        ASSERT_TRUE(m.hasMatch());
        tau.push_back(m.captured(1).toDouble());
        error.push_back(std::max(m.captured(2).toDouble(), m.captured(3).toDouble()));
    }
    for (std::size_t i = 0; i < tau.size(); ++i)
        for (std::size_t j = i + 1; j < tau.size(); ++j)
            EXPECT_LT(std::abs(tau[i] - tau[j]), 3 * std::hypot(error[i], error[j])) << i + 1 << " and " << j + 1;
}
