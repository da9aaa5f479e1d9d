#pragma once
/*!
 * \brief Text pieces the header and summary panes are made of.
 */
#include <QString>

/// "label : value" and a line break, \p label right-aligned in \p width characters.
QString LabelValueLine(const QString &label, const QString &value, int width = 25);
/// The Latin-1 text of \p size bytes at \p p up to its first NUL byte (all of it without one).
QString TextUpToNul(const char *p, int size);
