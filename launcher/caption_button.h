#pragma once

#include <QPushButton>

namespace talvex {

// A push button whose caption breaks onto further lines when it is wider
// than the button, as the captions of classic command buttons do, and
// which always shows when it has the keyboard focus.
class CaptionButton : public QPushButton {
    Q_OBJECT

public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace talvex
