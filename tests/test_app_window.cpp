// The main window offscreen: its start-up state, the message log and panes,
// tabs, shortcuts, the About box and drag and drop.
#include "app/AssetPath.h"
#include "app/Fotonel.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QTimer>
#include <QToolBox>
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

TEST_F(WindowTest, StartUpStateActionsAndParameterBoxes)
{
    Make();
    EXPECT_EQ(W<QToolBox>("toolBox")->currentIndex(), 3);
    auto *tabs = W<QTabWidget>("tabWidget");
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->currentIndex(), 1);
    EXPECT_EQ(W<QLabel>("filename")->text(), "No File Chosen");
    for (const char *name : {"CB_Number", "CB_T3Record", "CB_nSync", "CB_Channel", "CB_dTime", "CB_Marker",
                             "CB_TruenSync", "CB_TrueTime", "CB_DeltaTime", "CB_DelayTime"})
        EXPECT_TRUE(W<QCheckBox>(name)->isChecked()) << name;

    // Export Images and Export Data share Ctrl+E; the exports start disabled.
    struct {
        const char *name, *shortcut;
        bool enabled;
    } const actions[] = {
        {"actionOpen", "Ctrl+O", true},           {"actionExport_Images", "Ctrl+E", false},
        {"actionExport_Data", "Ctrl+E", false},   {"actionWrite_Records", "Ctrl+W", false},
        {"actionClear_message_box", "Ctrl+D", true}, {"actionExit", "Ctrl+Q", true},
        {"actionAbout", "F1", true},
    };
    for (const auto &e : actions) {
        auto *action = W<QAction>(e.name);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(e.shortcut))) << e.name;
        EXPECT_EQ(action->isEnabled(), e.enabled) << e.name;
    }
    EXPECT_FALSE(W<QPushButton>("SaveFrames")->isEnabled());

    // 0.05 us x 16 x 1023 / 1000 = 0.8184 ms, shown with three decimals.
    EXPECT_EQ(W<QDoubleSpinBox>("tmaxXCF")->text(), "0.818");
    EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>("Ch3_Gating_Max")->maximum(), 99.99);
    EXPECT_EQ(W<QSpinBox>("nrbins")->minimum(), 2);
    EXPECT_EQ(W<QSpinBox>("ncasc")->minimum(), 1);
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
        // Beyond four digits the number is shown whole, without padding.
        {10000, MessageNormal, "x", "10000", "<span style=\"color:#005500;\">x</span><br>"},
        // Percent signs are text, not placeholders.
        {3, MessageNormal, "100% of %1 and %2", "0003",
         "<span style=\"color:#005500;\">100% of %1 and %2</span><br>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Fotonel::MessageHtml(c.number, c.level, c.text), number.arg(c.numberText) + c.body) << c.number;

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
    EXPECT_TRUE(summary->document()->toRawText().contains(QString("a%1%1b").arg(QChar(QChar::Nbsp))));

    auto *header = W<QTextBrowser>("textBrowser_2");
    window->AddHeaderText("first line\n");
    window->AddHeaderText("second line\n");
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
    EXPECT_EQ(Log(), QStringList({"0001 : Trying to open file " + name,
                                  "0002 : error : " + name + " has no reader: only .pt3 and .ptu files can be opened",
                                  "0003 : error : Failed to open file " + name}));
    EXPECT_FALSE(W<QAction>("actionWrite_Records")->isEnabled());
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
    const auto keep = [&](QWidget *box) {
        title = box->windowTitle();
        if (auto *browser = box->findChild<QTextBrowser *>())
            text = browser->toPlainText();
    };
    OnModal(keep);
    W<QAction>("actionAbout")->trigger();
    EXPECT_EQ(title, "Fotonel Information");
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
    EXPECT_EQ(Log().size(), 3); // the version line, no second error
}

TEST_F(WindowTest, OnlyDragsOfLocalFilesAreTaken)
{
    Make();
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
