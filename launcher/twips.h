#pragma once

#include <QRect>

// Every place and size of the launcher's windows is kept in twips (1/1440
// inch) and turned into pixels with the screen's logical resolution, so the
// windows look alike at any resolution.
namespace talvex {

inline constexpr double TWIPS_PER_INCH = 1440.0;

struct TwipRect {
    float left;
    float top;
    float width;
    float height;
    friend bool operator==(const TwipRect&, const TwipRect&) = default;
};

// Conversion between twips and pixels at a given logical resolution.
class TwipScale {
public:
    TwipScale(double dotsPerInchX, double dotsPerInchY);

    QRect toPixels(const TwipRect& rect) const;
    int toPixelsX(float twips) const;
    int toPixelsY(float twips) const;
    float toTwipsX(int pixels) const;
    float toTwipsY(int pixels) const;

private:
    double dotsPerInchX_;
    double dotsPerInchY_;
};

} // namespace talvex
