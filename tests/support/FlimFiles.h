#pragma once
// Synthetic lifetime measurements (an image with a lifetime gradient, a
// reference dye, an instrument response) and a libtiff reader of the float
// maps, shared by the converter and window tests of the lifetime files.
#include "tools/synth/DecaySampler.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <tiffio.h>
#include <vector>

namespace flimfiles {

constexpr int kWidth = 16, kHeight = 8, kPhotonsPerFrame = 600;
constexpr double kSyncHz = 40e6, kResolution = 0.008;

/// Lifetime of column x of the gradient image, ns.
inline double TauAt(int x)
{
    return 1.0 + 0.25 * x;
}

inline synth::Pt3Header Header(double syncHz = kSyncHz, float resolution = static_cast<float>(kResolution))
{
    synth::Pt3Header h;
    h.countRate0 = static_cast<int32_t>(syncHz);
    h.resolution = resolution;
    h.imagingHeader = {};
    return h;
}

/// An image scan of 2 frames whose column x decays with TauAt(x); the last
/// line holds 10 photons per pixel and frame (below a threshold of 50).
inline bool WriteGradientImage(const QString &path, int frames = 2)
{
    synth::ImageScanPlan plan;
    plan.width = kWidth;
    plan.height = kHeight;
    plan.frames = frames;
    plan.lineSyncs = 3200;
    plan.photonCount = [](int, int line, int, uint32_t) { return line == kHeight - 1 ? 10 : kPhotonsPerFrame; };
    plan.dtimeOf = [](int frame, int line, int pixel, uint32_t, int k) {
        synth::DecayPlan d;
        d.tau = {TauAt(pixel)};
        // One draw per photon from its own seed: the file does not depend on the order of the calls.
        synth::DecaySampler s(d, static_cast<uint32_t>(((frame * kHeight + line) * kWidth + pixel) * 1000 + k));
        return s.Next();
    };
    synth::Pt3Header header = Header();
    header.imagingHeader = {0, 0, 0, 0, 0, 0, kWidth, kHeight};
    return synth::WritePt3(path, header, synth::MakeImageScan(plan).words);
}

/// The gradient image twice, as FOLDER/window/grad.pt3 and FOLDER/convert/grad.pt3, for the window and the converter.
inline bool WriteGradientPair(const QString &folder)
{
    for (const char *side : {"window", "convert"}) {
        const QString sub = folder + QLatin1Char('/') + QLatin1String(side);
        if (!QDir().mkpath(sub) || !WriteGradientImage(sub + QStringLiteral("/grad.pt3")))
            return false;
    }
    return true;
}

/// A line scan of 8 positions and 40 lines between two frame markers, 20 photons a pixel decaying with 2 ns.
inline bool WriteTwoNanosecondLine(const QString &path)
{
    synth::ImageScanPlan plan;
    plan.width = 8;
    plan.height = 40;
    plan.photonsPerPixel = 20;
    plan.dtimeOf = [](int, int line, int pixel, uint32_t, int k) {
        synth::DecayPlan d;
        d.tau = {2.0};
        synth::DecaySampler s(d, static_cast<uint32_t>((line * 8 + pixel) * 100 + k));
        return s.Next();
    };
    return synth::WritePt3(path, Header(), synth::MakeLineScan(plan, 2).words);
}

/// A point measurement of \p photons photons decaying with \p tau ns (0: the response alone).
inline bool WriteDecayPoint(const QString &path, double tau, int photons, double syncHz = kSyncHz,
                            float resolution = static_cast<float>(kResolution))
{
    synth::DecayPlan d;
    d.tau = {tau};
    d.resolution = resolution;
    d.period = 1e9 / syncHz;
    synth::DecaySampler s(d, 4242);
    std::vector<synth::PointPhoton> list;
    for (int k = 0; k < photons; ++k)
        list.push_back({static_cast<uint64_t>(100 + 7 * k), 1, s.Next()});
    return synth::WritePt3(path, Header(syncHz, resolution), synth::MakePointMeasurement(list).words);
}

struct FloatMap {
    bool ok = false;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, format = 0;
    QString description;
    std::vector<float> values;
};

inline FloatMap ReadFloatMap(const QString &name)
{
    FloatMap m;
    TIFF *tif = TIFFOpen(QFile::encodeName(name).constData(), "r");
    if (!tif)
        return m;
    char *text = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &m.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &m.height);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &m.bits);
    TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &m.format);
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) == 1)
        m.description = QString::fromLatin1(text);
    m.values.resize(static_cast<std::size_t>(m.width) * m.height);
    m.ok = m.bits == 32;
    for (uint32_t row = 0; row < m.height && m.ok; ++row)
        m.ok = TIFFReadScanline(tif, m.values.data() + static_cast<std::size_t>(row) * m.width, row, 0) == 1;
    TIFFClose(tif);
    return m;
}

} // namespace flimfiles
