#pragma once
/*!
 * \brief The host a second measurement (a lifetime reference, an instrument
 * response) is opened with while an analysis runs: its warnings and errors
 * reach the user's log, everything else it would show or set (header and
 * summary panes, progress, tabs, the form's ranges) is dropped, so the
 * panes and the form keep describing the file at hand.
 */
#include "host/FotonelServices.h"

class SideFileHost : public FotonelServices {
public:
    explicit SideFileHost(FotonelServices &host) : host(host) {}
    using FotonelServices::AddMessage;

    void AddMessage(int level, const QString &text) override
    {
        if (level == MessageError || level == MessageWarning)
            host.AddMessage(level, text);
    }
    void AddSummaryText(const QString &) override {}
    void AddHeaderText(const QString &) override {}
    void SetProgress(int) override {}
    void ProcessEvents() override {}
    void SetToolBoxPage(int) override {}
    int AddTab(QWidget *, const QString &) override { return -1; }
    void ShowTab(const QString &) override {}
    void GetGating(std::vector<double> &minima, std::vector<double> &maxima) override { host.GetGating(minima, maxima); }
    void GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor) override
    {
        host.GetCursors(starts, ends, factor);
    }
    double GetDtau() override { return host.GetDtau(); }
    int GetNrbins() override { return host.GetNrbins(); }
    int GetNcasc() override { return host.GetNcasc(); }
    double GetBinsize() override { return host.GetBinsize(); }
    double GetTaubinsize() override { return host.GetTaubinsize(); }
    double GetIStaubinsize() override { return host.GetIStaubinsize(); }
    double GetLStaubinsize() override { return host.GetLStaubinsize(); }
    int GetISImageWidth() override { return host.GetISImageWidth(); }
    int GetLSImageWidth() override { return host.GetLSImageWidth(); }
    Qt::CheckState GetISImageWidthcheck() override { return host.GetISImageWidthcheck(); }
    Qt::CheckState GetLSImageWidthcheck() override { return host.GetLSImageWidthcheck(); }
    Qt::CheckState GetRecordColumn(RecordColumn column) override { return host.GetRecordColumn(column); }
    void SetGatingRanges(double, double) override {}
    void SetCursorRanges(double, double) override {}
    void SetCorrelationControls(double, double, int, int) override {}
    void SetImageTauBinSize(double, double) override {}
    void SetLineTauBinSize(double, double) override {}
    void SetPointTauBinSize(double, double) override {}
    void SetTraceBinSize(double, double) override {}
    double ShowTauBinSize(int, double value) override { return value; }
    QString GetVersion() const override { return host.GetVersion(); }

private:
    FotonelServices &host;
};
