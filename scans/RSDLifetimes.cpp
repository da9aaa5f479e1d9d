// Phasors, decay fits and lifetime maps of an analysis, and their files.
#include "scans/RSD.h"

#include "files/HeaderText.h"
#include "files/AtomicFile.h"
#include "files/PhotonFileFactory.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "host/FotonelServices.h"
#include "scans/Lifetimes.h"
#include "scans/PhasorSelection.h"
#include "scans/SideFileHost.h"
#include "scans/TiffWriter.h"
#include "files/TwoThreads.h"

#include <QFileInfo>
#include <QObject>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Bins of the whole decay's fit and of each pixel's decay in the fit map, at most.
constexpr uint32_t kFitBins = 512;
constexpr uint32_t kMapBins = 64;

/// Photons per dtime value of every photon of \p name (all channels, or
/// channel \p channel alone when it has photons), after checking that it
/// was measured with the sync period and resolution of the file at hand.
/// False with \p error when it cannot be used.
bool ReadWholeDecay(FotonelServices &host, const QString &name, const QString &role, double sync, double resolution,
                    uint32_t bins, std::vector<std::vector<uint32_t>> &perChannel, QString &error)
{
    SideFileHost quiet(host);
    std::unique_ptr<pqFile> file = MakePhotonFile(quiet, name);
    if (!file || !file->Open(name)) {
        error = QObject::tr("Failed to open the %1 file %2").arg(role, name);
        return false;
    }
    const auto differs = [](double a, double b) { return std::fabs(a - b) > 1e-9 * std::max(std::fabs(a), std::fabs(b)); };
    if (differs(file->SyncPeriod(), sync)) {
        error = QObject::tr("The %1 file %2 has another repetition rate: sync period %3 ns, not %4 ns")
                    .arg(role, name).arg(file->SyncPeriod()).arg(sync);
        return false;
    }
    if (differs(file->Resolution(), resolution)) {
        error = QObject::tr("The %1 file %2 has another resolution: %3 ns, not %4 ns")
                    .arg(role, name).arg(file->Resolution()).arg(resolution);
        return false;
    }
    perChannel.assign(kChannelSlots, std::vector<uint32_t>(bins, 0));
    WithAnyRecordFormat(file->recordFormat, [&](auto format) {
        T3RecordCursor<decltype(format)> cursor(quiet, *file);
        cursor.Rewind();
        while (cursor.Next())
            if (cursor.marker == PHOTON_MARKER && cursor.dtime < bins && cursor.channel < kChannelSlots)
                perChannel[cursor.channel][cursor.dtime] += 1;
    });
    return true;
}

/// The decay of channel \p channel (0-based) of \p perChannel, or of all channels together when it has none.
std::vector<uint32_t> ChannelOrAll(const std::vector<std::vector<uint32_t>> &perChannel, uint32_t channel)
{
    const std::vector<uint32_t> &own = perChannel[channel + 1];
    if (std::any_of(own.begin(), own.end(), [](uint32_t v) { return v != 0; }))
        return own;
    std::vector<uint32_t> all(own.size(), 0);
    for (const std::vector<uint32_t> &c : perChannel)
        for (std::size_t k = 0; k < all.size(); ++k)
            all[k] += c[k];
    return all;
}

/// \p counts per dtime value summed in groups of \p steps into \p bins bins.
std::vector<double> Rebin(const std::vector<uint32_t> &counts, uint32_t steps, uint32_t bins)
{
    std::vector<double> out(bins, 0.0);
    for (uint32_t k = 0; k < bins * steps && k < counts.size(); ++k)
        out[k / steps] += counts[k];
    return out;
}

QString Number(double v)
{
    return QString::number(v, 'g', 6);
}

QString WithError(double v, double e, const QString &unit)
{
    return QStringLiteral("%1 +- %2%3").arg(Number(v), Number(e), unit.isEmpty() ? QString() : QStringLiteral(" ") + unit);
}

} // namespace

std::size_t RSD::parallelLifetimePixels = std::size_t(1) << 16;

QString LifetimeResults::CalibrationText() const
{
    if (!calibrated)
        return QStringLiteral("not calibrated");
    return QStringLiteral("calibrated against %1 (tau_ref %2 ns)").arg(referenceName, Number(settings.referenceTau));
}

QString LifetimeResults::FitText(const LifetimeChannel &c) const
{
    return FitText(c.channel, c.fit);
}

QString LifetimeResults::FitText(uint32_t channel, const flim::DecayFitResult &f) const
{
    QString text;
    text += LabelValueLine(QStringLiteral("Channel"), QString::number(channel + 1));
    text += LabelValueLine(QStringLiteral("Components"), QString::number(f.components));
    text += LabelValueLine(QStringLiteral("Instrument response"),
                           irfName.isEmpty() ? QStringLiteral("Gaussian, fitted") : irfName);
    text += LabelValueLine(QStringLiteral("Fit range"),
                           QStringLiteral("%1 - %2 ns").arg(Number(f.rangeFrom), Number(f.rangeTo)));
    text += LabelValueLine(QStringLiteral("Bins"), QString::number(f.points));
    text += LabelValueLine(QStringLiteral("Photons"), Number(f.photons));
    for (int i = 0; i < f.components; ++i) {
        text += LabelValueLine(QStringLiteral("Tau %1").arg(i + 1), WithError(f.tau[i], f.tauError[i], QStringLiteral("ns")));
        text += LabelValueLine(QStringLiteral("Amplitude %1").arg(i + 1), WithError(f.amplitude[i], f.amplitudeError[i], QString()));
    }
    text += LabelValueLine(QStringLiteral("Tau amplitude weighted"), Number(f.tauAmplitude) + QStringLiteral(" ns"));
    text += LabelValueLine(QStringLiteral("Tau intensity weighted"), Number(f.tauIntensity) + QStringLiteral(" ns"));
    text += LabelValueLine(QStringLiteral("Background"), WithError(f.background, f.backgroundError, QStringLiteral("per bin")));
    text += LabelValueLine(QStringLiteral("IRF shift"), WithError(f.shift, f.shiftError, QStringLiteral("ns")));
    if (f.gaussianIrf)
        text += LabelValueLine(QStringLiteral("IRF width"), WithError(f.irfWidth, f.irfWidthError, QStringLiteral("ns")));
    text += LabelValueLine(QStringLiteral("Reduced chi square"), Number(f.reducedChiSquare));
    for (const std::string &w : f.warnings)
        text += LabelValueLine(QStringLiteral("Warning"), QString::fromStdString(w));
    return text;
}

const flim::PhasorTable &RSD::PhasorTableAt(int harmonic)
{
    const double sync = file->SyncPeriod(), resolution = file->Resolution();
    if (phasorTable.harmonic != harmonic || phasorTable.cosine.size() != delayBins ||
        phasorTableResolution != resolution || phasorTableSync != sync) {
        phasorTable = flim::MakePhasorTable(delayBins, resolution, sync, harmonic);
        phasorTableResolution = resolution;
        phasorTableSync = sync;
    }
    return phasorTable;
}

bool RSD::AccumulateLifetimes(LifetimeSums &sums)
{
    // The whole measurement as one pixel, from the kept photons' delays.
    sums.width = sums.height = 1;
    sums.phasors.assign(delayCounts.size(), {});
    sums.decays.assign(delayCounts.size(), {});
    for (std::size_t c = 0; c < delayCounts.size(); ++c) {
        if (delayCounts[c].empty())
            continue;
        flim::PhasorSums &p = sums.phasors[c];
        p.Resize(1, 1);
        const std::size_t n = std::min(delayCounts[c].size(), sums.table.cosine.size());
        for (std::size_t k = 0; k < n; ++k) {
            const uint32_t count = delayCounts[c][k];
            p.count[0] += count;
            p.cosine[0] += count * sums.table.cosine[k];
            p.sine[0] += count * sums.table.sine[k];
        }
        if (sums.mapBins > 0) {
            sums.decays[c].assign(sums.mapBins, 0);
            for (std::size_t k = 0; k < std::min<std::size_t>(delayCounts[c].size(), std::size_t{sums.mapBins} * sums.mapSteps); ++k)
                sums.decays[c][k / sums.mapSteps] += delayCounts[c][k];
        }
    }
    return true;
}

bool RSD::ComputeLifetimes(const flim::Settings &settings, bool phasors, bool fits)
{
    lifetimes.reset();
    if (Refuses("ComputeLifetimes") || !EnsureReconstructed() || RefusesExport())
        return false;
    const auto fail = [&](const QString &text) {
        mainWindow->AddMessage(MessageError, text);
        return false;
    };
    if (settings.harmonic < 1)
        return fail(QObject::tr("Invalid phasor harmonic %1").arg(settings.harmonic));
    if (settings.threshold < 0)
        return fail(QObject::tr("Invalid photon threshold %1").arg(settings.threshold));
    if (settings.median < 0)
        return fail(QObject::tr("Invalid number of median filter passes %1").arg(settings.median));
    if (settings.components < 1 || settings.components > 3)
        return fail(QObject::tr("Invalid number of decay components %1: 1 to 3").arg(settings.components));
    if (settings.binning != 1 && settings.binning != 3 && settings.binning != 5)
        return fail(QObject::tr("Invalid fit map binning %1: 1, 3 or 5").arg(settings.binning));
    if (!settings.referenceFile.empty() && !(settings.referenceTau >= 0 && std::isfinite(settings.referenceTau)))
        return fail(QObject::tr("Invalid reference lifetime %1 ns").arg(settings.referenceTau));

    const double sync = file->SyncPeriod(), resolution = file->Resolution();
    // The dtime values inside one period: the fits' bins must not reach past it.
    const uint32_t inPeriod = static_cast<uint32_t>(std::min<double>(delayBins, std::floor(sync / resolution)));
    if (!(sync > 0) || !(resolution > 0) || inPeriod < 16)
        return fail(QObject::tr("Too few delay steps in the sync period for lifetimes"));

    auto results = std::make_shared<LifetimeResults>();
    results->settings = settings;
    results->phasors = phasors;
    results->fits = fits;

    LifetimeSums sums;
    sums.table = PhasorTableAt(settings.harmonic);
    results->nOmega = sums.table.NOmega();
    if (fits) {
        sums.mapSteps = (inPeriod + kMapBins - 1) / kMapBins;
        sums.mapBins = inPeriod / sums.mapSteps;
    }
    mainWindow->AddMessage(MessageNormal, QObject::tr("Computing lifetimes..."));

    // The calibration, before the pass, so a bad reference costs no pass.
    const QString referenceName = QString::fromStdString(settings.referenceFile);
    std::vector<std::vector<uint32_t>> reference;
    QString error;
    if (phasors && !referenceName.isEmpty()) {
        if (!ReadWholeDecay(*mainWindow, referenceName, QObject::tr("reference"), sync, resolution, delayBins, reference, error))
            return fail(error);
        results->referenceName = QFileInfo(referenceName).fileName();
    }
    const QString irfName = QString::fromStdString(settings.irfFile);
    std::vector<std::vector<uint32_t>> irf;
    if (fits && !irfName.isEmpty()) {
        if (!ReadWholeDecay(*mainWindow, irfName, QObject::tr("instrument response"), sync, resolution, delayBins, irf, error))
            return fail(error);
        results->irfName = QFileInfo(irfName).fileName();
    }

    if (!AccumulateLifetimes(sums))
        return false;
    results->width = sums.width;
    results->height = sums.height;
    if (phasors && referenceName.isEmpty())
        mainWindow->AddMessage(MessageWarning, QObject::tr("Phasors are not calibrated: no reference file given"));

    // Each channel's calibration, then the phasor images, a large image's
    // channels split over two threads; the steps per channel below meet a
    // failing calibration in channel order as before.
    const std::size_t channels = sums.phasors.size();
    std::vector<uint8_t> summed(channels, 0);
    for (std::size_t c = 0; c < channels; ++c)
        summed[c] = !sums.phasors[c].count.empty();
    std::vector<flim::Calibration> calibrations(channels);
    std::vector<uint8_t> uncalibrated(channels, 0);
    std::vector<std::string> why(channels);
    std::vector<flim::PhasorImage> images(channels);
    std::vector<uint32_t> imaged;
    for (uint32_t c = 0; c < channels && phasors; ++c) {
        if (!summed[c])
            continue;
        if (!reference.empty()) {
            const flim::Phasor p = flim::HistogramPhasor(ChannelOrAll(reference, c), sums.table);
            uncalibrated[c] = !flim::MakeCalibration(p, settings.referenceTau, sums.table.NOmega(), calibrations[c], why[c]);
            if (uncalibrated[c])
                continue;
        }
        imaged.push_back(c);
    }
    RunInTwoThreads(imaged.size(), static_cast<std::size_t>(sums.width) * sums.height >= parallelLifetimePixels,
                    [&](std::size_t k) {
                        const uint32_t c = imaged[k];
                        images[c] = flim::MakePhasorImage(
                            std::move(sums.phasors[c]), calibrations[c], sums.table.NOmega(), settings.threshold,
                            settings.median, c < sums.storage.size() ? std::move(sums.storage[c]) : flim::PhasorImage());
                    });

    const uint32_t fitSteps = (inPeriod + kFitBins - 1) / kFitBins;
    const uint32_t fitBins = inPeriod / fitSteps;
    for (uint32_t c = 0; c < channels; ++c) {
        if (!summed[c])
            continue;
        LifetimeChannel channel;
        channel.channel = c;
        if (phasors) {
            if (uncalibrated[c])
                return fail(QObject::tr("The reference file %1 cannot calibrate channel %2: %3")
                                .arg(referenceName).arg(c + 1).arg(QString::fromStdString(why[c])));
            results->calibrated = calibrations[c].calibrated;
            channel.phasor = std::move(images[c]);
            if (channel.phasor.pixelsAbove == 0)
                return fail(QObject::tr("No pixel of channel %1 reaches the threshold of %2 photons")
                                .arg(c + 1).arg(settings.threshold));
        }
        if (fits) {
            flim::DecayFitSettings fitSettings;
            fitSettings.components = settings.components;
            std::vector<double> mapIrf;
            if (!irf.empty()) {
                const std::vector<uint32_t> response = ChannelOrAll(irf, c);
                fitSettings.irf = Rebin(response, fitSteps, fitBins);
                // The measured response on sub-bins of the map's bins: a whole
                // number of dtime values each, at most 8 per bin.
                uint32_t sub = 8;
                while (sums.mapSteps % sub != 0)
                    --sub;
                mapIrf = Rebin(response, sums.mapSteps / sub, sums.mapBins * sub);
                if (std::all_of(fitSettings.irf.begin(), fitSettings.irf.end(), [](double v) { return v == 0; }))
                    return fail(QObject::tr("The instrument response file %1 holds no photons").arg(irfName));
            }
            channel.decay = {fitSteps * resolution, sync, Rebin(delayCounts[c], fitSteps, fitBins)};
            channel.fit = flim::FitDecay(channel.decay, fitSettings);
            if (!channel.fit.ok)
                return fail(QObject::tr("The decay fit of channel %1 failed: %2")
                                .arg(c + 1).arg(QString::fromStdString(channel.fit.error)));
            if (sums.width * sums.height > 1) {
                // The map takes the response, its shift and the background's
                // share from the fit of the whole decay on its finer bins.
                const flim::Decay shape{sums.mapSteps * resolution, sync, std::vector<double>(sums.mapBins, 0.0)};
                channel.tauFit = flim::FitLifetimeMap(sums.decays[c], sums.width, sums.height, sums.mapBins, shape,
                                                      channel.fit, mapIrf, settings.binning, settings.threshold);
                channel.mapShape = shape;
                if (!irf.empty())
                    channel.mapIrf = Rebin(ChannelOrAll(irf, c), sums.mapSteps, sums.mapBins);
                channel.pixelDecays = std::move(sums.decays[c]);
            }
        }
        results->channels.push_back(std::move(channel));
    }
    lifetimes = results;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Computed lifetimes"));
    return true;
}

void RSD::WriteLifetimes()
{
    if (Refuses("WriteLifetimes"))
        return;
    if (!lifetimes) {
        mainWindow->AddMessage(MessageError, QObject::tr("No lifetimes to save"));
        return;
    }
    if (!file->ExportFolderExists())
        return;
    const LifetimeResults &r = *lifetimes;
    const QString version = mainWindow->GetVersion();
    // The files in the order they are committed and logged.
    struct Output {
        QString name;
        const std::vector<float> *values = nullptr;  // a float TIFF, or the text below
        QString description;
        QByteArray text;
        std::unique_ptr<TiffWriter> tiff;
        bool written = false;
    };
    std::vector<Output> outputs;
    // Maps made from phasors carry their harmonic and calibration.
    const auto addFloat = [&](const QString &name, const std::vector<float> &values, const QString &what,
                              bool fromPhasors = true) {
        Output o;
        o.name = name;
        o.values = &values;
        o.description = fromPhasors ? QStringLiteral("Fotonel %1\n%2\nharmonic %3\nphasors %4\n")
                                          .arg(version, what).arg(r.settings.harmonic).arg(r.CalibrationText())
                                    : QStringLiteral("Fotonel %1\n%2\n").arg(version, what);
        o.tiff = std::make_unique<TiffWriter>(name);
        outputs.push_back(std::move(o));
    };
    for (const LifetimeChannel &c : r.channels) {
        const QString base = QStringLiteral("%1_%2_ch%3").arg(file->exportBase);
        const QString ch = QString::number(c.channel + 1);
        if (r.phasors) {
            addFloat(base.arg(QStringLiteral("phasor_g"), ch) + QStringLiteral(".tif"), c.phasor.g, QStringLiteral("phasor g"));
            addFloat(base.arg(QStringLiteral("phasor_s"), ch) + QStringLiteral(".tif"), c.phasor.s, QStringLiteral("phasor s"));
            addFloat(base.arg(QStringLiteral("tau_phase"), ch) + QStringLiteral(".tif"), c.phasor.tauPhase,
                     QStringLiteral("phase lifetime (ns)"));
            addFloat(base.arg(QStringLiteral("tau_mod"), ch) + QStringLiteral(".tif"), c.phasor.tauModulation,
                     QStringLiteral("modulation lifetime (ns)"));
        }
        if (r.fits) {
            if (!c.tauFit.empty())
                addFloat(base.arg(QStringLiteral("tau_fit"), ch) + QStringLiteral(".tif"), c.tauFit,
                         QStringLiteral("one-component fitted lifetime (ns), binning %1").arg(r.settings.binning), false);
            Output o;
            o.name = base.arg(QStringLiteral("decayfit"), ch) + QStringLiteral(".txt");
            o.text = r.FitText(c).toLatin1();
            outputs.push_back(std::move(o));
        }
    }
    // The maps of a large image are written in two threads; each file is
    // then renamed onto its name, and logged, in order in this one.
    RunInTwoThreads(outputs.size(), static_cast<std::size_t>(r.width) * r.height >= parallelLifetimePixels,
                    [&](std::size_t k) {
                        Output &o = outputs[k];
                        if (!o.tiff)
                            return;
                        TiffWriter &tiff = *o.tiff;
                        o.written = tiff.Open() && tiff.SetPlainPageTags(r.width, r.height, 32, o.description) &&
                                    tiff.SetFloatSamples() && tiff.WriteRows(o.values->data(), r.width, r.height, 32) &&
                                    tiff.WriteDirectory() && tiff.Finish();
                    });
    for (Output &o : outputs) {
        bool ok = false;
        if (o.tiff) {
            ok = o.written && o.tiff->Commit();
        } else {
            AtomicFile out(o.name);
            ok = out.Open() && out.Write(o.text) && out.Commit();
        }
        if (ok)
            mainWindow->AddMessage(MessageNormal, QObject::tr("Saved %1").arg(o.name));
        else
            mainWindow->AddMessage(MessageError, QObject::tr("Failed to save %1").arg(o.name));
    }
}

void RSD::WriteSelectionFits(const flim::PhasorCursor &cursor)
{
    if (Refuses("WriteSelectionFits"))
        return;
    if (!lifetimes || !lifetimes->phasors || !lifetimes->fits) {
        mainWindow->AddMessage(MessageError, QObject::tr("A selection fit needs phasors and a decay fit"));
        return;
    }
    const LifetimeResults &r = *lifetimes;
    if (r.width * r.height <= 1) {
        mainWindow->AddMessage(MessageWarning, QObject::tr("%1 has one phasor for the whole measurement: no selection "
                                                           "to fit, its decay fit is the whole decay's")
                                                   .arg(file->fileName));
        return;
    }
    if (!file->ExportFolderExists())
        return;
    for (const LifetimeChannel &c : r.channels)
        WriteSelectionFit(*mainWindow, file->exportBase, r, c, cursor);
}
