#pragma once
/*!
 * \brief The lifetime options of fotonel-convert: --phasor with --harmonic,
 * --reference, --reference-tau, --threshold and --median; --fit-decay with
 * --components, --irf and --binning. They fill the Lifetime group.
 */
#include <QString>
#include <QStringList>

class QCommandLineParser;
struct Options;

void AddLifetimeOptions(QCommandLineParser &parser);
/// Refuses a numeric lifetime option whose value is missing (\p error names it).
bool CheckLifetimeValues(const QStringList &argv, QString &error);
/// The lifetime options into \p options; false with \p error for a bad value.
bool ParseLifetimeOptions(const QCommandLineParser &parser, Options &options, QString &error);
