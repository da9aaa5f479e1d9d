// Opening measurement files in the window: the order of the steps, what the
// window remembers, and what a second command during a running step does.
#include "app/Fotonel.h"
#include "files/pqFile.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <functional>

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
        EXPECT_TRUE(synth::WritePt3(path, header, synth::MakeImageScan(synth::ImageScanPlan()).words));
        return path;
    }
    /// Runs \p tick at every pass of the event loop until stopped.
    void EveryEventPass(std::function<void()> tick)
    {
        ticker = std::make_unique<QTimer>();
        ticker->setInterval(0);
        QObject::connect(ticker.get(), &QTimer::timeout, std::move(tick));
        ticker->start();
    }
    /// The log lines after the first \p skip, without their numbers.
    QStringList Texts(int skip = 0)
    {
        QStringList texts;
        for (const QString &line : Log().mid(skip))
            texts << line.section(" : ", 1);
        return texts;
    }
    void ExpectExportsEnabled(bool enabled)
    {
        EXPECT_EQ(W<QAction>("actionWrite_Records")->isEnabled(), enabled);
        EXPECT_EQ(W<QAction>("actionExport_Images")->isEnabled(), enabled);
        EXPECT_EQ(W<QPushButton>("SaveFrames")->isEnabled(), enabled);
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
    const int opened = Texts().indexOf("Succesfully openend file " + path);
    ASSERT_GT(opened, 3);
    EXPECT_FALSE(log.join('\n').contains("error : "));

    ASSERT_NE(window->file, nullptr);
    EXPECT_EQ(window->file->ScanType, ScanImage);
    EXPECT_NE(window->scan, nullptr);
    EXPECT_EQ(window->fileName, path);
    EXPECT_EQ(window->openDir, dir.path());
    EXPECT_EQ(W<QLabel>("filename")->text(), path);
    ExpectExportsEnabled(true);
    EXPECT_FALSE(W<QAction>("actionExport_Data")->isEnabled());
    EXPECT_TRUE(ReadFile("lastsettings.dat").startsWith(QString("opendir = %1\nsavedir = %1\n").arg(dir.path()).toLatin1()));

    // Upper-case suffixes are read as well.
    EXPECT_TRUE(window->OpenFile(WriteImageScan("RUN2.PT3"), false));
}

TEST_F(OpenTest, SettingsHoldTheNewFolderBeforeTheAnalysisRuns)
{
    const QString path = WriteImageScan("run1.pt3");
    QByteArray duringAnalysis;
    bool analysing = false;
    EveryEventPass([&] {
        if (!analysing && Log().join('\n').contains("Succesfully openend file")) {
            analysing = true;
            duringAnalysis = ReadFile("lastsettings.dat");
        }
    });
    ASSERT_TRUE(window->OpenFile(path, true));
    ticker.reset();
    if (!analysing)
        GTEST_SKIP() << "the analysis let no events run: nothing to observe";
    EXPECT_TRUE(duringAnalysis.startsWith(QString("opendir = %1\n").arg(dir.path()).toLatin1()));
}

TEST_F(OpenTest, SecondOpenClearsThePanes)
{
    const QString path = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(path, true));
    window->AddSummaryText("left over summary");
    window->AddHeaderText("left over header");
    const QString firstHeader = W<QTextBrowser>("textBrowser_2")->toPlainText();
    ASSERT_TRUE(window->OpenFile(path, true));
    EXPECT_FALSE(W<QTextBrowser>("SummaryBrowser")->toPlainText().contains("left over summary"));
    const QString secondHeader = W<QTextBrowser>("textBrowser_2")->toPlainText();
    EXPECT_FALSE(secondHeader.contains("left over header"));
    EXPECT_TRUE(firstHeader.startsWith(secondHeader.left(40)));
}

TEST_F(OpenTest, ClosedHeaderTabMeansTheFirstTwoTabsLeftStay)
{
    auto *tabs = W<QTabWidget>("tabWidget");
    window->AddTab(new QWidget, "A");
    window->AddTab(new QWidget, "B");
    // The Header pane outlives its closed tab: the open still writes into it.
    QMetaObject::invokeMethod(window.get(), "on_tabCloseRequested_clicked", Q_ARG(int, 0));
    ASSERT_EQ(tabs->tabText(0), "Summary");
    ASSERT_TRUE(window->OpenFile(WriteImageScan("run1.pt3"), false));
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "Summary");
    EXPECT_EQ(tabs->tabText(1), "A");
    EXPECT_FALSE(W<QTextBrowser>("textBrowser_2")->toPlainText().isEmpty());
}

TEST_F(OpenTest, WrongIdentifierFailsAndLeavesTheControlsDisabled)
{
    const QString good = WriteImageScan("run1.pt3");
    ASSERT_TRUE(window->OpenFile(good, true));
    synth::Pt3Header header;
    header.identifier = "TimeHarp 200";
    ASSERT_TRUE(QDir(dir.path()).mkdir("other"));
    const QString bad = WriteImageScan("other/bad.pt3", header);
    const QByteArray settingsBefore = ReadFile("lastsettings.dat");

    EXPECT_FALSE(window->OpenFile(bad, true));
    EXPECT_EQ(Texts().last(), "error : Failed to open file " + bad);
    ASSERT_NE(window->file, nullptr); // kept until the next open, marked unusable
    EXPECT_FALSE(window->file->ok);
    EXPECT_EQ(window->scan, nullptr);
    ExpectExportsEnabled(false);
    // Directories, name and label keep the values of the last good open.
    EXPECT_EQ(window->fileName, good);
    EXPECT_EQ(W<QLabel>("filename")->text(), good);
    EXPECT_EQ(ReadFile("lastsettings.dat"), settingsBefore);

    Invoke("on_SaveFrames_clicked");
    EXPECT_EQ(Texts().last(), "error : could not convert " + bad);
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
        Invoke("on_ApplyGatingButton_clicked");
        Invoke("on_SaveFrames_clicked");
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

TEST_F(OpenTest, DroppedFiles)
{
    // One file opens as from the dialog.
    const QString path = WriteImageScan("run1.pt3");
    EXPECT_TRUE(DropUrls({QUrl::fromLocalFile(path)}));
    EXPECT_EQ(window->fileName, path);
    EXPECT_TRUE(Log().contains("0003 : Trying to open file " + path));
    EXPECT_TRUE(QFile::exists(dir.filePath("run1_export/run1_ch1.tif")));  // exported at once
    EXPECT_EQ(W<QTabWidget>("tabWidget")->count(), 7);

    // Several are converted one by one without tabs; addresses that are no local file are skipped.
    QList<QUrl> urls;
    for (const char *name : {"a.pt3", "b.pt3", "c.pt3"})
        urls << QUrl::fromLocalFile(WriteImageScan(name));
    urls.insert(1, QUrl("https://example.org/x.pt3"));
    const int before = Log().size();
    EXPECT_TRUE(DropUrls(urls));
    EXPECT_EQ(Log().mid(before).filter("Succesfully openend file").size(), 3);
    EXPECT_EQ(window->fileName, dir.filePath("c.pt3"));
    EXPECT_EQ(W<QTabWidget>("tabWidget")->count(), 2);
    for (const char *name : {"a", "b", "c"})
        EXPECT_TRUE(QFile::exists(dir.filePath(QString("%1_export/%1_ch1.tif").arg(name)))) << name;
}
