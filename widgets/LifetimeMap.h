#pragma once
/*!
 * \brief A map of values per pixel (lifetimes in ns) in a colour scale,
 * each pixel as bright as its intensity, NaN black, with a colour bar
 * labelled with the scale's ends; chosen pixels can be highlighted.
 */
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

class LifetimeMap : public QWidget {
    Q_OBJECT

public:
    explicit LifetimeMap(QWidget *parent = nullptr);

    /// \p values and \p intensity of \p width x \p height pixels, row by row;
    /// the colour scale runs from \p low to \p high (\p unit on the bar).
    void SetData(uint32_t width, uint32_t height, const std::vector<float> &values,
                 const std::vector<uint32_t> &intensity, double low, double high, const QString &unit);
    /// Pixels drawn in the highlight colour (empty: none).
    void SetHighlight(const std::vector<bool> &pixels);
    /// The colour of \p v on a scale from \p low to \p high: blue through green to red.
    static QColor ScaleColour(double v, double low, double high);
    const QImage &Image() const { return image; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void Render();

    uint32_t mapWidth = 0, mapHeight = 0;
    std::vector<float> values;
    std::vector<uint32_t> intensity;
    std::vector<bool> highlight;
    double low = 0, high = 1;
    QString unit;
    QImage image;
};
