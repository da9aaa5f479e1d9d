#include "flim/Phasor.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace flim {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
} // namespace

PhasorTable MakePhasorTable(uint32_t delayBins, double resolution, double syncPeriod, int harmonic)
{
    PhasorTable table;
    table.harmonic = harmonic;
    table.omega = kTwoPi / syncPeriod;
    table.cosine.resize(delayBins);
    table.sine.resize(delayBins);
    const double nOmega = table.NOmega();
    for (uint32_t k = 0; k < delayBins; ++k) {
        // The delay as the record cursor computes it.
        const double t = k * resolution;
        table.cosine[k] = std::cos(nOmega * t);
        table.sine[k] = std::sin(nOmega * t);
    }
    return table;
}

void PhasorSums::Resize(uint32_t w, uint32_t h)
{
    width = w;
    height = h;
    const std::size_t n = static_cast<std::size_t>(w) * h;
    count.assign(n, 0);
    cosine.assign(n, 0.0);
    sine.assign(n, 0.0);
}

Phasor TotalPhasor(const PhasorSums &sums)
{
    Phasor p;
    double c = 0, s = 0;
    for (std::size_t i = 0; i < sums.count.size(); ++i) {
        p.photons += sums.count[i];
        c += sums.Cosine(i);
        s += sums.Sine(i);
    }
    if (p.photons > 0) {
        p.g = c / static_cast<double>(p.photons);
        p.s = s / static_cast<double>(p.photons);
    }
    return p;
}

Phasor HistogramPhasor(const std::vector<uint32_t> &delayCounts, const PhasorTable &table)
{
    Phasor p;
    double c = 0, s = 0;
    const std::size_t n = std::min(delayCounts.size(), table.cosine.size());
    for (std::size_t k = 0; k < n; ++k) {
        p.photons += delayCounts[k];
        c += delayCounts[k] * table.cosine[k];
        s += delayCounts[k] * table.sine[k];
    }
    if (p.photons > 0) {
        p.g = c / static_cast<double>(p.photons);
        p.s = s / static_cast<double>(p.photons);
    }
    return p;
}

bool MakeCalibration(const Phasor &reference, double tauRef, double nOmega, Calibration &calibration,
                     std::string &error)
{
    calibration = Calibration{};
    const double m = std::hypot(reference.g, reference.s);
    if (reference.photons == 0) {
        error = "the reference holds no photons";
        return false;
    }
    if (!(m > 0) || !std::isfinite(tauRef) || tauRef < 0) {
        error = "the reference has no modulation";
        return false;
    }
    const double x = nOmega * tauRef;
    calibration.phaseShift = std::atan2(reference.s, reference.g) - std::atan(x);
    calibration.modulationFactor = 1.0 / std::sqrt(1.0 + x * x) / m;
    calibration.calibrated = true;
    return true;
}

Phasor Calibrate(const Phasor &p, const Calibration &calibration)
{
    if (!calibration.calibrated)
        return p;
    const double phase = std::atan2(p.s, p.g) - calibration.phaseShift;
    const double m = std::hypot(p.g, p.s) * calibration.modulationFactor;
    Phasor out = p;
    out.g = m * std::cos(phase);
    out.s = m * std::sin(phase);
    return out;
}

double PhaseLifetime(double g, double s, double nOmega)
{
    return s / g / nOmega;
}

double ModulationLifetime(double g, double s, double nOmega)
{
    const double m2 = g * g + s * s;
    if (!(m2 > 0) || m2 > 1)
        return std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(1.0 / m2 - 1.0) / nOmega;
}

void MedianFilter3x3(std::vector<float> &v, uint32_t width, uint32_t height, int passes)
{
    if (passes <= 0)
        return;
    std::vector<float> out(v.size());
    float window[9];
    for (int pass = 0; pass < passes; ++pass) {
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                if (std::isnan(v[i])) {
                    out[i] = v[i];
                    continue;
                }
                int n = 0;
                for (uint32_t yy = y > 0 ? y - 1 : 0; yy <= y + 1 && yy < height; ++yy)
                    for (uint32_t xx = x > 0 ? x - 1 : 0; xx <= x + 1 && xx < width; ++xx) {
                        const float value = v[static_cast<std::size_t>(yy) * width + xx];
                        if (std::isnan(value))
                            continue;
                        // Kept in order as it fills: at most nine values.
                        int at = n++;
                        for (; at > 0 && window[at - 1] > value; --at)
                            window[at] = window[at - 1];
                        window[at] = value;
                    }
                out[i] = n % 2 == 1 ? window[n / 2] : (window[n / 2 - 1] + window[n / 2]) / 2;
            }
        }
        v.swap(out);
    }
}

namespace {

/*!
 * Per pixel below \p n: g and s of the sums \p cosine(i), \p sine(i) over
 * the pixel's photons, NaN below the threshold; returns the pixels at or
 * above it. Without calibration these are the very operations of the
 * general loop, written without a branch per pixel.
 */
template <class Cosine, class Sine>
uint64_t UncalibratedPhasors(std::size_t n, const uint32_t *count, Cosine cosine, Sine sine, int threshold, float *g,
                             float *s)
{
    uint64_t above = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t k = count[i];
        const bool kept = (k != 0) & (static_cast<int64_t>(k) >= threshold);
        const double photons = kept ? static_cast<double>(k) : 1.0;
        const float pg = static_cast<float>(cosine(i) / photons), ps = static_cast<float>(sine(i) / photons);
        g[i] = kept ? pg : kNaN;
        s[i] = kept ? ps : kNaN;
        above += kept;
    }
    return above;
}

/// τφ and τm of every pixel from its g and s; NaN where g is NaN, as
/// PhaseLifetime and ModulationLifetime give them, without a branch.
void PixelLifetimes(std::size_t n, const float *g, const float *s, double nOmega, float *tauPhase, float *tauModulation)
{
    for (std::size_t i = 0; i < n; ++i) {
        const double pg = g[i], ps = s[i];
        const bool none = std::isnan(g[i]);
        const double m2 = pg * pg + ps * ps;
        const bool modulated = (m2 > 0) & (m2 <= 1);
        const float phase = static_cast<float>(ps / pg / nOmega);
        const float modulation = static_cast<float>(std::sqrt(modulated ? 1.0 / m2 - 1.0 : 0.0) / nOmega);
        tauPhase[i] = none ? kNaN : phase;
        tauModulation[i] = (none | !modulated) ? kNaN : modulation;
    }
}

/// MakePhasorImage with the photons per pixel of \p sums in \p photons
/// (its count, or what was moved out of it), into the arrays of \p image.
PhasorImage MakeImage(const PhasorSums &sums, std::vector<uint32_t> photons, const Calibration &calibration,
                      double nOmega, int threshold, int medianPasses, PhasorImage image)
{
    image.pixelsAbove = 0;
    image.width = sums.width;
    image.height = sums.height;
    image.calibrated = calibration.calibrated;
    image.photons = std::move(photons);
    const std::vector<uint32_t> &count = image.photons;
    const std::size_t n = count.size();
    image.g.resize(n);
    image.s.resize(n);
    if (!calibration.calibrated && sums.fixed) {
        const int64_t *fixed = sums.fixed;
        const double unit = sums.fixedUnit;
        image.pixelsAbove = UncalibratedPhasors(
            n, count.data(), [=](std::size_t i) { return static_cast<double>(fixed[2 * i]) * unit; },
            [=](std::size_t i) { return static_cast<double>(fixed[2 * i + 1]) * unit; }, threshold, image.g.data(),
            image.s.data());
    } else if (!calibration.calibrated) {
        const double *cosine = sums.cosine.data(), *sine = sums.sine.data();
        image.pixelsAbove = UncalibratedPhasors(
            n, count.data(), [=](std::size_t i) { return cosine[i]; }, [=](std::size_t i) { return sine[i]; },
            threshold, image.g.data(), image.s.data());
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t k = count[i];
            image.g[i] = image.s[i] = kNaN;
            if (k == 0 || static_cast<int64_t>(k) < threshold)
                continue;
            ++image.pixelsAbove;
            Phasor p;
            p.g = sums.Cosine(i) / k;
            p.s = sums.Sine(i) / k;
            p = Calibrate(p, calibration);
            image.g[i] = static_cast<float>(p.g);
            image.s[i] = static_cast<float>(p.s);
        }
    }
    MedianFilter3x3(image.g, image.width, image.height, medianPasses);
    MedianFilter3x3(image.s, image.width, image.height, medianPasses);
    image.tauPhase.resize(n);
    image.tauModulation.resize(n);
    PixelLifetimes(n, image.g.data(), image.s.data(), nOmega, image.tauPhase.data(), image.tauModulation.data());
    return image;
}

} // namespace

PhasorImage MakePhasorImage(const PhasorSums &sums, const Calibration &calibration, double nOmega, int threshold,
                            int medianPasses)
{
    return MakeImage(sums, sums.count, calibration, nOmega, threshold, medianPasses, PhasorImage());
}

PhasorImage MakePhasorImage(PhasorSums &&sums, const Calibration &calibration, double nOmega, int threshold,
                            int medianPasses, PhasorImage &&storage)
{
    std::vector<uint32_t> photons = std::move(sums.count);
    sums.count.clear();
    return MakeImage(sums, std::move(photons), calibration, nOmega, threshold, medianPasses, std::move(storage));
}

bool PhasorCursor::Usable() const
{
    return std::isfinite(g) && std::isfinite(s) && std::isfinite(radius) && radius > 0;
}

std::vector<bool> PixelsInside(const PhasorImage &image, const PhasorCursor &cursor)
{
    std::vector<bool> inside(image.g.size(), false);
    const double r2 = cursor.radius * cursor.radius;
    for (std::size_t i = 0; i < image.g.size() && i < image.s.size(); ++i) {
        const double dg = image.g[i] - cursor.g, ds = image.s[i] - cursor.s;
        inside[i] = std::isfinite(image.g[i]) && std::isfinite(image.s[i]) && dg * dg + ds * ds <= r2;
    }
    return inside;
}

} // namespace flim
