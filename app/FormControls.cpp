#include "app/FormControls.h"

#include "app/CursorGrid.h"

#include "ui_Fotonel.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <algorithm>
#include <cmath>

namespace {

/// Ranges a bin-width box so that its smallest value is one bin of \p value.
void SetBinBox(QDoubleSpinBox *box, double value, double maximum, int decimals)
{
    // Decimals first: range and value set afterwards are rounded to them once.
    box->setDecimals(decimals);
    box->setMinimum(value);
    box->setMaximum(maximum);
    box->setSingleStep(value);
    box->setValue(value);
}

} // namespace

FormControls::FormControls(Ui::Fotonel &form) : form(form) {}

QDoubleSpinBox *FormControls::gateMinimum(int channel) const
{
    QDoubleSpinBox *const boxes[] = {form.Ch1_Gating_Min, form.Ch2_Gating_Min, form.Ch3_Gating_Min,
                                     form.Ch4_Gating_Min};
    return boxes[std::clamp(channel, 1, 4) - 1];
}

QDoubleSpinBox *FormControls::gateMaximum(int channel) const
{
    QDoubleSpinBox *const boxes[] = {form.Ch1_Gating_Max, form.Ch2_Gating_Max, form.Ch3_Gating_Max,
                                     form.Ch4_Gating_Max};
    return boxes[std::clamp(channel, 1, 4) - 1];
}

QDoubleSpinBox *FormControls::cursorMinimum(int channel) const
{
    QDoubleSpinBox *const boxes[] = {form.Ch1_Cursor_Min, form.Ch2_Cursor_Min, form.Ch3_Cursor_Min,
                                     form.Ch4_Cursor_Min};
    return boxes[std::clamp(channel, 1, 4) - 1];
}

QDoubleSpinBox *FormControls::cursorMaximum(int channel) const
{
    QDoubleSpinBox *const boxes[] = {form.Ch1_Cursor_Max, form.Ch2_Cursor_Max, form.Ch3_Cursor_Max,
                                     form.Ch4_Cursor_Max};
    return boxes[std::clamp(channel, 1, 4) - 1];
}

void FormControls::SetUpParameterBoxes()
{
    form.binsize->setDecimals(3);
    form.binsize->setMinimum(0.001);
    form.binsize->setMaximum(1e12);
    form.binsize->setSingleStep(0.1);
    form.binsize->setValue(0.1);

    form.taubinsize->setDecimals(4);
    form.taubinsize->setMinimum(0);
    form.taubinsize->setMaximum(1e12);
    form.taubinsize->setSingleStep(0);
    form.taubinsize->setValue(0);

    SetCorrelationControls(0.05, 0.05, 16, 10);
}

void FormControls::SetGatingRanges(double maximum, double step)
{
    std::vector<QDoubleSpinBox *> boxes;
    for (int channel = 1; channel <= 4; ++channel)
        boxes.push_back(gateMinimum(channel));
    for (int channel = 1; channel <= 4; ++channel)
        boxes.push_back(gateMaximum(channel));
    for (QDoubleSpinBox *box : boxes) {
        box->setDecimals(3);
        box->setMinimum(0);
        box->setMaximum(maximum);
        box->setSingleStep(step);
        // Gates sit on whole dtime bins; a file without a usable resolution
        // leaves the value as it is rather than dividing by it.
        if (step > 0 && std::isfinite(step))
            box->setValue(std::ceil(box->value() / step - 0.5) * step);
    }
    // The gates now belong to a file of this range.
    gateRange = maximum;
    gateStep = step;
}

bool FormControls::GateIsWhole(int channel) const
{
    // The gates sit on whole steps of that file (within half a step of its
    // limits), shown with two decimals after a restart (the form's).
    const double slack = (std::isfinite(gateStep) && gateStep > 0 ? gateStep / 2 : 0) + 0.005;
    return gateRange > 0 && gateMinimum(channel)->value() <= slack && gateMaximum(channel)->value() >= gateRange - slack;
}

std::vector<int> FormControls::CarryGatesTo(double range, double step)
{
    bool whole[4];
    for (int channel = 1; channel <= 4; ++channel)
        whole[channel - 1] = GateIsWhole(channel);
    SetGatingRanges(range, step);
    // Half a delay step: a gate that far from a limit keeps every delay there.
    const double slack = step > 0 && std::isfinite(step) ? step / 2 : 0.0005;
    std::vector<int> narrower;
    for (int channel = 1; channel <= 4; ++channel) {
        QDoubleSpinBox *minimum = gateMinimum(channel), *maximum = gateMaximum(channel);
        if (whole[channel - 1]) {
            maximum->setValue(range);
            minimum->setValue(0);
        } else if (minimum->value() > slack || maximum->value() < range - slack) {
            narrower.push_back(channel);
        }
    }
    return narrower;
}

void FormControls::SetGatingValues(double minimum, double maximum)
{
    for (int channel = 1; channel <= 4; ++channel)
        gateMinimum(channel)->setValue(minimum);
    for (int channel = 1; channel <= 4; ++channel)
        gateMaximum(channel)->setValue(maximum);
}

void FormControls::ResetGating(double syncPeriod)
{
    // A file without a sync period still gets a usable gate.
    const double period = syncPeriod > 0 ? syncPeriod : 51;
    SetGatingValues(0, period);
}

void FormControls::SetCursorRanges(double start, double end)
{
    // One percent of the span, rounded down to a thousandth of a second.
    const double step = std::floor((end - start) * 10) / 1000;
    // The boxes show thousandths of a second. Rounded to the nearest, the span
    // of the data could shrink by up to half a millisecond at either end, and
    // applying the cursors unchanged would then drop the first or last
    // photons: round outwards so the boxes still hold the whole span.
    start = OutwardThousandth(start, -1);
    end = OutwardThousandth(end, +1);
    for (int channel = 1; channel <= 4; ++channel) {
        QDoubleSpinBox *box = cursorMinimum(channel);
        box->setDecimals(3);
        box->setMinimum(0);
        box->setMaximum(1e16);
        box->setSingleStep(step > 0 ? step : 0);
        box->setValue(start);
    }
    for (int channel = 1; channel <= 4; ++channel) {
        QDoubleSpinBox *box = cursorMaximum(channel);
        box->setDecimals(3);
        box->setMinimum(0);
        box->setMaximum(1e16);
        box->setSingleStep(step > 0 ? step : 0);
        box->setValue(end);
    }
}

void FormControls::SetCorrelationControls(double timeStep, double targetTime, int nrbins, int ncasc)
{
    // dtau (µs) is a whole number of sync periods (ns), the one nearest to the
    // target; without a usable period the box keeps its step and value.
    if (timeStep > 0 && std::isfinite(timeStep) && std::isfinite(targetTime)) {
        const double k = std::ceil(1000 * targetTime / timeStep - 0.5);
        // Time tags (T2) step in ps: the box then shows them (1e-6 µs).
        form.dtau->setDecimals(timeStep < 1 ? 6 : 3);
        form.dtau->setMinimum(timeStep / 1000);
        form.dtau->setMaximum(1e13);
        form.dtau->setSingleStep(timeStep / 1000);
        form.dtau->setValue(k * timeStep / 1000);
    }
    form.nrbins->setMinimum(2);
    form.nrbins->setSingleStep(1);
    form.nrbins->setValue(nrbins);
    form.ncasc->setMinimum(1);
    form.ncasc->setSingleStep(1);
    form.ncasc->setValue(ncasc);
    UpdateTmax();
}

void FormControls::UpdateTmax()
{
    // Longest lag of the cascaded grid, ms: dtau (µs) x p x (2^q - 1) / 1000.
    const double lags = std::ldexp(1.0, form.ncasc->value()) - 1;
    form.tmaxXCF->setValue(form.dtau->value() * form.nrbins->value() * lags / 1000);
}

void FormControls::TmaxEdited()
{
    const double dtau = form.dtau->value();
    const int nrbins = form.nrbins->value();
    if (!(dtau > 0) || nrbins <= 0)
        return;
    const double cascades = std::ceil(std::log2(form.tmaxXCF->value() * 1000 / dtau / nrbins + 1));
    if (!std::isfinite(cascades))
        return;
    // The box clamps to its own range; the clamp here only keeps the conversion defined.
    const double limited = std::clamp(cascades, double(form.ncasc->minimum()), double(form.ncasc->maximum()));
    form.ncasc->setValue(static_cast<int>(limited));
}

void FormControls::BinsizeEdited()
{
    const double step = form.binsize->singleStep();
    if (!(step > 0))
        return;
    // The nearest whole number of sync periods, at least one, as the box shows
    // it: a value that already is one (0.1 µs of a 50.002 ns period, shown
    // with three decimals) stays as it is.
    const double steps = std::max(1.0, std::round(form.binsize->value() / step));
    form.binsize->setValue(steps * step);
}

void FormControls::GateMinimumChanged(int channel)
{
    QDoubleSpinBox *minimum = gateMinimum(channel);
    QDoubleSpinBox *maximum = gateMaximum(channel);
    if (minimum->value() > maximum->value())
        minimum->setValue(maximum->value());
}

void FormControls::GateMaximumChanged(int channel)
{
    QDoubleSpinBox *minimum = gateMinimum(channel);
    QDoubleSpinBox *maximum = gateMaximum(channel);
    if (maximum->value() < minimum->value())
        maximum->setValue(minimum->value());
}

void FormControls::CursorMinimumEdited(int channel)
{
    QDoubleSpinBox *minimum = cursorMinimum(channel);
    QDoubleSpinBox *maximum = cursorMaximum(channel);
    if (minimum->value() > maximum->value())
        minimum->setValue(maximum->value());
}

void FormControls::CursorMaximumEdited(int channel)
{
    QDoubleSpinBox *minimum = cursorMinimum(channel);
    QDoubleSpinBox *maximum = cursorMaximum(channel);
    if (minimum->value() > maximum->value())
        maximum->setValue(minimum->value());
}

void FormControls::SetImageTauBinSize(double value, double maximum)
{
    SetBinBox(form.IStaubinsize, value, maximum, 5);
}

void FormControls::SetLineTauBinSize(double value, double maximum)
{
    SetBinBox(form.LStaubinsize, value, maximum, 5);
}

void FormControls::SetPointTauBinSize(double value, double maximum)
{
    SetBinBox(form.taubinsize, value, maximum, 5);
}

void FormControls::SetTraceBinSize(double value, double maximum)
{
    SetBinBox(form.binsize, value, maximum, 3);
}

double FormControls::ShowTauBinSize(int scanType, double value)
{
    QDoubleSpinBox *box = scanType == 1 ? form.IStaubinsize : scanType == 2 ? form.LStaubinsize : form.taubinsize;
    box->setValue(value);
    return box->value();
}

void FormControls::GetGating(std::vector<double> &minima, std::vector<double> &maxima) const
{
    minima.resize(4);
    maxima.resize(4);
    for (int channel = 1; channel <= 4; ++channel) {
        minima[channel - 1] = gateMinimum(channel)->value();
        maxima[channel - 1] = gateMaximum(channel)->value();
    }
}

void FormControls::GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor) const
{
    starts.resize(4);
    ends.resize(4);
    for (int channel = 1; channel <= 4; ++channel) {
        starts[channel - 1] = cursorMinimum(channel)->value() * factor;
        ends[channel - 1] = cursorMaximum(channel)->value() * factor;
    }
}

Qt::CheckState FormControls::GetRecordColumn(RecordColumn column) const
{
    switch (column) {
    case RecordColumn::Number: return form.CB_Number->checkState();
    case RecordColumn::T3Record: return form.CB_T3Record->checkState();
    case RecordColumn::nSync: return form.CB_nSync->checkState();
    case RecordColumn::Channel: return form.CB_Channel->checkState();
    case RecordColumn::dTime: return form.CB_dTime->checkState();
    case RecordColumn::Marker: return form.CB_Marker->checkState();
    case RecordColumn::TruenSync: return form.CB_TruenSync->checkState();
    case RecordColumn::DelayTime: return form.CB_DelayTime->checkState();
    case RecordColumn::TrueTime: return form.CB_TrueTime->checkState();
    case RecordColumn::DeltaTime: return form.CB_DeltaTime->checkState();
    }
    return Qt::Unchecked;
}
