// libFuzzer target: the .pt3 reader with its record scan, on any bytes.
#include "files/pt3File.h"
#include "fuzz/FuzzFile.h"
#include "support/TestHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QString path = fuzz::WriteInput(data, size, QStringLiteral("input.pt3"));
    TestHost host;
    pt3File file(host);
    // Open reads the header, loads the records and scans them.
    if (file.Open(path) && !file.scanned)
        __builtin_trap();  // an accepted file always has its record scan
    fuzz::ClearScratch();
    return 0;
}
