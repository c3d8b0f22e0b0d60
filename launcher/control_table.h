#pragma once

#include "twips.h"

#include <array>
#include <cstddef>
#include <string_view>

// The controls of the main window, Form1, in one table: the window is built
// from it and the layout is computed from it.
namespace talvex {

enum class ControlKind {
    Picture,       // the stretched background picture
    PictureBox,    // an empty sunken box
    Label,         // a row caption, drawn over the picture
    Field,         // a one-line text field showing a chosen path
    BrowseButton,  // picks a path
    CommandButton, // Run, Exit or About
};

// Where the window's load sequence puts a control.
enum class Placement {
    DesignPlace, // stays at its design place
    Backdrop,    // covers the window, less a strip to the right and below
    Grid,        // in a cell of the grid laid out from a third of the window
};

// A cell of the load sequence's grid: rows image, parameters, output and
// actions; columns caption, field and button.
struct GridCell {
    int row;
    int column;
};

inline constexpr int NO_TAB_STOP = -1;
inline constexpr GridCell NOT_IN_GRID{-1, -1};

struct ControlSpec {
    std::string_view name; // object name of the widget
    ControlKind kind;
    TwipRect design;          // design place and size
    std::string_view caption; // caption of a label or button, design text of a field
    int tabIndex;             // position in the keyboard focus order, or NO_TAB_STOP
    Placement placement;
    GridCell cell; // for Placement::Grid
};

inline constexpr std::array<ControlSpec, 14> MAIN_WINDOW_CONTROLS{{
    {"Image1",
     ControlKind::Picture,
     {240, 2160, 495, 255},
     "",
     NO_TAB_STOP,
     Placement::Backdrop,
     NOT_IN_GRID},
    {"Picture1",
     ControlKind::PictureBox,
     {240, 1320, 375, 495},
     "",
     9,
     Placement::DesignPlace,
     NOT_IN_GRID},
    {"Label1",
     ControlKind::Label,
     {4080, 2880, 3015, 375},
     "Input Image File (DN Image)",
     NO_TAB_STOP,
     Placement::Grid,
     {0, 0}},
    {"Text2", ControlKind::Field, {7200, 2880, 2895, 375}, "Text2", 4, Placement::Grid, {0, 1}},
    {"cmdinputimage",
     ControlKind::BrowseButton,
     {10560, 2880, 1215, 375},
     "Browse",
     5,
     Placement::Grid,
     {0, 2}},
    {"Label2",
     ControlKind::Label,
     {4080, 4080, 3015, 375},
     "Input Parameters (Text File)",
     NO_TAB_STOP,
     Placement::Grid,
     {1, 0}},
    {"Text1", ControlKind::Field, {7200, 4080, 2895, 375}, "Text1", 2, Placement::Grid, {1, 1}},
    {"cmdparampath",
     ControlKind::BrowseButton,
     {10560, 4080, 1215, 375},
     "Browse",
     3,
     Placement::Grid,
     {1, 2}},
    {"Label3",
     ControlKind::Label,
     {4080, 5280, 3015, 375},
     "Output Image File",
     NO_TAB_STOP,
     Placement::Grid,
     {2, 0}},
    {"Text3", ControlKind::Field, {7200, 5280, 2895, 375}, "Text3", 6, Placement::Grid, {2, 1}},
    {"cmdoutputpath",
     ControlKind::BrowseButton,
     {10560, 5280, 1215, 375},
     "Browse",
     7,
     Placement::Grid,
     {2, 2}},
    {"Command1",
     ControlKind::CommandButton,
     {6120, 6480, 1455, 735},
     "Run >>",
     0,
     Placement::Grid,
     {3, 0}},
    {"Command2",
     ControlKind::CommandButton,
     {8280, 6480, 1455, 735},
     "Exit",
     1,
     Placement::Grid,
     {3, 1}},
    {"Command3",
     ControlKind::CommandButton,
     {10440, 6480, 1455, 735},
     "About TALVEX",
     8,
     Placement::Grid,
     {3, 2}},
}};

inline constexpr std::size_t CONTROL_COUNT = MAIN_WINDOW_CONTROLS.size();

// Row of the named control in the table. Evaluated while compiling, so a
// misspelt name does not build.
consteval std::size_t controlIndex(std::string_view name)
{
    for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
        if (MAIN_WINDOW_CONTROLS[i].name == name)
            return i;
    }
    throw "no control of that name";
}

// The grid of the load sequence: columns COLUMN_STEP apart from a third of
// the inner width, rows ROW_STEP apart around a third of the inner height,
// the parameter row on that third.
inline constexpr float COLUMN_STEP = 3000;
inline constexpr float ROW_STEP = 1000;
inline constexpr int ROW_ON_THE_THIRD = 1;
// The background picture leaves a thin strip of the window colour to its
// right and below it; the help viewer does the same inside the About window.
inline constexpr float IMAGE_WIDTH_MARGIN = 10;
inline constexpr float IMAGE_HEIGHT_MARGIN = 150;
inline constexpr float VIEWER_WIDTH_MARGIN = 5;
inline constexpr float VIEWER_HEIGHT_MARGIN = 25;

// Where the load sequence puts a control in a window whose inner area
// measures innerWidth by innerHeight twips. A control moved into the grid
// keeps its design size.
TwipRect loadPlace(const ControlSpec& control, float innerWidth, float innerHeight);

// Place of the help viewer inside the About window.
TwipRect viewerRect(float innerWidth, float innerHeight);

} // namespace talvex
