// The export commands of the window and their fotonel-convert options write
// the same files, byte for byte.
#include "support/WindowFixture.h"
#include "files/pqFile.h"
#include "scans/RSD.h"
#include "tools/convert/Converter.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"
#include "ui_Fotonel.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>

namespace {

class ExportCommands : public WindowFixture {
protected:
    /// The same measurement in two folders, one for the window and one for the converter.
    void WriteTwice(bool line)
    {
        synth::ImageScanPlan layout;
        layout.width = 16;
        layout.height = 8;
        layout.frames = 3;
        layout.photonCount = [](int f, int y, int x, uint32_t) { return (x * 7 + y * 3 + f) % 5; };
        layout.dtimeOf = [](int, int, int x, uint32_t, int k) { return static_cast<uint32_t>(40 * x + 300 * k) % 6000; };
        const synth::GeneratedScan scan = line ? synth::MakeLineScan(layout, 2) : synth::MakeImageScan(layout);
        synth::Pt3Header header;
        header.imagingHeader.assign(8, 0);
        header.imagingHeader[6] = layout.width;
        header.imagingHeader[7] = layout.height;
        for (const char *side : {"win", "cli"}) {
            ASSERT_TRUE(QDir(dir.path()).mkpath(side));
            ASSERT_TRUE(synth::WritePt3(dir.filePath(QStringLiteral("%1/run.pt3").arg(side)), header, scan.words));
        }
    }
    int Convert(QStringList arguments)
    {
        QString text;
        QTextStream out(&text);
        arguments << dir.filePath("cli/run.pt3");
        const int code = RunConverter(arguments, out);
        out.flush();
        converterLog = text;
        return code;
    }
    /// Both export folders hold the same files with the same bytes (a macro names its own folder).
    void ExpectSameExports(int expectedFiles)
    {
        const QDir win(dir.filePath("win/run_export")), cli(dir.filePath("cli/run_export"));
        const QStringList names = win.entryList(QDir::Files, QDir::Name);
        EXPECT_EQ(names, cli.entryList(QDir::Files, QDir::Name)) << converterLog.toStdString();
        EXPECT_EQ(names.size(), expectedFiles) << names.join(' ').toStdString();
        for (const QString &name : names) {
            QFile a(win.filePath(name)), b(cli.filePath(name));
            ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
            QByteArray bytesA = a.readAll();
            bytesA.replace(QFile::encodeName(dir.filePath("win/")), QFile::encodeName(dir.filePath("cli/")));
            EXPECT_TRUE(bytesA == b.readAll()) << name.toStdString();
        }
    }

    QString converterLog;
};

} // namespace

TEST_F(ExportCommands, WindowAndConverterWriteTheSameFiles)
{
    struct Case {
        bool line;
        QStringList options;
        std::function<void(Fotonel &)> window;  // the user's clicks
        int files;                              // header included
    };
    const auto exportAs = [](int type, int depth) {
        return [=](Fotonel &w) {
            w.ui->exporttype->setCurrentIndex(type);
            w.ui->bitdepth->setCurrentIndex(depth);
            w.ui->actionExport_Images->trigger();
        };
    };
    const auto decayAndRecords = [this](Fotonel &w) {
        (w.file->ScanType == 2 ? w.ui->LStaubinsize : w.ui->IStaubinsize)->setValue(0.5);
        Invoke(w.file->ScanType == 2 ? "on_LSsaveHistogramPointScan_clicked" : "on_ISExportHistogram_clicked");
        w.ui->CB_T3Record->setChecked(false);
        w.ui->CB_DeltaTime->setChecked(false);
        w.ui->actionWrite_Records->trigger();
    };
    const QStringList decay = {"--tau-bin", "0.5", "--decay", "--records",
                               "number,nsync,channel,dtime,marker,truensync,delaytime,truetime"};
    const std::vector<Case> cases = {
        {false, {"--export", "stack"}, exportAs(0, 1), 2},
        {false, {"--export", "images", "--bits", "8"}, exportAs(1, 0), 4},
        {true, {"--export", "raw", "--bits", "16"}, exportAs(2, 1), 3},
        {false, decay, decayAndRecords, 3},
        {true, decay, decayAndRecords, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        WriteTwice(c.line);
        Fotonel &window = Make();
        window.SetVersion(FotonelVersion);  // as the program's start does
        ASSERT_TRUE(window.OpenFile(dir.filePath("win/run.pt3"), false));
        c.window(window);
        EXPECT_EQ(Convert(c.options), 0);
        ExpectSameExports(c.files);
        window.file.reset();
        QDir(dir.filePath("win")).removeRecursively();
        QDir(dir.filePath("cli")).removeRecursively();
    }
    for (const QStringList &bad : {QStringList{"--export", "tiff"}, QStringList{"--bits", "16"},
                                   QStringList{"--records=number,color"}})
        EXPECT_EQ(Convert(bad), 2) << converterLog.toStdString();
}
