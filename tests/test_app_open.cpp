// Opening measurement files in the window: the order of the steps, what the
// window remembers, and what a second command during a running step does.
#include "app/Fotonel.h"
#include "files/pqFile.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <functional>
#include <memory>

namespace {


class OpenTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Make().SetVersion("0.51");
    }
    void TearDown() override
    {
        ticker.reset();
        WindowFixture::TearDown();
    }
    /// A small image scan: 8 x 8 pixels, 2 frames, one photon per pixel on channel 1.
    QString WriteImageScan(const QString &name, const synth::Pt3Header &header = synth::Pt3Header())
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(synth::WritePt3(path, header, synth::MakeImageScan(synth::ImageScanSpec()).words));
        return path;
    }
    int IndexOf(const QString &line) { return Log().indexOf(line); }
    /// Runs \p tick at every pass of the event loop until stopped.
    void EveryEventPass(std::function<void()> tick)
    {
        ticker = std::make_unique<QTimer>();
        ticker->setInterval(0);
        QObject::connect(ticker.get(), &QTimer::timeout, std::move(tick));
        ticker->start();
    }
    /// Drags \p urls over the window and drops them, as a file manager does.
    void Drop(const QList<QUrl> &urls)
    {
        QMimeData files;
        files.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &drop);
    }
    QByteArray Settings()
    {
        QFile in(dir.filePath("lastsettings.dat"));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

    std::unique_ptr<QTimer> ticker;
};

} // namespace

TEST_F(OpenTest, OpensAnImageScanStepByStep)
{
    const QString path = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(path, true));

    const QStringList log = Log();
    EXPECT_EQ(log.value(2), "0003 : Trying to open file " + path);
    EXPECT_EQ(log.value(3), "0004 : pt3");
    const int opened = log.indexOf(QRegExp("\\d+ : Succesfully openend file " + QRegExp::escape(path)));
    ASSERT_GT(opened, 3);
    for (int i = 0; i < opened; ++i)
        EXPECT_FALSE(log[i].contains("error : ")) << log[i].toStdString();
    EXPECT_FALSE(Log().join('\n').contains("could not convert"));

    ASSERT_NE(window->file, nullptr);
    EXPECT_TRUE(window->file->ok);
    EXPECT_EQ(window->file->ScanType, ScanImage);
    EXPECT_NE(window->scan, nullptr);
    EXPECT_EQ(window->fileName, path);
    EXPECT_EQ(window->openDir, dir.path());
    EXPECT_EQ(window->saveDir, dir.path());
    EXPECT_EQ(W<QLabel>("filename")->text(), path);
    EXPECT_TRUE(W<QAction>("actionWrite_Records")->isEnabled());
    EXPECT_TRUE(W<QAction>("actionExport_Images")->isEnabled());
    EXPECT_TRUE(W<QPushButton>("SaveFrames")->isEnabled());
    EXPECT_FALSE(W<QAction>("actionExport_Data")->isEnabled());
    EXPECT_TRUE(Settings().startsWith(QString("opendir = %1\nsavedir = %1\n").arg(dir.path()).toLatin1()));
    EXPECT_FALSE(W<QTextBrowser>("SummaryBrowser")->toPlainText().isEmpty());
    EXPECT_FALSE(W<QTextBrowser>("textBrowser_2")->toPlainText().isEmpty());
}

TEST_F(OpenTest, SettingsHoldTheNewFolderBeforeTheAnalysisRuns)
{
    const QString path = WriteImageScan("run1.pt3");
    QByteArray duringAnalysis;
    bool analysing = false;
    EveryEventPass([&] {
        if (!analysing && Log().join('\n').contains("Succesfully openend file")) {
            analysing = true;
            duringAnalysis = Settings();
        }
    });
    ASSERT_TRUE(window->OpenFile(path, true));
    ticker.reset();
    if (!analysing)
        GTEST_SKIP() << "the analysis let no events run: nothing to observe";
    EXPECT_TRUE(duringAnalysis.startsWith(QString("opendir = %1\n").arg(dir.path()).toLatin1()));
}

TEST_F(OpenTest, UpperCaseSuffixIsReadAsPt3)
{
    const QString path = WriteImageScan("RUN2.PT3");
    ASSERT_TRUE(window->OpenFile(path, false));
    EXPECT_NE(IndexOf("0004 : pt3"), -1);
    EXPECT_TRUE(window->file->ok);
}

TEST_F(OpenTest, SecondOpenRemovesResultTabsAndClearsPanes)
{
    const QString path = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(path, true));
    auto *tabs = W<QTabWidget>("tabWidget");
    const int afterOpen = tabs->count();
    QPointer<QWidget> extra = new QWidget;
    window->AddTab(extra, "Extra");
    window->AddSummaryText("left over summary");
    window->AddHeaderText("left over header");
    const QString firstHeader = W<QTextBrowser>("textBrowser_2")->toPlainText();

    ASSERT_TRUE(window->OpenFile(path, true));
    EXPECT_EQ(tabs->count(), afterOpen);
    EXPECT_TRUE(extra.isNull());
    EXPECT_EQ(tabs->tabText(0), "Header");
    EXPECT_EQ(tabs->tabText(1), "Summary");
    EXPECT_FALSE(W<QTextBrowser>("SummaryBrowser")->toPlainText().contains("left over summary"));
    const QString secondHeader = W<QTextBrowser>("textBrowser_2")->toPlainText();
    EXPECT_FALSE(secondHeader.contains("left over header"));
    EXPECT_FALSE(secondHeader.isEmpty());
    EXPECT_TRUE(firstHeader.startsWith(secondHeader.left(40)));
}

TEST_F(OpenTest, ClosedSummaryTabMeansTheFirstTwoTabsLeftStay)
{
    const QString path = WriteImageScan("run1.pt3");
    auto *tabs = W<QTabWidget>("tabWidget");
    window->AddTab(new QWidget, "A");
    window->AddTab(new QWidget, "B");
    QMetaObject::invokeMethod(window.get(), "on_tabCloseRequested_clicked", Q_ARG(int, 1));
    ASSERT_EQ(tabs->tabText(1), "A");
    ASSERT_TRUE(window->OpenFile(path, false));
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "Header");
    EXPECT_EQ(tabs->tabText(1), "A");
}

TEST_F(OpenTest, WrongIdentifierFailsAndLeavesTheControlsDisabled)
{
    const QString good = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(good, true));
    synth::Pt3Header header;
    header.identifier = "TimeHarp 200";
    const QString bad = dir.filePath("other/bad.pt3");
    ASSERT_TRUE(QDir(dir.path()).mkdir("other"));
    ASSERT_TRUE(synth::WritePt3(bad, header, synth::MakeImageScan(synth::ImageScanSpec()).words));
    const QByteArray settingsBefore = Settings();

    EXPECT_FALSE(window->OpenFile(bad, true));
    EXPECT_EQ(Log().last().section(" : ", 1), "error : Failed to open file " + bad);
    ASSERT_NE(window->file, nullptr);  // kept until the next open, marked unusable
    EXPECT_FALSE(window->file->ok);
    EXPECT_EQ(window->scan, nullptr);
    EXPECT_FALSE(W<QAction>("actionWrite_Records")->isEnabled());
    EXPECT_FALSE(W<QAction>("actionExport_Images")->isEnabled());
    EXPECT_FALSE(W<QPushButton>("SaveFrames")->isEnabled());
    // Directories, name and label keep the values of the last good open.
    EXPECT_EQ(window->fileName, good);
    EXPECT_EQ(window->openDir, dir.path());
    EXPECT_EQ(W<QLabel>("filename")->text(), good);
    EXPECT_EQ(Settings(), settingsBefore);

    QMetaObject::invokeMethod(window.get(), "on_SaveFrames_clicked");
    EXPECT_EQ(Log().last().section(" : ", 1), "error : could not convert " + bad);
    QMetaObject::invokeMethod(window.get(), "on_WriteRecords_clicked");
    EXPECT_EQ(Log().last().section(" : ", 1), "error : could not convert " + bad);
}

TEST_F(OpenTest, SecondCommandWhileOpeningIsRefused)
{
    const QString first = WriteImageScan("run1.pt3");
    const QString second = WriteImageScan("run2.pt3");
    bool tried = false;
    bool secondResult = true;
    QPointer<QWidget> extra;
    EveryEventPass([&] {
        if (tried || !window->file)
            return;
        tried = true;
        secondResult = window->OpenFile(second, true);
        QMetaObject::invokeMethod(window.get(), "on_ApplyGatingButton_clicked");
        QMetaObject::invokeMethod(window.get(), "on_SaveFrames_clicked");
        // Closing a tab meanwhile hides it at once and frees it afterwards.
        extra = new QWidget;
        const int index = window->AddTab(extra, "Extra");
        QMetaObject::invokeMethod(window.get(), "on_tabCloseRequested_clicked", Q_ARG(int, index));
        EXPECT_FALSE(extra.isNull());
    });
    ASSERT_TRUE(window->OpenFile(first, true));
    ticker.reset();
    if (!tried)
        GTEST_SKIP() << "opening let no events run: nothing to observe";
    EXPECT_FALSE(secondResult);
    EXPECT_EQ(window->fileName, first);
    EXPECT_TRUE(window->file->ok);
    EXPECT_EQ(Log().filter("warning : Busy: wait until the running step has finished").size(), 2);
    EXPECT_EQ(Log().filter("Trying to open file").size(), 1);
    EXPECT_TRUE(extra.isNull());
}

TEST_F(OpenTest, ApplyGatingReconstructsAgain)
{
    const QString path = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(path, true));
    const int before = Log().size();
    QMetaObject::invokeMethod(window.get(), "on_ApplyGatingButton_clicked");
    EXPECT_GT(Log().size(), before);
    EXPECT_TRUE(window->scan->reconstructed);
    EXPECT_FALSE(Log().mid(before).join('\n').contains("error : ")) << Log().mid(before).join('\n').toStdString();
}

TEST_F(OpenTest, DroppingOneFileOpensItWithTabs)
{
    const QString path = WriteImageScan("run1.pt3");
    Drop({QUrl::fromLocalFile(path)});
    EXPECT_EQ(window->fileName, path);
    EXPECT_NE(IndexOf("0003 : Trying to open file " + path), -1);
    EXPECT_FALSE(Log().join('\n').contains("could not convert"));
}

TEST_F(OpenTest, DroppingSeveralFilesConvertsEachWithoutTabs)
{
    QList<QUrl> urls;
    for (const char *name : {"a.pt3", "b.pt3", "c.pt3"})
        urls << QUrl::fromLocalFile(WriteImageScan(name));
    urls.insert(1, QUrl("https://example.org/x.pt3"));  // no local path: skipped
    Drop(urls);
    EXPECT_EQ(Log().filter("Succesfully openend file").size(), 3);
    EXPECT_EQ(Log().filter("Trying to open file").size(), 3);
    EXPECT_EQ(window->fileName, dir.filePath("c.pt3"));
    EXPECT_EQ(W<QTabWidget>("tabWidget")->count(), 2);
}

TEST_F(OpenTest, ResetCursorsReturnsToTheSpanOfTheFirstReconstruction)
{
    const QString path = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(path, true));
    double start = 0, end = 0;
    ASSERT_TRUE(window->scan->CursorSpan(start, end));
    std::vector<double> starts, ends;
    window->GetCursors(starts, ends, 1);
    const double firstEnd = ends[0];

    window->SetCursorRanges(0, 100);
    QMetaObject::invokeMethod(window.get(), "on_ResetCursorButton_clicked");
    window->GetCursors(starts, ends, 1);
    EXPECT_EQ(ends[0], firstEnd);
    EXPECT_EQ(ends[3], firstEnd);
    EXPECT_DOUBLE_EQ(starts[0], std::round(start * 1000) / 1000);
}
