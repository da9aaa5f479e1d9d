// fotonel-synth: writes a synthetic T3 sample measurement (.pt3 or .ptu,
// PicoHarp records or, in a .ptu, those of a HydraHarp, TimeHarp 260 or
// MultiHarp) for trying the program out and for benchmarks.

#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

const char *kUsage =
    "Usage: fotonel-synth [--kind image|line|point] [--records N] [--pixels P] [--format NAME] OUT.pt3|OUT.ptu\n"
    "\n"
    "Writes a synthetic PicoHarp 300 T3 measurement (40 MHz sync, 4 ps bins).\n"
    "  --kind image   128x128 pixels, channels 1 and 2, frame markers around\n"
    "                 every frame (default)\n"
    "  --kind line    one line of 128 pixels scanned repeatedly, two frame markers\n"
    "  --kind point   FCS point measurement, channels 1 and 2\n"
    "  --records N    about N records (default 1000000)\n"
    "  --pixels P     P pixels per line (and P lines per frame) instead of 128\n"
    "  --format NAME  record format of a .ptu: picoharp (default), hydraharp1,\n"
    "                 hydraharp2, timeharp260n, timeharp260p or multiharp\n"
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

synth::GeneratedScan Generate(const QString &kind, uint64_t records, int pixels)
{
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
            if (kind != "image" && kind != "line" && kind != "point") {
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

    synth::GeneratedScan scan = Generate(kind, records, pixels);
    if (format != RecordFormat::PicoHarpT3)
        scan.words = synth::Transcode(scan.words, format);
    bool written;
    if (suffix == "pt3") {
        synth::Pt3Header header;
        if (kind != "point")
            header.imagingHeader = {0, 0, 0, 0, 0, 0, pixels, kind == "image" ? pixels : 1};
        written = synth::WritePt3(path, header, scan.words);
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
