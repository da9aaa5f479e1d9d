#include "app/Fotonel.h"

#include "app/BusyGuard.h"
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "ui_Fotonel.h"

#include <QFileDialog>

namespace {
const char *const SettingsFileName = "lastsettings.dat";
}

void Fotonel::on_browse_clicked()
{
    if (RefuseWhenBusy())
        return;
    // Patterns of a file dialog filter are separated by spaces only: with a
    // comma after "*.pt3" the dialog would hide every .pt3 file.
    const QString chosen = QFileDialog::getOpenFileName(this, tr("Choose PicoQuant File"), openDir,
                                                        tr("PicoQuant File (*.pt3 *.ptu)"));
    if (chosen.isEmpty())
        return;
    OpenFile(chosen, true);
}

bool Fotonel::OpenFile(const QString &name, bool showTabs)
{
    // The file and its analysis are replaced below: never under a running loop.
    if (RefuseWhenBusy())
        return false;
    BusyGuard busy = Busy();
    return OpenFileNow(name, showTabs);
}

bool Fotonel::OpenFileNow(const QString &name, bool showTabs)
{
    triedName = name;
    AddMessage(MessageNormal, tr("Trying to open file %1").arg(name));
    SetProgress(0);

    RemoveResultTabs();
    ui->textBrowser_2->clear();
    ui->SummaryBrowser->clear();

    ui->SaveFrames->setEnabled(false);
    ui->actionExport_Images->setEnabled(false);
    ui->actionWrite_Records->setEnabled(false);

    // The analysis keeps a reference to the file it was made from.
    scan.reset();
    file.reset();

    file = MakePhotonFile(*this, name);
    if (!file || !file->Open(name)) {
        AddMessage(MessageError, tr("Failed to open file %1").arg(name));
        return false;
    }

    ui->actionWrite_Records->setEnabled(true);
    ui->filename->setText(name);
    fileName = name;
    const int slash = name.lastIndexOf(QLatin1Char('/'));
    openDir = slash >= 0 ? name.left(slash) : QString();
    saveDir = openDir;
    SaveSettings(QString::fromLatin1(SettingsFileName));
    AddMessage(MessageNormal, tr("Succesfully openend file %1").arg(fileName));

    CarryGatesOver(*this, *file);
    ConvertFile();
    if (showTabs && scan)
        scan->CreateTabs();
    return true;
}

void Fotonel::RemoveResultTabs()
{
    // The first two tabs (normally Header and Summary) stay.
    for (int i = ui->tabWidget->count() - 1; i >= 2; --i)
        RemoveTab(i);
}

void Fotonel::ConvertFile()
{
    // The tabs show the analysis that is replaced here (unless it is still
    // running, when the conversion is refused).
    if (!scan || !scan->InsideLoop())
        RemoveResultTabs();
    if (!::ConvertFile(*this, fileName, file.get(), scan))
        return;
    ui->SaveFrames->setEnabled(true);
    ui->actionExport_Images->setEnabled(true);
}

void Fotonel::on_WriteRecords_clicked()
{
    // The button on the records page is always enabled, also without a file.
    if (!file || !file->ok)
        return;
    if (RefuseWhenBusy())
        return;
    BusyGuard busy = Busy();
    file->WriteRecords();
}
