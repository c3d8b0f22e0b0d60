#pragma once

#include <QPushButton>

namespace talvex {

// A classic command button: a flat fill of its palette's Button colour in a
// raised bevel, drawn the same under every widget style, whose caption
// breaks onto further lines when it is wider than the button and which
// always shows when it has the keyboard focus.
class CaptionButton : public QPushButton {
    Q_OBJECT

public:
    CaptionButton(const QString& caption, const QColor& fill, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace talvex
