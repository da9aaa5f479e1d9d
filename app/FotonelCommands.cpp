#include "app/Fotonel.h"

#include "app/AssetPath.h"
#include "app/BusyGuard.h"
#include "app/FitGroup.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "scans/PhotonHdf5Writer.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "scans/RSD.h"
#include "ui_Fotonel.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>
#include <QtGlobal>

template <class Scan> Scan *Fotonel::ScanOf(int type, bool reconstructed) const
{
    if (!file || !scan || file->ScanType != type || (reconstructed && !scan->reconstructed))
        return nullptr;
    return dynamic_cast<Scan *>(scan.get());
}

void Fotonel::RunCommand(const std::function<void()> &work)
{
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    work();
}

template <class Scan, class Work> void Fotonel::RunOn(int type, Work work)
{
    if (Scan *analysis = ScanOf<Scan>(type))
        RunCommand([&] { work(*analysis); });
}

QString Fotonel::ConvertName() const
{
    // After a failed open the message names the file that failed, not the
    // one opened before it.
    return triedName.isEmpty() ? fileName : triedName;
}

void Fotonel::on_SaveFrames_clicked()
{
    RunCommand([this] { ExportImages(); });
}

void Fotonel::ExportImages()
{
    if (!file || !file->ok || !scan) {
        AddMessage(MessageError, tr("could not convert %1").arg(ConvertName()));
        return;
    }
    scan->WriteImages(ui->exporttype->currentIndex(), ui->bitdepth->currentIndex());
}

void Fotonel::ExportData()
{
    if (!file || !file->ok) {
        AddMessage(MessageError, tr("could not convert %1").arg(ConvertName()));
        return;
    }
    // The data files of a point measurement: traces, lifetime histograms and,
    // once computed, the correlation curves.
    RunOn<PointScan>(ScanPoint, [](PointScan &point) {
        point.SaveTraceText();
        point.SaveTraceBinary();
        point.SaveHistogram();
        if (!point.lagAxis.empty())
            point.SaveCorrelations();
    });
}

void Fotonel::ExportOmeTiff()
{
    RunOn<RasterScan>(file ? file->ScanType : ScanUnknown, [](RasterScan &raster) { raster.WriteOmeTiff(); });
}

void Fotonel::ExportFlimOmeTiff()
{
    RunOn<ImageScan>(ScanImage, [](ImageScan &image) { image.WriteFlimOmeTiff(); });
}

void Fotonel::ExportPhotonHdf5()
{
    if (!file || !scan || !scan->reconstructed)
        return;
    RunCommand([this] { PhotonHdf5Writer(*this, *file).Write(); });
}

bool Fotonel::HasTab(const QString &objectName) const
{
    for (int i = 0; i < ui->tabWidget->count(); ++i)
        if (ui->tabWidget->widget(i)->objectName() == objectName)
            return true;
    return false;
}

void Fotonel::RebuildTabs()
{
    QWidget *current = ui->tabWidget->currentWidget();
    const QString shown = current ? current->objectName() : QString();
    const bool correlation = HasTab(QStringLiteral("CorrTab"));
    scan->CreateTabs();
    // A correlation on screen shows the photons of the last reconstruction too.
    if (auto *point = ScanOf<PointScan>(ScanPoint); point && correlation) {
        point->ComputeCorrelations();
        point->CreateCorrelationTab(QStringLiteral("CorrTab"));
    }
    if (!shown.isEmpty())
        ShowTab(shown);
}

void Fotonel::on_ApplyGatingButton_clicked()
{
    RSD *analysis = file ? scan.get() : nullptr;
    const int type = file ? file->ScanType : ScanUnknown;
    if (!analysis || (type != ScanImage && type != ScanLine && type != ScanPoint))
        return;
    RunCommand([&] {
        analysis->reconstructed = false;
        // Image and line geometry depend on the gated photons: gather again.
        if (type != ScanPoint)
            analysis->gathered = false;
        analysis->ReconstructImages();
        RebuildTabs();
        ExportImages();
    });
}

void Fotonel::on_ApplyCursorButton_clicked()
{
    RSD *analysis = file ? scan.get() : nullptr;
    const int type = file ? file->ScanType : ScanUnknown;
    if (!analysis || (type != ScanImage && type != ScanLine && type != ScanPoint))
        return;
    RunCommand([&] {
        analysis->reconstructed = false;
        analysis->ReconstructImages();
        // Every tab shows the photons inside the cursors: all of them follow.
        RebuildTabs();
    });
}

void Fotonel::on_ResetCursorButton_clicked()
{
    double start = 0;
    double end = 0;
    if (file && scan && scan->CursorSpan(start, end))
        SetCursorRanges(start, end);
}

void Fotonel::on_LSApplyLineWiidth_clicked()
{
    // The line is cut into the width of the box when its check box is set,
    // into the file's own width otherwise.
    RunOn<LineScan>(ScanLine, [this](LineScan &line) {
        line.reconstructed = false;
        line.gathered = false;
        line.ReconstructImages();
        RebuildTabs();
    });
}

void Fotonel::on_ISExportHistogram_clicked()
{
    // "Save decay": the lifetime-resolved stacks.
    RunOn<ImageScan>(ScanImage, [](ImageScan &image) { image.WriteHistogramStack(); });
}

void Fotonel::on_LSsaveHistogramPointScan_clicked()
{
    RunOn<LineScan>(ScanLine, [](LineScan &line) { line.WriteHistogramImages(); });
}

void Fotonel::on_ISHistogram_clicked()
{
    RunOn<ImageScan>(ScanImage, [this](ImageScan &image) {
        image.BinLifetimes(ui->IStaubinsize->value());
        image.CreateLifetimeTab(QStringLiteral("TauTab"));
    });
}

void Fotonel::on_LSHistogram_clicked()
{
    RunOn<LineScan>(ScanLine, [this](LineScan &line) {
        line.BinLifetimes(ui->LStaubinsize->value());
        line.CreateLifetimeTab(QStringLiteral("TauTab"));
    });
}

void Fotonel::on_binData_clicked()
{
    // The displayed trace has its fixed bin count; the bin size box serves the export.
    RunOn<PointScan>(ScanPoint, [](PointScan &point) {
        point.BinTrace();
        point.CreateDataTab(QStringLiteral("DataTab"));
    });
}

void Fotonel::on_tauButton_clicked()
{
    RunOn<PointScan>(ScanPoint, [this](PointScan &point) {
        point.BinLifetimes(ui->taubinsize->value());
        point.CreateLifetimeTab(QStringLiteral("TauTab"));
    });
}

void Fotonel::on_saveHistogramPointScan_clicked()
{
    RunOn<PointScan>(ScanPoint, [](PointScan &point) { point.SaveHistogram(); });
}

void Fotonel::on_saveXCFPointScan_clicked()
{
    RunOn<PointScan>(ScanPoint, [](PointScan &point) { point.SaveCorrelations(); });
}

void Fotonel::on_saveTracePointScan_clicked()
{
    RunOn<PointScan>(ScanPoint, [](PointScan &point) {
        point.SaveTraceText();
        point.SaveTraceBinary();
    });
}

void Fotonel::on_xcfButton_clicked()
{
    RunOn<PointScan>(ScanPoint, [](PointScan &point) {
        point.ComputeCorrelations();
        point.ComputeCorrelationErrors();
        point.CreateCorrelationTab(QStringLiteral("CorrTab"));
    });
}

void Fotonel::RunFit()
{
    RunOn<PointScan>(ScanPoint, [](PointScan &point) {
        if (point.correlations.empty())
            point.ComputeCorrelations();
        point.FitCorrelations();
        point.SaveCorrelationErrors();
        point.SaveFits();
        point.CreateCorrelationTab(QStringLiteral("CorrTab"));
    });
}

void Fotonel::UpdateCommands()
{
    const int type = file && file->ok && scan && scan->reconstructed ? file->ScanType : ScanUnknown;
    const QString needsImage = tr("Needs an open image scan");
    const QString needsLine = tr("Needs an open line scan");
    const QString needsPoint = tr("Needs an open point measurement");
    const QString needsScan = tr("Needs an open measurement");
    const QString noImages = tr("A point measurement has no images: save its data on the Point scan settings page "
                                "or with File > Export Data");
    struct Command {
        QObject *control;
        bool enabled;
        QString why;  ///< the tool tip while disabled
    };
    const bool raster = type == ScanImage || type == ScanLine;
    const QString noLineTrace = tr("A line scan has no separate trace: its intensity per line is the Time course tab");
    const Command commands[] = {
        {ui->SaveFrames, raster, type == ScanPoint ? noImages : tr("Needs an open image or line scan")},
        {ui->actionExport_Images, raster, type == ScanPoint ? noImages : tr("Needs an open image or line scan")},
        {ui->actionExport_Data, type == ScanPoint,
         tr("Writes the traces, lifetime histograms and correlations of a point measurement; image and line scans "
            "are exported with Export Images")},
        {ui->actionWrite_Records, file && fileRead, tr("Needs an open file")},
        {ui->actionExport_OME_TIFF, raster, type == ScanPoint ? noImages : tr("Needs an open image or line scan")},
        {ui->actionExport_FLIM_OME_TIFF, type == ScanImage, needsImage},
        {ui->actionExport_Photon_HDF5, type != ScanUnknown, needsScan},
        {ui->WriteRecords, file && fileRead, tr("Needs an open file")},
        {ui->ApplyGatingButton, type != ScanUnknown, needsScan},
        {ui->ApplyCursorButton, type != ScanUnknown, needsScan},
        {ui->ResetCursorButton, type != ScanUnknown, needsScan},
        {ui->ISHistogram, type == ScanImage, needsImage},
        {ui->ISExportHistogram, type == ScanImage, needsImage},
        {ui->LSHistogram, type == ScanLine, needsLine},
        {ui->LSsaveHistogramPointScan, type == ScanLine, needsLine},
        {ui->LSApplyLineWiidth, type == ScanLine, needsLine},
        // The line scan page's trace row has no analysis behind it.
        {ui->LSbinData, false, noLineTrace},
        {ui->LSsaveTracePointScan, false, noLineTrace},
        {ui->LSbinsize, false, noLineTrace},
        {ui->binData, type == ScanPoint, needsPoint},
        {ui->saveTracePointScan, type == ScanPoint, needsPoint},
        {ui->xcfButton, type == ScanPoint, needsPoint},
        {ui->saveXCFPointScan, type == ScanPoint, needsPoint},
        {fitGroup->fitButton, type == ScanPoint, needsPoint},
        {ui->tauButton, type == ScanPoint, needsPoint},
        {ui->saveHistogramPointScan, type == ScanPoint, needsPoint},
    };
    for (const Command &c : commands) {
        if (auto *action = qobject_cast<QAction *>(c.control)) {
            action->setEnabled(c.enabled);
            action->setToolTip(c.enabled ? action->text().remove(QLatin1Char('&')) : c.why);
        } else if (auto *widget = qobject_cast<QWidget *>(c.control)) {
            widget->setEnabled(c.enabled);
            widget->setToolTip(c.enabled ? QString() : c.why);
        }
    }
}

void Fotonel::ShowAbout()
{
    QDialog box;
    box.setGeometry(300, 300, 500, 400);
    box.setWindowTitle(tr("Fotonel Information"));
    auto *layout = new QVBoxLayout(&box);
    auto *browser = new QTextBrowser(&box);
    layout->addWidget(browser);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &box);
    connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    layout->addWidget(buttons);

    const QStringList items = {
        QStringLiteral("<strong>Converter for PicoQuant pt3 and ptu files</strong><br><br>"),
        QStringLiteral("Fotonel (DU3) v%1<br>").arg(version),
        QStringLiteral("This program reads PicoQuant T3 mode data files: PicoHarp 300 files (*.pt3, format version "
                       "2.0) and tagged files (*.ptu) with PicoHarp, HydraHarp, TimeHarp 260 or MultiHarp T3 "
                       "records<br>"),
        QStringLiteral("Running on Qt %1<br>").arg(QString::fromLatin1(qVersion())),
        QStringLiteral("Fotonel developers<br>"),
        QStringLiteral("Time-tagged single-photon microscopy<br>"),
        QStringLiteral("<br>"),
        QStringLiteral("<strong>Terms of Use</strong><br>"),
        QStringLiteral("Free for research and teaching, without warranty of any kind<br>"),
        QStringLiteral("<br>"),
    };
    for (const QString &item : items)
        browser->insertHtml(item);

    QFile manual(AssetPath::Find(QStringLiteral("manual.html")));
    if (manual.open(QIODevice::ReadOnly))
        browser->insertHtml(QString::fromLatin1(manual.readAll()));
    else
        AddMessage(MessageError, tr("Could not open manual file (manual.html)"));

    browser->moveCursor(QTextCursor::Start);
    browser->verticalScrollBar()->setValue(browser->verticalScrollBar()->maximum());
    box.exec();
}

void Fotonel::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasFormat(QStringLiteral("text/uri-list")))
        event->acceptProposedAction();
}

void Fotonel::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || RefuseWhenBusy())
        return;
    event->acceptProposedAction();
    // The whole batch is one command: nothing else starts between two files.
    BusyGuard busy = Busy();
    if (urls.size() == 1) {
        // A web address names no file here; nothing is opened or exported.
        const QString path = urls.first().toLocalFile();
        if (path.isEmpty())
            return;
        OpenFileNow(path, true);
        ExportImages();
        return;
    }
    // Several files: a batch conversion with the current export settings,
    // without result tabs; addresses that name no local file are skipped.
    QStringList paths;
    for (const QUrl &url : urls)
        if (!url.toLocalFile().isEmpty())
            paths << url.toLocalFile();
    int converted = 0;
    int points = 0;
    QStringList refused;
    for (int n = 0; n < paths.size(); ++n) {
        // A close asked for meanwhile ends the batch after the file in hand.
        if (closeRequested)
            break;
        AddMessage(MessageNormal, tr("File %1 of %2").arg(n + 1).arg(paths.size()));
        const QString name = QFileInfo(paths[n]).fileName();
        if (!OpenFileNow(paths[n], false)) {
            refused << tr("%1: could not be opened").arg(name);
            ExportImages();  // names the file: "could not convert %1"
        } else if (!scan) {
            refused << tr("%1: no known scan pattern").arg(name);
            ExportImages();
        } else if (file->ScanType == ScanPoint) {
            ++points;
        } else {
            ExportImages();
            ++converted;
        }
    }
    QString summary = tr("Dropped files: %1 converted, %2 refused").arg(converted).arg(refused.size());
    if (!refused.isEmpty())
        summary += QStringLiteral(" (%1)").arg(refused.join(QStringLiteral("; ")));
    summary += tr(", %1 point measurements (no image export)").arg(points);
    AddMessage(refused.isEmpty() ? MessageNormal : MessageWarning, summary);
}
