// fotonel-synth: writes a synthetic T3 sample measurement (.pt3 or .ptu,
// PicoHarp records or, in a .ptu, those of a HydraHarp, TimeHarp 260 or
// MultiHarp) for trying the program out and for benchmarks.

#include "tools/synth/DiffusionSimulator.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

namespace {

const char *kUsage =
    "Usage: fotonel-synth [--kind image|line|point|cells|fcs] [--records N] [--pixels P] [--format NAME] "
    "OUT.pt3|OUT.ptu\n"
    "\n"
    "Writes a synthetic PicoHarp 300 T3 measurement (40 MHz sync, 4 ps bins).\n"
    "  --kind image   128x128 pixels, channels 1 and 2, frame markers around\n"
    "                 every frame (default)\n"
    "  --kind line    one line of 128 pixels scanned repeatedly, two frame markers\n"
    "  --kind point   FCS point measurement, channels 1 and 2\n"
    "  --kind cells   image scan of a few cells: membranes, cytoplasm and\n"
    "                 vesicles on channel 1, nuclei on channel 2, Poisson counts,\n"
    "                 lifetimes of 2 to 4 ns\n"
    "  --kind fcs     point measurement of molecules diffusing through a Gaussian\n"
    "                 focus (w0 0.25 um, z0 1.25 um, D 40 um^2/s: diffusion time\n"
    "                 0.39 ms, 5 in the focus), split over channels 1 and 2;\n"
    "                 its settings (the truth is printed):\n"
    "    --w0 UM --kappa K --diffusion UM2_PER_S --molecules N\n"
    "    --brightness HZ (bright molecule at the centre, default 100000)\n"
    "    --background HZ (per channel, default 1000) --channels 1|2\n"
    "    --blink TO_DARK:TO_BRIGHT (rates in 1/s; T = dark / (dark + bright))\n"
    "    --step US (walk step, default 10) --seed S\n"
    "  --records N    about N records (default 1000000)\n"
    "  --pixels P     P pixels per line (and P lines per frame) instead of 128\n"
    "  --format NAME  record format of a .ptu: picoharp (default), hydraharp1,\n"
    "                 hydraharp2, timeharp260n, timeharp260p or multiharp; T2\n"
    "                 point measurements (--kind point or fcs; time tags of 4 ps,\n"
    "                 the photons of the T3 file): picoharp-t2, hydraharp1-t2,\n"
    "                 hydraharp2-t2, timeharp260n-t2, timeharp260p-t2, multiharp-t2\n"
    "  --help         this text\n";

// A small deterministic generator so the same options give the same file.
struct Lcg {
    uint64_t state = 0x2545F4914F6CDD1DULL;
    uint32_t Next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
};

// Decay-like dtime: a ramp of 2 ns then an exponential-ish tail, in 4 ps bins.
uint32_t DecayBins(Lcg &rng)
{
    uint32_t d = 500;
    while (d < 4000 && rng.Next() % 8 != 0)
        d += rng.Next() % 64;
    return d;
}

// --- samples that look like real measurements (for the README pictures) ---

constexpr double kSyncNs = 25.0;   // 40 MHz
constexpr double kBinNs = 0.004;   // 4 ps
constexpr uint32_t kMaxDtime = 4095;

/// dtime of a photon of a single-exponential decay of \p lifetime ns after an
/// instrument response at 1 ns of 0.1 ns width; \p u1, \p u2 uniform in (0, 1).
uint32_t DecayDtime(double lifetime, double u1, double u2)
{
    const double irf = 1.0 + 0.1 * std::sqrt(-2 * std::log(u2)) * std::cos(6.283185307179586 * u1);
    const double delay = std::fmod(irf - lifetime * std::log(u1 * 0.999 + 0.0005), kSyncNs);
    return std::min<uint32_t>(kMaxDtime, static_cast<uint32_t>(std::max(0.0, delay) / kBinNs));
}

/// A uniform number in (0, 1) from the values of \p keys: the same keys give
/// the same number however often and in whichever order it is asked for.
double HashUniform(std::initializer_list<uint64_t> keys)
{
    uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (uint64_t k : keys) {
        h ^= k + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 29;
    }
    return (static_cast<double>(h >> 11) + 0.5) / 9007199254740992.0;
}


/// Mean photons and lifetime of one pixel of the cells sample (\p u, \p v in 0..1).
struct CellPixel {
    double membrane = 0, cytoplasm = 0, nucleus = 0, vesicles = 0;
};
CellPixel CellsAt(double u, double v)
{
    struct Cell {
        double x, y, a, b, angle, nx, ny, nr;
    };
    static const Cell cells[] = {
        {0.30, 0.32, 0.22, 0.15, 0.5, 0.03, 0.02, 0.45},
        {0.72, 0.28, 0.17, 0.13, -0.4, -0.02, 0.03, 0.5},
        {0.55, 0.70, 0.24, 0.17, 1.2, 0.04, -0.03, 0.42},
        {0.15, 0.80, 0.12, 0.10, 0.0, 0.0, 0.0, 0.5},
    };
    static const double spots[][2] = {{0.24, 0.27}, {0.36, 0.40}, {0.70, 0.22}, {0.77, 0.33}, {0.48, 0.65},
                                      {0.62, 0.76}, {0.58, 0.62}, {0.13, 0.84}, {0.40, 0.30}, {0.66, 0.70}};
    CellPixel p;
    for (const Cell &c : cells) {
        const double dx = u - c.x, dy = v - c.y;
        const double ca = std::cos(c.angle), sa = std::sin(c.angle);
        const double ex = (dx * ca + dy * sa) / c.a, ey = (-dx * sa + dy * ca) / c.b;
        const double r = std::sqrt(ex * ex + ey * ey);
        if (r > 1.08)
            continue;
        // A bright rim at the cell's edge, a textured cytoplasm inside.
        p.membrane += std::exp(-std::pow((r - 0.97) / 0.04, 2));
        if (r < 0.95)
            p.cytoplasm += 0.35 + 0.15 * std::sin(40 * u + 7 * std::sin(25 * v)) * std::sin(33 * v);
        const double nx = ex - c.nx / c.a, ny = ey - c.ny / c.b;
        const double rn = std::sqrt(nx * nx + ny * ny) / c.nr;
        if (rn < 1)
            p.nucleus += 0.8 + 0.2 * std::cos(20 * rn);
    }
    for (const auto &s : spots)
        p.vesicles += std::exp(-((u - s[0]) * (u - s[0]) + (v - s[1]) * (v - s[1])) / (2 * 0.008 * 0.008));
    return p;
}

/// An image scan of a few cells: channel 1 membranes (3 ns), cytoplasm
/// (2 ns, dimmer inside the nucleus) and vesicles (3.5 ns); channel 2 nuclei
/// (4 ns). Counts are Poisson around those means, new in every frame.
synth::GeneratedScan Cells(uint64_t records, int pixels)
{
    synth::ImageScanPlan layout;
    layout.width = layout.height = pixels;
    layout.channels = {1, 2};
    layout.lineSyncs = static_cast<uint64_t>(pixels) * 200;
    layout.lineGap = 2000;
    layout.centred = false;
    const auto mean = [pixels](int y, int x, uint32_t ch) {
        const CellPixel p = CellsAt((x + 0.5) / pixels, (y + 0.5) / pixels);
        const double background = 0.1;
        if (ch == 2)
            return background + 15 * p.nucleus;
        return background + 20 * p.membrane + 8 * p.cytoplasm * (p.nucleus > 0 ? 0.4 : 1) + 30 * p.vesicles;
    };
    // About 3 photons per pixel and frame over both channels.
    layout.frames = static_cast<int>(std::max<uint64_t>(2, records / (static_cast<uint64_t>(pixels) * pixels * 3)));
    layout.photonCount = [mean](int f, int y, int x, uint32_t ch) {
        return synth::PoissonFrom(mean(y, x, ch), HashUniform({1, static_cast<uint64_t>(f), static_cast<uint64_t>(y),
                                                         static_cast<uint64_t>(x), ch}));
    };
    layout.dtimeOf = [pixels](int f, int y, int x, uint32_t ch, int k) {
        const CellPixel p = CellsAt((x + 0.5) / pixels, (y + 0.5) / pixels);
        const double lifetime = ch == 2 ? 4.0 : p.vesicles > 0.3 ? 3.5 : p.membrane > p.cytoplasm ? 3.0 : 2.0;
        const auto key = [&](uint64_t stream) {
            return HashUniform({stream, static_cast<uint64_t>(f), static_cast<uint64_t>(y), static_cast<uint64_t>(x), ch,
                                static_cast<uint64_t>(k)});
        };
        return DecayDtime(lifetime, key(2), key(3));
    };
    return synth::MakeImageScan(layout);
}

synth::GeneratedScan Generate(const QString &kind, uint64_t records, int pixels, const synth::DiffusionPlan &diffusion)
{
    if (kind == "cells")
        return Cells(records, pixels);
    if (kind == "fcs")
        return synth::SimulateDiffusion(diffusion, records);
    Lcg rng;
    if (kind == "point") {
        std::vector<synth::PointPhoton> photons;
        photons.reserve(records);
        uint64_t t = 1000;
        for (uint64_t i = 0; i < records; ++i) {
            t += 1 + rng.Next() % 800;  // mean gap about 10 us at 40 MHz
            photons.push_back({t, 1 + (rng.Next() & 1u), DecayBins(rng)});
        }
        return synth::MakePointMeasurement(std::move(photons));
    }
    synth::ImageScanPlan layout;
    layout.width = pixels;
    layout.channels = {1, 2};
    layout.lineSyncs = static_cast<uint64_t>(pixels) * 200;
    layout.lineGap = 2000;
    layout.centred = false;
    layout.dtimeOf = [&rng](int, int, int, uint32_t, int) { return DecayBins(rng); };
    const uint64_t perLine = static_cast<uint64_t>(pixels) * 2 * 2;  // pixels x channels x mean photons
    if (kind == "line") {
        layout.height = static_cast<int>(std::max<uint64_t>(1, records / perLine));
        layout.photonCount = [](int, int line, int x, uint32_t) { return (x + line) % 4 == 0 ? 1 : 2 + (x / 32) % 3; };
        return synth::MakeLineScan(layout, 2);
    }
    layout.height = pixels;
    layout.frames = static_cast<int>(std::max<uint64_t>(2, records / (perLine * static_cast<uint64_t>(pixels))));
    // A bright disc of radius 5/16 of the side in the middle.
    layout.photonCount = [pixels](int f, int y, int x, uint32_t ch) {
        const int dx = x - pixels / 2, dy = y - pixels / 2;
        const int r = pixels * 5 / 16;
        const int r2 = dx * dx + dy * dy;
        return (r2 < r * r ? 3 : 1) + ((f + static_cast<int>(ch)) % 2);
    };
    return synth::MakeImageScan(layout);
}

struct FormatName {
    const char *name;
    uint32_t recordType;
};
const FormatName kFormats[] = {
    {"picoharp", 0x00010303u},     {"hydraharp1", 0x00010304u},   {"hydraharp2", 0x01010304u},
    {"timeharp260n", 0x00010305u}, {"timeharp260p", 0x00010306u}, {"multiharp", 0x00010307u},
    {"picoharp-t2", 0x00010203u},     {"hydraharp1-t2", 0x00010204u},   {"hydraharp2-t2", 0x01010204u},
    {"timeharp260n-t2", 0x00010205u}, {"timeharp260p-t2", 0x00010206u}, {"multiharp-t2", 0x00010207u},
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QString kind = "image";
    uint64_t records = 1000000;
    uint32_t recordType = 0x00010303u;
    int pixels = 128;
    synth::DiffusionPlan diffusion;
    QString path;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == "--help" || a == "-h") {
            out << kUsage;
            return 0;
        }
        if (a == "--kind" && i + 1 < args.size()) {
            kind = args[++i];
            if (kind != "image" && kind != "line" && kind != "point" && kind != "cells" && kind != "fcs") {
                err << "Unknown kind " << kind << "\n" << kUsage;
                return 2;
            }
        } else if (a == "--pixels" && i + 1 < args.size()) {
            bool ok = false;
            pixels = args[++i].toInt(&ok);
            if (!ok || pixels < 1 || pixels > 4096) {
                err << "--pixels takes 1 to 4096\n" << kUsage;
                return 2;
            }
        } else if (a == "--records" && i + 1 < args.size()) {
            bool ok = false;
            records = args[++i].toULongLong(&ok);
            if (!ok || records == 0 || records > 1000000000ULL) {
                err << "Invalid record count " << args[i] << " (1 .. 1000000000)\n";
                return 2;
            }
        } else if (a == "--format" && i + 1 < args.size()) {
            const QString name = args[++i];
            recordType = 0;
            for (const FormatName &f : kFormats)
                if (name == QLatin1String(f.name))
                    recordType = f.recordType;
            if (recordType == 0) {
                err << "Unknown format " << name << "\n" << kUsage;
                return 2;
            }
        } else if ((a == "--w0" || a == "--kappa" || a == "--diffusion" || a == "--molecules" || a == "--brightness"
                    || a == "--background" || a == "--step")
                   && i + 1 < args.size()) {
            bool ok = false;
            const double v = args[++i].toDouble(&ok);
            const bool zeroAllowed = a == "--background";
            if (!ok || !std::isfinite(v) || v < 0 || (v == 0 && !zeroAllowed)) {
                err << a << " takes a number greater than 0\n" << kUsage;
                return 2;
            }
            double &field = a == "--w0" ? diffusion.w0 : a == "--kappa" ? diffusion.kappa : a == "--diffusion" ? diffusion.D
                          : a == "--molecules" ? diffusion.molecules : a == "--brightness" ? diffusion.brightness
                          : a == "--background" ? diffusion.background : diffusion.step;
            field = a == "--step" ? v * 1e-6 : v;
        } else if (a == "--channels" && i + 1 < args.size()) {
            diffusion.channels = args[++i].toInt();
            if (diffusion.channels != 1 && diffusion.channels != 2) {
                err << "--channels takes 1 or 2\n" << kUsage;
                return 2;
            }
        } else if (a == "--blink" && i + 1 < args.size()) {
            const QStringList rates = args[++i].split(':');
            bool okDark = false, okBright = false;
            if (rates.size() == 2) {
                diffusion.toDark = rates[0].toDouble(&okDark);
                diffusion.toBright = rates[1].toDouble(&okBright);
            }
            if (!okDark || !okBright || !(diffusion.toDark > 0) || !(diffusion.toBright > 0)) {
                err << "--blink takes TO_DARK:TO_BRIGHT, both rates in 1/s greater than 0\n" << kUsage;
                return 2;
            }
        } else if (a == "--seed" && i + 1 < args.size()) {
            bool ok = false;
            diffusion.seed = args[++i].toULongLong(&ok);
            if (!ok) {
                err << "--seed takes a whole number\n" << kUsage;
                return 2;
            }
        } else if (a.startsWith("-") || !path.isEmpty()) {
            err << "Unexpected argument " << a << "\n" << kUsage;
            return 2;
        } else {
            path = a;
        }
    }
    const QString suffix = path.section('.', -1).toLower();
    if (path.isEmpty() || (suffix != "pt3" && suffix != "ptu")) {
        err << kUsage;
        return 2;
    }

    RecordFormat format = RecordFormat::PicoHarpT3;
    RecordType::FormatOf(recordType, format);
    if (format != RecordFormat::PicoHarpT3 && suffix != "ptu") {
        err << "Only a .ptu file holds records of another format than the PicoHarp's\n";
        return 2;
    }
    if (IsTimeTagFormat(format) && kind != "point" && kind != "fcs") {
        err << "T2 formats hold point measurements only (--kind point or fcs)\n";
        return 2;
    }

    synth::GeneratedScan scan = Generate(kind, records, pixels, diffusion);
    if (kind == "fcs") {
        out << "Diffusion: tauD " << diffusion.TauD() << " ms, N " << diffusion.molecules << ", V_eff "
            << diffusion.Volume() << " fL";
        if (diffusion.toDark > 0)
            out << ", T " << diffusion.toDark / (diffusion.toDark + diffusion.toBright) << ", tauT "
                << 1e3 / (diffusion.toDark + diffusion.toBright) << " ms";
        out << "\n";
    }
    // The samples of real-looking content are an image scan and a point measurement.
    if (kind == "cells")
        kind = "image";
    else if (kind == "fcs")
        kind = "point";
    // 40 MHz sync, 4 ps bins: a sync period of 6250 time-tag units.
    if (IsTimeTagFormat(format))
        scan.words = synth::TranscodeToT2(scan.words, format, 6250);
    else if (format != RecordFormat::PicoHarpT3)
        scan.words = synth::Transcode(scan.words, format);
    bool written;
    if (suffix == "pt3") {
        synth::Pt3Header header;
        if (kind != "point")
            header.imagingHeader = {0, 0, 0, 0, 0, 0, pixels, kind == "image" ? pixels : 1};
        written = synth::WritePt3(path, header, scan.words);
    } else if (IsTimeTagFormat(format)) {
        written = synth::WritePtu(path, synth::PtuHeader::T2(recordType), scan.words);
    } else {
        const synth::PtuHeader header = synth::PtuHeader::T3(
            recordType, 40e6, 4e-12, kind == "point" ? 0 : pixels, kind == "image" ? pixels : (kind == "line" ? 1 : 0));
        written = synth::WritePtu(path, header, scan.words);
    }
    if (!written) {
        err << "Could not write " << path << "\n";
        return 1;
    }
    out << "Wrote " << path << ": " << scan.words.size() << " records, " << scan.photons << " photons, "
        << scan.frameMarkers << " frame markers, " << scan.lineStarts << " lines\n";
    return 0;
}
