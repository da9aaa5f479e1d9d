#include "scans/ChannelColour.h"

QColor ChannelColour(int index)
{
    static const char *const colours[] = {"#66b3da", "#69bd45", "#f6dc1e", "#ba519f"};
    if (index < 0)
        return QColor(QStringLiteral("#000000"));
    return QColor(QLatin1String(colours[index % 4]));
}
