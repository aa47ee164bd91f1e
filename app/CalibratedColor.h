#pragma once

#include <QColor>

namespace orvel {

// A colour from red, green, blue and alpha components between 0 and 1.
inline QColor calibratedColor(double red, double green, double blue, double alpha) {
    return QColor::fromRgbF(float(red), float(green), float(blue), float(alpha));
}

} // namespace orvel
