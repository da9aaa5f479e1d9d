#include "files/HeaderText.h"

#include <algorithm>
#include <cstring>

QString LabelValueLine(const QString &label, const QString &value, int width)
{
    return label.rightJustified(width, QLatin1Char(' ')) + QStringLiteral(" : ") + value + QLatin1Char('\n');
}

QString TextUpToNul(const char *p, int size)
{
    const void *nul = size > 0 ? std::memchr(p, '\0', static_cast<std::size_t>(size)) : nullptr;
    return QString::fromLatin1(p, nul ? static_cast<int>(static_cast<const char *>(nul) - p) : std::max(size, 0));
}
