#pragma once
/*!
 * \brief The form half of the host services: every value an analysis reads
 * from the settings form and every set-up operation with which it ranges the
 * form, answered from the widgets of a built Ui::Fotonel form.
 *
 * The window and the command-line converter both derive from it, so the two
 * read and range the same widgets with the same code; they add the log, the
 * panes, the progress bar and the tabs of their own.
 */
#include "app/FormControls.h"
#include "host/FotonelServices.h"

class FitGroup;
class LifetimeGroup;

class FormHost : public FotonelServices {
public:
    explicit FormHost(Ui::Fotonel &form);

    void GetGating(std::vector<double> &minima, std::vector<double> &maxima) override;
    void GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor) override;
    double GetDtau() override;
    int GetNrbins() override;
    int GetNcasc() override;
    double GetBinsize() override;
    double GetTaubinsize() override;
    double GetIStaubinsize() override;
    double GetLStaubinsize() override;
    int GetISImageWidth() override;
    int GetLSImageWidth() override;
    Qt::CheckState GetISImageWidthcheck() override;
    Qt::CheckState GetLSImageWidthcheck() override;
    Qt::CheckState GetRecordColumn(RecordColumn column) override;
    /// The Fit group's values; the defaults before AddFitGroup.
    fcs::FitSettings GetFitSettings() override;
    /// The Lifetime group's values; the defaults before AddLifetimeGroup.
    flim::Settings GetLifetimeSettings() override;
    bool PhasorsWithoutFits() override;

    void SetGatingRanges(double maximum, double step) override;
    std::vector<int> CarryGatesTo(double range, double step) override;
    void SetCursorRanges(double start, double end) override;
    void SetCorrelationControls(double timeStep, double targetTime, int nrbins, int ncasc) override;
    void SetImageTauBinSize(double value, double maximum) override;
    void SetLineTauBinSize(double value, double maximum) override;
    void SetPointTauBinSize(double value, double maximum) override;
    void SetTraceBinSize(double value, double maximum) override;
    double ShowTauBinSize(int scanType, double value) override;

    /// Builds the Fit group into the point scan page of the set-up form.
    void AddFitGroup();
    /// Builds the Lifetime group into the image scan page of the set-up form.
    void AddLifetimeGroup();

    FormControls controls;
    FitGroup *fitGroup = nullptr;  ///< owned by the form's point scan page
    LifetimeGroup *lifetimeGroup = nullptr;  ///< owned by the form's image scan page
};
