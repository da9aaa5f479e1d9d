#pragma once
/*!
 * \brief The lifetime options of fotonel-convert: --phasor with --harmonic,
 * --reference, --reference-tau, --threshold and --median; --fit-decay with
 * --components, --irf and --binning; --phasor-cursor with both. They fill
 * the Lifetime group (and the phasor cursor of the Phasor tab).
 */
#include <QString>
#include <QStringList>

class QCommandLineParser;
struct Options;

void AddLifetimeOptions(QCommandLineParser &parser);
/// Refuses a lifetime option whose value is missing or, for a numeric one, no number (\p error names it).
bool CheckLifetimeValues(const QStringList &argv, QString &error);
/// The lifetime options into \p options; false with \p error for a bad value.
bool ParseLifetimeOptions(const QCommandLineParser &parser, Options &options, QString &error);
