#pragma once
// The in-memory measurement of the benchmarks and the image scans they time.
#include "files/pqFile.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QString>

#include <cstdint>
#include <vector>

/// \p words as a scanned file of square \p width-pixel frames: sync period
/// 50 ns, 16 ps bins, 4 channels; exports go to \p folder (named "bench").
class BenchFile : public pqFile {
public:
    BenchFile(FotonelServices &host, std::vector<uint32_t> words, int width, const QString &folder = QString())
        : pqFile(host), width(width)
    {
        records.Assign(std::move(words));
        recordsRead = true;
        ok = true;
        if (!folder.isEmpty()) {
            exportFolder = folder;
            exportBase = folder + "/bench";
        }
        ScanRecords();
    }
    double SyncPeriod() const override { return 50; }
    double Resolution() const override { return 0.016; }
    int ImageWidth() const override { return width; }
    int ImageHeight() const override { return width; }
    int NumberOfChannels() const override { return 4; }
    int NumberOfRecords() const override { return static_cast<int>(records.size()); }
    int width;
};

/// Frames of \p lines lines of \p size pixels of 4 sync periods; photons
/// alternate between channels 1 and 2. \p photonsPerPixel per pixel and
/// frame, or with 0 a count from 0 to 8 that looks random (shot noise, as a
/// hash of the pixel), so a compressor has work to do.
inline std::vector<uint32_t> ImageRecords(uint32_t size, uint32_t lines, uint32_t frames, uint32_t photonsPerPixel)
{
    synth::RecordStream s;
    s.words.reserve(static_cast<size_t>(size) * lines * frames * (photonsPerPixel ? photonsPerPixel : 4) +
                    frames * lines * 2 + 4096);
    uint64_t t = 100;
    uint32_t n = 0;
    s.AddMarker(t, 4);
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t y = 0; y < lines; ++y) {
            t += 20;
            s.AddMarker(t, 1);
            for (uint32_t x = 0; x < size; ++x) {
                const uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ (f * 83492791u);
                const uint32_t photons = photonsPerPixel == 0 ? (h ^ (h >> 13)) * 2654435761u % 9 : photonsPerPixel;
                for (uint32_t k = 0; k < photons; ++k, ++n)
                    s.AddPhoton(t + 4 * x + k % 4, 1 + (n & 1), (n * 37u) % 3000u);
            }
            t += 4 * size;
            s.AddMarker(t, 2);
        }
        s.AddMarker(t, 4);
    }
    return s.words;
}

/// The benchmark image scan as a .pt3 file at \p path: 512 x 512 pixels, 23
/// frames, channels 1 and 2 with 4..6 photons per pixel and channel (about 10
/// records per pixel, 60 M records, 242 MB).
inline bool GenerateBenchImage(const QString &path)
{
    synth::ImageScanPlan layout;
    layout.width = 512;
    layout.height = 512;
    layout.frames = 23;
    layout.lineSyncs = 512 * 20;
    layout.lineGap = 1000;
    layout.channels = {1, 2};
    layout.centred = false;
    layout.photonCount = [](int f, int y, int x, uint32_t ch) { return 4 + (x + 3 * y + f + static_cast<int>(ch)) % 3; };
    layout.dtimeOf = [](int, int y, int x, uint32_t, int k) { return static_cast<uint32_t>((x * 7 + y * 3 + k * 131) % 3125); };
    const synth::GeneratedScan scan = synth::MakeImageScan(layout);
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, 512, 512, 0, 0};
    return synth::WritePt3(path, header, scan.words);
}
