#include "twips.h"

#include <cmath>

namespace talvex {

TwipScale::TwipScale(double dotsPerInchX, double dotsPerInchY)
    : dotsPerInchX_(dotsPerInchX), dotsPerInchY_(dotsPerInchY)
{
}

QRect TwipScale::toPixels(const TwipRect& rect) const
{
    return {toPixelsX(rect.left), toPixelsY(rect.top), toPixelsX(rect.width),
            toPixelsY(rect.height)};
}

int TwipScale::toPixelsX(float twips) const
{
    return static_cast<int>(std::lround(twips * dotsPerInchX_ / TWIPS_PER_INCH));
}

int TwipScale::toPixelsY(float twips) const
{
    return static_cast<int>(std::lround(twips * dotsPerInchY_ / TWIPS_PER_INCH));
}

float TwipScale::toTwipsX(int pixels) const
{
    return static_cast<float>(pixels * TWIPS_PER_INCH / dotsPerInchX_);
}

float TwipScale::toTwipsY(int pixels) const
{
    return static_cast<float>(pixels * TWIPS_PER_INCH / dotsPerInchY_);
}

} // namespace talvex
