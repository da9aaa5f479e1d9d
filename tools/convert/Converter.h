#pragma once
/*!
 * \brief fotonel-convert: opens each measurement file given on the command
 * line with the same open and conversion code as the window, printing the log
 * lines, the header and the summary, and writing the header text file.
 */
#include <QStringList>
#include <QTextStream>

/// Runs the converter on \p arguments (without the program name). Output
/// goes to \p out; returns the process exit code: 0 when every file was
/// opened and converted, 1 when any failed, 2 for a usage error.
int RunConverter(const QStringList &arguments, QTextStream &out);
/// The same with the human text (log, header, summary, fit tables) in
/// \p jsonText when --json puts one JSON line per file into \p out; the
/// first form sends that text to standard error.
int RunConverter(const QStringList &arguments, QTextStream &out, QTextStream &jsonText);
