#pragma once
/*!
 * \brief A host for files and analyses under test: records every log line,
 * progress value and pane text, and keeps the form values the way the
 * window's spin boxes would (clamped to their range, rounded to their decimals).
 */
#include "host/FotonelServices.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class QWidget;

/// A number box as a QDoubleSpinBox keeps it.
struct SpinValue {
    double minimum = 0;
    double maximum = 99.99;
    double step = 1;
    int decimals = 2;
    double value = 0;
    void Set(double v);                     ///< clamp, then round to the decimals
    void Range(double lo, double hi);       ///< keeps value inside the new range
};

struct LoggedMessage {
    int level;
    QString text;
};

class TestHost : public FotonelServices {
public:
    TestHost();
    ~TestHost() override;
    using FotonelServices::AddMessage;

    void AddMessage(int level, const QString &text) override;
    void AddSummaryText(const QString &text) override { summary += text; }
    void AddHeaderText(const QString &text) override { header += text; }
    void SetProgress(int percent) override { progress.push_back(percent); }
    void ProcessEvents() override { ++eventsProcessed; }
    void SetToolBoxPage(int page) override { toolBoxPage = page; }
    int AddTab(QWidget *page, const QString &label) override;
    void ShowTab(const QString &objectName) override { shownTab = objectName; }

    void GetGating(std::vector<double> &minima, std::vector<double> &maxima) override;
    void GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor) override;
    double GetDtau() override { return dtau.value; }
    int GetNrbins() override { return nrbins; }
    int GetNcasc() override { return ncasc; }
    double GetBinsize() override { return binsize.value; }
    double GetTaubinsize() override { return taubinsize.value; }
    double GetIStaubinsize() override { return IStaubinsize.value; }
    double GetLStaubinsize() override { return LStaubinsize.value; }
    int GetISImageWidth() override { return ISImageWidth; }
    int GetLSImageWidth() override { return LSImageWidth; }
    Qt::CheckState GetISImageWidthcheck() override { return ISImageWidthcheck; }
    Qt::CheckState GetLSImageWidthcheck() override { return LSImageWidthcheck; }
    Qt::CheckState GetRecordColumn(RecordColumn column) override;

    void SetGatingRanges(double maximum, double step) override;
    void SetCursorRanges(double start, double end) override;
    void SetCorrelationControls(double timeStep, double targetTime, int nrbins, int ncasc) override;
    void SetImageTauBinSize(double value, double maximum) override { SetBin(IStaubinsize, value, maximum, 5); }
    void SetLineTauBinSize(double value, double maximum) override { SetBin(LStaubinsize, value, maximum, 5); }
    void SetPointTauBinSize(double value, double maximum) override { SetBin(taubinsize, value, maximum, 5); }
    void SetTraceBinSize(double value, double maximum) override { SetBin(binsize, value, maximum, 3); }
    double ShowTauBinSize(int scanType, double value) override
    {
        SpinValue &box = scanType == 1 ? IStaubinsize : scanType == 2 ? LStaubinsize : taubinsize;
        box.Set(value);
        return box.value;
    }
    QString GetVersion() const override { return version; }

    /// Convenience for tests: sets one channel's gate (ns) or cursors (s).
    void SetGate(int channel, double minimum, double maximum);
    void SetCursor(int channel, double start, double end);

    /// Texts of the logged lines at \p level (all levels when -1).
    QStringList Messages(int level = -1) const;
    /// True when a line with exactly \p text was logged at \p level.
    bool Logged(const QString &text, int level = MessageNormal) const;

    std::vector<LoggedMessage> messages;
    QString summary;
    QString header;
    std::vector<int> progress;
    int eventsProcessed = 0;
    int toolBoxPage = -1;
    QString shownTab;
    QStringList tabLabels;
    std::vector<std::unique_ptr<QWidget>> tabs;

    SpinValue gateMin[4];
    SpinValue gateMax[4];
    SpinValue cursorMin[4];
    SpinValue cursorMax[4];
    SpinValue dtau;
    int nrbins = 16;
    int ncasc = 10;
    SpinValue binsize;
    SpinValue taubinsize;
    SpinValue IStaubinsize;
    SpinValue LStaubinsize;
    int ISImageWidth = 32;
    int LSImageWidth = 32;
    Qt::CheckState ISImageWidthcheck = Qt::Unchecked;
    Qt::CheckState LSImageWidthcheck = Qt::Unchecked;
    Qt::CheckState recordColumns[10];
    QString version = "0.51";

private:
    static void SetBin(SpinValue &box, double value, double maximum, int decimals);
};
