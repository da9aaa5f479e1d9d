#include "tools/convert/Converter.h"

#include "app/FitGroup.h"
#include "app/LifetimeGroup.h"
#include "fcs/FcsSettings.h"
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "files/AtomicFile.h"
#include "scans/PhotonHdf5Writer.h"
#include "scans/PointScan.h"
#include "scans/RSD.h"
#include "tools/convert/ConvertOptions.h"
#include "tools/convert/ConvertReport.h"
#include "tools/convert/HeadlessHost.h"
#include "ui_Fotonel.h"

#include <QCheckBox>
#include <QCommandLineParser>
#include <QComboBox>
#include <QFileInfo>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QSpinBox>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

namespace {

/// Prints the value a box made of an option's value, when it differs.
void ReportEffective(HeadlessHost &host, const QString &option, double given, double used, const QString &unit);

/*!
 * \brief Types \p value into \p box as the user would. A value outside the
 * box's range for this file is refused with that range (error, false): the
 * box would silently change it. A value the box rounds to its decimals is
 * used, and the value used is printed.
 */
bool TypeInto(HeadlessHost &host, QDoubleSpinBox *box, double value, const QString &option, const QString &unit)
{
    const int decimals = box->decimals();
    if (value < box->minimum() || value > box->maximum()) {
        host.AddMessage(MessageError, QStringLiteral("%1 %2 %3 is outside the range %4 to %5 %3 for this file")
                                          .arg(option)
                                          .arg(value)
                                          .arg(unit)
                                          .arg(box->minimum(), 0, 'f', decimals)
                                          .arg(box->maximum(), 0, 'f', decimals));
        return false;
    }
    box->setValue(value);
    ReportEffective(host, option, value, box->value(), unit);
    return true;
}

/// Prints the value a box made of an option's value, when it differs.
void ReportEffective(HeadlessHost &host, const QString &option, double given, double used, const QString &unit)
{
    if (used != given)
        host.AddMessage(MessageWarning, QStringLiteral("%1 %2 %3 used as %4 %3").arg(option).arg(given).arg(unit).arg(used));
}

/// The point page: correlation and trace boxes, then the correlation and save buttons.
void PointScanSteps(HeadlessHost &host, const Options &options, pqFile &file, RSD &scan)
{
    const bool errorBars = options.segments > 0 || options.fit;
    if (!options.correlate && !options.trace && !options.histogram && !errorBars)
        return;
    auto *point = dynamic_cast<PointScan *>(&scan);
    if (file.ScanType != ScanPoint || !point || !scan.reconstructed) {
        host.AddMessage(MessageWarning, QStringLiteral("--correlate, --trace, --histogram, --segments and --fit apply to "
                                                       "point measurements only"));
        return;
    }
    Ui::Fotonel &form = host.Form();
    if (options.steps > 0)
        form.nrbins->setValue(options.steps);
    if (options.cascades > 0)
        form.ncasc->setValue(options.cascades);
    // A typed step becomes the whole number of sync periods nearest to it.
    host.controls.SetCorrelationControls(file.SyncPeriod(), options.dtau > 0 ? options.dtau : form.dtau->value(),
                                         form.nrbins->value(), form.ncasc->value());
    if (options.dtau > 0)
        ReportEffective(host, QStringLiteral("--dtau"), options.dtau, form.dtau->value(), QStringLiteral("µs"));
    if (options.traceBin > 0) {
        if (!TypeInto(host, form.binsize, options.traceBin, QStringLiteral("--trace-bin"), QStringLiteral("µs")))
            return;
        host.controls.BinsizeEdited();
        ReportEffective(host, QStringLiteral("--trace-bin"), options.traceBin, form.binsize->value(), QStringLiteral("µs"));
    }
    if (options.correlate || errorBars)
        point->ComputeCorrelations();
    if (options.correlate)
        point->SaveCorrelations();
    if (errorBars) {
        // The Fit group as the user would fill it, then its button (or, for
        // error bars alone, the correlation and save buttons).
        host.fitGroup->SetSettings(options.fitSettings);
        if (options.fit) {
            point->FitCorrelations();
            point->SaveCorrelationErrors();
            point->SaveFits();
            for (std::size_t k = 0; k < point->fits.size(); ++k)
                if (point->fits[k].ok)
                    host.Out() << "\n" << point->FitReport(k);
            host.Out() << "\n";
        } else {
            point->ComputeCorrelationErrors();
            point->SaveCorrelationErrors();
        }
    }
    if (options.trace) {
        point->SaveTraceText();
        point->SaveTraceBinary();
    }
    if (options.histogram)
        point->SaveHistogram();
}

/// The OME-TIFF, FLIM OME-TIFF and Photon-HDF5 exports, as their menu entries.
void FormatExports(HeadlessHost &host, const Options &options, pqFile &file, RSD &scan)
{
    if (options.ome) {
        if (auto *raster = dynamic_cast<RasterScan *>(&scan); raster && (file.ScanType == ScanImage || file.ScanType == ScanLine))
            raster->WriteOmeTiff();
        else
            host.AddMessage(MessageWarning, QStringLiteral("--export ome: %1 is not an image or line scan").arg(file.fileName));
    }
    if (options.omeFlim) {
        if (auto *image = dynamic_cast<ImageScan *>(&scan); image && file.ScanType == ScanImage)
            image->WriteFlimOmeTiff();
        else
            host.AddMessage(MessageWarning, QStringLiteral("--export ome-flim: %1 is not an image scan").arg(file.fileName));
    }
    if (options.photonHdf5)
        PhotonHdf5Writer(host, file).Write();
}

/// The Lifetime group as the user would fill it before opening the file,
/// so that the photon pass gathers the phasor sums as it places photons.
void FillLifetimeGroup(HeadlessHost &host, const Options &options)
{
    if (options.phasor || options.fitDecay)
        host.lifetimeGroup->SetSettings(options.lifetime);
    host.lifetimeGroup->phasors->setChecked(options.phasor);
    host.lifetimeGroup->fits->setChecked(options.fitDecay);
}

/// The Lifetime group's button.
void LifetimeSteps(HeadlessHost &host, const Options &options, RSD &scan)
{
    if (!options.phasor && !options.fitDecay)
        return;
    if (!scan.ComputeLifetimes(host.GetLifetimeSettings(), host.lifetimeGroup->phasors->isChecked(),
                               host.lifetimeGroup->fits->isChecked()))
        return;
    scan.WriteLifetimes();
    // The cursor set on the Phasor tab, then "Save Selection Fit".
    if (options.selectionFit)
        scan.WriteSelectionFits(options.phasorCursor);
}

/// Opens and converts one file the way the window's open workflow does.
bool ConvertOne(HeadlessHost &host, const Options &options, const QString &fileName, std::unique_ptr<pqFile> &file,
                std::unique_ptr<RSD> &scan)
{
    // Any error logged for this file fails it, from the open to the last export.
    const int errorsBefore = host.ErrorCount();
    host.AddMessage(MessageNormal, QStringLiteral("Trying to open file %1").arg(fileName));
    file = MakePhotonFile(host, fileName);
    if (!file || !file->Open(fileName)) {
        host.AddMessage(MessageError, QStringLiteral("Failed to open file %1").arg(fileName));
        return false;
    }
    host.AddMessage(MessageNormal, QStringLiteral("Succesfully openend file %1").arg(fileName));
    // The gates of the file converted before (or the form's start-up gates).
    CarryGatesOver(host, *file);
    FillLifetimeGroup(host, options);
    if (!ConvertFile(host, fileName, file.get(), scan))
        return false;

    Ui::Fotonel &form = host.Form();
    if (!options.gates.empty()) {
        // As the user would: new gate values, then "Apply gating".
        const QString unit = QStringLiteral("ns");
        for (const ChannelWindow &g : options.gates) {
            const QString option = QStringLiteral("--gate %1:").arg(g.channel);
            if (!TypeInto(host, host.controls.gateMaximum(g.channel), g.high, option + QStringLiteral("MAX"), unit))
                return false;
            host.controls.GateMaximumChanged(g.channel);
            if (!TypeInto(host, host.controls.gateMinimum(g.channel), g.low, option + QStringLiteral("MIN"), unit))
                return false;
            host.controls.GateMinimumChanged(g.channel);
        }
        if (file->ScanType != ScanPoint)
            scan->gathered = false;
        scan->reconstructed = false;
        scan->ReconstructImages();
    }
    if (!options.cursors.empty()) {
        // New cursor values, then "Apply cursors".
        const QString unit = QStringLiteral("s");
        for (const ChannelWindow &c : options.cursors) {
            const QString option = QStringLiteral("--cursor %1:").arg(c.channel);
            if (!TypeInto(host, host.controls.cursorMaximum(c.channel), c.high, option + QStringLiteral("END"), unit))
                return false;
            host.controls.CursorMaximumEdited(c.channel);
            if (!TypeInto(host, host.controls.cursorMinimum(c.channel), c.low, option + QStringLiteral("START"), unit))
                return false;
            host.controls.CursorMinimumEdited(c.channel);
        }
        scan->reconstructed = false;
        scan->ReconstructImages();
    }
    if (options.tauBin > 0) {
        QDoubleSpinBox *box = file->ScanType == ScanImage  ? form.IStaubinsize
                              : file->ScanType == ScanLine ? form.LStaubinsize
                                                           : form.taubinsize;
        if (!TypeInto(host, box, options.tauBin, QStringLiteral("--tau-bin"), QStringLiteral("ns")))
            return false;
        // The lifetime button of the analysis at hand.
        scan->BinLifetimes(box->value());
    }
    if (options.exportType >= 0) {
        // The export settings page, then "Export as images".
        form.exporttype->setCurrentIndex(options.exportType);
        form.bitdepth->setCurrentIndex(options.bitDepth);
        scan->WriteImages(form.exporttype->currentIndex(), form.bitdepth->currentIndex());
    }
    if (options.decay) {
        // "Save decay" on the image scan page, or the line scan's histogram button.
        if (auto *image = dynamic_cast<ImageScan *>(scan.get()); image && file->ScanType == ScanImage)
            image->WriteHistogramStack();
        else if (auto *line = dynamic_cast<LineScan *>(scan.get()); line && file->ScanType == ScanLine)
            line->WriteHistogramImages();
        else
            host.AddMessage(MessageWarning, QStringLiteral("--decay: %1 is not an image or line scan").arg(fileName));
    }
    FormatExports(host, options, *file, *scan);
    if (options.records) {
        // The T3 records page: its check boxes, then "Write records".
        QCheckBox *boxes[10] = {form.CB_Number, form.CB_T3Record, form.CB_nSync, form.CB_Channel,
                                form.CB_dTime, form.CB_Marker, form.CB_TruenSync, form.CB_DelayTime,
                                form.CB_TrueTime, form.CB_DeltaTime};
        for (std::size_t i = 0; i < 10; ++i)
            boxes[i]->setChecked(options.columns[i]);
        file->WriteRecords();
    }
    PointScanSteps(host, options, *file, *scan);
    LifetimeSteps(host, options, *scan);
    return host.ErrorCount() == errorsBefore;
}

} // namespace

int RunConverter(const QStringList &arguments, QTextStream &out)
{
    QTextStream errors(stderr);
    errors.setCodec("UTF-8");
    return RunConverter(arguments, out, errors);
}

int RunConverter(const QStringList &arguments, QTextStream &out, QTextStream &jsonText)
{
    int exitCode = 0;
    const std::optional<Options> options = ParseOptions(arguments, out, exitCode);
    if (!options)
        return exitCode;

    // With --json, standard output holds the JSON lines alone.
    QTextStream &text = options->json ? jsonText : out;
    std::unique_ptr<HeadlessHost> host = HeadlessHost::Create(text);
    Ui::Fotonel &form = host->Form();
    if (options->width > 0) {
        form.ISImageWidth->setValue(options->width);
        form.ISImageWidthcheck->setChecked(true);
        form.LSImageWidth->setValue(options->width);
        form.LSImageWidthcheck->setChecked(true);
    }
    int failures = 0;
    // Old files the conversions replace are freed beside the work that
    // follows; every one is gone before this returns.
    struct ReleasedBeforeReturn {
        ReleasedBeforeReturn() { AtomicFile::ReleaseReplacedFilesLater(true); }
        ~ReleasedBeforeReturn()
        {
            AtomicFile::ReleaseReplacedFilesLater(false);
            AtomicFile::WaitForReleasedFiles();
        }
    } released;
    for (const QString &fileName : options->files) {
        FileOutcome outcome;
        outcome.fileName = fileName;
        if (options->json)
            AtomicFile::SetCommitObserver([&outcome](const QString &name) { outcome.written << name; });
        const int errorsBefore = host->ErrorCount();
        std::unique_ptr<pqFile> file;
        std::unique_ptr<RSD> scan;  // goes before the file it was made for
        outcome.converted = ConvertOne(*host, *options, fileName, file, scan);
        if (!outcome.converted)
            ++failures;
        if (options->json) {
            AtomicFile::SetCommitObserver({});
            const QStringList errors = host->LastErrors(host->ErrorCount() - errorsBefore);
            outcome.reason = errors.isEmpty() ? QString() : errors.first();
            out << QJsonDocument(FileReport(outcome, file.get(), scan.get())).toJson(QJsonDocument::Compact) << '\n';
            out.flush();
        }
    }
    text << (options->files.size() - failures) << " converted, " << failures << " failed\n";
    return failures == 0 ? 0 : 1;
}
