#pragma once
// fotonel-convert run in-process: its exit status and what it printed.
#include "tools/convert/Converter.h"

#include <QApplication>
#include <QTextStream>

struct ConvertRun {
    int code;
    QString out;
};

inline ConvertRun Convert(const QStringList &arguments)
{
    static int argc = 1;
    static char name[] = "fotonel-tests";
    static char *argv[] = {name, nullptr};
    if (!qApp)
        static QApplication app(argc, argv);
    QString text;
    QTextStream out(&text);
    const int code = RunConverter(arguments, out);
    out.flush();
    return {code, text};
}
