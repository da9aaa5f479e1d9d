// libFuzzer target: the .ptu tag reader with its record scan, on any bytes.
#include "files/ptuFile.h"
#include "fuzz/FuzzFile.h"
#include "support/TestHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QString path = fuzz::WriteInput(data, size, QStringLiteral("input.ptu"));
    TestHost host;
    ptuFile file(host);
    if (file.Open(path) && !file.scanned)
        __builtin_trap();  // an accepted file always has its record scan
    fuzz::ClearScratch();
    return 0;
}
