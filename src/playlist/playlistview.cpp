#include "playlistview.h"

#include "deck/clickablelabel.h"
#include "playlistcontroller.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>

namespace pocko {

namespace {

// A list box that selects nothing on its own: Qt makes the first entry current when the list
// gets the focus, which would turn the first arrow key into a pick of the second entry. With no
// current entry, the first Down selects the first entry, as a user expects.
class SongList : public QListWidget
{
public:
    using QListWidget::QListWidget;

protected:
    void focusInEvent(QFocusEvent *event) override
    {
        QListWidget::focusInEvent(event);
        if (selectedItems().isEmpty() && currentIndex().isValid()) {
            const QSignalBlocker quiet(this);
            selectionModel()->clearCurrentIndex();
        }
    }
};

using Handler = std::function<void(PlaylistController &)>;

} // namespace

PlaylistView::PlaylistView(PlaylistController &playlist, QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint)
    , m_playlist(playlist)
{
    setObjectName(QStringLiteral("mpload"));
    applyWindowLook(this, PlaylistController::BackColor);

    const QSize client(twipsToPixels(PlaylistController::ClientWidth),
                       twipsToPixels(PlaylistController::ClientHeight));
    setFixedSize(client);
    // The place is fixed on the screen, wherever the deck stands.
    QPoint origin;
    if (const QScreen *where = QGuiApplication::primaryScreen())
        origin = where->geometry().topLeft();
    setGeometry(QRect(origin
                          + QPoint(twipsToPixels(PlaylistController::ScreenLeft),
                                   twipsToPixels(PlaylistController::ScreenTop)),
                      client));

    const QHash<QString, Handler> clicks = {
        { QStringLiteral("tpall"), [](PlaylistController &list) { list.tpall_Click(); } },
        { QStringLiteral("Label1"), [](PlaylistController &list) { list.Label1_Click(); } },
        { QStringLiteral("tsall"), [](PlaylistController &list) { list.tsall_Click(); } },
    };
    for (Control *control : m_playlist.controls()) {
        auto *label = new ClickableLabel(this);
        label->apply(*control);
        m_labels.insert(control->name, label);
        if (Handler handler = clicks.value(control->name)) {
            connect(label, &ClickableLabel::clicked, this, [this, handler] {
                if (!m_retired)
                    run([this, &handler] { handler(m_playlist); });
            });
        }
    }

    m_list = new SongList(this);
    m_list->setObjectName(QStringLiteral("List1"));
    m_list->setAccessibleName(QStringLiteral("List1"));
    m_list->setAccessibleDescription(QStringLiteral("MP3 files of the program folder"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setGeometry(twipsToPixels(PlaylistController::ListLeft),
                        twipsToPixels(PlaylistController::ListTop),
                        twipsToPixels(PlaylistController::ListWidth),
                        twipsToPixels(PlaylistController::ListHeight));
    // A pick is a change of the selected entry, by a click or an arrow key; the list's own
    // updates from the controller are made with its signals blocked.
    connect(m_list, &QListWidget::itemSelectionChanged, this, &PlaylistView::pick);
    setFocusProxy(m_list);

    m_timer.setInterval(1000);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // The flag is the truth: a handler may have switched it off and still be running (a
        // message box up), and then the tick must not come in underneath it.
        if (m_retired || !m_playlist.ttimeEnabled) {
            m_timer.stop();
            return;
        }
        // Nor does a tick run inside another handler of this window that waits in a message box.
        if (m_busy == 0)
            run([this] { m_playlist.ttime_Timer(); });
    });

    refresh();
    m_list->setFocus();
}

void PlaylistView::pick()
{
    if (m_retired)
        return;
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    if (selected.isEmpty())
        return;
    const int row = m_list->row(selected.first());
    run([this, row] { m_playlist.List1_Click(row); });
}

void PlaylistView::run(const std::function<void()> &handler)
{
    // The controller may retire this view inside the handler; it is deleted only later, from the
    // event loop, so the count stays valid.
    ++m_busy;
    m_playlist.event(handler);
    --m_busy;
}

void PlaylistView::refresh()
{
    if (m_retired)
        return;
    if (windowTitle() != m_playlist.caption) {
        setWindowTitle(m_playlist.caption);
        setAccessibleName(m_playlist.caption);
    }
    for (Control *control : m_playlist.controls()) {
        if (ClickableLabel *label = m_labels.value(control->name))
            label->apply(*control);
    }

    const QSignalBlocker quiet(m_list);
    bool same = m_list->count() == m_playlist.List1.size();
    for (int row = 0; same && row < m_list->count(); ++row)
        same = m_list->item(row)->text() == m_playlist.List1.at(row);
    if (!same) {
        m_list->clear();
        m_list->addItems(m_playlist.List1);
    }
    const int wanted = m_playlist.List1Index;
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    const int shown = selected.isEmpty() ? -1 : m_list->row(selected.first());
    if (wanted != shown) {
        if (wanted >= 0 && wanted < m_list->count())
            m_list->setCurrentRow(wanted, QItemSelectionModel::ClearAndSelect);
        else
            m_list->clearSelection();
    }

    if (m_playlist.ttimeEnabled) {
        if (!m_timer.isActive())
            m_timer.start();
    } else {
        m_timer.stop();
    }
}

void PlaylistView::retire()
{
    m_retired = true;
    m_timer.stop();
    hide();
}

void PlaylistView::closeEvent(QCloseEvent *event)
{
    // The close box is never refused; the controller's unload runs the closing steps and then
    // has the window destroyed.
    event->accept();
    if (m_retired)
        return;
    run([this] { m_playlist.unload(); });
}

} // namespace pocko
