// Places controls in dialog units, the font-relative grid the dialog layouts
// are drawn on: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height.
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QSize>

namespace kivora {

class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics);

    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

private:
    double pixelsPerUnitX_;
    double pixelsPerUnitY_;
};

} // namespace kivora
