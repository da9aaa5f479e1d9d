#include "app/Fotonel.h"

#include "app/AssetPath.h"
#include "app/BusyGuard.h"
#include "files/pqFile.h"
#include "scans/RSD.h"
#include "ui_Fotonel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDataStream>
#include <QIcon>
#include <QImage>
#include <QKeySequence>
#include <QLayout>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QToolBox>
#include <algorithm>

namespace {
QtMessageHandler previousHandler = nullptr;

/// Building the form connects every on_ slot by name. Four slots are reached
/// from actions or the tab bar instead, and have no widget of that name:
/// their expected "no matching signal" notes are dropped, everything else
/// goes on to the handler that was installed before.
void QuietFormConnections(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const actionSlots[] = {"on_InfoButton_clicked()", "on_ExportData_clicked()",
                                              "on_browse_clicked()", "on_tabCloseRequested_clicked(int)"};
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QMetaObject::connectSlotsByName: No matching signal for "))) {
        for (const char *slot : actionSlots)
            if (message.endsWith(QLatin1String(slot)))
                return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}
} // namespace

Fotonel::Fotonel(QWidget *parent) : Fotonel(parent, std::make_unique<Ui::Fotonel>()) {}

// The form object must exist before the form half of the services is built on
// it, and the window owns it afterwards.
Fotonel::Fotonel(QWidget *parent, std::unique_ptr<Ui::Fotonel> form)
    : QMainWindow(parent), FormHost(*form), ui(std::move(form))
{
    previousHandler = qInstallMessageHandler(QuietFormConnections);
    ui->setupUi(this);
    qInstallMessageHandler(previousHandler);
    SetUpActions();
    SetUpPictureButtons();
    FitSettingsColumn();

    messageCount = 0;
    ui->SaveFrames->setEnabled(false);
    ui->progressBar->setValue(0);

    openDir = QStringLiteral(".");
    saveDir = QStringLiteral(".");
    LoadSettings(QString::fromLatin1(SettingsFileName));

    fileName.clear();
    version = QStringLiteral("unknown");

    controls.SetUpParameterBoxes();

    ui->tabWidget->setTabsClosable(true);
    if (QTabBar *bar = findChild<QTabBar *>()) {
        bar->setTabsClosable(true);
        connect(bar, &QTabBar::tabCloseRequested, this, &Fotonel::on_tabCloseRequested_clicked);
    }
    setAcceptDrops(true);
}

Fotonel::~Fotonel()
{
    SaveSettings(QString::fromLatin1(SettingsFileName));
    // The widgets outlive this part of the window (the base class deletes
    // them) and may still signal while they go, a spin box losing focus for
    // one: nothing may reach the slots of a window that is half gone.
    for (QObject *child : findChildren<QObject *>())
        QObject::disconnect(child, nullptr, this, nullptr);
    // The analysis keeps a reference to the file it was made from.
    scan.reset();
    file.reset();
    FreeParkedPages();
}

void Fotonel::SetVersion(const QString &newVersion)
{
    version = newVersion;
    AddMessage(MessageNormal, tr("Version %1").arg(version));
    setWindowTitle(tr("Fotonel %1").arg(version));
}

void Fotonel::SetUpActions()
{
    struct ActionSetUp {
        QAction *action;
        const char *picture;
        const char *shortcut;
        const char *tip;
        bool enabled;
    };
    const ActionSetUp actions[] = {
        {ui->actionOpen, "images/open.png", "Ctrl+O", "Open pt3 File", true},
        {ui->actionExport_Images, "images/save.png", "Ctrl+E", "Export Images", false},
        {ui->actionExport_Data, "images/save.png", "Ctrl+E", "Export Data", false},
        {ui->actionWrite_Records, "images/save.png", "Ctrl+W", "Write T3 records to ascii file", false},
        {ui->actionClear_message_box, "images/clean.png", "Ctrl+D", "Clear message box", true},
        {ui->actionExit, "images/exit.png", "Ctrl+Q", "Exit the application", true},
        {ui->actionAbout, "images/info.png", "F1", "Information about Fotonel", true},
    };
    for (const ActionSetUp &a : actions) {
        a.action->setIcon(QIcon(AssetPath::Find(QString::fromLatin1(a.picture))));
        a.action->setShortcut(QKeySequence(QString::fromLatin1(a.shortcut)));
        a.action->setStatusTip(tr(a.tip));
        a.action->setEnabled(a.enabled);
    }
    connect(ui->actionOpen, &QAction::triggered, this, &Fotonel::on_browse_clicked);
    connect(ui->actionExport_Images, &QAction::triggered, this, &Fotonel::on_SaveFrames_clicked);
    connect(ui->actionExport_Data, &QAction::triggered, this, &Fotonel::on_ExportData_clicked);
    connect(ui->actionWrite_Records, &QAction::triggered, this, &Fotonel::on_WriteRecords_clicked);
    connect(ui->actionExit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    connect(ui->actionAbout, &QAction::triggered, this, &Fotonel::on_InfoButton_clicked);

    ui->textBrowser->setToolTip(tr("Press Ctrl-D to clear message box"));
}

void Fotonel::SetUpPictureButtons()
{
    const QString picture = AssetPath::Find(QStringLiteral("images/save.png"));
    const QSize pictureSize = QImage(picture).size();
    // Without the picture the buttons keep the look and size the form gave them.
    if (pictureSize.isEmpty())
        return;
    for (QPushButton *button : {ui->saveTracePointScan, ui->saveHistogramPointScan, ui->saveXCFPointScan,
                                ui->LSsaveTracePointScan, ui->LSsaveHistogramPointScan}) {
        button->setStyleSheet(QStringLiteral("background-image: url(%1);").arg(picture));
        button->resize(pictureSize);
    }
}

void Fotonel::FitSettingsColumn()
{
    // The settings pages scroll inside the tool box. With the fonts of some
    // desktops their texts need more than the form's 240 pixels: the column
    // then takes the width of the widest page, with room for a vertical
    // scroll bar, so that no text is cut and no page scrolls sideways. The
    // result tabs keep the rest of the window.
    constexpr int formWidth = 240;
    int widest = 0;
    for (int i = 0; i < ui->toolBox->count(); ++i) {
        QWidget *page = ui->toolBox->widget(i);
        page->ensurePolished();
        // Layouts leave out widgets that have not been shown yet, as those of
        // every page but the current one: count them for this measurement.
        const QList<QWidget *> children = page->findChildren<QWidget *>();
        std::vector<QSizePolicy> policies;
        for (QWidget *child : children) {
            policies.push_back(child->sizePolicy());
            QSizePolicy kept = child->sizePolicy();
            kept.setRetainSizeWhenHidden(true);
            child->setSizePolicy(kept);
        }
        // Hidden widgets do not tell their layouts of the change: start afresh.
        for (QLayout *layout : page->findChildren<QLayout *>())
            layout->invalidate();
        int need = page->minimumSizeHint().width();
        for (int c = 0; c < children.size(); ++c)
            children[c]->setSizePolicy(policies[static_cast<size_t>(c)]);
        for (QWidget *up = page->parentWidget(); up && up != ui->toolBox; up = up->parentWidget()) {
            if (auto *area = qobject_cast<QScrollArea *>(up)) {
                need += 2 * area->frameWidth() + area->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, area);
                break;
            }
        }
        widest = std::max(widest, need);
    }
    const int width = std::max(formWidth, widest);
    ui->widget->setMinimumWidth(width);
    ui->widget->setMaximumWidth(width);
}

void Fotonel::SetProgress(int percent)
{
    ui->progressBar->setValue(percent);
}

void Fotonel::ProcessEvents()
{
    QCoreApplication::processEvents();
}

void Fotonel::SetToolBoxPage(int page)
{
    ui->toolBox->setCurrentIndex(page);
}

int Fotonel::AddTab(QWidget *page, const QString &label)
{
    return ui->tabWidget->addTab(page, label);
}

void Fotonel::ShowTab(const QString &objectName)
{
    for (int i = 0; i < ui->tabWidget->count(); ++i) {
        if (ui->tabWidget->widget(i)->objectName() == objectName)
            ui->tabWidget->setCurrentIndex(i);
    }
}

void Fotonel::on_tabCloseRequested_clicked(int index)
{
    RemoveTab(index);
}

void Fotonel::RemoveTab(int index)
{
    QWidget *page = ui->tabWidget->widget(index);
    if (!page)
        return;
    ui->tabWidget->removeTab(index);
    // The Header and Summary panes belong to the form and are written to
    // whether their tabs are shown or not.
    if (page == ui->HeaderTab || page == ui->SummaryTab)
        return;
    if (busyDepth > 0) {
        // A running analysis may still draw into the widgets of its tabs.
        page->hide();
        parkedPages.emplace_back(page);
    } else {
        delete page;
    }
}

void Fotonel::FreeParkedPages()
{
    for (QPointer<QWidget> &page : parkedPages)
        delete page.data();
    parkedPages.clear();
}

BusyGuard Fotonel::Busy()
{
    return BusyGuard(busyDepth, [this] { WhenIdle(); });
}

void Fotonel::WhenIdle()
{
    FreeParkedPages();
    if (closeRequested) {
        closeRequested = false;
        // From the event loop, once the command's slot has returned.
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

void Fotonel::closeEvent(QCloseEvent *event)
{
    if (busyDepth > 0) {
        // The command runs inside this window's slots and uses its file and
        // analysis: the window may go only after it has returned.
        if (!closeRequested)
            AddMessage(MessageWarning, tr("The window closes when the running step has finished"));
        closeRequested = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool Fotonel::RefuseWhenBusy()
{
    if (busyDepth == 0)
        return false;
    AddMessage(MessageWarning, BusyText());
    return true;
}

QString Fotonel::BusyText()
{
    return tr("Busy: wait until the running step has finished");
}

void Fotonel::SetGatingValues(double minimum, double maximum)
{
    controls.SetGatingValues(minimum, maximum);
}
