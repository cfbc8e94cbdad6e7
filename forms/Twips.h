#pragma once

#include <QRect>
#include <QSize>

#include <cmath>

// Window layouts are kept in twips; 15 twips make one 96-dpi pixel, which is Qt's logical pixel,
// so high-dpi screens are scaled by Qt itself.
inline int twips(int value)
{
    return int(std::lround(value / 15.0));
}

inline QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

inline QSize twipsSize(int width, int height)
{
    return QSize(twips(width), twips(height));
}
