#pragma once
// The host of the benchmarks: no window, no log; the form holds open gates and
// cursors, and the lifetime bin boxes keep what the analyses set them to.
#include "host/FotonelServices.h"

#include <vector>

class BenchHost : public FotonelServices {
public:
    void AddMessage(int, const QString &) override {}
    void AddSummaryText(const QString &) override {}
    void AddHeaderText(const QString &) override {}
    void SetProgress(int) override {}
    void ProcessEvents() override {}
    void SetToolBoxPage(int) override {}
    int AddTab(QWidget *, const QString &) override { return -1; }
    void ShowTab(const QString &) override {}
    void GetGating(std::vector<double> &lo, std::vector<double> &hi) override
    {
        lo.assign(4, 0);
        hi.assign(4, 1e9);
    }
    void GetCursors(std::vector<double> &lo, std::vector<double> &hi, double factor) override
    {
        lo.assign(4, 0);
        hi.assign(4, 1e16 * factor);
    }
    double GetDtau() override { return 0.05; }
    int GetNrbins() override { return 16; }
    int GetNcasc() override { return 10; }
    double GetBinsize() override { return 1; }
    double GetTaubinsize() override { return tauBin; }
    double GetIStaubinsize() override { return tauBin; }
    double GetLStaubinsize() override { return tauBin; }
    int GetISImageWidth() override { return 32; }
    int GetLSImageWidth() override { return 32; }
    Qt::CheckState GetISImageWidthcheck() override { return Qt::Unchecked; }
    Qt::CheckState GetLSImageWidthcheck() override { return Qt::Unchecked; }
    Qt::CheckState GetRecordColumn(RecordColumn) override { return Qt::Checked; }
    void SetGatingRanges(double, double) override {}
    void SetCursorRanges(double, double) override {}
    void SetCorrelationControls(double, double, int, int) override {}
    void SetImageTauBinSize(double value, double) override { tauBin = value; }
    void SetLineTauBinSize(double value, double) override { tauBin = value; }
    void SetPointTauBinSize(double value, double) override { tauBin = value; }
    void SetTraceBinSize(double, double) override {}
    double ShowTauBinSize(int, double value) override { return tauBin = value; }
    QString GetVersion() const override { return QStringLiteral("bench"); }

    double tauBin = 0.016;
};
