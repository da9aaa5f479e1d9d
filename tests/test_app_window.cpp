// The main window offscreen: its start-up state, the message log and panes,
// tabs, shortcuts, the About box and drag and drop.
#include "app/AssetPath.h"
#include "app/Fotonel.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QToolBox>
#include <QUrl>
#include <memory>

// Exported by QtGui: runs a key press through the shortcut map, as a real key would.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject *o, ulong timestamp, int k, Qt::KeyboardModifiers mods,
                                               const QString &text = QString(), bool autorep = false,
                                               ushort count = 1);

namespace {


using WindowTest = WindowFixture;

} // namespace

TEST_F(WindowTest, StartsOnPointScanPageAndSummaryTab)
{
    Make();
    auto *toolBox = W<QToolBox>("toolBox");
    EXPECT_EQ(toolBox->currentIndex(), 3);
    EXPECT_EQ(toolBox->itemText(3), "Point scan settings");
    const QStringList pages = {"Image export settings", "Gating", "Time cursors", "Point scan settings",
                               "Line scan settings", "Image scan settings", "T3 records"};
    const QStringList pageNames = {"page_9", "page", "tRange", "page_10", "page_12", "page_13", "page_11"};
    ASSERT_EQ(toolBox->count(), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(toolBox->itemText(i), pages[i]);
        EXPECT_EQ(toolBox->widget(i)->objectName(), pageNames[i]);
    }

    auto *tabs = W<QTabWidget>("tabWidget");
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->currentIndex(), 1);
    EXPECT_EQ(tabs->tabText(0), "Header");
    EXPECT_EQ(tabs->tabText(1), "Summary");
    EXPECT_EQ(tabs->widget(0)->objectName(), "HeaderTab");
    EXPECT_EQ(tabs->widget(1)->objectName(), "SummaryTab");
    EXPECT_TRUE(tabs->tabsClosable());

    EXPECT_EQ(W<QComboBox>("bitdepth")->currentText(), "16 bit");
    EXPECT_EQ(W<QComboBox>("bitdepth")->count(), 2);
    EXPECT_EQ(W<QComboBox>("exporttype")->currentText(), "TIFF stack");
    EXPECT_EQ(W<QComboBox>("exporttype")->itemText(2), "RAW binary file");
    EXPECT_EQ(W<QComboBox>("ISbitdepth")->currentText(), "16 bit");
    EXPECT_EQ(W<QComboBox>("ISbitdepth")->itemText(1), "32 bit");
    EXPECT_EQ(W<QLabel>("filename")->text(), "No File Chosen");
    EXPECT_EQ(W<QProgressBar>("progressBar")->value(), 0);
    EXPECT_EQ(window->windowTitle(), "Fotonel");
    EXPECT_EQ(window->version, "unknown");
    EXPECT_EQ(window->size(), QSize(855, 685));
}

TEST_F(WindowTest, EveryRecordColumnIsChecked)
{
    Make();
    for (const char *name : {"CB_Number", "CB_T3Record", "CB_nSync", "CB_Channel", "CB_dTime", "CB_Marker",
                             "CB_TruenSync", "CB_TrueTime", "CB_DeltaTime", "CB_DelayTime"})
        EXPECT_TRUE(W<QCheckBox>(name)->isChecked()) << name;
    EXPECT_EQ(W<QCheckBox>("CB_TrueTime")->text(), "True time");
    EXPECT_EQ(W<QCheckBox>("CB_Number")->text(), "Record nr");
    EXPECT_FALSE(W<QCheckBox>("ISImageWidthcheck")->isChecked());
    EXPECT_EQ(W<QCheckBox>("ISImageWidthcheck")->text(), "use this");
}

TEST_F(WindowTest, ActionsStartWithTheirShortcutsTipsAndStates)
{
    Make();
    struct Expected {
        const char *name;
        const char *text;
        const char *shortcut;
        const char *tip;
        bool enabled;
    };
    const Expected actions[] = {
        {"actionOpen", "Open", "Ctrl+O", "Open pt3 File", true},
        {"actionExport_Images", "Export Images", "Ctrl+E", "Export Images", false},
        {"actionExport_Data", "Export Data", "Ctrl+E", "Export Data", false},
        {"actionWrite_Records", "Write Records", "Ctrl+W", "Write T3 records to ascii file", false},
        {"actionClear_message_box", "Clear message box", "Ctrl+D", "Clear message box", true},
        {"actionExit", "Exit", "Ctrl+Q", "Exit the application", true},
        {"actionAbout", "About", "F1", "Information about Fotonel", true},
    };
    for (const Expected &e : actions) {
        auto *action = W<QAction>(e.name);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text(), e.text) << e.name;
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(e.shortcut))) << e.name;
        EXPECT_EQ(action->statusTip(), e.tip) << e.name;
        EXPECT_EQ(action->isEnabled(), e.enabled) << e.name;
    }
    EXPECT_FALSE(W<QPushButton>("SaveFrames")->isEnabled());
    EXPECT_TRUE(W<QPushButton>("WriteRecords")->isEnabled());
    EXPECT_EQ(W<QTextBrowser>("textBrowser")->toolTip(), "Press Ctrl-D to clear message box");
}

TEST_F(WindowTest, MenusHoldTheActionsInOrder)
{
    Make();
    const QList<QAction *> menus = window->menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    EXPECT_EQ(menus[0]->text(), "&File");
    EXPECT_EQ(menus[1]->text(), "&Options");
    EXPECT_EQ(menus[2]->text(), "&Help");
    QStringList file;
    for (QAction *a : menus[0]->menu()->actions())
        file << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    EXPECT_EQ(file, QStringList({"actionOpen", "-", "actionExport_Images", "actionExport_Data",
                                 "actionWrite_Records", "-", "actionExit"}));
    EXPECT_EQ(menus[1]->menu()->actions().value(0)->objectName(), "actionClear_message_box");
    EXPECT_EQ(menus[2]->menu()->actions().value(0)->objectName(), "actionAbout");
}

TEST_F(WindowTest, ParameterBoxesStartWithTheirRanges)
{
    Make();
    auto *binsize = W<QDoubleSpinBox>("binsize");
    EXPECT_DOUBLE_EQ(binsize->minimum(), 0.001);
    EXPECT_DOUBLE_EQ(binsize->maximum(), 1e12);
    EXPECT_DOUBLE_EQ(binsize->singleStep(), 0.1);
    EXPECT_DOUBLE_EQ(binsize->value(), 0.1);
    EXPECT_EQ(binsize->decimals(), 3);

    auto *taubinsize = W<QDoubleSpinBox>("taubinsize");
    EXPECT_DOUBLE_EQ(taubinsize->minimum(), 0);
    EXPECT_DOUBLE_EQ(taubinsize->maximum(), 1e12);
    EXPECT_DOUBLE_EQ(taubinsize->singleStep(), 0);
    EXPECT_DOUBLE_EQ(taubinsize->value(), 0);
    EXPECT_EQ(taubinsize->decimals(), 4);

    auto *dtau = W<QDoubleSpinBox>("dtau");
    EXPECT_DOUBLE_EQ(dtau->value(), 0.05);
    EXPECT_DOUBLE_EQ(dtau->singleStep(), 0.00005);
    EXPECT_EQ(dtau->decimals(), 3);
    EXPECT_DOUBLE_EQ(dtau->maximum(), 1e13);
    EXPECT_EQ(W<QSpinBox>("nrbins")->value(), 16);
    EXPECT_EQ(W<QSpinBox>("nrbins")->minimum(), 2);
    EXPECT_EQ(W<QSpinBox>("ncasc")->value(), 10);
    EXPECT_EQ(W<QSpinBox>("ncasc")->minimum(), 1);
    // 0.05 us x 16 x 1023 / 1000 = 0.8184 ms, shown with three decimals.
    EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>("tmaxXCF")->value(), 0.818);
    EXPECT_EQ(W<QDoubleSpinBox>("tmaxXCF")->text(), "0.818");

    auto *gateMax = W<QDoubleSpinBox>("Ch3_Gating_Max");
    EXPECT_DOUBLE_EQ(gateMax->value(), 50);
    EXPECT_DOUBLE_EQ(gateMax->maximum(), 99.99);
    EXPECT_EQ(gateMax->decimals(), 2);
    EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>("Ch3_Gating_Min")->value(), 0);
    auto *cursorMax = W<QDoubleSpinBox>("Ch2_Cursor_Max");
    EXPECT_DOUBLE_EQ(cursorMax->value(), 120);
    EXPECT_DOUBLE_EQ(cursorMax->maximum(), 1e9);
    EXPECT_EQ(cursorMax->decimals(), 3);
    EXPECT_EQ(W<QDoubleSpinBox>("Ch2_Cursor_Min")->decimals(), 2);
    EXPECT_EQ(W<QSpinBox>("ISImageWidth")->value(), 32);
    EXPECT_EQ(W<QSpinBox>("LSImageWidth")->maximum(), 1024);
    EXPECT_EQ(W<QSpinBox>("LSImageWidth")->minimum(), 1);
}

TEST_F(WindowTest, PictureButtonsShowTheSavePictureFoundInTheWorkingDirectory)
{
    // The build puts the pictures one level above the test programs.
    const QString built = QCoreApplication::applicationDirPath() + "/../images/save.png";
    if (!QFile::exists(built))
        GTEST_SKIP() << "no built images/save.png next to the build tree";
    ASSERT_TRUE(QDir(dir.path()).mkpath("images"));
    ASSERT_TRUE(QFile::copy(built, dir.filePath("images/save.png")));
    Make();
    for (const char *name : {"saveTracePointScan", "saveHistogramPointScan", "saveXCFPointScan",
                             "LSsaveTracePointScan", "LSsaveHistogramPointScan"}) {
        auto *button = W<QPushButton>(name);
        EXPECT_EQ(button->styleSheet(), "background-image: url(images/save.png);") << name;
        EXPECT_EQ(button->size(), QSize(24, 22)) << name;
        EXPECT_TRUE(button->text().isEmpty()) << name;
    }
}

TEST_F(WindowTest, SlotsAreDeclaredInTheirFixedOrder)
{
    Make();
    const char *const expected[] = {
        "on_binsize_editingFinished()", "on_LSsaveHistogramPointScan_clicked()",
        "on_LSsaveTracePointScan_clicked()", "on_LSbinData_clicked()", "on_LSApplyLineWiidth_clicked()",
        "on_Ch4_Cursor_Max_editingFinished()", "on_Ch4_Cursor_Min_editingFinished()",
        "on_Ch3_Cursor_Max_editingFinished()", "on_Ch3_Cursor_Min_editingFinished()",
        "on_Ch2_Cursor_Max_editingFinished()", "on_Ch2_Cursor_Min_editingFinished()",
        "on_Ch1_Cursor_Max_editingFinished()", "on_Ch1_Cursor_Min_editingFinished()",
        "on_ResetCursorButton_clicked()", "on_ApplyCursorButton_clicked()", "on_tmaxXCF_editingFinished()",
        "on_ncasc_valueChanged(int)", "on_nrbins_valueChanged(int)", "on_dtau_valueChanged(double)",
        "on_ncasc_editingFinished()", "on_nrbins_editingFinished()", "on_dtau_editingFinished()",
        "on_saveHistogramPointScan_clicked()", "on_saveXCFPointScan_clicked()", "on_saveTracePointScan_clicked()",
        "on_ResetGatingButton_clicked()", "on_ISExportHistogram_clicked()", "on_ApplyGatingButton_clicked()",
        "on_Ch4_Gating_Max_valueChanged(double)", "on_Ch3_Gating_Max_valueChanged(double)",
        "on_Ch2_Gating_Max_valueChanged(double)", "on_Ch1_Gating_Max_valueChanged(double)",
        "on_Ch4_Gating_Min_valueChanged(double)", "on_Ch3_Gating_Min_valueChanged(double)",
        "on_Ch2_Gating_Min_valueChanged(double)", "on_Ch1_Gating_Min_valueChanged(double)",
        "on_ISHistogram_clicked()", "on_LSHistogram_clicked()", "on_binData_clicked()", "on_xcfButton_clicked()",
        "on_InfoButton_clicked()", "on_WriteRecords_clicked()", "on_SaveFrames_clicked()",
        "on_ExportData_clicked()", "on_browse_clicked()", "on_actionClear_message_box_triggered()",
        "on_tabCloseRequested_clicked(int)", "on_tauButton_clicked()",
    };
    const QMetaObject *meta = window->metaObject();
    EXPECT_STREQ(meta->className(), "Fotonel");
    QStringList found;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        if (meta->method(i).methodType() == QMetaMethod::Slot)
            found << QString::fromLatin1(meta->method(i).methodSignature());
    QStringList wanted;
    for (const char *s : expected)
        wanted << QString::fromLatin1(s);
    EXPECT_EQ(found, wanted);
}

TEST(MessageLog, LinesCarryTheLevelTemplate)
{
    EXPECT_EQ(Fotonel::MessageHtml(1, MessageNormal, "Version 0.51"),
              "<span style=\"background-color: #EEEEEE; color:#666666;\">0001 :</span> "
              "<span style=\"color:#005500;\">Version 0.51</span><br>");
    EXPECT_EQ(Fotonel::MessageHtml(42, MessageError, "bad"),
              "<span style=\"background-color: #EEEEEE; color:#666666;\">0042 :</span> "
              "<span style=\"color:#FF0000;\">error : bad</span><br>");
    EXPECT_EQ(Fotonel::MessageHtml(999, MessageWarning, "odd"),
              "<span style=\"background-color: #EEEEEE; color:#666666;\">0999 :</span> "
              "<span style=\"color:#fe6000;\">warning : odd</span><br>");
    EXPECT_EQ(Fotonel::MessageHtml(7, 5, "plain"),
              "<span style=\"background-color: #EEEEEE; color:#666666;\">0007 :</span> "
              "<span style=\"color:#000000;\">plain</span><br>");
}

TEST(MessageLog, NumbersBeyondFourDigitsStayUnpadded)
{
    EXPECT_TRUE(Fotonel::MessageHtml(10000, MessageNormal, "x").contains(">10000 :<"));
    EXPECT_TRUE(Fotonel::MessageHtml(12345, MessageNormal, "x").contains(">12345 :<"));
    EXPECT_TRUE(Fotonel::MessageHtml(9999, MessageNormal, "x").contains(">9999 :<"));
}

TEST(MessageLog, PercentSignsInTheTextStayAsTheyAre)
{
    EXPECT_TRUE(Fotonel::MessageHtml(3, MessageNormal, "100% of %1 and %2").contains(">100% of %1 and %2<"));
}

TEST(MessageLog, PaneTextKeepsSpacesAndLineBreaks)
{
    EXPECT_EQ(Fotonel::PaneHtml("a  b\nc"), "a&nbsp;&nbsp;b<br>c");
    EXPECT_EQ(Fotonel::PaneHtml("   Label : 5 ns\n"), "&nbsp;&nbsp;&nbsp;Label&nbsp;:&nbsp;5&nbsp;ns<br>");
}

TEST_F(WindowTest, LogNumbersFromOneAndRestartsAfterClear)
{
    Make();
    // No settings file: its warning is line 0001.
    EXPECT_EQ(Log(), QStringList({"0001 : warning : could not open lastsettings.dat"}));
    EXPECT_EQ(window->messageCount, 1u);
    window->SetVersion("0.51");
    window->AddMessage(MessageError, "broken");
    window->AddMessage(5, "black");
    window->AddMessage("default level");
    EXPECT_EQ(Log(), QStringList({"0001 : warning : could not open lastsettings.dat", "0002 : Version 0.51",
                                  "0003 : error : broken", "0004 : black", "0005 : default level"}));
    EXPECT_EQ(window->windowTitle(), "Fotonel 0.51");

    W<QAction>("actionClear_message_box")->trigger();
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_EQ(window->messageCount, 0u);
    window->AddMessage("again");
    EXPECT_EQ(Log(), QStringList({"0001 : again"}));
}


TEST_F(WindowTest, MessageTenThousandIsShownInFull)
{
    Make();
    window->messageCount = 9999;
    window->AddMessage("ten thousand");
    EXPECT_EQ(Log().last(), "10000 : ten thousand");
}

TEST_F(WindowTest, PanesAreMonospaceAndHeaderShowsItsTop)
{
    Make();
    window->AddSummaryText("a  b\nc");
    auto *summary = W<QTextBrowser>("SummaryBrowser");
    EXPECT_EQ(summary->styleSheet(), "font-family:courier");
    // Plain text turns the two non-breaking spaces back into ordinary ones.
    EXPECT_EQ(summary->toPlainText(), "a  b\nc");
    EXPECT_TRUE(summary->document()->toRawText().contains(QString("a%1%1b").arg(QChar(QChar::Nbsp))));

    auto *header = W<QTextBrowser>("textBrowser_2");
    window->AddHeaderText("first line\n");
    window->AddHeaderText("second line\n");
    EXPECT_EQ(header->styleSheet(), "font-family:courier");
    // Appended in order although the view returned to the top after the first text.
    EXPECT_TRUE(header->toPlainText().startsWith("first line\nsecond line")) << header->toPlainText().toStdString();
    EXPECT_EQ(header->textCursor().position(), 0);
}

TEST_F(WindowTest, ClosingTabsRemovesWhicheverTabIsAsked)
{
    Make();
    auto *tabs = W<QTabWidget>("tabWidget");
    auto *bar = tabs->findChild<QTabBar *>();
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->tabsClosable());
    QPointer<QWidget> page = new QWidget;
    page->setObjectName("DataTab");
    EXPECT_EQ(window->AddTab(page, "Data"), 2);

    emit bar->tabCloseRequested(1);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "Header");
    EXPECT_EQ(tabs->tabText(1), "Data");
    emit bar->tabCloseRequested(1);
    EXPECT_EQ(tabs->count(), 1);
    EXPECT_TRUE(page.isNull());  // the closed page is freed
    emit bar->tabCloseRequested(0);
    EXPECT_EQ(tabs->count(), 0);
}

TEST_F(WindowTest, ShowTabMakesCurrentTheLastTabOfThatName)
{
    Make();
    auto *tabs = W<QTabWidget>("tabWidget");
    for (int i = 0; i < 3; ++i) {
        auto *page = new QWidget;
        page->setObjectName(i == 1 ? "CorrTab" : "TauTab");
        window->AddTab(page, QString("tab %1").arg(i));
    }
    tabs->setCurrentIndex(0);
    window->ShowTab("NoSuchTab");
    EXPECT_EQ(tabs->currentIndex(), 0);
    window->ShowTab("TauTab");
    EXPECT_EQ(tabs->currentIndex(), 4);
    window->ShowTab("CorrTab");
    EXPECT_EQ(tabs->currentIndex(), 3);
    window->SetToolBoxPage(5);
    EXPECT_EQ(W<QToolBox>("toolBox")->currentIndex(), 5);
}

TEST_F(WindowTest, CtrlEWithoutAFileDoesNothing)
{
    Make();
    window->show();
    QApplication::setActiveWindow(window.get());
    QCoreApplication::processEvents();
    window->AddMessage("marker");
    ASSERT_EQ(Log().size(), 2);

    qt_sendShortcutOverrideEvent(window.get(), 0, Qt::Key_E, Qt::ControlModifier);
    QCoreApplication::processEvents();
    EXPECT_EQ(Log().size(), 2);  // no "could not convert"

    // The same route does reach an enabled action: Ctrl+D clears the log.
    qt_sendShortcutOverrideEvent(window.get(), 0, Qt::Key_D, Qt::ControlModifier);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(WindowTest, ExportWithoutAFileReportsIt)
{
    Make();
    QMetaObject::invokeMethod(window.get(), "on_SaveFrames_clicked");
    QMetaObject::invokeMethod(window.get(), "on_ExportData_clicked");
    EXPECT_EQ(Log().mid(1), QStringList({"0002 : error : could not convert ", "0003 : error : could not convert "}));
    // Commands that need an analysis do nothing without one.
    for (const char *slot : {"on_ApplyGatingButton_clicked", "on_ApplyCursorButton_clicked",
                             "on_ResetCursorButton_clicked", "on_xcfButton_clicked", "on_tauButton_clicked",
                             "on_WriteRecords_clicked", "on_ISHistogram_clicked"})
        QMetaObject::invokeMethod(window.get(), slot);
    EXPECT_EQ(Log().size(), 3);
}

TEST_F(WindowTest, UnknownSuffixFailsWithoutAFile)
{
    Make();
    const QString name = dir.filePath("notes.txt");
    QFile text(name);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("not a measurement");
    text.close();

    EXPECT_FALSE(window->OpenFile(name, true));
    EXPECT_EQ(window->file, nullptr);
    EXPECT_EQ(window->scan, nullptr);
    EXPECT_EQ(Log().mid(1), QStringList({"0002 : Trying to open file " + name,
                                         "0003 : error : Failed to open file " + name}));
    EXPECT_FALSE(W<QAction>("actionWrite_Records")->isEnabled());
    EXPECT_FALSE(W<QAction>("actionExport_Images")->isEnabled());
    EXPECT_FALSE(W<QPushButton>("SaveFrames")->isEnabled());
    EXPECT_EQ(W<QLabel>("filename")->text(), "No File Chosen");
    EXPECT_EQ(window->openDir, ".");
    EXPECT_TRUE(window->fileName.isEmpty());

    // The export that follows names the file that was tried.
    QMetaObject::invokeMethod(window.get(), "on_SaveFrames_clicked");
    EXPECT_EQ(Log().last(), "0004 : error : could not convert " + name);
}

namespace {
/// Closes the About box once it runs and keeps what it showed.
struct AboutWatcher {
    QString title;
    QString text;
    QRect geometry;
    void Arm()
    {
        QTimer::singleShot(0, [this] {
            QWidget *box = QApplication::activeModalWidget();
            if (!box)
                return;
            title = box->windowTitle();
            geometry = box->geometry();
            if (auto *browser = box->findChild<QTextBrowser *>())
                text = browser->toPlainText();
            box->close();
        });
    }
};
} // namespace

TEST_F(WindowTest, AboutBoxWithoutManualLogsTheError)
{
    Make();
    AboutWatcher about;
    about.Arm();
    W<QAction>("actionAbout")->trigger();
    EXPECT_EQ(about.title, "Fotonel Information");
    EXPECT_EQ(about.geometry.size(), QSize(500, 400));
    EXPECT_TRUE(about.text.startsWith("Converter for PicoQuant pt3 and ptu files\n\nFotonel (DU3) vunknown\n"
                                      "This program reads PicoHarp T3 Mode data files (*.pt3)\n"
                                      "Written in Qt 4.7.0 32 bit\n"))
        << about.text.toStdString();
    EXPECT_TRUE(about.text.contains("Terms of Use"));
    EXPECT_EQ(Log().last(), "0002 : error : Could not open manual file (manual.html)");
}

TEST_F(WindowTest, AboutBoxShowsTheManualAfterTheFixedText)
{
    QFile manual(dir.filePath("manual.html"));
    ASSERT_TRUE(manual.open(QIODevice::WriteOnly));
    manual.write("<h1>Handbook</h1><p>Open a file.</p>");
    manual.close();
    Make();
    window->SetVersion("0.51");
    AboutWatcher about;
    about.Arm();
    QMetaObject::invokeMethod(window.get(), "on_InfoButton_clicked");
    EXPECT_TRUE(about.text.contains("Fotonel (DU3) v0.51"));
    EXPECT_GT(about.text.indexOf("Handbook"), about.text.indexOf("Terms of Use"));
    EXPECT_TRUE(about.text.contains("Open a file."));
    EXPECT_EQ(Log().size(), 2);  // settings warning and version, no error
}

TEST_F(WindowTest, DragsWithoutFileListsAreRefused)
{
    Make();
    EXPECT_TRUE(window->acceptDrops());
    QMimeData text;
    text.setText("/data/run1.pt3");
    QDragEnterEvent plain(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &plain);
    EXPECT_FALSE(plain.isAccepted());

    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/data/run1.pt3")});
    QDragEnterEvent list(QPoint(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &list);
    EXPECT_TRUE(list.isAccepted());
}

TEST_F(WindowTest, DroppingAWebAddressDoesNothing)
{
    Make();
    QMimeData web;
    web.setUrls({QUrl("https://example.org/run1.pt3")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &drop);
    EXPECT_EQ(Log().size(), 1);
}

TEST(AssetPath, WorkingDirectoryFirstThenTheFoldersGiven)
{
    QTemporaryDir work, program;
    ASSERT_TRUE(work.isValid() && program.isValid());
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work.path());
    ASSERT_TRUE(QDir(program.path()).mkpath("images"));
    QFile beside(program.filePath("images/info.png"));
    ASSERT_TRUE(beside.open(QIODevice::WriteOnly));
    beside.close();

    EXPECT_EQ(AssetPath::Find("images/info.png", {program.path()}), program.filePath("images/info.png"));
    EXPECT_EQ(AssetPath::Find("manual.html", {program.path()}), "manual.html");  // nowhere: unchanged

    ASSERT_TRUE(QDir(work.path()).mkpath("images"));
    QFile local(work.filePath("images/info.png"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.close();
    EXPECT_EQ(AssetPath::Find("images/info.png", {program.path()}), "images/info.png");
    QDir::setCurrent(previous);
}

TEST_F(WindowTest, ClosingWithAnEditOpenIsSafe)
{
    Make();
    window->show();
    QApplication::setActiveWindow(window.get());
    auto *binsize = W<QDoubleSpinBox>("binsize");
    binsize->setFocus();
    binsize->findChild<QLineEdit *>()->setText("0.35");
    QCoreApplication::processEvents();
    // Losing the focus while the window goes commits the edit: it must not
    // reach the window's slots any more.
    window.reset();
    EXPECT_TRUE(QFile::exists(dir.filePath("lastsettings.dat")));
}
