#include "deckview.h"

#include "clickablelabel.h"
#include "deckcontroller.h"
#include "trackbarlabel.h"
#include "platform/keyrepeat.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QScreen>

namespace pocko {

namespace {

using Handler = std::function<void(DeckController &)>;

Handler clickHandler(const QString &name)
{
    static const QHash<QString, Handler> handlers = {
        { QStringLiteral("F"), [](DeckController &deck) { deck.F_Click(); } },
        { QStringLiteral("P"), [](DeckController &deck) { deck.P_Click(); } },
        { QStringLiteral("R"), [](DeckController &deck) { deck.R_Click(); } },
        { QStringLiteral("S"), [](DeckController &deck) { deck.S_Click(); } },
        { QStringLiteral("L"), [](DeckController &deck) { deck.L_Click(); } },
        { QStringLiteral("M111"), [](DeckController &deck) { deck.M111_Click(); } },
        { QStringLiteral("M112"), [](DeckController &deck) { deck.M112_Click(); } },
        { QStringLiteral("M113"), [](DeckController &deck) { deck.M113_Click(); } },
        { QStringLiteral("P111"), [](DeckController &deck) { deck.P111_Click(); } },
        { QStringLiteral("P112"), [](DeckController &deck) { deck.P112_Click(); } },
        { QStringLiteral("P113"), [](DeckController &deck) { deck.P113_Click(); } },
        { QStringLiteral("thspd"), [](DeckController &deck) { deck.thspd_Click(); } },
        { QStringLiteral("tloop"), [](DeckController &deck) { deck.tloop_Click(); } },
        { QStringLiteral("tsegs"), [](DeckController &deck) { deck.tsegs_Click(); } },
    };
    return handlers.value(name);
}

int cueSlotOf(const QString &name)
{
    if (name == QLatin1String("P111"))
        return 1;
    if (name == QLatin1String("P112"))
        return 2;
    if (name == QLatin1String("P113"))
        return 3;
    return 0;
}

} // namespace

DeckView::DeckView(DeckController &deck, QWidget *parent)
    : QWidget(parent)
    , m_deck(deck)
{
    setObjectName(QStringLiteral("Form1"));
    // Labels never take the focus, so the window itself keeps it and receives every key release.
    setFocusPolicy(Qt::StrongFocus);
    // The space bar acts on its release: a held space must not bring the X server's repeat
    // releases, which Qt marks as repeats only when the press behind one has already arrived.
    enableDetectableKeyRepeat();
    applyWindowLook(this, DeckController::BackColor);
    resize(twipsToPixels(DeckController::ClientWidth), twipsToPixels(DeckController::ClientHeight));

    for (Control *control : m_deck.controls()) {
        auto *label = control == &m_deck.Label1 ? new TrackBarLabel(m_deck.wave, this)
                                                : new ClickableLabel(this);
        label->apply(*control);
        m_labels.insert(control->name, label);
        connectLabel(label, control->name);
    }

    m_timer.setInterval(1000);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // The flag is the truth: a handler may have switched it off and still be running (a
        // message box up), and then the tick must not come in underneath it.
        if (!m_deck.Timer1Enabled || m_unloaded) {
            m_timer.stop();
            return;
        }
        // Nor does a tick run inside another handler of this window that waits in a message box.
        if (m_busy == 0)
            run([this] { m_deck.Timer1_Timer(); });
    });

    // The track bar's play head moves at least 25 times a second; the bar repaints only when its
    // picture changed.
    m_waveTimer.setInterval(30);
    m_waveTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_waveTimer, &QTimer::timeout, this, [this] {
        if (m_busy == 0)
            refreshWave();
    });

    refresh();
    centreOnScreen();
}

void DeckView::connectLabel(ClickableLabel *label, const QString &name)
{
    if (Handler handler = clickHandler(name)) {
        connect(label, &ClickableLabel::clicked, this,
                [this, handler] { run([this, &handler] { handler(m_deck); }); });
    }
    if (name == QLatin1String("Label1")) {
        connect(label, &ClickableLabel::mouseDown, this,
                [this](int button, double x, double y, Qt::KeyboardModifiers modifiers) {
                    const float xTwips = static_cast<float>(x * TwipsPerPixel);
                    const float yTwips = static_cast<float>(y * TwipsPerPixel);
                    const int shift = shiftState(modifiers);
                    run([=, this] { m_deck.Label1_MouseDown(button, shift, xTwips, yTwips); });
                });
    } else if (const int slot = cueSlotOf(name)) {
        connect(label, &ClickableLabel::mouseDown, this, [this, slot](int button) {
            run([this, slot, button] { m_deck.cuePlayMouseDown(slot, button); });
        });
    }
}

void DeckView::run(const std::function<void()> &handler)
{
    ++m_busy;
    m_deck.event(handler);
    --m_busy;
}

void DeckView::refresh()
{
    for (Control *control : m_deck.controls()) {
        if (ClickableLabel *label = m_labels.value(control->name))
            label->apply(*control);
    }
    if (windowTitle() != m_deck.caption) {
        setWindowTitle(m_deck.caption);
        setAccessibleName(m_deck.caption);
    }
    refreshWave();
    if (m_deck.Timer1Enabled && !m_unloaded) {
        if (!m_timer.isActive())
            m_timer.start();
    } else {
        m_timer.stop();
    }
}

void DeckView::refreshWave()
{
    if (m_deck.waveTick())
        m_labels.value(QStringLiteral("Label1"))->update();
    const bool wanted = m_deck.wave.shown() && !m_unloaded;
    if (wanted && !m_waveTimer.isActive())
        m_waveTimer.start();
    else if (!wanted)
        m_waveTimer.stop();
}

void DeckView::centreOnScreen()
{
    const QScreen *where = screen();
    if (!where)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(where->availableGeometry().center());
    move(frame.topLeft());
}

int DeckView::keyCode(int qtKey)
{
    // Qt's codes for printable keys are their character codes; its special keys carry a high bit
    // whose removal would make Shift (0x01000020) look like the space bar.
    if (qtKey < 0x01000000)
        return qtKey & 0xFFFF;
    switch (qtKey) {
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Tab:
        return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Shift:
        return 16;
    case Qt::Key_Control:
        return 17;
    case Qt::Key_Alt:
        return 18;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Left:
        return 37;
    case Qt::Key_Up:
        return 38;
    case Qt::Key_Right:
        return 39;
    case Qt::Key_Down:
        return 40;
    default:
        return 0;
    }
}

int DeckView::shiftState(Qt::KeyboardModifiers modifiers)
{
    return (modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0)
        | (modifiers.testFlag(Qt::ControlModifier) ? 2 : 0)
        | (modifiers.testFlag(Qt::AltModifier) ? 4 : 0);
}

void DeckView::keyReleaseEvent(QKeyEvent *event)
{
    event->accept();
    // A held key toggles once, when it is let go. Where the X server sends its repeats as
    // presses only, this is the key's one release; elsewhere Qt marks the repeats it can pair.
    if (event->isAutoRepeat() || m_closing)
        return;
    const int code = keyCode(event->key());
    const int shift = shiftState(event->modifiers());
    run([this, code, shift] { m_deck.Form_KeyUp(code, shift); });
}

void DeckView::closeEvent(QCloseEvent *event)
{
    // Closing the deck is never refused.
    event->accept();
    if (m_closing)
        return;
    m_closing = true;
    run([this] { m_deck.Form_Unload(); });
    m_unloaded = true;
    m_timer.stop();
    m_waveTimer.stop();
    emit closed();
}

} // namespace pocko
