// Records per second of a T2 point file against the T3 point file of the
// same photons: open plus record scan, and the whole conversion (open, scan,
// traces).
//
//   bench_t2 [FOLDER]
//
// Writes FOLDER/bench_t2_t3.ptu (PicoHarp T3), FOLDER/bench_t2_pico.ptu
// (PicoHarp T2) and FOLDER/bench_t2_harp.ptu (HydraHarp T2 v2) once: 16
// million photons on channels 1 and 2. Prints the best of five runs. Never
// fails on time.

#include "bench/BenchHost.h"
#include "files/ptuFile.h"
#include "tools/convert/Converter.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/SyntheticFile.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

template <class Run>
double Best(Run run)
{
    double best = 1e300;
    for (int k = 0; k < 5; ++k) {
        const auto t = std::chrono::steady_clock::now();
        run();
        best = std::min(best, Seconds(t));
    }
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    QDir().mkpath(folder);
    const QString t3 = QDir(folder).filePath("bench_t2_t3.ptu");
    const QString pico = QDir(folder).filePath("bench_t2_pico.ptu");
    const QString harp = QDir(folder).filePath("bench_t2_harp.ptu");
    if (!QFileInfo::exists(t3) || !QFileInfo::exists(pico) || !QFileInfo::exists(harp)) {
        synth::RecordStream s;
        uint64_t sync = 0, h = 0x9E3779B97F4A7C15ull;
        for (uint32_t k = 0; k < 16000000; ++k) {
            h ^= h << 13;
            h ^= h >> 7;
            h ^= h << 17;
            sync += 1 + h % 160;
            s.AddPhoton(sync, 1 + ((h >> 20) & 1), static_cast<uint32_t>((h >> 32) % 4096));
        }
        if (!synth::WritePtu(t3, synth::PtuHeader::PicoHarpT3(40e6, 4e-12), s.words) ||
            !synth::WritePtu(pico, synth::PtuHeader::T2(0x00010203u),
                             synth::TranscodeToT2(s.words, RecordFormat::PicoHarpT2, 6250)) ||
            !synth::WritePtu(harp, synth::PtuHeader::T2(0x01010204u),
                             synth::TranscodeToT2(s.words, RecordFormat::HydraHarpT2v2, 6250))) {
            std::printf("could not write the files\n");
            return 1;
        }
    }
    BenchHost host;
    for (const QString &path : {t3, pico, harp}) {
        uint64_t records = 0;
        const double open = Best([&] {
            ptuFile file(host);
            file.Open(path);
            records = file.records.size();
        });
        QString text;
        QTextStream out(&text);
        const double convert = Best([&] {
            text.clear();
            RunConverter({path}, out);
        });
        std::printf("%-18s %9llu records: open + scan %.3f s (%.0f M records/s), conversion %.3f s (%.0f M records/s)\n",
                    qPrintable(QFileInfo(path).fileName()), static_cast<unsigned long long>(records), open,
                    records / open / 1e6, convert, records / convert / 1e6);
    }
    return 0;
}
