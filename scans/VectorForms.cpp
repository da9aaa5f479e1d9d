#include "scans/VectorForms.h"

int VectorLevelOfProcessor()
{
#ifdef FOTONEL_VECTOR_FORMS
    static const int level = [] {
        if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("popcnt") || !__builtin_cpu_supports("bmi"))
            return 0;
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                       __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                       __builtin_cpu_supports("bmi2")
                   ? 2
                   : 1;
    }();
    return level;
#else
    return 0;
#endif
}
