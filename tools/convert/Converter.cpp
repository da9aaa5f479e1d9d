#include "tools/convert/Converter.h"

#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/ImageScan.h"
#include "scans/LineScan.h"
#include "scans/PointScan.h"
#include "scans/RSD.h"
#include "tools/convert/HeadlessHost.h"
#include "ui_Fotonel.h"

#include <QCheckBox>
#include <QCommandLineParser>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <cmath>
#include <memory>
#include <optional>

namespace {

struct ChannelWindow {
    int channel;   // 1..4
    double low;
    double high;
};

struct Options {
    std::vector<ChannelWindow> gates;    // ns
    std::vector<ChannelWindow> cursors;  // s
    int width = 0;                       // 0: the file's own width
    double tauBin = 0;                   // 0: the file's resolution
    QStringList files;
};

/// Parses "CH:LOW:HIGH" with CH in 1..4 and LOW <= HIGH; all four channels for CH "all".
bool ParseWindow(const QString &text, std::vector<ChannelWindow> &into, QString &error)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    bool okLow = false, okHigh = false, okChannel = false;
    if (parts.size() == 3) {
        const double low = parts[1].toDouble(&okLow);
        const double high = parts[2].toDouble(&okHigh);
        int first = 1, last = 4;
        if (parts[0] != QLatin1String("all")) {
            first = last = parts[0].toInt(&okChannel);
        } else {
            okChannel = true;
        }
        if (okLow && okHigh && okChannel && first >= 1 && last <= 4 && std::isfinite(low)
            && std::isfinite(high) && low >= 0 && low <= high) {
            for (int c = first; c <= last; ++c)
                into.push_back({c, low, high});
            return true;
        }
    }
    error = QStringLiteral("expected CHANNEL:MIN:MAX with CHANNEL 1..4 or all and 0 <= MIN <= MAX, got \"%1\"").arg(text);
    return false;
}

std::optional<Options> ParseOptions(const QStringList &arguments, QTextStream &out, int &exitCode)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Opens PicoHarp T3 measurement files (.pt3, .ptu) headless, exactly as the Fotonel window does:\n"
        "reads and checks the header, loads and scans the records, writes NAME_export/NAME.hdr beside\n"
        "the file, then reconstructs the image scan, line scan or point measurement it holds.\n"
        "Prints every log line (numbered, with its level), the header, the record summary and the\n"
        "analysis information. Exit status: 0 when every file converted, 1 when any failed, 2 for bad options.\n"
        "Options stand for the settings form; without them the form's defaults are used\n"
        "(gates 0..50 ns, cursors over the whole measurement, the file's image width, lifetime bins of one resolution step)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("gate"),
                      QStringLiteral("Lifetime gate of a channel in ns, as on the Gating page, applied as 'Apply gating' "
                                     "does (repeatable; CHANNEL is 1..4 or all)."),
                      QStringLiteral("CHANNEL:MIN:MAX")});
    parser.addOption({QStringLiteral("cursor"),
                      QStringLiteral("Time cursors of a channel in s, as on the Time cursors page, applied as 'Apply cursors' "
                                     "does (repeatable; CHANNEL is 1..4 or all)."),
                      QStringLiteral("CHANNEL:START:END")});
    parser.addOption({QStringLiteral("width"),
                      QStringLiteral("Pixels per line for image and line scans instead of the header's width (1..1024)."),
                      QStringLiteral("PIXELS")});
    parser.addOption({QStringLiteral("tau-bin"),
                      QStringLiteral("Lifetime histogram bin width in ns, as the 'Life times' button with that bin."),
                      QStringLiteral("NS")});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Measurement files (.pt3 or .ptu)."),
                                 QStringLiteral("FILE..."));

    QStringList argv = arguments;
    argv.prepend(QStringLiteral("fotonel-convert"));
    if (!parser.parse(argv)) {
        out << "fotonel-convert: " << parser.errorText() << "\n";
        exitCode = 2;
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << parser.helpText();
        exitCode = 0;
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        out << "fotonel-convert " << FotonelVersion << "\n";
        exitCode = 0;
        return std::nullopt;
    }

    Options options;
    QString error;
    for (const QString &g : parser.values(QStringLiteral("gate")))
        if (!ParseWindow(g, options.gates, error)) {
            out << "fotonel-convert: --gate: " << error << "\n";
            exitCode = 2;
            return std::nullopt;
        }
    for (const QString &c : parser.values(QStringLiteral("cursor")))
        if (!ParseWindow(c, options.cursors, error)) {
            out << "fotonel-convert: --cursor: " << error << "\n";
            exitCode = 2;
            return std::nullopt;
        }
    if (parser.isSet(QStringLiteral("width"))) {
        bool ok = false;
        options.width = parser.value(QStringLiteral("width")).toInt(&ok);
        if (!ok || options.width < 1 || options.width > 1024) {
            out << "fotonel-convert: --width takes a whole number of pixels from 1 to 1024\n";
            exitCode = 2;
            return std::nullopt;
        }
    }
    if (parser.isSet(QStringLiteral("tau-bin"))) {
        bool ok = false;
        options.tauBin = parser.value(QStringLiteral("tau-bin")).toDouble(&ok);
        if (!ok || !(options.tauBin > 0) || !std::isfinite(options.tauBin)) {
            out << "fotonel-convert: --tau-bin takes a bin width in ns greater than 0\n";
            exitCode = 2;
            return std::nullopt;
        }
    }
    options.files = parser.positionalArguments();
    if (options.files.isEmpty()) {
        out << "fotonel-convert: no file given (see --help)\n";
        exitCode = 2;
        return std::nullopt;
    }
    return options;
}

/// The lifetime button of the analysis at hand, with bin width \p w in ns.
void BinLifetimes(RSD &scan, double w)
{
    if (auto *image = dynamic_cast<ImageScan *>(&scan))
        image->BinLifetimes(w);
    else if (auto *line = dynamic_cast<LineScan *>(&scan))
        line->BinLifetimes(w);
    else if (auto *point = dynamic_cast<PointScan *>(&scan))
        point->BinLifetimes(w);
}

/// Opens and converts one file the way the window's open workflow does.
bool ConvertOne(HeadlessHost &host, const Options &options, const QString &fileName)
{
    host.AddMessage(MessageNormal, QStringLiteral("Trying to open file %1").arg(fileName));
    std::unique_ptr<RSD> scan;
    std::unique_ptr<pqFile> file = MakePhotonFile(host, fileName);
    if (!file || !file->Open(fileName)) {
        host.AddMessage(MessageError, QStringLiteral("Failed to open file %1").arg(fileName));
        return false;
    }
    host.AddMessage(MessageNormal, QStringLiteral("Succesfully openend file %1").arg(fileName));
    if (!ConvertFile(host, fileName, file.get(), scan))
        return false;

    Ui::Fotonel &form = host.Form();
    if (!options.gates.empty()) {
        // As the user would: new gate values, then "Apply gating".
        for (const ChannelWindow &g : options.gates) {
            host.controls.gateMaximum(g.channel)->setValue(g.high);
            host.controls.GateMaximumChanged(g.channel);
            host.controls.gateMinimum(g.channel)->setValue(g.low);
            host.controls.GateMinimumChanged(g.channel);
        }
        if (file->ScanType != ScanPoint)
            scan->gathered = false;
        scan->reconstructed = false;
        scan->ReconstructImages();
    }
    if (!options.cursors.empty()) {
        // New cursor values, then "Apply cursors".
        for (const ChannelWindow &c : options.cursors) {
            host.controls.cursorMaximum(c.channel)->setValue(c.high);
            host.controls.CursorMaximumEdited(c.channel);
            host.controls.cursorMinimum(c.channel)->setValue(c.low);
            host.controls.CursorMinimumEdited(c.channel);
        }
        scan->reconstructed = false;
        scan->ReconstructImages();
    }
    if (options.tauBin > 0) {
        QDoubleSpinBox *box = file->ScanType == ScanImage  ? form.IStaubinsize
                              : file->ScanType == ScanLine ? form.LStaubinsize
                                                           : form.taubinsize;
        box->setValue(options.tauBin);
        BinLifetimes(*scan, box->value());
    }
    return true;
}

} // namespace

int RunConverter(const QStringList &arguments, QTextStream &out)
{
    int exitCode = 0;
    const std::optional<Options> options = ParseOptions(arguments, out, exitCode);
    if (!options)
        return exitCode;

    std::unique_ptr<HeadlessHost> host = HeadlessHost::Create(out);
    Ui::Fotonel &form = host->Form();
    if (options->width > 0) {
        form.ISImageWidth->setValue(options->width);
        form.ISImageWidthcheck->setChecked(true);
        form.LSImageWidth->setValue(options->width);
        form.LSImageWidthcheck->setChecked(true);
    }
    int failures = 0;
    for (const QString &fileName : options->files)
        if (!ConvertOne(*host, *options, fileName))
            ++failures;
    out << (options->files.size() - failures) << " converted, " << failures << " failed\n";
    return failures == 0 ? 0 : 1;
}
