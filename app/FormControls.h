#pragma once
/*!
 * \brief The behaviour of the settings form's parameter boxes: the limits
 * each handler keeps and the set-up operations through which an analysis
 * ranges the boxes for a new file.
 *
 * Works on the widgets of a built Ui::Fotonel form. The main window forwards
 * its by-name slots and its services here; the command-line converter uses
 * the same class on a hidden form, so both behave alike to the digit.
 */
#include "host/FotonelServices.h"

#include <vector>

namespace Ui {
class Fotonel;
}
class QDoubleSpinBox;

class FormControls {
public:
    explicit FormControls(Ui::Fotonel &form);

    /// The start-up values of the boxes the form leaves at the toolkit's
    /// defaults: trace bin, point lifetime bin and the correlation controls.
    void SetUpParameterBoxes();

    // set-up operations (ns, s, µs as named in FotonelServices)
    void SetGatingRanges(double maximum, double step);
    /// See FotonelServices::CarryGatesTo.
    std::vector<int> CarryGatesTo(double range, double step);
    /// True when channel \p channel's gate spans the whole of gateRange.
    bool GateIsWhole(int channel) const;
    void SetGatingValues(double minimum, double maximum);
    void SetCursorRanges(double start, double end);
    void SetCorrelationControls(double timeStep, double targetTime, int nrbins, int ncasc);
    void UpdateTmax();
    void SetImageTauBinSize(double value, double maximum);
    void SetLineTauBinSize(double value, double maximum);
    void SetPointTauBinSize(double value, double maximum);
    void SetTraceBinSize(double value, double maximum);
    /// The lifetime bin box of scan type 1 image, 2 line, 3 point shows \p value; returns what it holds.
    double ShowTauBinSize(int scanType, double value);

    // handlers; channel is 1..4
    void GateMinimumChanged(int channel);  ///< minimum above maximum: pulled down to it
    void GateMaximumChanged(int channel);  ///< maximum below minimum: raised to it
    void CursorMinimumEdited(int channel);
    void CursorMaximumEdited(int channel);
    void TmaxEdited();                     ///< ncasc from the wanted maximum lag
    void BinsizeEdited();                  ///< binsize to the nearest whole number of steps (at least one)
    /// Reset gating: gates to 0 .. syncPeriod (51 ns when the period is not positive).
    void ResetGating(double syncPeriod);

    // values read by the analyses
    void GetGating(std::vector<double> &minima, std::vector<double> &maxima) const;
    void GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor) const;
    Qt::CheckState GetRecordColumn(RecordColumn column) const;

    QDoubleSpinBox *gateMinimum(int channel) const;  ///< 1..4
    QDoubleSpinBox *gateMaximum(int channel) const;
    QDoubleSpinBox *cursorMinimum(int channel) const;
    QDoubleSpinBox *cursorMaximum(int channel) const;

    Ui::Fotonel &form;
    /// ns: the delay range (sync period) of the file the gates were set on;
    /// 0 when unknown (the form's start-up gates, an older settings file).
    double gateRange = 0;
    /// ns: the delay step (resolution) of that file, to which the gates are rounded.
    double gateStep = 0;
};
