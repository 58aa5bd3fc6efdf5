#pragma once

#include "control.h"

#include <QLabel>

namespace pocko {

// The size of the windows' default font, in points: the twips layout was made for it.
constexpr int WindowFontPointSize = 8;

// Pixels for a length in twips, rounded to the nearest pixel.
int twipsToPixels(int twips);
// A colour written as 0x00BBGGRR.
QColor toQColor(BgrColor color);
// The look every window shares: its background colour filled in and the default font at the
// size the layout was made for.
void applyWindowLook(QWidget *window, BgrColor back);

// A label that the deck and the playlist window use as a button: it draws one Control (caption,
// border, alignment, colours, place) and reports presses and clicks, but never takes the keyboard
// focus, so key releases keep going to its window. GUI thread only.
class ClickableLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ClickableLabel(QWidget *parent = nullptr);

    // Takes over everything the control says: texts, visibility, geometry, colours, border and
    // alignment. The object name becomes the control's name.
    void apply(const Control &control);

signals:
    // A left-button release inside the label after a left press on it.
    void clicked();
    // Every press: button 1 left, 2 right, 4 middle; x and y in pixels inside the label.
    void mouseDown(int button, double x, double y, Qt::KeyboardModifiers modifiers);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    static constexpr double MinimumPointSize = 5.5;
    void fitText();

    bool m_leftPressed = false;
};

} // namespace pocko
