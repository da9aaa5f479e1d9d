// The parameter boxes of the settings tool box: the limits their handlers
// keep and the set-up operations through which analyses range them.
#include "app/Fotonel.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <array>
#include <cmath>

namespace {

class ControlsTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Make();
    }
    QDoubleSpinBox *D(const QString &name) { return W<QDoubleSpinBox>(name); }
    QSpinBox *I(const QString &name) { return W<QSpinBox>(name); }
    /// Types \p text into a box and, when \p commit, ends with Return as a user does.
    void Type(QDoubleSpinBox *box, const QString &text, bool commit = true)
    {
        box->setFocus();
        box->selectAll();
        box->findChild<QLineEdit *>()->setText(text);
        if (commit)
            emit box->editingFinished();
    }
};

} // namespace

TEST_F(ControlsTest, GateMinimumStaysAtOrBelowItsMaximumCursorMaximumIsRaisedOnCommitOnly)
{
    D("Ch1_Gating_Min")->setValue(60);
    EXPECT_EQ(D("Ch1_Gating_Min")->value(), 50);
    D("Ch3_Gating_Min")->setValue(20);
    D("Ch3_Gating_Max")->setValue(10);
    EXPECT_EQ(D("Ch3_Gating_Max")->value(), 20);
    EXPECT_EQ(D("Ch3_Gating_Min")->value(), 20);
    // Typed gate values are pulled down while typing, before any commit.
    Type(D("Ch2_Gating_Min"), "60", false);
    EXPECT_EQ(D("Ch2_Gating_Min")->value(), 50);

    D("Ch2_Cursor_Min")->setValue(5);
    Type(D("Ch2_Cursor_Max"), "2", false);
    EXPECT_EQ(D("Ch2_Cursor_Max")->value(), 2); // still typing
    emit D("Ch2_Cursor_Max")->editingFinished();
    EXPECT_EQ(D("Ch2_Cursor_Max")->value(), 5);
    D("Ch4_Cursor_Max")->setValue(3);
    Type(D("Ch4_Cursor_Min"), "7");
    EXPECT_EQ(D("Ch4_Cursor_Min")->value(), 3);
    EXPECT_EQ(D("Ch4_Cursor_Max")->value(), 3);
}

TEST_F(ControlsTest, ResetAndRangesRoundGatesToWholeBins)
{
    D("Ch1_Gating_Min")->setValue(10);
    D("Ch4_Gating_Max")->setValue(20);
    W<QPushButton>("ResetGatingButton")->click(); // no sync period: 0 to 51
    EXPECT_EQ(D("Ch1_Gating_Min")->value(), 0);
    EXPECT_EQ(D("Ch4_Gating_Max")->value(), 51);
    window->controls.ResetGating(-3);
    EXPECT_EQ(D("Ch2_Gating_Max")->value(), 51);
    window->controls.ResetGating(25);
    EXPECT_EQ(D("Ch2_Gating_Max")->value(), 25);

    D("Ch1_Gating_Min")->setValue(1.23);
    window->SetGatingRanges(12.5, 0.004);
    // 1.23 / 0.004 = 307.5 -> ceil(307.0) = 307 bins = 1.228 ns; 50 is cut to 12.5.
    EXPECT_DOUBLE_EQ(D("Ch1_Gating_Min")->value(), 1.228);
    EXPECT_DOUBLE_EQ(D("Ch1_Gating_Max")->value(), 12.5);
    EXPECT_DOUBLE_EQ(D("Ch4_Gating_Max")->maximum(), 12.5);
    // A file without a usable resolution leaves the values alone.
    window->SetGatingRanges(12.5, 0);
    EXPECT_DOUBLE_EQ(D("Ch1_Gating_Min")->value(), 1.228);
    EXPECT_FALSE(std::isnan(D("Ch1_Gating_Max")->value()));
}

TEST_F(ControlsTest, CursorRangesStepOnePercentOfTheSpan)
{
    window->SetCursorRanges(0, 60);
    EXPECT_DOUBLE_EQ(D("Ch4_Cursor_Min")->singleStep(), 0.6);
    EXPECT_DOUBLE_EQ(D("Ch4_Cursor_Max")->value(), 60);
    window->SetCursorRanges(0, 0.05);
    EXPECT_DOUBLE_EQ(D("Ch1_Cursor_Min")->singleStep(), 0);
    window->SetCursorRanges(1.5, 2.25);
    EXPECT_DOUBLE_EQ(D("Ch3_Cursor_Max")->singleStep(), 0.007);
    std::vector<double> starts, ends;
    window->GetCursors(starts, ends, 1e9);
    ASSERT_EQ(ends.size(), 4u);
    EXPECT_DOUBLE_EQ(starts[3], 1.5e9);
    EXPECT_DOUBLE_EQ(ends[0], 2.25e9);

    // The span of the data is rounded outwards to the boxes' thousandths, so
    // applying the cursors unchanged keeps the first and the last photon.
    for (const auto &c : {std::array<double, 4>{0.0014, 2.0741, 0.001, 2.075},
                          std::array<double, 4>{0.0016, 2.0749, 0.001, 2.075},
                          std::array<double, 4>{0.0004, 0.07, 0, 0.07}}) {
        window->SetCursorRanges(c[0], c[1]);
        EXPECT_DOUBLE_EQ(D("Ch2_Cursor_Min")->value(), c[2]) << c[0];
        EXPECT_DOUBLE_EQ(D("Ch2_Cursor_Max")->value(), c[3]) << c[1];
    }
}

TEST_F(ControlsTest, CorrelationStepIsAWholeNumberOfSyncPeriods)
{
    window->SetCorrelationControls(12.5, 0.05, 16, 10);
    EXPECT_DOUBLE_EQ(D("dtau")->value(), 0.05); // k = 4
    EXPECT_DOUBLE_EQ(D("dtau")->singleStep(), 0.0125);
    window->SetCorrelationControls(12.5, 0.03, 8, 4);
    EXPECT_DOUBLE_EQ(D("dtau")->value(), 0.025); // k = ceil(2.4 - 0.5) = 2
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 0.003); // 0.025 x 8 x 15 / 1000 ms
    // A zero period would divide by zero: the step box keeps its value.
    window->SetCorrelationControls(0, 0.05, 16, 10);
    EXPECT_DOUBLE_EQ(D("dtau")->value(), 0.025);
}

TEST_F(ControlsTest, MaximumLagAndCascadesFollowEachOther)
{
    I("nrbins")->setValue(8);
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 0.409); // 0.05 x 8 x 1023 / 1000 = 0.4092
    I("ncasc")->setValue(12);
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 1.638); // 0.05 x 8 x 4095 / 1000 = 1.638

    I("nrbins")->setValue(16);
    Type(D("tmaxXCF"), "10");
    // log2(10 * 1000 / 0.05 / 16 + 1) = log2(12501) = 13.6 -> 14 cascades,
    // and 0.05 x 16 x 16383 / 1000 = 13.1064.
    EXPECT_EQ(I("ncasc")->value(), 14);
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 13.106);
    // Same cascade count: the typed value stays.
    Type(D("tmaxXCF"), "12");
    EXPECT_EQ(I("ncasc")->value(), 14);
    EXPECT_DOUBLE_EQ(D("tmaxXCF")->value(), 12);

    // 0.3 and 0.7 are whole trace bin steps already: binary rounding of 0.3 / 0.1 must not lose one.
    for (const auto &c : {std::make_pair("0.35", 0.3), std::make_pair("0.3", 0.3), std::make_pair("0.7", 0.7)}) {
        Type(D("binsize"), c.first);
        EXPECT_DOUBLE_EQ(D("binsize")->value(), c.second) << c.first;
    }
}
