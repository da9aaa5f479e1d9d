#include "tools/convert/LifetimeOptions.h"

#include "tools/convert/ConvertOptions.h"

#include <QCommandLineParser>
#include <cmath>

namespace {
const char *const kNumeric[] = {"harmonic", "reference-tau", "threshold", "median", "components", "binning"};
const char *const kFiles[] = {"reference", "irf", "phasor-cursor"};
} // namespace

void AddLifetimeOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("phasor"),
                      QStringLiteral("Image, line and point scans: phasor g and s and the phase and modulation "
                                     "lifetimes of every pixel (NAME_phasor_g_chN.tif, ...).")});
    parser.addOption({QStringLiteral("harmonic"), QStringLiteral("Harmonic of the phasors (default 1)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("reference"),
                      QStringLiteral("Measurement of known single lifetime the phasors are calibrated against."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("reference-tau"),
                      QStringLiteral("Lifetime of the reference in ns (0: an instrument response)."),
                      QStringLiteral("NS")});
    parser.addOption({QStringLiteral("threshold"),
                      QStringLiteral("Pixels with fewer photons are NaN (default 50)."), QStringLiteral("K")});
    parser.addOption({QStringLiteral("median"),
                      QStringLiteral("Passes of the 3 x 3 median filter over g and s (default 0)."),
                      QStringLiteral("K")});
    parser.addOption({QStringLiteral("fit-decay"),
                      QStringLiteral("Reconvolution fit of the whole decay (NAME_decayfit_chN.txt) and the "
                                     "one-component lifetime map (NAME_tau_fit_chN.tif).")});
    parser.addOption({QStringLiteral("components"), QStringLiteral("Exponentials of the decay fit, 1 to 3 (default 1)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("irf"),
                      QStringLiteral("Measured instrument response; without it a Gaussian is fitted."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("binning"), QStringLiteral("Pixels summed for the fit map: 1, 3 or 5 (default 1)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("phasor-cursor"),
                      QStringLiteral("With --phasor and --fit-decay, image and line scans: the decay fit of the pixels "
                                     "whose phasor lies inside the circle of centre (G, S) and radius R > 0, as the "
                                     "Phasor tab's Save Selection Fit (NAME_decayfit_selection_chN.txt)."),
                      QStringLiteral("G,S,R")});
}

bool CheckLifetimeValues(const QStringList &argv, QString &error)
{
    for (int i = 0; i < argv.size(); ++i) {
        const QString &arg = argv[i];
        if (arg == QLatin1String("--"))
            break;
        const QString name = arg.mid(2);
        bool numeric = false, named = false;
        for (const char *n : kNumeric)
            numeric = numeric || name == QLatin1String(n);
        for (const char *n : kFiles)
            named = named || name == QLatin1String(n);
        if (!arg.startsWith(QLatin1String("--")) || !(numeric || named))
            continue;
        // A file option takes a measurement file as its value; a number option must not.
        if (i + 1 >= argv.size() || argv[i + 1].startsWith(QLatin1String("--"))) {
            error = QStringLiteral("%1 needs a value").arg(arg);
            return false;
        }
        bool ok = false;
        argv[i + 1].toDouble(&ok);
        if (numeric && !ok) {
            error = QStringLiteral("%1 needs a number, not \"%2\"").arg(arg, argv[i + 1]);
            return false;
        }
    }
    return true;
}

bool ParseLifetimeOptions(const QCommandLineParser &parser, Options &options, QString &error)
{
    options.phasor = parser.isSet(QStringLiteral("phasor"));
    options.fitDecay = parser.isSet(QStringLiteral("fit-decay"));
    flim::Settings &s = options.lifetime;
    struct Whole {
        const char *name;
        int &value;
        int minimum, maximum;
    };
    for (const Whole &w : {Whole{"harmonic", s.harmonic, 1, 16}, Whole{"threshold", s.threshold, 0, 1000000000},
                           Whole{"median", s.median, 0, 100}, Whole{"components", s.components, 1, 3},
                           Whole{"binning", s.binning, 1, 5}}) {
        if (!parser.isSet(QString::fromLatin1(w.name)))
            continue;
        bool ok = false;
        w.value = parser.value(QString::fromLatin1(w.name)).toInt(&ok);
        if (!ok || w.value < w.minimum || w.value > w.maximum ||
            (QLatin1String(w.name) == QLatin1String("binning") && w.value % 2 == 0)) {
            error = QLatin1String(w.name) == QLatin1String("binning")
                        ? QStringLiteral("--binning takes 1, 3 or 5")
                        : QStringLiteral("--%1 takes a whole number from %2 to %3").arg(QLatin1String(w.name)).arg(w.minimum).arg(w.maximum);
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("reference")))
        s.referenceFile = parser.value(QStringLiteral("reference")).toStdString();
    if (parser.isSet(QStringLiteral("reference-tau"))) {
        bool ok = false;
        s.referenceTau = parser.value(QStringLiteral("reference-tau")).toDouble(&ok);
        if (!ok || !(s.referenceTau >= 0) || !std::isfinite(s.referenceTau) || s.referenceTau > 1000) {
            error = QStringLiteral("--reference-tau takes a lifetime in ns from 0 to 1000");
            return false;
        }
        if (s.referenceFile.empty()) {
            error = QStringLiteral("--reference-tau needs --reference");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("irf")))
        s.irfFile = parser.value(QStringLiteral("irf")).toStdString();
    if (parser.isSet(QStringLiteral("phasor-cursor"))) {
        const QStringList parts = parser.value(QStringLiteral("phasor-cursor")).split(QLatin1Char(','));
        double v[3] = {};
        bool ok = parts.size() == 3;
        for (int i = 0; i < 3 && ok; ++i)
            v[i] = parts[i].trimmed().toDouble(&ok);
        options.phasorCursor = {v[0], v[1], v[2]};
        if (!ok || !options.phasorCursor.Usable()) {
            error = QStringLiteral("--phasor-cursor takes G,S,R: three finite numbers, the radius R above 0");
            return false;
        }
        if (!options.phasor || !options.fitDecay) {
            error = QStringLiteral("--phasor-cursor needs --phasor and --fit-decay");
            return false;
        }
        options.selectionFit = true;
    }
    const bool phasorOnly = parser.isSet(QStringLiteral("harmonic")) || parser.isSet(QStringLiteral("reference")) ||
                            parser.isSet(QStringLiteral("median"));
    const bool fitOnly = parser.isSet(QStringLiteral("components")) || parser.isSet(QStringLiteral("irf")) ||
                         parser.isSet(QStringLiteral("binning"));
    if ((phasorOnly && !options.phasor) || (fitOnly && !options.fitDecay) ||
        (parser.isSet(QStringLiteral("threshold")) && !options.phasor && !options.fitDecay)) {
        error = QStringLiteral("--harmonic, --reference and --median go with --phasor; --components, --irf and "
                               "--binning with --fit-decay; --threshold with either");
        return false;
    }
    return true;
}
