#include "app/Fotonel.h"

#include "app/BusyGuard.h"
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "ui_Fotonel.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QTabWidget>

void Fotonel::Browse()
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

    // The analysis keeps a reference to the file it was made from.
    scan.reset();
    file.reset();
    fileRead = false;
    UpdateCommands();

    file = MakePhotonFile(*this, name);
    if (!file || !file->Open(name)) {
        AddMessage(MessageError, tr("Failed to open file %1").arg(name));
        UpdateCommands();
        return false;
    }
    fileRead = true;
    UpdateCommands();
    ui->filename->setText(name);
    fileName = name;
    openDir = QFileInfo(name).path();
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
    QTabWidget *tabs = ui->tabWidget;
    for (int i = tabs->count() - 1; i >= 0; --i)
        if (tabs->widget(i) != ui->HeaderTab && tabs->widget(i) != ui->SummaryTab)
            RemoveTab(i);
    // The two text tabs belong to every file: back in their places if closed.
    if (tabs->indexOf(ui->HeaderTab) < 0)
        tabs->insertTab(0, ui->HeaderTab, tr("Header"));
    if (tabs->indexOf(ui->SummaryTab) < 0)
        tabs->insertTab(1, ui->SummaryTab, tr("Summary"));
}

void Fotonel::ConvertFile()
{
    // The tabs show the analysis that is replaced here (unless it is still
    // running, when the conversion is refused).
    if (!scan || !scan->InsideLoop())
        RemoveResultTabs();
    ::ConvertFile(*this, fileName, file.get(), scan);
    UpdateCommands();
}

void Fotonel::on_WriteRecords_clicked()
{
    // The records of a read file can be written also when they show no known scan pattern.
    if (file && fileRead)
        RunCommand([this] { file->WriteRecords(); });
}
