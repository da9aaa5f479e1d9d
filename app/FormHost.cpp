#include "app/FormHost.h"

#include "app/FitGroup.h"
#include "app/LifetimeGroup.h"
#include "ui_Fotonel.h"

FormHost::FormHost(Ui::Fotonel &form) : controls(form) {}

void FormHost::GetGating(std::vector<double> &minima, std::vector<double> &maxima)
{
    controls.GetGating(minima, maxima);
}

void FormHost::GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor)
{
    controls.GetCursors(starts, ends, factor);
}

double FormHost::GetDtau() { return controls.form.dtau->value(); }
int FormHost::GetNrbins() { return controls.form.nrbins->value(); }
int FormHost::GetNcasc() { return controls.form.ncasc->value(); }
double FormHost::GetBinsize() { return controls.form.binsize->value(); }
double FormHost::GetTaubinsize() { return controls.form.taubinsize->value(); }
double FormHost::GetIStaubinsize() { return controls.form.IStaubinsize->value(); }
double FormHost::GetLStaubinsize() { return controls.form.LStaubinsize->value(); }
int FormHost::GetISImageWidth() { return controls.form.ISImageWidth->value(); }
int FormHost::GetLSImageWidth() { return controls.form.LSImageWidth->value(); }
Qt::CheckState FormHost::GetISImageWidthcheck() { return controls.form.ISImageWidthcheck->checkState(); }
Qt::CheckState FormHost::GetLSImageWidthcheck() { return controls.form.LSImageWidthcheck->checkState(); }

Qt::CheckState FormHost::GetRecordColumn(RecordColumn column)
{
    return controls.GetRecordColumn(column);
}

void FormHost::SetGatingRanges(double maximum, double step) { controls.SetGatingRanges(maximum, step); }
std::vector<int> FormHost::CarryGatesTo(double range, double step) { return controls.CarryGatesTo(range, step); }
void FormHost::SetCursorRanges(double start, double end) { controls.SetCursorRanges(start, end); }

void FormHost::SetCorrelationControls(double timeStep, double targetTime, int nrbins, int ncasc)
{
    controls.SetCorrelationControls(timeStep, targetTime, nrbins, ncasc);
}

void FormHost::SetImageTauBinSize(double value, double maximum) { controls.SetImageTauBinSize(value, maximum); }
void FormHost::SetLineTauBinSize(double value, double maximum) { controls.SetLineTauBinSize(value, maximum); }
void FormHost::SetPointTauBinSize(double value, double maximum) { controls.SetPointTauBinSize(value, maximum); }
void FormHost::SetTraceBinSize(double value, double maximum) { controls.SetTraceBinSize(value, maximum); }
double FormHost::ShowTauBinSize(int scanType, double value) { return controls.ShowTauBinSize(scanType, value); }

fcs::FitSettings FormHost::GetFitSettings()
{
    return fitGroup ? fitGroup->Settings() : fcs::FitSettings{};
}

void FormHost::AddFitGroup()
{
    if (fitGroup)
        return;
    // Below the correlation and trace boxes, above the page's closing spacer.
    QVBoxLayout *page = controls.form.verticalLayout_9;
    fitGroup = new FitGroup(controls.form.page_10);
    page->insertWidget(page->count() - 1, fitGroup);
}

flim::Settings FormHost::GetLifetimeSettings()
{
    return lifetimeGroup ? lifetimeGroup->Settings() : flim::Settings{};
}

bool FormHost::PhasorsWithoutFits()
{
    return lifetimeGroup && lifetimeGroup->phasors->isChecked() && !lifetimeGroup->fits->isChecked();
}

void FormHost::AddLifetimeGroup()
{
    if (lifetimeGroup)
        return;
    // Below the image scan boxes, above the page's closing spacer.
    QVBoxLayout *page = controls.form.verticalLayout_11;
    lifetimeGroup = new LifetimeGroup(controls.form.page_13);
    page->insertWidget(page->count() - 1, lifetimeGroup);
}
