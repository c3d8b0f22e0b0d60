#include "caption_button.h"

#include <QPainter>
#include <QPen>
#include <qdrawutil.h>

namespace talvex {

namespace {

// Width of the raised bevel that qDrawWinButton draws, in pixels.
constexpr int BEVEL_WIDTH = 2;
constexpr int FOCUS_INSET = 4;
// A pressed button's caption moves this far right and down.
constexpr int PRESSED_SHIFT = 1;

} // namespace

CaptionButton::CaptionButton(const QString& caption, const QColor& fill, QWidget* parent)
    : QPushButton(caption, parent)
{
    // The bevel's light and dark edges are worked out from the fill; the
    // caption is black.
    QPalette buttonPalette(fill);
    buttonPalette.setColor(QPalette::ButtonText, Qt::black);
    setPalette(buttonPalette);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

// Drawn here rather than by the style: styles shade the fill with gradients
// or hover tints, which would wash the colour out.
void CaptionButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    const bool pressed = isDown() || isChecked();
    const QBrush fill = palette().brush(QPalette::Button);
    qDrawWinButton(&painter, rect(), palette(), pressed, &fill);

    QRect area = rect().adjusted(BEVEL_WIDTH, BEVEL_WIDTH, -BEVEL_WIDTH, -BEVEL_WIDTH);
    if (pressed)
        area.translate(PRESSED_SHIFT, PRESSED_SHIFT);
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.setFont(font());
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, text());

    // The button with the keyboard focus always shows it, dotted around its
    // caption, so the buttons can be used from the keyboard alone.
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::ButtonText), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(
            rect().adjusted(FOCUS_INSET, FOCUS_INSET, -FOCUS_INSET - 1, -FOCUS_INSET - 1));
    }
}

} // namespace talvex
