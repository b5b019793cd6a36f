#include "common/DialogUnits.h"

#include <QString>
#include <cmath>

namespace kivora {

DialogUnits::DialogUnits(const QFontMetrics& metrics) {
    // The average over the 52 letters, as the dialog manager measures it.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const double averageWidth = metrics.horizontalAdvance(letters) / 52.0;
    pixelsPerUnitX_ = averageWidth / 4.0;
    pixelsPerUnitY_ = metrics.height() / 8.0;
}

QRect DialogUnits::rect(int x, int y, int width, int height) const {
    const int left = static_cast<int>(std::lround(x * pixelsPerUnitX_));
    const int top = static_cast<int>(std::lround(y * pixelsPerUnitY_));
    const QSize extent = size(width, height);
    return {left, top, extent.width(), extent.height()};
}

QSize DialogUnits::size(int width, int height) const {
    return {static_cast<int>(std::lround(width * pixelsPerUnitX_)),
            static_cast<int>(std::lround(height * pixelsPerUnitY_))};
}

} // namespace kivora
