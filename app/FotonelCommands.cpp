#include "app/Fotonel.h"

#include "app/AssetPath.h"
#include "app/BusyGuard.h"
#include "files/pqFile.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "scans/RSD.h"
#include "ui_Fotonel.h"

#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

namespace {
/// The analysis when it is a reconstructed point scan, else null: the point
/// page's correlation and save buttons act only then.
PointScan *ReconstructedPointScan(const pqFile *file, RSD *scan)
{
    if (!file || !scan || file->ScanType != ScanPoint || !scan->reconstructed)
        return nullptr;
    return dynamic_cast<PointScan *>(scan);
}
} // namespace

QString Fotonel::ConvertName() const
{
    // After a failed open the message names the file that failed, not the
    // one opened before it.
    return triedName.isEmpty() ? fileName : triedName;
}

void Fotonel::on_SaveFrames_clicked()
{
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    ExportImages();
}

void Fotonel::ExportImages()
{
    if (!file || !file->ok || !scan) {
        AddMessage(MessageError, tr("could not convert %1").arg(ConvertName()));
        return;
    }
    scan->WriteImages(ui->exporttype->currentIndex(), ui->bitdepth->currentIndex());
}

void Fotonel::on_ExportData_clicked()
{
    if (!file || !file->ok)
        AddMessage(MessageError, tr("could not convert %1").arg(ConvertName()));
}

void Fotonel::on_ApplyGatingButton_clicked()
{
    if (!file || !scan)
        return;
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    switch (file->ScanType) {
    case ScanImage:
    case ScanLine:
        // Image and line geometry depend on the gated photons: gather again.
        scan->reconstructed = false;
        scan->gathered = false;
        break;
    case ScanPoint:
        scan->reconstructed = false;
        break;
    default:
        return;
    }
    scan->ReconstructImages();
    scan->CreateTabs();
    ExportImages();
}

void Fotonel::on_ApplyCursorButton_clicked()
{
    if (!file || !scan)
        return;
    const int type = file->ScanType;
    if (type != ScanImage && type != ScanLine && type != ScanPoint)
        return;
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    scan->reconstructed = false;
    scan->ReconstructImages();
    // Line scan tabs show the cursor window itself, so they are built again.
    if (type == ScanLine)
        scan->CreateTabs();
}

void Fotonel::on_ResetCursorButton_clicked()
{
    if (!file || !scan)
        return;
    const int type = file->ScanType;
    if (type != ScanImage && type != ScanLine && type != ScanPoint)
        return;
    double start = 0;
    double end = 0;
    if (scan->CursorSpan(start, end))
        SetCursorRanges(start, end);
}

void Fotonel::on_ISExportHistogram_clicked()
{
    // "Save decay": the lifetime-resolved stacks of a reconstructed image scan.
    auto *image = dynamic_cast<ImageScan *>(scan.get());
    if (!file || file->ScanType != ScanImage || !image || !image->reconstructed)
        return;
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    image->WriteHistogramStack();
}

void Fotonel::on_LSsaveHistogramPointScan_clicked()
{
    // The position-delay histograms of a reconstructed line scan.
    auto *line = dynamic_cast<LineScan *>(scan.get());
    if (!file || file->ScanType != ScanLine || !line || !line->reconstructed)
        return;
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    line->WriteHistogramImages();
}

void Fotonel::on_ISHistogram_clicked()
{
    auto *image = dynamic_cast<ImageScan *>(scan.get());
    if (!file || file->ScanType != ScanImage || !image || !image->reconstructed || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    image->BinLifetimes(ui->IStaubinsize->value());
    image->CreateLifetimeTab(QStringLiteral("TauTab"));
}

void Fotonel::on_LSHistogram_clicked()
{
    auto *line = dynamic_cast<LineScan *>(scan.get());
    if (!file || file->ScanType != ScanLine || !line || !line->reconstructed || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    line->BinLifetimes(ui->LStaubinsize->value());
    line->CreateLifetimeTab(QStringLiteral("TauTab"));
}

void Fotonel::on_binData_clicked()
{
    // The displayed trace has its fixed bin count; the bin size box serves the export.
    PointScan *point = ReconstructedPointScan(file.get(), scan.get());
    if (!point || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    point->BinTrace();
    point->CreateDataTab(QStringLiteral("DataTab"));
}

void Fotonel::on_tauButton_clicked()
{
    PointScan *point = ReconstructedPointScan(file.get(), scan.get());
    if (!point || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    point->BinLifetimes(ui->taubinsize->value());
    point->CreateLifetimeTab(QStringLiteral("TauTab"));
}

void Fotonel::on_saveHistogramPointScan_clicked()
{
    PointScan *point = ReconstructedPointScan(file.get(), scan.get());
    if (!point || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    point->SaveHistogram();
}

void Fotonel::on_saveXCFPointScan_clicked()
{
    PointScan *point = ReconstructedPointScan(file.get(), scan.get());
    if (!point || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    point->SaveCorrelations();
}

void Fotonel::on_saveTracePointScan_clicked()
{
    PointScan *point = ReconstructedPointScan(file.get(), scan.get());
    if (!point || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    point->SaveTraceText();
    point->SaveTraceBinary();
}

void Fotonel::on_xcfButton_clicked()
{
    PointScan *point = ReconstructedPointScan(file.get(), scan.get());
    if (!point || RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    point->ComputeCorrelations();
    point->CreateCorrelationTab(QStringLiteral("CorrTab"));
}

// Buttons of the line scan page without behaviour.
void Fotonel::on_LSsaveTracePointScan_clicked() {}
void Fotonel::on_LSbinData_clicked() {}
void Fotonel::on_LSApplyLineWiidth_clicked() {}

void Fotonel::on_InfoButton_clicked()
{
    QDialog box;
    box.setGeometry(300, 300, 500, 400);
    box.setWindowTitle(tr("Fotonel Information"));
    auto *layout = new QVBoxLayout(&box);
    auto *browser = new QTextBrowser(&box);
    layout->addWidget(browser);

    const QStringList items = {
        QStringLiteral("<strong>Converter for PicoQuant pt3 and ptu files</strong><br><br>"),
        QStringLiteral("Fotonel (DU3) v%1<br>").arg(version),
        QStringLiteral("This program reads PicoHarp T3 Mode data files (*.pt3)<br>"),
        QString(),
        QStringLiteral("Written in Qt 4.7.0 32 bit<br>"),
        QStringLiteral("Fotonel developers<br>"),
        QStringLiteral("Time-tagged single-photon microscopy<br>"),
        QStringLiteral("Free for research and teaching<br>"),
        QStringLiteral("<br>"),
        QStringLiteral("<strong>Terms of Use</strong><br>"),
        QString(),
        QString(),
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
    if (urls.isEmpty())
        return;
    if (RefuseWhenBusy())
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
    // without result tabs.
    for (const QUrl &url : urls) {
        // A close asked for meanwhile ends the batch after the file in hand.
        if (closeRequested)
            break;
        const QString path = url.toLocalFile();
        if (path.isEmpty())
            continue;
        OpenFileNow(path, false);
        ExportImages();
    }
}
