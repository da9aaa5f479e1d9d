#include "tools/convert/ConvertOptions.h"

#include "host/FotonelServices.h"
#include "tools/convert/LifetimeOptions.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Names of the record table's columns on the command line: the check boxes'
// names without "CB_", in the order of the table.
const char *const kColumnNames[10] = {"number", "t3record", "nsync", "channel", "dtime",
                                      "marker", "truensync", "delaytime", "truetime", "deltatime"};

/// Parses a comma-separated list of column names (any case), "all" or "none".
bool ParseColumns(const QString &text, std::array<bool, 10> &columns)
{
    columns.fill(false);
    const QString list = text.trimmed().toLower();
    if (list == QLatin1String("all")) {
        columns.fill(true);
        return true;
    }
    if (list == QLatin1String("none"))
        return true;
    for (const QString &name : list.split(QLatin1Char(','))) {
        const auto *found = std::find_if(std::begin(kColumnNames), std::end(kColumnNames),
                                         [&](const char *n) { return name.trimmed() == QLatin1String(n); });
        if (found == std::end(kColumnNames))
            return false;
        columns[static_cast<std::size_t>(found - std::begin(kColumnNames))] = true;
    }
    return true;
}

/*!
 * \brief Takes "--records[=COLUMNS]" out of \p argv (QCommandLineParser has
 * no optional values): "--records=COLUMNS", or "--records COLUMNS" when the
 * next argument is a column list and no file of that name exists; a bare
 * "--records" writes every column.
 */
bool TakeRecordsOption(QStringList &argv, Options &options, QString &error)
{
    for (int i = 0; i < argv.size(); ++i) {
        const QString arg = argv[i];
        if (arg == QLatin1String("--"))
            break;
        if (arg != QLatin1String("--records") && !arg.startsWith(QLatin1String("--records=")))
            continue;
        options.records = true;
        options.columns.fill(true);
        argv.removeAt(i);
        if (arg.startsWith(QLatin1String("--records="))) {
            const QString list = arg.mid(10);
            if (!ParseColumns(list, options.columns)) {
                error = QStringLiteral("unknown column in \"%1\"").arg(list);
                return false;
            }
        } else if (i < argv.size() && !QFileInfo::exists(argv[i])) {
            std::array<bool, 10> columns{};
            if (ParseColumns(argv[i], columns)) {
                options.columns = columns;
                argv.removeAt(i);
            }
        }
        --i;
    }
    return true;
}

/*!
 * \brief Refuses an option written "--NAME VALUE" whose value is missing:
 * at the end of the line, another option, or a measurement file (a .pt3 or
 * .ptu name, or an existing file). The parser would otherwise take the file
 * name as the value and the file would never be converted.
 */
bool CheckOptionValues(const QStringList &argv, QString &error)
{
    static const QStringList valued = {QStringLiteral("gate"),     QStringLiteral("cursor"), QStringLiteral("width"),
                                       QStringLiteral("tau-bin"),  QStringLiteral("export"), QStringLiteral("bits"),
                                       QStringLiteral("dtau"),     QStringLiteral("steps"),  QStringLiteral("cascades"),
                                       QStringLiteral("trace-bin"), QStringLiteral("segments"), QStringLiteral("fit"),
                                       QStringLiteral("free"),     QStringLiteral("fix"),    QStringLiteral("fit-range"),
                                       QStringLiteral("kappa"),    QStringLiteral("w0"),     QStringLiteral("reject")};
    for (int i = 0; i < argv.size(); ++i) {
        const QString &arg = argv[i];
        if (arg == QLatin1String("--"))
            break;
        if (!arg.startsWith(QLatin1String("--")) || !valued.contains(arg.mid(2)))
            continue;
        if (i + 1 >= argv.size()) {
            error = QStringLiteral("%1 needs a value").arg(arg);
            return false;
        }
        const QString &next = argv[i + 1];
        const QString suffix = QFileInfo(next).suffix().toLower();
        if (next.startsWith(QLatin1String("--")) || suffix == QLatin1String("pt3") || suffix == QLatin1String("ptu")
            || QFileInfo(next).isFile()) {
            error = QStringLiteral("%1 needs a value; \"%2\" after it is not taken as one").arg(arg, next);
            return false;
        }
        ++i;
    }
    return true;
}

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

/// A finite number from \p text, or false.
bool Number(const QString &text, double &value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

/// --segments, --reject, --fit, --free, --fix, --fit-range, --kappa and --w0 into the fit settings.
bool ParseFitOptions(const QCommandLineParser &parser, Options &options, QString &error)
{
    fcs::FitSettings &s = options.fitSettings;
    if (parser.isSet(QStringLiteral("segments"))) {
        bool ok = false;
        options.segments = parser.value(QStringLiteral("segments")).toInt(&ok);
        if (!ok || options.segments < 1 || options.segments > 1000) {
            error = QStringLiteral("--segments takes a whole number from 1 to 1000");
            return false;
        }
        s.segments = options.segments;
    }
    if (parser.isSet(QStringLiteral("reject"))) {
        // The fit group keeps the factor to two decimals, and 1.00 there means off.
        if (!Number(parser.value(QStringLiteral("reject")), s.rejectFactor) || !(std::round(s.rejectFactor * 100) >= 101) ||
            s.rejectFactor > 1000) {
            error = QStringLiteral("--reject takes a factor from 1.01 to 1000");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("fit"))) {
        options.fit = true;
        if (!fcs::ModelFromName(parser.value(QStringLiteral("fit")).toStdString(), s.model)) {
            error = QStringLiteral("--fit takes a model: 3D, 3D+T, 2D or 3D+3D");
            return false;
        }
    }
    const auto parameter = [&](const QString &option, const QString &text, bool needsValue) {
        const int equals = static_cast<int>(text.indexOf(QLatin1Char('=')));
        const QString name = equals < 0 ? text : text.left(equals);
        std::size_t p = 0;
        if (!fcs::ParameterFromName(name.trimmed().toStdString(), p)) {
            error = QStringLiteral("--%1: unknown parameter \"%2\" (Ginf, N, tauD, kappa, T, tauT, f, tauD2)").arg(option, name);
            return false;
        }
        double value = std::numeric_limits<double>::quiet_NaN();
        if ((needsValue || equals >= 0) && (equals < 0 || !Number(text.mid(equals + 1), value))) {
            error = QStringLiteral("--%1 takes NAME=VALUE, got \"%2\"").arg(option, text);
            return false;
        }
        s.parameters[p].state = needsValue ? fcs::ParameterSetting::Fixed : fcs::ParameterSetting::Free;
        s.parameters[p].value = value;
        if (p == fcs::Kappa && !std::isnan(value))
            s.kappa = value;
        return true;
    };
    for (const QString &f : parser.values(QStringLiteral("free")))
        if (!parameter(QStringLiteral("free"), f, false))
            return false;
    for (const QString &f : parser.values(QStringLiteral("fix")))
        if (!parameter(QStringLiteral("fix"), f, true))
            return false;
    if (parser.isSet(QStringLiteral("fit-range"))) {
        const QStringList parts = parser.value(QStringLiteral("fit-range")).split(QLatin1Char(':'));
        if (parts.size() != 2 || !Number(parts[0], s.rangeFrom) || !Number(parts[1], s.rangeTo) || s.rangeFrom > s.rangeTo) {
            error = QStringLiteral("--fit-range takes FROM:TO in ms with FROM <= TO");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("kappa"))) {
        if (!Number(parser.value(QStringLiteral("kappa")), s.kappa) || !(s.kappa > 0)) {
            error = QStringLiteral("--kappa takes a number greater than 0");
            return false;
        }
        if (s.parameters[fcs::Kappa].state != fcs::ParameterSetting::Fixed)
            s.parameters[fcs::Kappa].value = s.kappa;
    }
    if (parser.isSet(QStringLiteral("w0"))) {
        if (!Number(parser.value(QStringLiteral("w0")), s.w0) || !(s.w0 > 0)) {
            error = QStringLiteral("--w0 takes a focal radius in µm greater than 0");
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<Options> ParseOptions(const QStringList &arguments, QTextStream &out, int &exitCode)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Opens PicoQuant T3 measurement files (.pt3, .ptu) headless, exactly as the Fotonel window does:\n"
        "reads and checks the header, loads and scans the records, writes NAME_export/NAME.hdr beside\n"
        "the file, then reconstructs the image scan, line scan or point measurement it holds.\n"
        "Prints every log line (numbered, with its level), the header, the record summary and the\n"
        "analysis information. Exit status: 0 when every file converted, 1 when any failed, 2 for bad options.\n"
        "Options stand for the settings form; without them the form's defaults are used\n"
        "(gates 0..50 ns, cursors over the whole measurement, the file's image width, lifetime bins of one resolution step).\n"
        "A gate that spans the whole delay range of one file spans the whole range of the next; any other gate\n"
        "that keeps less of the next file's range is kept with a warning naming the share of photons it keeps."));
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
                      QStringLiteral("Lifetime histogram bin width in ns, as the 'Life times' button with that bin; made the "
                                     "nearest whole number of the file's delay steps (at least one)."),
                      QStringLiteral("NS")});
    parser.addOption({QStringLiteral("export"),
                      QStringLiteral("Export images as 'Export as images' does, as a TIFF stack, TIFF images (one file "
                                     "per frame) or raw data with an ImageJ macro: stack, images or raw. Also (repeatable): "
                                     "ome, one OME-TIFF NAME.ome.tif of every channel and frame; ome-flim, the "
                                     "lifetime-resolved stack per frame as NAME_flim.ome.tif (bins of --tau-bin ns); "
                                     "photon-hdf5, the photons as Photon-HDF5 NAME.h5."),
                      QStringLiteral("TYPE")});
    parser.addOption({QStringLiteral("bits"),
                      QStringLiteral("Bit depth of the exported images: 8 (count modulo 256) or 16 (default)."),
                      QStringLiteral("BITS")});
    parser.addOption({QStringLiteral("decay"),
                      QStringLiteral("Save decay: the lifetime-resolved stack of an image scan, or the position-delay "
                                     "histogram of a line scan, with bins of --tau-bin ns.")});
    parser.addOption({QStringLiteral("records"),
                      QStringLiteral("Write every record to the ASCII table NAME_export/NAME.dat, as 'Write records' does. "
                                     "--records=COLUMNS (or --records COLUMNS) picks columns, comma-separated, from: "
                                     "number, t3record, nsync, channel, dtime, marker, truensync, delaytime, truetime, "
                                     "deltatime (the check boxes of the T3 records page), or all (default) or none.")});
    parser.addOption({QStringLiteral("correlate"),
                      QStringLiteral("Point measurements: computes every auto- and cross-correlation curve and writes "
                                     "NAME_G_chI_chJ.dat for each, as the correlation and its save button.")});
    parser.addOption({QStringLiteral("dtau"),
                      QStringLiteral("First lag step of the correlation in µs (default 0.05), made a whole number of "
                                     "sync periods as the window does."),
                      QStringLiteral("US")});
    parser.addOption({QStringLiteral("steps"),
                      QStringLiteral("Lags per cascade of the correlation, 2..99 (default 16)."), QStringLiteral("P")});
    parser.addOption({QStringLiteral("cascades"),
                      QStringLiteral("Cascades of the correlation, 1..99 (default 10); the step doubles after each."),
                      QStringLiteral("Q")});
    parser.addOption({QStringLiteral("trace"),
                      QStringLiteral("Point measurements: writes the intensity trace as NAME_trace_chN.dat (displayed "
                                     "trace, first channel with photons) and NAME_trace_chN.bin (every channel), as "
                                     "the trace save button.")});
    parser.addOption({QStringLiteral("trace-bin"),
                      QStringLiteral("Bin width of the binary trace in µs (default one sync period), rounded to the "
                                     "nearest whole number of sync periods as the window does."),
                      QStringLiteral("US")});
    parser.addOption({QStringLiteral("histogram"),
                      QStringLiteral("Point measurements: writes the lifetime histogram (bins of --tau-bin) as "
                                     "NAME_histogram_chN.dat, as the histogram save button.")});
    parser.addOption({QStringLiteral("segments"),
                      QStringLiteral("Point measurements: error bars of every correlation curve from M segments of "
                                     "equal duration (default 10 with --fit; 1: none), written as NAME_G_chI_chJ_sd.dat."),
                      QStringLiteral("M")});
    parser.addOption({QStringLiteral("reject"),
                      QStringLiteral("Leaves segments whose count rate differs from the median by more than FACTOR out "
                                     "of the error bars (default: keep all)."),
                      QStringLiteral("FACTOR")});
    parser.addOption({QStringLiteral("fit"),
                      QStringLiteral("Point measurements: fits every correlation curve with MODEL (3D, 3D+T, 2D or "
                                     "3D+3D), weighted by the error bars, writes NAME_fit_chI_chJ.txt and prints the "
                                     "results, as the Fit button."),
                      QStringLiteral("MODEL")});
    parser.addOption({QStringLiteral("free"),
                      QStringLiteral("Fits parameter NAME (Ginf, N, tauD, kappa, T, tauT, f, tauD2; times in ms), "
                                     "optionally from the start value START (repeatable)."),
                      QStringLiteral("NAME[=START]")});
    parser.addOption({QStringLiteral("fix"),
                      QStringLiteral("Holds parameter NAME at VALUE (repeatable)."), QStringLiteral("NAME=VALUE")});
    parser.addOption({QStringLiteral("fit-range"),
                      QStringLiteral("Lags fitted, by bin centre in ms (default: the first bin to the last with an "
                                     "error bar)."),
                      QStringLiteral("MS:MS")});
    parser.addOption({QStringLiteral("kappa"),
                      QStringLiteral("Structure parameter z0/w0 of the focus (default 5), fixed unless --free kappa."),
                      QStringLiteral("K")});
    parser.addOption({QStringLiteral("w0"),
                      QStringLiteral("Focal radius in µm: adds D, V_eff and the concentration to the fit results."),
                      QStringLiteral("UM")});
    parser.addOption({QStringLiteral("json"),
                      QStringLiteral("Prints one JSON object per file on standard output (JSON Lines): status, "
                                     "counts, geometry, files written, correlation and fit results; the log and "
                                     "the other text then go to standard error.")});
    AddLifetimeOptions(parser);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Measurement files (.pt3 or .ptu)."),
                                 QStringLiteral("FILE..."));

    Options options;
    QString error;
    QStringList argv = arguments;
    if (!TakeRecordsOption(argv, options, error)) {
        out << "fotonel-convert: --records: " << error << "\n";
        exitCode = 2;
        return std::nullopt;
    }
    if (!CheckOptionValues(argv, error) || !CheckLifetimeValues(argv, error)) {
        out << "fotonel-convert: " << error << "\n";
        exitCode = 2;
        return std::nullopt;
    }
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
    for (const QString &type : parser.values(QStringLiteral("export"))) {
        const QStringList types = {QStringLiteral("stack"), QStringLiteral("images"), QStringLiteral("raw")};
        if (type == QLatin1String("ome"))
            options.ome = true;
        else if (type == QLatin1String("ome-flim"))
            options.omeFlim = true;
        else if (type == QLatin1String("photon-hdf5"))
            options.photonHdf5 = true;
        else if ((options.exportType = static_cast<int>(types.indexOf(type))) < 0) {
            out << "fotonel-convert: --export takes stack, images or raw (or ome, ome-flim, photon-hdf5)\n";
            exitCode = 2;
            return std::nullopt;
        }
    }
    struct Positive {
        const char *name;
        double &value;
    };
    for (const Positive &p : {Positive{"dtau", options.dtau}, Positive{"trace-bin", options.traceBin}}) {
        if (!parser.isSet(QString::fromLatin1(p.name)))
            continue;
        bool ok = false;
        p.value = parser.value(QString::fromLatin1(p.name)).toDouble(&ok);
        if (!ok || !(p.value > 0) || !std::isfinite(p.value)) {
            out << "fotonel-convert: --" << p.name << " takes a time in µs greater than 0\n";
            exitCode = 2;
            return std::nullopt;
        }
    }
    if (parser.isSet(QStringLiteral("bits"))) {
        const QString bits = parser.value(QStringLiteral("bits"));
        if ((bits != QLatin1String("8") && bits != QLatin1String("16")) || options.exportType < 0) {
            out << "fotonel-convert: --bits takes 8 or 16, with --export\n";
            exitCode = 2;
            return std::nullopt;
        }
        options.bitDepth = bits == QLatin1String("8") ? 0 : 1;
    }
    options.decay = parser.isSet(QStringLiteral("decay"));
    struct Whole {
        const char *name;
        int &value;
        int minimum;
    };
    for (const Whole &w : {Whole{"steps", options.steps, 2}, Whole{"cascades", options.cascades, 1}}) {
        if (!parser.isSet(QString::fromLatin1(w.name)))
            continue;
        bool ok = false;
        w.value = parser.value(QString::fromLatin1(w.name)).toInt(&ok);
        if (!ok || w.value < w.minimum || w.value > 99) {
            out << "fotonel-convert: --" << w.name << " takes a whole number from " << w.minimum << " to 99\n";
            exitCode = 2;
            return std::nullopt;
        }
    }
    if (!ParseFitOptions(parser, options, error) || !ParseLifetimeOptions(parser, options, error)) {
        out << "fotonel-convert: " << error << "\n";
        exitCode = 2;
        return std::nullopt;
    }
    options.correlate = parser.isSet(QStringLiteral("correlate"));
    options.trace = parser.isSet(QStringLiteral("trace"));
    options.histogram = parser.isSet(QStringLiteral("histogram"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.files = parser.positionalArguments();
    if (options.files.isEmpty()) {
        out << "fotonel-convert: no file given (see --help)\n";
        exitCode = 2;
        return std::nullopt;
    }
    return options;
}
