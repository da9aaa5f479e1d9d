// The main window offscreen: its settings file, log, panes, tabs, shortcuts and
// About box, opening and dropping files, and the limits the parameter boxes keep.
#include "app/AssetPath.h"
#include "app/Fotonel.h"
#include "files/pqFile.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
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

class OpenTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Make().SetVersion("0.51");
    }
    /// A small image scan: 8 x 8 pixels, 2 frames, one photon per pixel on channel 1.
    QString WriteImageScan(const QString &name, const synth::Pt3Header &header = synth::Pt3Header())
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(synth::WritePt3(path, header, synth::MakeImageScan(synth::ImageScanPlan()).words));
        return path;
    }
    std::pair<bool, bool> Exports()
    {
        return {W<QAction>("actionWrite_Records")->isEnabled(), W<QPushButton>("SaveFrames")->isEnabled()};
    }
};
} // namespace

TEST_F(WindowTest, SettingsFileReadAtStartAndWrittenAtExit)
{
    const QByteArray defaults = "opendir = .\nsavedir = .\n"
                                "Ch1GatingMin = 0\nCh1GatingMax = 50\nCh2GatingMin = 0\nCh2GatingMax = 50\n"
                                "Ch3GatingMin = 0\nCh3GatingMax = 50\nCh4GatingMin = 0\nCh4GatingMax = 50\n"
                                "GatingRange = 0\nGatingStep = 0\n";
    const QByteArray saved = "opendir = /data/run 7\nsavedir = /data/out\n"
                             "Ch1GatingMin = 1.5\nCh1GatingMax = 12.5\nCh2GatingMin = 2\nCh2GatingMax = 20\n"
                             "Ch3GatingMin = 3\nCh3GatingMax = 30\nCh4GatingMin = 4.25\nCh4GatingMax = 40\n"
                             "GatingRange = 50.0022\nGatingStep = 0.016\n";
    struct {
        const char *what;
        QByteArray file;
        QString openDir, saveDir;
        QStringList log;
        std::vector<std::pair<const char *, double>> boxes;
    } const cases[] = {
        {"missing file: defaults written at exit", QByteArray(), ".", ".",
         {"0001 : warning : could not open lastsettings.dat"}, {}},
        {"saved values come back byte for byte", saved, "/data/run 7", "/data/out",
         {"0001 : opendir /data/run 7", "0002 : savedir /data/out"}, {{"Ch1_Gating_Min", 1.5}, {"Ch4_Gating_Max", 40}}},
        {"lines without a separate equals sign are ignored",
         "opendir=/data\nsavedir =/out\nCh1GatingMax : 20\n\n   \nrandom words here\n", ".", ".", {},
         {{"Ch1_Gating_Max", 50}}},
        {"later duplicate wins, keys are case sensitive",
         "opendir = /first\nOPENDIR = /upper\nopendir = /second\nCh3GatingMax = 30\nCh3GatingMax = 31\n", "/second",
         ".", {"0001 : opendir /first", "0002 : opendir /second"}, {{"Ch3_Gating_Max", 31}}},
        {"minimum read first meets the default maximum", "Ch1GatingMin = 60\nCh1GatingMax = 80\n", ".", ".", {},
         {{"Ch1_Gating_Min", 50}, {"Ch1_Gating_Max", 80}}},
        // A long-period file's gate comes back whole, so the next file can tell whether it spanned its range.
        {"rounded to the form, not a number is 0, a long gate kept",
         "Ch2GatingMax = 120\nCh3GatingMin = 1.236\nCh4GatingMax = fifty\n", ".", ".", {},
         {{"Ch2_Gating_Max", 120}, {"Ch3_Gating_Min", 1.24}, {"Ch4_Gating_Max", 0}, {"Ch4_Gating_Min", 0}}},
        {"Windows line ends and surrounding blanks are trimmed",
         "opendir =   C:/data/run 1  \r\n\tsavedir\t=\tD:/x\r\nCh1GatingMax = 25\r\n", "C:/data/run 1", "D:/x",
         {"0001 : opendir C:/data/run 1", "0002 : savedir D:/x"}, {{"Ch1_Gating_Max", 25}}},
        {"huge file: only its first 64 KiB are read",
         "savedir = /kept\nopendir = /" + QByteArray(6 << 20, 'a') + "\nCh1GatingMax = 25\n", ".", "/kept",
         {"0001 : warning : lastsettings.dat is longer than the settings: only its first 65536 bytes are read",
          "0002 : savedir /kept"},
         {{"Ch1_Gating_Max", 50}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(dir.filePath("lastsettings.dat"));
        if (!c.file.isNull())
            WriteFile("lastsettings.dat", c.file);
        Make();
        EXPECT_EQ(std::make_pair(window->openDir, window->saveDir), std::make_pair(c.openDir, c.saveDir));
        EXPECT_EQ(Log(), c.log);
        for (const auto &box : c.boxes)
            EXPECT_EQ(W<QDoubleSpinBox>(box.first)->value(), box.second) << box.first;
        window.reset();
        if (c.file.isNull() || c.file == saved) {
            EXPECT_EQ(ReadFile("lastsettings.dat"), c.file.isNull() ? defaults : saved);
        }
    }
}

TEST_F(WindowTest, SettingsNameThatIsNoRegularFileIsNeitherWaitedOnNorWrittenThrough)
{
    const QString name = dir.filePath("lastsettings.dat"), target = dir.filePath("elsewhere.txt");
    const QByteArray other = "opendir = /linked\n";
    const QString notRead = "0001 : warning : lastsettings.dat is not a regular file: the settings are not read";
    const QString notSaved = "warning : lastsettings.dat is not a regular file: the settings are not saved";
    struct {
        const char *what;
        std::function<bool()> make;
        QString firstLine;
        bool replaced;  // saved as a regular file in place of what stood there
    } const cases[] = {
        {"a folder", [&] { return QDir(dir.path()).mkdir("lastsettings.dat"); }, notRead, false},
        // Opening a pipe for reading would wait for a writer for ever.
        {"a pipe", [&] { return ::mkfifo(QFile::encodeName(name).constData(), 0644) == 0; }, notRead, false},
        {"a link to a file: read through, then the link itself replaced",
         [&] { return WriteFile("elsewhere.txt", other).size() && QFile::link(target, name); }, "0001 : opendir /linked",
         true},
        {"a dangling link: replaced", [&] { return QFile::link(target, name); },
         "0001 : warning : could not open lastsettings.dat", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(target);
        ASSERT_TRUE(c.make());
        Make();
        EXPECT_EQ(Log().value(0), c.firstLine);
        EXPECT_EQ(window->SaveSettings("lastsettings.dat"), c.replaced);
        EXPECT_EQ(Log().last().endsWith(notSaved), !c.replaced) << Log().last().toStdString();
        window.reset();
        const QFileInfo now(name);
        EXPECT_EQ(now.isFile() && !now.isSymLink(), c.replaced);
        EXPECT_EQ(ReadFile("elsewhere.txt"), QFile::exists(target) ? other : QByteArray());  // never written through
        if (c.replaced) {
            EXPECT_TRUE(ReadFile("lastsettings.dat").startsWith("opendir = "));
        }
        QFile::remove(name);
        QDir(dir.path()).rmdir("lastsettings.dat");
    }
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

TEST_F(WindowTest, LogNumbersFromOneRestartsAfterClearAndKeepsItsLastTenThousandLines)
{
    Make();
    window->SetVersion("0.51");
    window->AddMessage(MessageError, "broken");
    window->AddMessage(5, "black");
    window->AddMessage("default level");
    EXPECT_EQ(Log().mid(1), QStringList({"0002 : Version 0.51", "0003 : error : broken", "0004 : black",
                                         "0005 : default level"}));
    // 0.05 us x 16 x 1023 / 1000 = 0.8184 ms, shown with three decimals.
    EXPECT_EQ(std::make_pair(window->windowTitle(), W<QDoubleSpinBox>("tmaxXCF")->text()),
              std::make_pair(QString("Fotonel 0.51"), QString("0.818")));

    W<QAction>("actionClear_message_box")->trigger();
    EXPECT_TRUE(Log().isEmpty());
    window->AddMessage("again");
    EXPECT_EQ(Log(), QStringList({"0001 : again"}));
    for (int i = 0; i < 100000; ++i)
        window->AddMessage("line");
    const QStringList log = Log();
    EXPECT_EQ(QStringList({QString::number(log.size()), log.first(), log.last()}),
              QStringList({"10000", "90002 : line", "100001 : line"}));

    // The header pane appends in order although its view returns to the top after each text.
    auto *header = W<QTextBrowser>("textBrowser_2");
    window->AddHeaderText("first line\n");
    window->AddHeaderText("second line\n");
    EXPECT_TRUE(header->toPlainText().startsWith("first line\nsecond line")) << header->toPlainText().toStdString();
    EXPECT_EQ(header->textCursor().position(), 0);
}

// No two actions share a shortcut, so each key reaches its action; Ctrl+E without a file does nothing.
TEST_F(WindowTest, EveryShortcutBelongsToOneAction)
{
    Make();
    QStringList keys;
    for (QAction *action : window->findChildren<QAction *>())
        if (!action->shortcut().isEmpty())
            keys << action->shortcut().toString();
    EXPECT_EQ(keys.size(), 7);
    EXPECT_EQ(keys.removeDuplicates(), 0) << keys.join(' ').toStdString();
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
    Invoke("ExportData");
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
    EXPECT_TRUE(window->file == nullptr && window->fileName.isEmpty());
    EXPECT_EQ(Log().value(2), "0003 : error : Failed to open file " + name);
    // The export that follows names the file that was tried.
    Invoke("on_SaveFrames_clicked");
    EXPECT_EQ(Log().last(), "0004 : error : could not convert " + name);
}

TEST_F(WindowTest, OpenDialogFilterAndAboutBoxWithAndWithoutManual)
{
    Make();
    QStringList filters;
    OnModal([&](QWidget *box) {
        if (auto *dialog = qobject_cast<QFileDialog *>(box))
            filters = dialog->nameFilters();
    });
    Invoke("Browse");
    // Patterns separated by a space: a comma would hide the .pt3 files.
    EXPECT_EQ(filters, QStringList({"PicoQuant File (*.pt3 *.ptu)"}));
    EXPECT_EQ(Log().size(), 1); // cancelled: nothing opened

    QString text;
    bool closedByButton = false;
    const auto keep = [&](QWidget *box) { text = box->findChild<QTextBrowser *>()->toPlainText(); };
    OnModal([&](QWidget *box) {
        keep(box);
        box->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Close)->click();
        closedByButton = !box->isVisible();
    });
    W<QAction>("actionAbout")->trigger();
    EXPECT_TRUE(closedByButton);
    EXPECT_TRUE(text.contains("Fotonel (DU3) vunknown\n")) << text.toStdString();
    // The Qt it runs on and both formats; every heading has a text below it.
    EXPECT_TRUE(text.contains(QString("Running on Qt %1\n").arg(qVersion())));
    EXPECT_TRUE(text.contains("(*.pt3") && text.contains("(*.ptu)"));
    EXPECT_FALSE(text.contains("Terms of Use\n\n")) << text.toStdString();
    EXPECT_EQ(Log().last(), "0002 : error : Could not open manual file (manual.html)");

    WriteFile("manual.html", "<h1>Handbook</h1><p>Open a file.</p>");
    window->SetVersion("0.51");
    OnModal(keep);
    Invoke("ShowAbout");
    EXPECT_TRUE(text.contains("Fotonel (DU3) v0.51"));
    EXPECT_GT(text.indexOf("Handbook"), text.indexOf("Terms of Use"));
    EXPECT_EQ(Log().size(), 3); // the version line, no second error
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

namespace {
QStringList qtWarnings;
void KeepWarning(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        qtWarnings << message;
}
} // namespace

// Every slot named after a form widget finds it: building the form warns of nothing. Closing with an edit
// open is safe.
TEST_F(WindowTest, TheFormConnectsEverySlotByNameAndClosesWithAnEditOpen)
{
    qtWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(KeepWarning);
    Make();
    qInstallMessageHandler(previous);
    EXPECT_TRUE(qtWarnings.filter("connectSlotsByName").isEmpty()) << qtWarnings.join('\n').toStdString();

    window->show();
    QApplication::setActiveWindow(window.get());
    auto *binsize = W<QDoubleSpinBox>("binsize");
    binsize->setFocus();
    binsize->findChild<QLineEdit *>()->setText("0.35");
    QCoreApplication::processEvents();
    // The edit is committed while the window goes and must reach no handler (that would snap 0.35 to 0.3).
    int commits = 0;
    std::vector<double> values;
    QObject::connect(binsize, &QDoubleSpinBox::editingFinished, [&] { ++commits; });
    QObject::connect(binsize, QOverload<double>::of(&QDoubleSpinBox::valueChanged), [&](double v) { values.push_back(v); });
    window.reset();
    EXPECT_TRUE(commits == 1 && values.empty()) << commits;
    EXPECT_TRUE(ReadFile("lastsettings.dat").startsWith("opendir = "));
}

// The settings hold the new folder before the analysis runs; a file of another instrument then
// fails and leaves the controls disabled, label and settings as they were.
TEST_F(OpenTest, OpensAnImageScanStepByStepAndASecondOpenClearsThePanes)
{
    const QString path = WriteImageScan("run1.pt3");
    QByteArray duringAnalysis;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (duringAnalysis.isEmpty() && Log().join('\n').contains("Succesfully openend file"))
            duringAnalysis = ReadFile("lastsettings.dat") + " ";
    });
    ticker.start(0);
    ASSERT_TRUE(window->OpenFile(path, true));
    ticker.stop();
    const QByteArray settings = QString("opendir = %1\nsavedir = %1\n").arg(dir.path()).toLatin1();
    EXPECT_TRUE(duringAnalysis.startsWith(settings)) << duringAnalysis.toStdString();
    const QStringList log = Log();
    EXPECT_EQ(log.mid(2, 2), QStringList({"0003 : Trying to open file " + path, "0004 : pt3"}));
    EXPECT_GT(log.indexOf(QRegularExpression(".* : Succesfully openend file " + QRegularExpression::escape(path))), 3);
    EXPECT_FALSE(log.join('\n').contains("error : "));
    ASSERT_NE(window->file, nullptr);
    EXPECT_TRUE(window->file->ScanType == ScanImage && window->openDir == dir.path());
    EXPECT_EQ(Exports(), std::make_pair(true, true));
    EXPECT_FALSE(W<QAction>("actionExport_Data")->isEnabled());

    window->AddSummaryText("left over summary");
    window->AddHeaderText("left over header");
    const QString firstHeader = W<QTextBrowser>("textBrowser_2")->toPlainText();
    // Upper-case suffixes are read as well.
    const QString good = dir.filePath("RUN2.PT3");
    ASSERT_TRUE(QFile::copy(path, good));
    ASSERT_TRUE(window->OpenFile(good, true));
    const QString secondHeader = W<QTextBrowser>("textBrowser_2")->toPlainText();
    EXPECT_FALSE(W<QTextBrowser>("SummaryBrowser")->toPlainText().contains("left over summary"));
    EXPECT_TRUE(!secondHeader.contains("left over header") && firstHeader.startsWith(secondHeader.left(40)));

    synth::Pt3Header header;
    header.identifier = "TimeHarp 200";
    ASSERT_TRUE(QDir(dir.path()).mkdir("other"));
    const QString bad = WriteImageScan("other/bad.pt3", header);
    const QByteArray settingsBefore = ReadFile("lastsettings.dat");
    EXPECT_FALSE(window->OpenFile(bad, true));
    EXPECT_TRUE(Log().last().endsWith(" : error : Failed to open file " + bad));
    ASSERT_NE(window->file, nullptr); // kept until the next open, marked unusable
    EXPECT_TRUE(!window->file->ok && window->scan == nullptr);
    EXPECT_EQ(Exports(), std::make_pair(false, false));
    EXPECT_EQ(W<QLabel>("filename")->text(), good);
    EXPECT_EQ(ReadFile("lastsettings.dat"), settingsBefore);
}

TEST_F(OpenTest, DroppedFiles)
{
    // Only drags of local files are taken; one file opens as from the dialog and is exported at once.
    QMimeData text;
    text.setText("/data/run1.pt3");
    EXPECT_FALSE(DragAndDrop(text, false));
    const QString path = WriteImageScan("run1.pt3");
    EXPECT_TRUE(DropUrls({QUrl::fromLocalFile(path)}));
    EXPECT_TRUE(window->fileName == path && QFile::exists(dir.filePath("run1_export/run1_ch1.tif")));
    EXPECT_EQ(W<QTabWidget>("tabWidget")->count(), 7);

    // Several are converted one by one without tabs, each announced, non-local addresses skipped, then summed up.
    QList<QUrl> urls;
    for (const char *name : {"a.pt3", "b.pt3", "c.pt3"})
        urls << QUrl::fromLocalFile(WriteImageScan(name));
    urls.insert(1, QUrl("https://example.org/x.pt3"));
    urls.insert(2, QUrl::fromLocalFile(WriteFile("bad.pt3", "not a measurement")));
    ASSERT_TRUE(synth::WritePt3(dir.filePath("point.pt3"), synth::Pt3Header(),
                                synth::MakePointMeasurement({{1000, 1, 100}, {2000, 1, 120}}).words));
    urls << QUrl::fromLocalFile(dir.filePath("point.pt3"));
    const int before = Log().size();
    EXPECT_TRUE(DropUrls(urls));
    const QStringList log = Log().mid(before).replaceInStrings(QRegularExpression("^\\d+ : "), "");
    EXPECT_EQ(log.filter("Succesfully openend file").size(), 4);
    EXPECT_TRUE(window->fileName == dir.filePath("point.pt3") && W<QTabWidget>("tabWidget")->count() == 2);
    for (const char *name : {"a", "b", "c"})
        EXPECT_TRUE(QFile::exists(dir.filePath(QString("%1_export/%1_ch1.tif").arg(name)))) << name;
    const char *const files[] = {"a.pt3", "bad.pt3", "b.pt3", "c.pt3", "point.pt3"};
    for (int n = 0; n < 5; ++n)
        EXPECT_EQ(log.indexOf(QString("File %1 of 5").arg(n + 1)) + 1,
                  log.indexOf("Trying to open file " + dir.filePath(files[n]))) << n;
    EXPECT_EQ(log.last(), "warning : Dropped files: 3 converted, 1 refused (bad.pt3: could not be opened), "
                          "1 point measurements (no image export)");
}

// A T2 point file: traces, and a lifetime tab that says there are no delays.
TEST_F(WindowTest, T2FileLifetimeTabSaysTheFileHasNoDelays)
{
    synth::RecordStream s(RecordFormat::HydraHarpT2v2);  // the MultiHarp layout
    for (uint64_t k = 1; k <= 2000; ++k)
        s.AddPhoton(k * 250000 + (k % 7) * 1000, 1 + k % 2, 0);
    const QString path = dir.filePath("cw.ptu");
    ASSERT_TRUE(synth::WritePtu(path, synth::PtuHeader::T2(0x00010207u), s.words));
    Make();
    ASSERT_TRUE(window->OpenFile(path, true));
    ASSERT_NE(W<QLabel>("NoDelays"), nullptr);
    EXPECT_EQ(W<QLabel>("NoDelays")->text(), "This T2 file has no delays: no lifetime histogram");
    EXPECT_EQ(Log().filter("This T2 file has no delays (its records carry no sync)").size(), 1);
    // The first lag step goes down to the resolution, 4 ps.
    W<QDoubleSpinBox>("dtau")->setValue(0.000004);
    EXPECT_DOUBLE_EQ(W<QDoubleSpinBox>("dtau")->value(), 0.000004);
}

namespace {

class ControlsTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Make();
    }
    QDoubleSpinBox *D(const QString &name) { return W<QDoubleSpinBox>(name); }
    QSpinBox *I(const QString &name) { return W<QSpinBox>(name); }
    std::vector<double> Values(std::initializer_list<const char *> names)
    {
        std::vector<double> values;
        for (const char *name : names)
            values.push_back(D(name)->value());
        return values;
    }
    /// Types \p text into a box and, when \p commit, ends with Return as a user does.
    void Type(QDoubleSpinBox *box, const QString &text, bool commit = true)
    {
        box->setFocus();
        box->selectAll();
        box->findChild<QLineEdit *>()->setText(text);
        if (commit)
            emit box->editingFinished();
    }
};

} // namespace

// A gate minimum stays at or below its maximum; a cursor maximum is raised on commit only.
TEST_F(ControlsTest, GatesAndCursorsKeepTheirOrderAndGatesRoundToWholeBins)
{
    D("Ch1_Gating_Min")->setValue(60);
    EXPECT_EQ(D("Ch1_Gating_Min")->value(), 50);
    D("Ch3_Gating_Min")->setValue(20);
    D("Ch3_Gating_Max")->setValue(10);
    EXPECT_EQ(Values({"Ch3_Gating_Min", "Ch3_Gating_Max"}), (std::vector<double>{20, 20}));
    // Typed gate values are pulled down while typing, before any commit.
    Type(D("Ch2_Gating_Min"), "60", false);
    EXPECT_EQ(D("Ch2_Gating_Min")->value(), 50);

    D("Ch2_Cursor_Min")->setValue(5);
    Type(D("Ch2_Cursor_Max"), "2", false);
    EXPECT_EQ(D("Ch2_Cursor_Max")->value(), 2); // still typing
    emit D("Ch2_Cursor_Max")->editingFinished();
    EXPECT_EQ(D("Ch2_Cursor_Max")->value(), 5);
    D("Ch4_Cursor_Max")->setValue(3);
    Type(D("Ch4_Cursor_Min"), "7");
    EXPECT_EQ(Values({"Ch4_Cursor_Min", "Ch4_Cursor_Max"}), (std::vector<double>{3, 3}));

    // Reset and ranges round the gates to whole bins.
    D("Ch1_Gating_Min")->setValue(10);
    D("Ch4_Gating_Max")->setValue(20);
    W<QPushButton>("ResetGatingButton")->click(); // no sync period: 0 to 51
    EXPECT_EQ(Values({"Ch1_Gating_Min", "Ch4_Gating_Max"}), (std::vector<double>{0, 51}));
    window->controls.ResetGating(-3);
    EXPECT_EQ(D("Ch2_Gating_Max")->value(), 51);
    window->controls.ResetGating(25);
    EXPECT_EQ(D("Ch2_Gating_Max")->value(), 25);

    D("Ch1_Gating_Min")->setValue(1.23);
    window->SetGatingRanges(12.5, 0.004);
    // 1.23 / 0.004 = 307.5 -> ceil(307.0) = 307 bins = 1.228 ns; 50 is cut to 12.5.
    EXPECT_EQ(Values({"Ch1_Gating_Min", "Ch1_Gating_Max"}), (std::vector<double>{1.228, 12.5}));
    EXPECT_DOUBLE_EQ(D("Ch4_Gating_Max")->maximum(), 12.5);
    // A file without a usable resolution leaves the values alone.
    window->SetGatingRanges(12.5, 0);
    EXPECT_DOUBLE_EQ(D("Ch1_Gating_Min")->value(), 1.228);
    EXPECT_FALSE(std::isnan(D("Ch1_Gating_Max")->value()));
}

TEST_F(ControlsTest, CursorRangesStepOnePercentOfTheSpan)
{
    window->SetCursorRanges(0, 60);
    EXPECT_EQ(std::make_pair(D("Ch4_Cursor_Min")->singleStep(), D("Ch4_Cursor_Max")->value()), std::make_pair(0.6, 60.0));
    window->SetCursorRanges(0, 0.05);
    EXPECT_DOUBLE_EQ(D("Ch1_Cursor_Min")->singleStep(), 0);
    window->SetCursorRanges(1.5, 2.25);
    EXPECT_DOUBLE_EQ(D("Ch3_Cursor_Max")->singleStep(), 0.007);
    std::vector<double> starts, ends;
    window->GetCursors(starts, ends, 1e9);
    EXPECT_EQ(std::make_pair(starts, ends), std::make_pair(std::vector<double>(4, 1.5e9), std::vector<double>(4, 2.25e9)));

    // The span of the data is rounded outwards to the boxes' thousandths, so
    // applying the cursors unchanged keeps the first and the last photon.
    const double spans[][4] = {{0.0014, 2.0741, 0.001, 2.075}, {0.0016, 2.0749, 0.001, 2.075}, {0.0004, 0.07, 0, 0.07}};
    for (const auto &c : spans) {
        window->SetCursorRanges(c[0], c[1]);
        EXPECT_EQ(Values({"Ch2_Cursor_Min", "Ch2_Cursor_Max"}), (std::vector<double>{c[2], c[3]})) << c[0];
    }
}

// The maximum lag and the cascades follow each other; the correlation step is a whole number of sync periods.
TEST_F(ControlsTest, MaximumLagCascadesAndCorrelationStep)
{
    I("nrbins")->setValue(8);
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 0.409); // 0.05 x 8 x 1023 / 1000 = 0.4092
    I("ncasc")->setValue(12);
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 1.638); // 0.05 x 8 x 4095 / 1000 = 1.638

    I("nrbins")->setValue(16);
    Type(D("tmaxXCF"), "10");
    // log2(10 * 1000 / 0.05 / 16 + 1) = log2(12501) = 13.6 -> 14 cascades, and 0.05 x 16 x 16383 / 1000 = 13.1064.
    EXPECT_EQ(std::make_pair(I("ncasc")->value(), D("tmaxXCF")->value()), std::make_pair(14, 13.106));
    Type(D("tmaxXCF"), "12");  // same cascade count: the typed value stays
    EXPECT_EQ(std::make_pair(I("ncasc")->value(), D("tmaxXCF")->value()), std::make_pair(14, 12.0));

    window->SetCorrelationControls(12.5, 0.05, 16, 10);
    EXPECT_EQ(std::make_pair(D("dtau")->value(), D("dtau")->singleStep()), std::make_pair(0.05, 0.0125)); // k = 4
    window->SetCorrelationControls(12.5, 0.03, 8, 4);
    // k = ceil(2.4 - 0.5) = 2, and 0.025 x 8 x 15 / 1000 ms
    EXPECT_EQ(Values({"dtau", "tmaxXCF"}), (std::vector<double>{0.025, 0.003}));
    // A zero period would divide by zero: the step box keeps its value.
    window->SetCorrelationControls(0, 0.05, 16, 10);
    EXPECT_DOUBLE_EQ(D("dtau")->value(), 0.025);
}
