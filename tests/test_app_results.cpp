// The window with results: the tabs an opened scan gets, their lifetime,
// and the window's use of its start-up size.
#include "app/Fotonel.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"
#include "widgets/LinePlot.h"
#include "widgets/pt3ImageViewer.h"

#include "support/WindowFixture.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBox>
#include <gtest/gtest.h>

namespace {

class ResultsTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Make().SetVersion("0.51");
    }
    QString WriteScan(const QString &name, const std::vector<uint32_t> &words)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(synth::WritePt3(path, synth::Pt3Header(), words));
        return path;
    }
    /// 8 x 8 pixels, 2 frames, photons on channels 1 and 3.
    QString WriteImageScan(const QString &name)
    {
        synth::ImageScanSpec spec;
        spec.channels = {1, 3};
        return WriteScan(name, synth::MakeImageScan(spec).words);
    }
    QStringList TabLabels()
    {
        QStringList labels;
        auto *tabs = W<QTabWidget>("tabWidget");
        for (int i = 0; i < tabs->count(); ++i)
            labels << tabs->tabText(i);
        return labels;
    }
    QWidget *CurrentPage() { return W<QTabWidget>("tabWidget")->currentWidget(); }
};

const QStringList ScanTabs = {"Header", "Summary", "Data", "Mean", "Variance", "Time course", "Life times"};

} // namespace

TEST_F(ResultsTest, OpeningAScanBuildsItsTabsAndReplacesThoseBefore)
{
    ASSERT_TRUE(window->OpenFile(WriteImageScan("first.pt3"), true));
    EXPECT_EQ(TabLabels(), ScanTabs);
    // The lifetime tab is the one shown; its plots are those of channels 1 and 3.
    EXPECT_EQ(CurrentPage()->objectName(), "TauTab");
    const QList<LinePlot *> plots = CurrentPage()->findChildren<LinePlot *>();
    ASSERT_EQ(plots.size(), 2);
    EXPECT_EQ(plots[1]->title().text(), "Channel 3");
    auto *tabs = W<QTabWidget>("tabWidget");
    QPointer<pt3ImageViewer> viewer = tabs->widget(2)->findChild<pt3ImageViewer *>();
    ASSERT_FALSE(viewer.isNull());
    EXPECT_EQ(viewer->Frames(), 2u);

    // Closing a result tab frees it with its views.
    QPointer<QWidget> data = tabs->widget(2);
    emit tabs->tabBar()->tabCloseRequested(2);
    EXPECT_TRUE(data.isNull());
    EXPECT_TRUE(viewer.isNull());
    EXPECT_EQ(TabLabels().size(), 6);

    // Another file, and converting again, each leave only the tabs of the new analysis.
    QPointer<QWidget> old = tabs->widget(3);
    ASSERT_TRUE(window->OpenFile(WriteImageScan("second.pt3"), true));
    EXPECT_TRUE(old.isNull());
    EXPECT_EQ(TabLabels(), ScanTabs);
    old = tabs->widget(2);
    window->ConvertFile();
    EXPECT_TRUE(old.isNull());
    EXPECT_EQ(TabLabels(), QStringList({"Header", "Summary"}));
    window->scan->CreateTabs();
    EXPECT_EQ(TabLabels(), ScanTabs);

    // Several dropped files convert without tabs.
    ASSERT_TRUE(window->OpenFile(WriteImageScan("third.pt3"), false));
    EXPECT_EQ(TabLabels(), QStringList({"Header", "Summary"}));
}

TEST_F(ResultsTest, LineScanTabsShowProfiles)
{
    synth::ImageScanSpec spec;
    spec.height = 6;
    ASSERT_TRUE(window->OpenFile(WriteScan("line.pt3", synth::MakeLineScan(spec, 2).words), true));
    ASSERT_EQ(TabLabels(), ScanTabs);
    auto *tabs = W<QTabWidget>("tabWidget");
    auto *mean = tabs->widget(3)->findChild<LinePlot *>();
    ASSERT_NE(mean, nullptr);
    EXPECT_EQ(mean->axisTitle(QwtPlot::xBottom).text(), "Pixel nr");
    auto *kymograph = tabs->widget(2)->findChild<pt3ImageViewer *>();
    ASSERT_NE(kymograph, nullptr);
    EXPECT_EQ(kymograph->Height(), 6u);
}

// At the start-up size every text of the settings tool box is whole, no
// page needs a horizontal scroll bar, and the result tabs take the rest.
TEST_F(ResultsTest, StartUpSizeShowsEverySettingWhole)
{
    window->show();
    ASSERT_TRUE(window->OpenFile(WriteImageScan("scan.pt3"), true));
    QCoreApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(855, 685));
    auto *toolBox = W<QToolBox>("toolBox");
    for (int page = 0; page < toolBox->count(); ++page) {
        toolBox->setCurrentIndex(page);
        QCoreApplication::processEvents();
        QWidget *content = toolBox->widget(page);
        auto *area = qobject_cast<QScrollArea *>(content->parentWidget()->parentWidget());
        ASSERT_NE(area, nullptr);
        EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << toolBox->itemText(page).toStdString();
        for (QLabel *label : content->findChildren<QLabel *>()) {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }
        for (QComboBox *box : content->findChildren<QComboBox *>()) {
            EXPECT_GE(box->width(), box->sizeHint().width()) << box->objectName().toStdString();
        }
        for (QCheckBox *box : content->findChildren<QCheckBox *>()) {
            EXPECT_GE(box->width(), box->sizeHint().width()) << box->text().toStdString();
        }
        for (QAbstractButton *button : content->findChildren<QAbstractButton *>()) {
            if (!button->text().isEmpty()) {
                EXPECT_GE(button->contentsRect().width(), button->fontMetrics().horizontalAdvance(button->text()))
                    << button->text().toStdString();
            }
        }
    }

    // The tabs reach from the settings column to the window's right margin.
    auto *tabs = W<QTabWidget>("tabWidget");
    auto *settings = W<QWidget>("widget");
    const QRect tabArea(tabs->mapTo(window.get(), QPoint(0, 0)), tabs->size());
    EXPECT_LE(tabArea.left() - (settings->mapTo(window.get(), QPoint(0, 0)).x() + settings->width()), 12);
    EXPECT_GE(tabArea.right(), window->width() - 12);
    EXPECT_GE(tabArea.height(), settings->height() - 30);
    // The views of the lifetime tab fill it.
    for (LinePlot *plot : CurrentPage()->findChildren<LinePlot *>()) {
        EXPECT_GT(plot->height(), tabArea.height() / 2);
    }
}

// Where the texts fit, the settings column keeps the form's 240 pixels.
TEST_F(ResultsTest, SmallFontsKeepTheFormWidth)
{
    const QFont before = QApplication::font();
    QFont small = before;
    small.setPointSize(4);
    QApplication::setFont(small);
    Make();
    QApplication::setFont(before);
    window->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(W<QWidget>("widget")->width(), 240);
    EXPECT_GE(window->findChild<QWidget *>("widget")->width(), W<QWidget>("progressBar")->width());
}
