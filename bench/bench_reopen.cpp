// Memory over repeated opens: the previous file and analysis must be
// released when the next file is opened, so the resident size stays flat.
//
//   bench_reopen [FOLDER] [OPENS]
//
// Writes FOLDER/bench_reopen_image.pt3 (default FOLDER /tmp): 256 x 256
// pixels, 40 frames, channels 1 and 2 (about 3.5 million records). Then opens
// and converts it OPENS times (default 20) with the converter's headless host,
// the way the window does (previous analysis and file destroyed first), and
// prints the resident memory after each open. Never fails on time.

#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/RSD.h"
#include "tools/convert/HeadlessHost.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

double ResidentMB()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    const int opens = argc > 2 ? std::max(1, atoi(argv[2])) : 20;
    const QString path = QDir(folder).filePath("bench_reopen_image.pt3");

    if (!QFile::exists(path)) {
        synth::ImageScanPlan layout;
        layout.width = 256;
        layout.height = 256;
        layout.frames = 40;
        layout.lineSyncs = 2560;
        layout.lineGap = 256;
        layout.channels = {1, 2};
        layout.photonCount = [](int f, int y, int x, uint32_t c) { return (f + y + x + static_cast<int>(c)) % 3 != 0 ? 1 : 0; };
        layout.dtimeOf = [](int, int y, int x, uint32_t, int) { return static_cast<uint32_t>((x * 7 + y) % 3000); };
        synth::Pt3Header header;
        header.imagingHeader.assign(8, 0);
        header.imagingHeader[6] = 256;
        header.imagingHeader[7] = 256;
        if (!synth::WritePt3(path, header, synth::MakeImageScan(layout).words)) {
            std::printf("could not write %s\n", qPrintable(path));
            return 1;
        }
    }
    std::printf("file %s, %.1f MB\n", qPrintable(path), QFile(path).size() / 1e6);

    QString sink;
    QTextStream out(&sink);
    std::unique_ptr<HeadlessHost> host = HeadlessHost::Create(out);
    std::unique_ptr<pqFile> file;
    std::unique_ptr<RSD> scan;
    std::printf("before: resident %.1f MB\n", ResidentMB());
    for (int i = 1; i <= opens; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        scan.reset();
        file.reset();
        file = MakePhotonFile(*host, path);
        if (!file || !file->Open(path) || !ConvertFile(*host, path, file.get(), scan)) {
            std::printf("open %d failed\n", i);
            return 1;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        sink.clear();
        std::printf("open %2d: %.3f s, resident %.1f MB\n", i, seconds, ResidentMB());
    }
    return 0;
}
