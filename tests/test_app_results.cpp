// The window with results: the tabs an opened scan gets, their lifetime,
// and the window's use of its start-up size.
#include "app/Fotonel.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"
#include "widgets/LinePlot.h"

#include "support/WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
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
    /// 8 x 8 pixels, 2 frames, photons on channels 1 and 3.
    QString WriteImageScan(const QString &name)
    {
        synth::ImageScanPlan plan;
        plan.channels = {1, 3};
        EXPECT_TRUE(synth::WritePt3(dir.filePath(name), synth::Pt3Header(), synth::MakeImageScan(plan).words));
        return dir.filePath(name);
    }
    QStringList TabLabels()
    {
        QStringList labels;
        for (int i = 0; i < W<QTabWidget>("tabWidget")->count(); ++i)
            labels << W<QTabWidget>("tabWidget")->tabText(i);
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
    // The lifetime tab is the one shown; closing a result tab frees it.
    EXPECT_EQ(CurrentPage()->objectName(), "TauTab");
    EXPECT_EQ(CurrentPage()->findChildren<LinePlot *>().size(), 2);
    auto *tabs = W<QTabWidget>("tabWidget");
    QPointer<QWidget> data = tabs->widget(2);
    emit tabs->tabBar()->tabCloseRequested(2);
    EXPECT_TRUE(data.isNull());

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
}

// At the start-up size every text of the settings tool box is whole, no
// page needs a horizontal scroll bar, and the result tabs take the rest.
TEST_F(ResultsTest, StartUpSizeShowsEverySettingWhole)
{
    window->show();
    ASSERT_TRUE(window->OpenFile(WriteImageScan("scan.pt3"), true));
    QCoreApplication::processEvents();
    ASSERT_EQ(window->size(), QSize(855, 685));
    auto *toolBox = W<QToolBox>("toolBox");
    for (int page = 0; page < toolBox->count(); ++page) {
        toolBox->setCurrentIndex(page);
        QCoreApplication::processEvents();
        QWidget *content = toolBox->widget(page);
        auto *area = qobject_cast<QScrollArea *>(content->parentWidget()->parentWidget());
        ASSERT_NE(area, nullptr);
        EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << toolBox->itemText(page).toStdString();
        for (QWidget *w : content->findChildren<QWidget *>()) {
            if (qobject_cast<QLabel *>(w) || qobject_cast<QComboBox *>(w) || qobject_cast<QCheckBox *>(w)) {
                EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
            } else if (auto *button = qobject_cast<QPushButton *>(w)) {
                EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text()))
                    << button->objectName().toStdString();
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
    EXPECT_GT(CurrentPage()->findChild<LinePlot *>()->height(), tabArea.height() / 2);
}
