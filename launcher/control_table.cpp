#include "control_table.h"

namespace talvex {

namespace {

// Every tab position from 0 up is taken exactly once, and every grid cell
// by at most one control.
constexpr bool tableIsConsistent()
{
    int tabStops = 0;
    for (const ControlSpec& control : MAIN_WINDOW_CONTROLS) {
        if (control.tabIndex == NO_TAB_STOP)
            continue;
        ++tabStops;
        int sameIndex = 0;
        for (const ControlSpec& other : MAIN_WINDOW_CONTROLS)
            sameIndex += other.tabIndex == control.tabIndex;
        if (sameIndex != 1 || control.tabIndex < 0)
            return false;
    }
    for (const ControlSpec& control : MAIN_WINDOW_CONTROLS) {
        if (control.tabIndex >= tabStops)
            return false;
        if (control.placement != Placement::Grid)
            continue;
        int sameCell = 0;
        for (const ControlSpec& other : MAIN_WINDOW_CONTROLS)
            sameCell += other.placement == Placement::Grid && other.cell.row == control.cell.row
                        && other.cell.column == control.cell.column;
        if (sameCell != 1)
            return false;
    }
    return true;
}

static_assert(tableIsConsistent(), "tab positions or grid cells of the main window clash");

} // namespace

TwipRect loadPlace(const ControlSpec& control, float innerWidth, float innerHeight)
{
    switch (control.placement) {
    case Placement::DesignPlace:
        break;
    case Placement::Backdrop:
        return {0, 0, innerWidth - IMAGE_WIDTH_MARGIN, innerHeight - IMAGE_HEIGHT_MARGIN};
    case Placement::Grid: {
        // The thirds are taken in single precision.
        const float x = innerWidth / 3.0F;
        const float y = innerHeight / 3.0F;
        const float left = x + static_cast<float>(control.cell.column) * COLUMN_STEP;
        const float top = y + static_cast<float>(control.cell.row - ROW_ON_THE_THIRD) * ROW_STEP;
        return {left, top, control.design.width, control.design.height};
    }
    }
    return control.design;
}

TwipRect viewerRect(float innerWidth, float innerHeight)
{
    return {0, 0, innerWidth - VIEWER_WIDTH_MARGIN, innerHeight - VIEWER_HEIGHT_MARGIN};
}

} // namespace talvex
