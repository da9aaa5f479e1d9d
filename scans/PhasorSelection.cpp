#include "scans/PhasorSelection.h"

#include "files/AtomicFile.h"
#include "files/HeaderText.h"
#include "host/FotonelServices.h"
#include "scans/Lifetimes.h"

#include <QObject>
#include <algorithm>

namespace {

QString Number(double v)
{
    return QString::number(v, 'g', 6);
}

} // namespace

bool HasSelectionDecays(const LifetimeChannel &channel)
{
    const std::size_t bins = channel.mapShape.counts.size();
    return bins > 0 && !channel.phasor.g.empty() && channel.pixelDecays.size() == channel.phasor.g.size() * bins;
}

PhasorSelection SelectAndFit(const LifetimeResults &results, const LifetimeChannel &channel,
                             const flim::PhasorCursor &cursor)
{
    PhasorSelection selection;
    selection.cursor = cursor;
    selection.inside = flim::PixelsInside(channel.phasor, cursor);
    selection.decay = channel.mapShape;
    std::fill(selection.decay.counts.begin(), selection.decay.counts.end(), 0.0);
    const bool decays = HasSelectionDecays(channel);
    const std::size_t bins = selection.decay.counts.size();
    for (std::size_t p = 0; p < selection.inside.size(); ++p) {
        if (!selection.inside[p])
            continue;
        ++selection.pixels;
        selection.photons += p < channel.phasor.photons.size() ? channel.phasor.photons[p] : 0;
        for (std::size_t k = 0; k < bins && decays; ++k)
            selection.decay.counts[k] += channel.pixelDecays[p * bins + k];
    }
    if (!decays) {
        selection.fit.error = "no decays per pixel to sum";
        return selection;
    }
    if (selection.pixels == 0) {
        selection.fit.error = "no pixel inside the phasor cursor";
        return selection;
    }
    flim::DecayFitSettings settings;
    settings.components = results.settings.components;
    settings.irf = channel.mapIrf;
    selection.fit = flim::FitDecay(selection.decay, settings);
    return selection;
}

QString SelectionFitText(const LifetimeResults &results, const LifetimeChannel &channel,
                         const PhasorSelection &selection)
{
    QString text;
    text += LabelValueLine(QStringLiteral("Phasor cursor g"), Number(selection.cursor.g));
    text += LabelValueLine(QStringLiteral("Phasor cursor s"), Number(selection.cursor.s));
    text += LabelValueLine(QStringLiteral("Phasor cursor radius"), Number(selection.cursor.radius));
    text += LabelValueLine(QStringLiteral("Harmonic"), QString::number(results.settings.harmonic));
    text += LabelValueLine(QStringLiteral("Phasors"), results.CalibrationText());
    text += LabelValueLine(QStringLiteral("Pixels selected"), QString::number(selection.pixels));
    text += LabelValueLine(QStringLiteral("Photons selected"), QString::number(selection.photons));
    return text + results.FitText(channel.channel, selection.fit);
}

QString SelectionFitName(const QString &exportBase, uint32_t channel)
{
    return QStringLiteral("%1_decayfit_selection_ch%2.txt").arg(exportBase).arg(channel + 1);
}

bool WriteSelectionFit(FotonelServices &host, const QString &exportBase, const LifetimeResults &results,
                       const LifetimeChannel &channel, const flim::PhasorCursor &cursor)
{
    const QString name = SelectionFitName(exportBase, channel.channel);
    const auto fail = [&](const QString &why) {
        host.AddMessage(MessageError, QObject::tr("Failed to save %1: %2").arg(name, why));
        return false;
    };
    if (!cursor.Usable())
        return fail(QObject::tr("the phasor cursor needs a finite centre and a radius above 0"));
    const PhasorSelection selection = SelectAndFit(results, channel, cursor);
    if (!selection.fit.ok)
        return fail(QString::fromStdString(selection.fit.error));
    AtomicFile out(name);
    if (!out.Open() || !out.Write(SelectionFitText(results, channel, selection).toLatin1()) || !out.Commit())
        return fail(out.Reason());
    host.AddMessage(MessageNormal, QObject::tr("Saved %1").arg(name));
    return true;
}
