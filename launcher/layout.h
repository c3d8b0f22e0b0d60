#pragma once

#include <QRect>
#include <QSize>

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

// Design places of the controls of Form1; the load sequence moves most of them.
namespace design {
inline constexpr TwipRect Image1{240, 2160, 495, 255};
inline constexpr TwipRect Picture1{240, 1320, 375, 495};
inline constexpr TwipRect Label1{4080, 2880, 3015, 375};
inline constexpr TwipRect Text2{7200, 2880, 2895, 375};
inline constexpr TwipRect cmdinputimage{10560, 2880, 1215, 375};
inline constexpr TwipRect Label2{4080, 4080, 3015, 375};
inline constexpr TwipRect Text1{7200, 4080, 2895, 375};
inline constexpr TwipRect cmdparampath{10560, 4080, 1215, 375};
inline constexpr TwipRect Label3{4080, 5280, 3015, 375};
inline constexpr TwipRect Text3{7200, 5280, 2895, 375};
inline constexpr TwipRect cmdoutputpath{10560, 5280, 1215, 375};
inline constexpr TwipRect Command1{6120, 6480, 1455, 735};
inline constexpr TwipRect Command2{8280, 6480, 1455, 735};
inline constexpr TwipRect Command3{10440, 6480, 1455, 735};
}  // namespace design

// The load sequence lays the controls out in four rows and three columns
// from a third of the window's inner width and height.
inline constexpr float COLUMN_STEP = 3000;
inline constexpr float ROW_STEP = 1000;
// The background picture leaves a thin strip of the window colour to its
// right and below it; the help viewer does the same inside Form2.
inline constexpr float IMAGE_WIDTH_MARGIN = 10;
inline constexpr float IMAGE_HEIGHT_MARGIN = 150;
inline constexpr float VIEWER_WIDTH_MARGIN = 5;
inline constexpr float VIEWER_HEIGHT_MARGIN = 25;

struct Form1Layout {
    TwipRect Image1;
    TwipRect Picture1;
    TwipRect Label1;
    TwipRect Text2;
    TwipRect cmdinputimage;
    TwipRect Label2;
    TwipRect Text1;
    TwipRect cmdparampath;
    TwipRect Label3;
    TwipRect Text3;
    TwipRect cmdoutputpath;
    TwipRect Command1;
    TwipRect Command2;
    TwipRect Command3;
};

// Every control at its design place.
Form1Layout designLayout();

// The places set by the load sequence for a window whose inner area measures
// innerWidth by innerHeight twips.
Form1Layout loadLayout(float innerWidth, float innerHeight);

// Place of the help viewer inside Form2.
TwipRect viewerRect(float innerWidth, float innerHeight);

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

}  // namespace talvex
