// libFuzzer target: a whole conversion through the headless host with every
// export, into a scratch folder. The first byte picks the image export
// (TIFF stack, TIFF images or raw) and its bit depth; the rest is the file,
// read as .ptu when it starts with the PTU magic and as .pt3 otherwise.
#include "fuzz/FuzzFile.h"
#include "tools/convert/Converter.h"

#include <QApplication>
#include <QTextStream>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Exports of damaged headers can ask for gigabytes on disk: writes past
    // 32 MB fail (as on a full disk) instead of filling the scratch folder.
    struct rlimit limit = {32u << 20, 32u << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_IGN);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    // libFuzzer installs its own SIGXFSZ handler after LLVMFuzzerInitialize
    // and ends the run on the first write past the limit; ignoring the signal
    // here again makes that write fail with EFBIG, as on a full disk.
    static const bool ignored = signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)ignored;
    if (size < 1)
        return 0;
    const uint8_t choice = data[0];
    ++data;
    --size;
    const bool ptu = size >= 6 && std::memcmp(data, "PQTTTR", 6) == 0;
    const QString path = fuzz::WriteInput(data, size, ptu ? QStringLiteral("input.ptu") : QStringLiteral("input.pt3"));
    static const char *const types[] = {"stack", "images", "raw"};
    const QStringList arguments = {QStringLiteral("--export"), QString::fromLatin1(types[choice % 3]),
                                   QStringLiteral("--bits"), (choice & 4) ? QStringLiteral("8") : QStringLiteral("16"),
                                   QStringLiteral("--decay"), QStringLiteral("--records"), QStringLiteral("--correlate"),
                                   QStringLiteral("--trace"), QStringLiteral("--histogram"), path};
    QString sink;
    QTextStream out(&sink);
    const int code = RunConverter(arguments, out);
    if (code != 0 && code != 1)
        __builtin_trap();  // options are fixed: only success or a failed file
    fuzz::ClearScratch();
    return 0;
}
