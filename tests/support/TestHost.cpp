#include "TestHost.h"

#include "app/CursorGrid.h"

#include <QWidget>
#include <algorithm>
#include <cmath>

void SpinValue::Set(double v)
{
    const double scale = std::pow(10.0, decimals);
    v = std::round(v * scale) / scale;
    value = std::min(std::max(v, minimum), maximum);
}

void SpinValue::Range(double lo, double hi)
{
    minimum = lo;
    maximum = std::max(lo, hi);
    Set(value);
}

TestHost::TestHost()
{
    // The form's defaults after the constructor of the window.
    for (int c = 0; c < 4; ++c) {
        gateMin[c].value = 0;
        gateMax[c].value = 50;
        cursorMin[c] = SpinValue{0, 1e9, 1, 2, 0};
        cursorMax[c] = SpinValue{0, 1e9, 1, 3, 120};
    }
    binsize = SpinValue{0.001, 1e12, 0.1, 3, 0.1};
    taubinsize = SpinValue{0, 1e12, 0, 4, 0};
    SetCorrelationControls(0.05, 0.05, 16, 10);
    for (auto &c : recordColumns)
        c = Qt::Checked;
}

TestHost::~TestHost() = default;

void TestHost::AddMessage(int level, const QString &text)
{
    messages.push_back({level, text});
}

int TestHost::AddTab(QWidget *page, const QString &label)
{
    tabs.emplace_back(page);
    tabLabels << label;
    return tabLabels.size() - 1;
}

void TestHost::GetGating(std::vector<double> &minima, std::vector<double> &maxima)
{
    minima.resize(4);
    maxima.resize(4);
    for (int c = 0; c < 4; ++c) {
        minima[c] = gateMin[c].value;
        maxima[c] = gateMax[c].value;
    }
}

void TestHost::GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor)
{
    starts.resize(4);
    ends.resize(4);
    for (int c = 0; c < 4; ++c) {
        starts[c] = cursorMin[c].value * factor;
        ends[c] = cursorMax[c].value * factor;
    }
}

Qt::CheckState TestHost::GetRecordColumn(RecordColumn column)
{
    return recordColumns[static_cast<int>(column)];
}

void TestHost::SetGatingRanges(double maximum, double step)
{
    for (SpinValue *box : {&gateMin[0], &gateMin[1], &gateMin[2], &gateMin[3],
                           &gateMax[0], &gateMax[1], &gateMax[2], &gateMax[3]}) {
        box->decimals = 3;
        box->step = step;
        box->Range(0, maximum);
        box->Set(std::ceil(box->value / step - 0.5) * step);
    }
}

void TestHost::SetCursorRanges(double start, double end)
{
    const double step = std::floor((end - start) * 10) / 1000;
    start = OutwardThousandth(start, -1);
    end = OutwardThousandth(end, +1);
    for (int c = 0; c < 4; ++c) {
        cursorMin[c] = SpinValue{0, 1e16, step, 3, 0};
        cursorMin[c].Set(start);
    }
    for (int c = 0; c < 4; ++c) {
        cursorMax[c] = SpinValue{0, 1e16, step, 3, 0};
        cursorMax[c].Set(end);
    }
}

void TestHost::SetCorrelationControls(double timeStep, double targetTime, int bins, int cascades)
{
    const double k = std::ceil(1000 * targetTime / timeStep - 0.5);
    dtau = SpinValue{timeStep / 1000, 1e13, timeStep / 1000, 3, 0};
    dtau.Set(k * timeStep / 1000);
    nrbins = std::max(2, bins);
    ncasc = std::max(1, cascades);
}

void TestHost::SetGate(int channel, double minimum, double maximum)
{
    gateMin[channel - 1].Set(minimum);
    gateMax[channel - 1].Set(maximum);
}

void TestHost::SetCursor(int channel, double start, double end)
{
    cursorMin[channel - 1].Set(start);
    cursorMax[channel - 1].Set(end);
}

QStringList TestHost::Messages(int level) const
{
    QStringList out;
    for (const auto &m : messages)
        if (level < 0 || m.level == level)
            out << m.text;
    return out;
}

bool TestHost::Logged(const QString &text, int level) const
{
    for (const auto &m : messages)
        if (m.level == level && m.text == text)
            return true;
    return false;
}

void TestHost::SetBin(SpinValue &box, double value, double maximum, int decimals)
{
    box.decimals = decimals;
    box.minimum = value;
    box.maximum = std::max(value, maximum);
    box.step = value;
    box.Set(value);
}
