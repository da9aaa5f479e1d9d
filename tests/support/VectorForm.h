#pragma once
/// The forms of a pass as test parameters: 0 record by record, 1 AVX2, 2 AVX-512.
/// A form this processor lacks is skipped with the reason, never replaced by another.
#include "scans/VectorForms.h"

#include <gtest/gtest.h>
#include <string>

inline const char *FormName(int level) { return level == 0 ? "RecordByRecord" : level == 1 ? "AVX2" : "AVX512"; }
inline std::string FormParamName(const testing::TestParamInfo<int> &info) { return FormName(info.param); }

class VectorFormTest : public testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (GetParam() > VectorLevelOfProcessor())
            GTEST_SKIP() << FormName(GetParam()) << " does not run on this processor";
    }
};
