// The main window offscreen: its start-up state, the message log and panes,
// tabs, shortcuts, the About box and drag and drop.
#include "app/AssetPath.h"
#include "app/Fotonel.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QTimer>
#include <QToolBox>
#include <cmath>
#include <functional>

// Exported by QtGui: runs a key press through the shortcut map, as a real key would.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject *o, ulong timestamp, int k, Qt::KeyboardModifiers mods,
                                               const QString &text = QString(), bool autorep = false,
                                               ushort count = 1);

namespace {
using WindowTest = WindowFixture;

/// Runs \p look on the modal dialog once it shows, then closes it.
void OnModal(std::function<void(QWidget *)> look)
{
    QTimer::singleShot(0, [look] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            look(box);
            box->close();
        }
    });
}
} // namespace

TEST_F(WindowTest, StartsOnPointScanPageAndSummaryTab)
{
    Make();
    auto *toolBox = W<QToolBox>("toolBox");
    EXPECT_EQ(toolBox->currentIndex(), 3);
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
    EXPECT_EQ(window->size(), QSize(855, 685));

    for (const char *name : {"CB_Number", "CB_T3Record", "CB_nSync", "CB_Channel", "CB_dTime", "CB_Marker",
                             "CB_TruenSync", "CB_TrueTime", "CB_DeltaTime", "CB_DelayTime"})
        EXPECT_TRUE(W<QCheckBox>(name)->isChecked()) << name;
    EXPECT_EQ(W<QCheckBox>("CB_TrueTime")->text(), "True time");
    EXPECT_EQ(W<QCheckBox>("CB_Number")->text(), "Record nr");
    EXPECT_FALSE(W<QCheckBox>("ISImageWidthcheck")->isChecked());
    EXPECT_EQ(W<QCheckBox>("ISImageWidthcheck")->text(), "use this");
}

TEST_F(WindowTest, ActionsMenusAndTheirShortcuts)
{
    Make();
    struct {
        const char *name, *text, *shortcut, *tip;
        bool enabled;
    } const actions[] = {
        {"actionOpen", "Open", "Ctrl+O", "Open pt3 File", true},
        {"actionExport_Images", "Export Images", "Ctrl+E", "Export Images", false},
        {"actionExport_Data", "Export Data", "Ctrl+E", "Export Data", false},
        {"actionWrite_Records", "Write Records", "Ctrl+W", "Write T3 records to ascii file", false},
        {"actionClear_message_box", "Clear message box", "Ctrl+D", "Clear message box", true},
        {"actionExit", "Exit", "Ctrl+Q", "Exit the application", true},
        {"actionAbout", "About", "F1", "Information about Fotonel", true},
    };
    for (const auto &e : actions) {
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

    QStringList menus;
    for (QAction *menu : window->menuBar()->actions()) {
        menus << menu->text();
        for (QAction *a : menu->menu()->actions())
            menus << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    }
    EXPECT_EQ(menus, QStringList({"&File", "actionOpen", "-", "actionExport_Images", "actionExport_Data",
                                  "actionWrite_Records", "-", "actionExit", "&Options", "actionClear_message_box",
                                  "&Help", "actionAbout"}));
}

TEST_F(WindowTest, ParameterBoxesStartWithTheirRanges)
{
    Make();
    const double X = std::nan(""); // not checked
    struct {
        const char *name;
        double minimum, maximum, step, value;
        int decimals;
    } const boxes[] = {
        {"binsize", 0.001, 1e12, 0.1, 0.1, 3},
        {"taubinsize", 0, 1e12, 0, 0, 4},
        {"dtau", X, 1e13, 0.00005, 0.05, 3},
        // 0.05 us x 16 x 1023 / 1000 = 0.8184 ms, shown with three decimals.
        {"tmaxXCF", X, X, X, 0.818, -1},
        {"Ch3_Gating_Min", X, X, X, 0, -1},
        {"Ch3_Gating_Max", X, 99.99, X, 50, 2},
        {"Ch2_Cursor_Min", X, X, X, X, 2},
        {"Ch2_Cursor_Max", X, 1e9, X, 120, 3},
    };
    for (const auto &b : boxes) {
        auto *box = W<QDoubleSpinBox>(b.name);
        const double actual[] = {box->minimum(), box->maximum(), box->singleStep(), box->value()};
        const double wanted[] = {b.minimum, b.maximum, b.step, b.value};
        for (int i = 0; i < 4; ++i) {
            if (!std::isnan(wanted[i])) {
                EXPECT_DOUBLE_EQ(actual[i], wanted[i]) << b.name << " property " << i;
            }
        }
        if (b.decimals >= 0) {
            EXPECT_EQ(box->decimals(), b.decimals) << b.name;
        }
    }
    EXPECT_EQ(W<QDoubleSpinBox>("tmaxXCF")->text(), "0.818");
    EXPECT_EQ(W<QSpinBox>("nrbins")->value(), 16);
    EXPECT_EQ(W<QSpinBox>("nrbins")->minimum(), 2);
    EXPECT_EQ(W<QSpinBox>("ncasc")->value(), 10);
    EXPECT_EQ(W<QSpinBox>("ncasc")->minimum(), 1);
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
    const QStringList wanted = {
        "on_binsize_editingFinished()", "on_LSsaveHistogramPointScan_clicked()", "on_LSsaveTracePointScan_clicked()",
        "on_LSbinData_clicked()", "on_LSApplyLineWiidth_clicked()", "on_Ch4_Cursor_Max_editingFinished()",
        "on_Ch4_Cursor_Min_editingFinished()", "on_Ch3_Cursor_Max_editingFinished()",
        "on_Ch3_Cursor_Min_editingFinished()", "on_Ch2_Cursor_Max_editingFinished()",
        "on_Ch2_Cursor_Min_editingFinished()", "on_Ch1_Cursor_Max_editingFinished()",
        "on_Ch1_Cursor_Min_editingFinished()", "on_ResetCursorButton_clicked()", "on_ApplyCursorButton_clicked()",
        "on_tmaxXCF_editingFinished()", "on_ncasc_valueChanged(int)", "on_nrbins_valueChanged(int)",
        "on_dtau_valueChanged(double)", "on_ncasc_editingFinished()", "on_nrbins_editingFinished()",
        "on_dtau_editingFinished()", "on_saveHistogramPointScan_clicked()", "on_saveXCFPointScan_clicked()",
        "on_saveTracePointScan_clicked()", "on_ResetGatingButton_clicked()", "on_ISExportHistogram_clicked()",
        "on_ApplyGatingButton_clicked()", "on_Ch4_Gating_Max_valueChanged(double)",
        "on_Ch3_Gating_Max_valueChanged(double)", "on_Ch2_Gating_Max_valueChanged(double)",
        "on_Ch1_Gating_Max_valueChanged(double)", "on_Ch4_Gating_Min_valueChanged(double)",
        "on_Ch3_Gating_Min_valueChanged(double)", "on_Ch2_Gating_Min_valueChanged(double)",
        "on_Ch1_Gating_Min_valueChanged(double)", "on_ISHistogram_clicked()", "on_LSHistogram_clicked()",
        "on_binData_clicked()", "on_xcfButton_clicked()", "on_InfoButton_clicked()", "on_WriteRecords_clicked()",
        "on_SaveFrames_clicked()", "on_ExportData_clicked()", "on_browse_clicked()",
        "on_actionClear_message_box_triggered()", "on_tabCloseRequested_clicked(int)", "on_tauButton_clicked()",
    };
    const QMetaObject *meta = window->metaObject();
    EXPECT_STREQ(meta->className(), "Fotonel");
    QStringList found;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        if (meta->method(i).methodType() == QMetaMethod::Slot)
            found << QString::fromLatin1(meta->method(i).methodSignature());
    EXPECT_EQ(found, wanted);
}

TEST(MessageLog, LinesCarryTheLevelTemplate)
{
    const QString number = "<span style=\"background-color: #EEEEEE; color:#666666;\">%1 :</span> ";
    struct {
        unsigned number;
        int level;
        const char *text, *numberText, *body;
    } const cases[] = {
        {1, MessageNormal, "Version 0.51", "0001", "<span style=\"color:#005500;\">Version 0.51</span><br>"},
        {42, MessageError, "bad", "0042", "<span style=\"color:#FF0000;\">error : bad</span><br>"},
        {999, MessageWarning, "odd", "0999", "<span style=\"color:#fe6000;\">warning : odd</span><br>"},
        {7, 5, "plain", "0007", "<span style=\"color:#000000;\">plain</span><br>"},
        {9999, MessageNormal, "x", "9999", "<span style=\"color:#005500;\">x</span><br>"},
        // Beyond four digits the number is shown whole, without padding.
        {10000, MessageNormal, "x", "10000", "<span style=\"color:#005500;\">x</span><br>"},
        {12345, MessageNormal, "x", "12345", "<span style=\"color:#005500;\">x</span><br>"},
        // Percent signs are text, not placeholders.
        {3, MessageNormal, "100% of %1 and %2", "0003",
         "<span style=\"color:#005500;\">100% of %1 and %2</span><br>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Fotonel::MessageHtml(c.number, c.level, c.text), number.arg(c.numberText) + c.body) << c.number;

    EXPECT_EQ(Fotonel::PaneHtml("a  b\nc"), "a&nbsp;&nbsp;b<br>c");
    EXPECT_EQ(Fotonel::PaneHtml("   Label : 5 ns\n"), "&nbsp;&nbsp;&nbsp;Label&nbsp;:&nbsp;5&nbsp;ns<br>");
}

TEST_F(WindowTest, LogNumbersFromOneAndRestartsAfterClear)
{
    Make();
    // No settings file: its warning is line 0001.
    EXPECT_EQ(Log(), QStringList({"0001 : warning : could not open lastsettings.dat"}));
    window->SetVersion("0.51");
    window->AddMessage(MessageError, "broken");
    window->AddMessage(5, "black");
    window->AddMessage("default level");
    EXPECT_EQ(Log(), QStringList({"0001 : warning : could not open lastsettings.dat", "0002 : Version 0.51",
                                  "0003 : error : broken", "0004 : black", "0005 : default level"}));
    EXPECT_EQ(window->windowTitle(), "Fotonel 0.51");

    W<QAction>("actionClear_message_box")->trigger();
    EXPECT_TRUE(Log().isEmpty());
    window->AddMessage("again");
    EXPECT_EQ(Log(), QStringList({"0001 : again"}));
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

TEST_F(WindowTest, ClosingAndShowingTabs)
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
    EXPECT_TRUE(page.isNull()); // the closed page is freed
    emit bar->tabCloseRequested(0);
    EXPECT_EQ(tabs->count(), 0);

    // ShowTab picks the last tab of that name.
    for (const char *name : {"TauTab", "CorrTab", "TauTab"}) {
        auto *tab = new QWidget;
        tab->setObjectName(name);
        window->AddTab(tab, name);
    }
    tabs->setCurrentIndex(0);
    window->ShowTab("NoSuchTab");
    EXPECT_EQ(tabs->currentIndex(), 0);
    window->ShowTab("TauTab");
    EXPECT_EQ(tabs->currentIndex(), 2);
    window->ShowTab("CorrTab");
    EXPECT_EQ(tabs->currentIndex(), 1);
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
    EXPECT_EQ(Log().size(), 2); // no "could not convert"
    // The same route does reach an enabled action: Ctrl+D clears the log.
    qt_sendShortcutOverrideEvent(window.get(), 0, Qt::Key_D, Qt::ControlModifier);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(WindowTest, CommandsWithoutAFileAndAfterAnUnknownSuffix)
{
    Make();
    Invoke("on_SaveFrames_clicked");
    Invoke("on_ExportData_clicked");
    EXPECT_EQ(Log().mid(1), QStringList({"0002 : error : could not convert ", "0003 : error : could not convert "}));
    W<QAction>("actionClear_message_box")->trigger();
    // Commands that need an analysis do nothing without one.
    for (const char *slot : {"on_ApplyGatingButton_clicked", "on_ApplyCursorButton_clicked",
                             "on_ResetCursorButton_clicked", "on_xcfButton_clicked", "on_tauButton_clicked",
                             "on_WriteRecords_clicked", "on_ISHistogram_clicked"})
        Invoke(slot);
    EXPECT_TRUE(Log().isEmpty());

    const QString name = WriteFile("notes.txt", "not a measurement");
    EXPECT_FALSE(window->OpenFile(name, true));
    EXPECT_EQ(window->file, nullptr);
    EXPECT_EQ(window->scan, nullptr);
    EXPECT_EQ(Log(), QStringList({"0001 : Trying to open file " + name,
                                  "0002 : error : " + name + " has no reader: only .pt3 and .ptu files can be opened",
                                  "0003 : error : Failed to open file " + name}));
    EXPECT_FALSE(W<QAction>("actionWrite_Records")->isEnabled());
    EXPECT_FALSE(W<QAction>("actionExport_Images")->isEnabled());
    EXPECT_FALSE(W<QPushButton>("SaveFrames")->isEnabled());
    EXPECT_EQ(W<QLabel>("filename")->text(), "No File Chosen");
    EXPECT_EQ(window->openDir, ".");
    EXPECT_TRUE(window->fileName.isEmpty());
    // The export that follows names the file that was tried.
    Invoke("on_SaveFrames_clicked");
    EXPECT_EQ(Log().last(), "0004 : error : could not convert " + name);
}

TEST_F(WindowTest, OpenDialogOffersBothFileTypesInOneFilter)
{
    Make();
    QStringList filters;
    OnModal([&](QWidget *box) {
        if (auto *dialog = qobject_cast<QFileDialog *>(box))
            filters = dialog->nameFilters();
    });
    Invoke("on_browse_clicked");
    // Patterns separated by a space: a comma would hide the .pt3 files.
    EXPECT_EQ(filters, QStringList({"PicoQuant File (*.pt3 *.ptu)"}));
    EXPECT_EQ(Log().size(), 1); // cancelled: nothing opened
}

TEST_F(WindowTest, AboutBoxWithAndWithoutManual)
{
    Make();
    QString title, text;
    QSize size;
    const auto keep = [&](QWidget *box) {
        title = box->windowTitle();
        size = box->size();
        if (auto *browser = box->findChild<QTextBrowser *>())
            text = browser->toPlainText();
    };
    OnModal(keep);
    W<QAction>("actionAbout")->trigger();
    EXPECT_EQ(title, "Fotonel Information");
    EXPECT_EQ(size, QSize(500, 400));
    EXPECT_TRUE(text.startsWith("Converter for PicoQuant pt3 and ptu files\n\nFotonel (DU3) vunknown\n"
                                "This program reads PicoHarp T3 Mode data files (*.pt3)\n"
                                "Written in Qt 4.7.0 32 bit\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("Terms of Use"));
    EXPECT_EQ(Log().last(), "0002 : error : Could not open manual file (manual.html)");

    WriteFile("manual.html", "<h1>Handbook</h1><p>Open a file.</p>");
    window->SetVersion("0.51");
    OnModal(keep);
    Invoke("on_InfoButton_clicked");
    EXPECT_TRUE(text.contains("Fotonel (DU3) v0.51"));
    EXPECT_GT(text.indexOf("Handbook"), text.indexOf("Terms of Use"));
    EXPECT_TRUE(text.contains("Open a file."));
    EXPECT_EQ(Log().size(), 3); // the version line, no second error
}

TEST_F(WindowTest, OnlyDragsOfLocalFilesAreTaken)
{
    Make();
    EXPECT_TRUE(window->acceptDrops());
    QMimeData text;
    text.setText("/data/run1.pt3");
    EXPECT_FALSE(DragAndDrop(text, false));
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/data/run1.pt3")});
    EXPECT_TRUE(DragAndDrop(files, false));
    // A web address is a file list too, but dropping it opens nothing.
    EXPECT_TRUE(DropUrls({QUrl("https://example.org/run1.pt3")}));
    EXPECT_EQ(Log().size(), 1);
}

TEST(AssetPath, WorkingDirectoryFirstThenTheFoldersGiven)
{
    QTemporaryDir work, program;
    ASSERT_TRUE(work.isValid() && program.isValid());
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work.path());
    ASSERT_TRUE(QDir(program.path()).mkpath("images"));
    ASSERT_TRUE(QFile(program.filePath("images/info.png")).open(QIODevice::WriteOnly));
    EXPECT_EQ(AssetPath::Find("images/info.png", {program.path()}), program.filePath("images/info.png"));
    EXPECT_EQ(AssetPath::Find("manual.html", {program.path()}), "manual.html"); // nowhere: unchanged
    ASSERT_TRUE(QDir(work.path()).mkpath("images"));
    ASSERT_TRUE(QFile(work.filePath("images/info.png")).open(QIODevice::WriteOnly));
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
