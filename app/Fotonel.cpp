#include "app/Fotonel.h"

#include "app/AssetPath.h"
#include "app/FitGroup.h"
#include "app/LifetimeGroup.h"
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
#include <QPushButton>
#include <QLineEdit>
#include <QStyleOptionSpinBox>
#include <QTextBrowser>
#include <QAbstractSpinBox>
#include <QMenu>
#include <QScrollArea>
#include <QStyle>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QTabBar>
#include <QTimer>
#include <QToolBox>
#include <algorithm>

Fotonel::Fotonel(QWidget *parent) : Fotonel(parent, std::make_unique<Ui::Fotonel>()) {}

// The form object must exist before the form half of the services is built on
// it, and the window owns it afterwards.
Fotonel::Fotonel(QWidget *parent, std::unique_ptr<Ui::Fotonel> form)
    : QMainWindow(parent), FormHost(*form), ui(std::move(form))
{
    ui->setupUi(this);
    SetUpActions();
    SetUpPictureButtons();
    // The fit group first: the layout set-up fits every box of the settings pages.
    AddFitGroup();
    AddLifetimeGroup();
    SetUpLayout();
    connect(fitGroup->fitButton, &QPushButton::clicked, this, &Fotonel::RunFit);
    connect(lifetimeGroup->lifetimeButton, &QPushButton::clicked, this, &Fotonel::RunLifetimes);
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
        connect(bar, &QTabBar::tabCloseRequested, this, &Fotonel::CloseTab);
    }
    setAcceptDrops(true);
    UpdateCommands();
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
        // A shortcut of its own: two actions on one key would reach neither.
        {ui->actionExport_Data, "images/save.png", "Ctrl+Shift+E", "Export Data", false},
        {ui->actionWrite_Records, "images/save.png", "Ctrl+W", "Write T3 records to ascii file", false},
        {ui->actionExport_OME_TIFF, "images/save.png", "", "Export every channel and frame as one OME-TIFF file", false},
        {ui->actionExport_FLIM_OME_TIFF, "images/save.png", "",
         "Export the lifetime-resolved stack of every frame as one OME-TIFF file", false},
        {ui->actionExport_Photon_HDF5, "images/save.png", "", "Export the photons as a Photon-HDF5 file", false},
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
    connect(ui->actionOpen, &QAction::triggered, this, &Fotonel::Browse);
    connect(ui->actionExport_Images, &QAction::triggered, this, &Fotonel::on_SaveFrames_clicked);
    connect(ui->actionExport_Data, &QAction::triggered, this, &Fotonel::ExportData);
    connect(ui->actionWrite_Records, &QAction::triggered, this, &Fotonel::on_WriteRecords_clicked);
    connect(ui->actionExport_OME_TIFF, &QAction::triggered, this, &Fotonel::ExportOmeTiff);
    connect(ui->actionExport_FLIM_OME_TIFF, &QAction::triggered, this, &Fotonel::ExportFlimOmeTiff);
    connect(ui->actionExport_Photon_HDF5, &QAction::triggered, this, &Fotonel::ExportPhotonHdf5);
    connect(ui->actionExit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    connect(ui->actionAbout, &QAction::triggered, this, &Fotonel::ShowAbout);
    // Disabled entries say why in their tool tips.
    for (QMenu *menu : {ui->menuFile, ui->menuOptions, ui->menuAbout})
        menu->setToolTipsVisible(true);

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

void Fotonel::SetUpLayout()
{
    // The log takes a share of every change of the window's height; the
    // tool box scrolls its pages, so it need not keep its full height.
    ui->textBrowser->setMaximumHeight(QWIDGETSIZE_MAX);
    ui->textBrowser->setMinimumHeight(60);
    ui->verticalLayout_3->setStretchFactor(ui->verticalLayout, 5);
    ui->verticalLayout_3->setStretchFactor(ui->textBrowser, 1);
    ui->toolBox->setMinimumHeight(280);
    // Result pages ask for the room of all their plots: the window keeps
    // its size when one appears, and the tabs share what it has.
    ui->tabWidget->setMinimumSize(200, 150);

    // Buttons keep their whole label when the boxes beside them grow.
    for (QPushButton *button : ui->toolBox->findChildren<QPushButton *>())
        if (!button->text().isEmpty())
            button->setMinimumWidth(std::max(button->minimumWidth(), button->sizeHint().width()));
    // A box is at least as wide as the value it shows, whatever its range.
    for (QAbstractSpinBox *box : ui->toolBox->findChildren<QAbstractSpinBox *>()) {
        box->setMaximumWidth(QWIDGETSIZE_MAX);
        FitSpinBox(box);
        const auto refit = [this, box] {
            FitSpinBox(box);
            if (!columnFitPending) {
                columnFitPending = true;
                QTimer::singleShot(0, this, [this] {
                    columnFitPending = false;
                    FitSettingsColumn();
                });
            }
        };
        // Typing changes the text; a value set by the program changes the
        // text with the edit's signals blocked, so its value signal counts too.
        if (auto *edit = box->findChild<QLineEdit *>())
            connect(edit, &QLineEdit::textChanged, this, refit);
        if (auto *real = qobject_cast<QDoubleSpinBox *>(box))
            connect(real, qOverload<double>(&QDoubleSpinBox::valueChanged), this, refit);
        else if (auto *whole = qobject_cast<QSpinBox *>(box))
            connect(whole, qOverload<int>(&QSpinBox::valueChanged), this, refit);
    }
}

void Fotonel::FitSpinBox(QAbstractSpinBox *box)
{
    // The size the style gives a box around this text, as the box computes
    // its own hint from the texts of its range.
    QStyleOptionSpinBox option;
    option.initFrom(box);
    option.frame = box->hasFrame();
    option.buttonSymbols = box->buttonSymbols();
    option.subControls = QStyle::SC_SpinBoxFrame | QStyle::SC_SpinBoxEditField;
    if (box->buttonSymbols() != QAbstractSpinBox::NoButtons)
        option.subControls |= QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
    const int text = box->fontMetrics().horizontalAdvance(box->text() + QLatin1Char(' ')) + 2;
    const QSize need = box->style()->sizeFromContents(QStyle::CT_SpinBox, &option,
                                                      QSize(text, box->sizeHint().height()), box);
    box->setMinimumWidth(need.width());
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
    // One tab per result: a page named like an earlier one takes its place.
    const QString name = page->objectName();
    for (int i = 0; !name.isEmpty() && i < ui->tabWidget->count(); ++i) {
        QWidget *old = ui->tabWidget->widget(i);
        if (old != ui->HeaderTab && old != ui->SummaryTab && old->objectName() == name) {
            RemoveTab(i);
            return ui->tabWidget->insertTab(i, page, label);
        }
    }
    return ui->tabWidget->addTab(page, label);
}

void Fotonel::ShowTab(const QString &objectName)
{
    for (int i = 0; i < ui->tabWidget->count(); ++i) {
        if (ui->tabWidget->widget(i)->objectName() == objectName)
            ui->tabWidget->setCurrentIndex(i);
    }
}

void Fotonel::CloseTab(int index)
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
