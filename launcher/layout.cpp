#include "layout.h"

#include <cmath>

namespace talvex {

Form1Layout designLayout()
{
    return {design::Image1,        design::Picture1, design::Label1,       design::Text2,
            design::cmdinputimage, design::Label2,   design::Text1,        design::cmdparampath,
            design::Label3,        design::Text3,    design::cmdoutputpath, design::Command1,
            design::Command2,      design::Command3};
}

namespace {

// A control moved to a new place keeps its design size.
TwipRect movedTo(const TwipRect& designRect, float left, float top)
{
    return {left, top, designRect.width, designRect.height};
}

}  // namespace

Form1Layout loadLayout(float innerWidth, float innerHeight)
{
    const float x = innerWidth / 3.0F;
    const float y = innerHeight / 3.0F;
    const float middle = x + COLUMN_STEP;
    const float right = x + 2 * COLUMN_STEP;

    Form1Layout layout = designLayout();
    layout.Image1 = {0, 0, innerWidth - IMAGE_WIDTH_MARGIN, innerHeight - IMAGE_HEIGHT_MARGIN};

    layout.Label1 = movedTo(design::Label1, x, y - ROW_STEP);
    layout.Text2 = movedTo(design::Text2, middle, y - ROW_STEP);
    layout.cmdinputimage = movedTo(design::cmdinputimage, right, y - ROW_STEP);

    layout.Label2 = movedTo(design::Label2, x, y);
    layout.Text1 = movedTo(design::Text1, middle, y);
    layout.cmdparampath = movedTo(design::cmdparampath, right, y);

    layout.Label3 = movedTo(design::Label3, x, y + ROW_STEP);
    layout.Text3 = movedTo(design::Text3, middle, y + ROW_STEP);
    layout.cmdoutputpath = movedTo(design::cmdoutputpath, right, y + ROW_STEP);

    layout.Command1 = movedTo(design::Command1, x, y + 2 * ROW_STEP);
    layout.Command2 = movedTo(design::Command2, middle, y + 2 * ROW_STEP);
    layout.Command3 = movedTo(design::Command3, right, y + 2 * ROW_STEP);
    return layout;
}

TwipRect viewerRect(float innerWidth, float innerHeight)
{
    return {0, 0, innerWidth - VIEWER_WIDTH_MARGIN, innerHeight - VIEWER_HEIGHT_MARGIN};
}

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

}  // namespace talvex
