#include "widgets/LifetimeMap.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

LifetimeMap::LifetimeMap(QWidget *parent) : QWidget(parent)
{
    setMinimumSize(200, 160);
}

QColor LifetimeMap::ScaleColour(double v, double lowEnd, double highEnd)
{
    const double f = highEnd > lowEnd ? std::clamp((v - lowEnd) / (highEnd - lowEnd), 0.0, 1.0) : 0.5;
    // Hue from blue (240°) to red (0°).
    return QColor::fromHsvF((1.0 - f) * 240.0 / 360.0, 1.0, 1.0);
}

void LifetimeMap::SetData(uint32_t w, uint32_t h, const std::vector<float> &v, const std::vector<uint32_t> &counts,
                          double lowEnd, double highEnd, const QString &unitText)
{
    mapWidth = w;
    mapHeight = h;
    values = v;
    intensity = counts;
    low = lowEnd;
    high = highEnd;
    unit = unitText;
    Render();
}

void LifetimeMap::SetHighlight(const std::vector<bool> &pixels)
{
    highlight = pixels;
    Render();
}

void LifetimeMap::Render()
{
    image = QImage(static_cast<int>(mapWidth), static_cast<int>(mapHeight), QImage::Format_RGB32);
    const uint32_t top = intensity.empty() ? 1 : std::max<uint32_t>(1, *std::max_element(intensity.begin(), intensity.end()));
    for (uint32_t y = 0; y < mapHeight; ++y)
        for (uint32_t x = 0; x < mapWidth; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * mapWidth + x;
            QColor c = Qt::black;
            if (p < highlight.size() && highlight[p])
                c = QColor(255, 0, 200);
            else if (p < values.size() && !std::isnan(values[p])) {
                c = ScaleColour(values[p], low, high);
                const double brightness = p < intensity.size() ? std::sqrt(double(intensity[p]) / top) : 1.0;
                c = QColor::fromHsvF(c.hsvHueF(), 1.0, std::clamp(brightness, 0.15, 1.0));
            }
            image.setPixel(static_cast<int>(x), static_cast<int>(y), c.rgb());
        }
    update();
}

void LifetimeMap::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int bar = 60;
    const QRect area(0, 0, std::max(1, width() - bar), height());
    if (!image.isNull()) {
        const QSize size = image.size().scaled(area.size(), Qt::KeepAspectRatio);
        painter.drawImage(QRect(QPoint(0, 0), size), image);
    }
    // The colour bar: high at the top.
    const int x = area.right() + 8, top = 10, bottom = height() - 10;
    for (int y = top; y <= bottom; ++y)
        painter.fillRect(x, y, 14, 1, ScaleColour(high - (high - low) * (y - top) / std::max(1, bottom - top), low, high));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(x + 16, top + 10, QString::number(high, 'g', 3) + QStringLiteral(" ") + unit);
    painter.drawText(x + 16, bottom, QString::number(low, 'g', 3) + QStringLiteral(" ") + unit);
}
