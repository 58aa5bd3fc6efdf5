#include "clickablelabel.h"

#include <QApplication>
#include <QMouseEvent>

#include <cmath>

namespace pocko {

int twipsToPixels(int twips)
{
    return static_cast<int>(std::lround(static_cast<double>(twips) / TwipsPerPixel));
}

QColor toQColor(BgrColor color)
{
    return QColor(static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
                  static_cast<int>((color >> 16) & 0xFFu));
}

void applyWindowLook(QWidget *window, BgrColor back)
{
    window->setAutoFillBackground(true);
    QFont windowFont = window->font();
    windowFont.setPointSize(WindowFontPointSize);
    window->setFont(windowFont);
    QPalette colours = window->palette();
    colours.setColor(QPalette::Window, toQColor(back));
    window->setPalette(colours);
}

namespace {

int buttonNumber(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::RightButton:
        return 2;
    case Qt::MiddleButton:
        return 4;
    default:
        return 0;
    }
}

} // namespace

ClickableLabel::ClickableLabel(QWidget *parent)
    : QLabel(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(true);
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setMargin(0);
    setIndent(0);
}

void ClickableLabel::apply(const Control &control)
{
    if (objectName() != control.name)
        setObjectName(control.name);
    if (text() != control.caption)
        setText(control.caption);
    if (accessibleName() != control.caption)
        setAccessibleName(control.caption);
    if (toolTip() != control.toolTip)
        setToolTip(control.toolTip);
    if (accessibleDescription() != control.toolTip)
        setAccessibleDescription(control.toolTip);

    const QRect place(twipsToPixels(control.left), twipsToPixels(control.top),
                      twipsToPixels(control.width), twipsToPixels(control.height));
    if (geometry() != place)
        setGeometry(place);

    // The system colours of a label that acts as a button are the style's button face and text.
    const QPalette system = QApplication::palette();
    QPalette colours = palette();
    colours.setColor(QPalette::Window,
                     control.back == SystemColor ? system.color(QPalette::Button)
                                                 : toQColor(control.back));
    colours.setColor(QPalette::WindowText,
                     control.fore == SystemColor ? system.color(QPalette::ButtonText)
                                                 : toQColor(control.fore));
    if (palette() != colours)
        setPalette(colours);

    setFrameStyle(control.border ? (QFrame::Box | QFrame::Plain) : QFrame::NoFrame);
    setLineWidth(1);
    const Qt::Alignment alignment
        = (control.align == Align::Left ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignTop;
    if (this->alignment() != alignment)
        setAlignment(alignment);

    fitText();

    if (isHidden() == control.visible)
        setVisible(control.visible);
}

void ClickableLabel::fitText()
{
    // The places are fixed in twips; a wide or tall system font must not cut a caption off, so a
    // caption that does not fit gets a smaller size of the same font.
    QFont wanted = parentWidget() ? parentWidget()->font() : QApplication::font();
    const QRect room = contentsRect();
    const auto fits = [&](const QFont &candidate) {
        const QFontMetrics metrics(candidate);
        return metrics.horizontalAdvance(text()) <= room.width()
            && metrics.height() <= room.height();
    };
    while (wanted.pointSizeF() > MinimumPointSize && !fits(wanted))
        wanted.setPointSizeF(wanted.pointSizeF() - 0.5);
    if (font() != wanted)
        setFont(wanted);
}

void ClickableLabel::mousePressEvent(QMouseEvent *event)
{
    const int button = buttonNumber(event->button());
    if (button == 0) {
        QLabel::mousePressEvent(event);
        return;
    }
    if (button == 1)
        m_leftPressed = true;
    event->accept();
    // The receiver may hide or move this label; nothing of it is used afterwards.
    emit mouseDown(button, event->position().x(), event->position().y(), event->modifiers());
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    const bool wasPressed = m_leftPressed;
    m_leftPressed = false;
    if (wasPressed && rect().contains(event->position().toPoint()))
        emit clicked();
}

void ClickableLabel::mouseDoubleClickEvent(QMouseEvent *event)
{
    // A quick second click counts as a click of its own: a DJ tapping P1 twice wants two plays.
    mousePressEvent(event);
}

} // namespace pocko
