#include "app/appicon.h"
#include "app/appwindows.h"
#include "cuedialog/cuedialogview.h"
#include "deck/clickablelabel.h"
#include "deck/deckcontroller.h"
#include "deck/deckview.h"
#include "fakes/fakeplatform.h"
#include "fakes/fakeplayer.h"
#include "playlist/playlistview.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace pocko;

namespace {

// The real windows of the application, shown, around a deck with fake player and platform.
struct AppRig
{
    FakePlayer player;
    FakeClock clock;
    FakeMessages messages;
    FakeLauncher launcher;
    FakeFolder folder;
    AppWindows windows { folder, messages };
    DeckController deck { player, clock, messages, launcher, windows };
    DeckView view { deck };

    AppRig()
    {
        folder.names = { "a.mp3", "b.mp3", "c.mp3" };
        windows.attach(deck, view);
        deck.changed = [this] { windows.refreshAll(); };
        deck.event([this] { deck.Form_Load(); });
        view.show();
        view.activateWindow();
    }
    ~AppRig() { windows.destroyAll(); }

    void load()
    {
        deck.F.tag = "/music/a.mp3";
        deck.event([this] { deck.fload(); });
        player.log.clear();
    }
    ClickableLabel *label(const char *name) const { return view.label(name); }
    void click(const char *name, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseClick(label(name), button, {}, QPoint(5, 5));
    }
    PlaylistView *openPlaylist()
    {
        click("F");
        return windows.playlistView();
    }
};

void deleteClosedWindows()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// What the desktop tests read: a window's or label's accessible name is its caption, a label's
// description its tooltip.
QString accessible(QWidget *widget, QAccessible::Text which = QAccessible::Name)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(which) : QString();
}

} // namespace

class TestViews : public QObject
{
    Q_OBJECT

private slots:
    void deckWindow()
    {
        AppRig rig;
        QCOMPARE(accessible(&rig.view), QStringLiteral("Pocko MP3 DJ Player 1.4"));
        QCOMPARE(rig.view.size(), QSize(306, 117));
        QCOMPARE(rig.view.palette().color(QPalette::Window), QColor(128, 0, 0));
        // Every control is drawn under its name as the controller has it, and takes no focus.
        for (const Control *control : rig.deck.controls()) {
            auto *label = rig.view.findChild<ClickableLabel *>(control->name);
            QVERIFY(label);
            QCOMPARE(label->text(), control->caption);
            QCOMPARE(accessible(label), control->caption);
            QCOMPARE(label->toolTip(), control->toolTip);
            QCOMPARE(accessible(label, QAccessible::Description), control->toolTip);
            QCOMPARE(label->isVisible(), control->visible);
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
            // A caption too wide for its place is drawn in a smaller size of the font.
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text())
                    <= label->contentsRect().width());
        }
        // Where twips / 15 rounds: 1420 -> 94.7, 695 -> 46.3, 25 -> 1.7.
        QCOMPARE(rig.label("P")->geometry(), QRect(95, 16, 42, 17));
        QCOMPARE(rig.label("T")->geometry(), QRect(272, 46, 33, 17));
        QCOMPARE(rig.label("pos")->geometry(), QRect(24, 47, 2, 11));
        // &H00004080 is blue 0, green 0x40, red 0x80: a brown, not a blue.
        QCOMPARE(rig.label("T")->palette().color(QPalette::Window), QColor(0x80, 0x40, 0));
        QCOMPARE(rig.label("T")->palette().color(QPalette::WindowText), QColor(Qt::white));
        // Resizable; the controls keep their places when the window grows.
        rig.view.resize(600, 400);
        QCOMPARE(rig.view.size(), QSize(600, 400));
        QCOMPARE(rig.label("P113")->geometry(), QRect(248, 72, 25, 17));
    }

    void tickAndSpaceBarAfterLabelClick()
    {
        AppRig rig;
        QVERIFY(QTest::qWaitForWindowActive(&rig.view));
        rig.load();
        rig.player.position = 65;
        QTRY_COMPARE_WITH_TIMEOUT(rig.label("T")->text(), QStringLiteral("1:5"), 5000);
        // A click on a label leaves the keyboard with the deck: the space bar stops the song and
        // the tick, and plays again.
        rig.click("M111");
        QTest::keyRelease(rig.view.windowHandle(), Qt::Key_Space);
        QVERIFY(rig.player.log.contains("stop"));
        QVERIFY(!rig.view.tickRunning());
        QTest::keyRelease(rig.view.windowHandle(), Qt::Key_Space);
        QVERIFY(rig.view.tickRunning());
    }

    // Rows: a label, the button pressed at x pixels and released inside it or not, the player
    // call that follows and whether the cue settings dialog opens.
    void mouse_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<int>("x");
        QTest::addColumn<bool>("releasedInside");
        QTest::addColumn<QString>("call");
        QTest::addColumn<bool>("dialog");
        const auto row = [](const char *name, const char *label, Qt::MouseButton button, int x,
                            bool inside, const char *call, bool dialog = false) {
            QTest::newRow(name) << label << button << x << inside << call << dialog;
        };
        // The track bar of a 200-second song: seek = (x + 360) / 4200 * 200 in twips; x below 80
        // twips seeks to 0.
        row("track bar 40 px = 600 twips", "Label1", Qt::LeftButton, 40, true, "seek 46");
        row("track bar, middle button", "Label1", Qt::MiddleButton, 40, true, "seek 46");
        row("track bar 5 px = 75 twips", "Label1", Qt::LeftButton, 5, true, "seek 0");
        row("track bar 6 px = 90 twips", "Label1", Qt::LeftButton, 6, true, "seek 21");
        row("P1 left click plays", "P111", Qt::LeftButton, 5, true, "bursts 0.1 0.5 1");
        row("P1 left released outside", "P111", Qt::LeftButton, 5, false, "");
        row("P1 right click opens the dialog", "P111", Qt::RightButton, 5, true, "", true);
        row("P1 middle click does nothing", "P111", Qt::MiddleButton, 5, true, "");
        row("P3 right click opens the dialog", "P113", Qt::RightButton, 5, true, "", true);
    }
    void mouse()
    {
        QFETCH(QString, name);
        QFETCH(Qt::MouseButton, button);
        QFETCH(int, x);
        QFETCH(bool, releasedInside);
        QFETCH(QString, call);
        QFETCH(bool, dialog);
        AppRig rig;
        rig.load();
        ClickableLabel *label = rig.view.label(name);
        QTest::mousePress(label, button, {}, QPoint(x, 5));
        QTest::mouseRelease(label, button, {}, releasedInside ? QPoint(x, 5) : QPoint(-20, 40));
        const QRegularExpression calls(QStringLiteral("^(seek|bursts) "));
        QCOMPARE(rig.player.log.filter(calls).join(", "), call);
        QCOMPARE(rig.windows.cueDialogOpen(), dialog);
        // The hidden cue play button marks the slot being edited.
        QCOMPARE(label->isVisible(), !dialog);
    }

    void spaceRelease_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<QByteArray>("events");
        // p / r: a press / a release; upper case: marked as the X server's repeat of a held key.
        const auto row
            = [](const char *name, int key, Qt::KeyboardModifiers modifiers, const char *events) {
                  QTest::newRow(name) << key << modifiers << QByteArray(events);
              };
        row("space", Qt::Key_Space, {}, "pr");
        row("shift+space", Qt::Key_Space, Qt::ShiftModifier, "pr");
        // Asked for detectable auto-repeat, X repeats a held key as presses only.
        row("held space, repeats as presses", Qt::Key_Space, {}, "ppppr");
        // Otherwise X sends each repeat as a release and a press with one time stamp.
        row("held space, repeats as pairs", Qt::Key_Space, {}, "pRPRPRPr");
        // Qt's Shift is 0x01000020: its low 16 bits are the space bar's code.
        row("shift key alone", Qt::Key_Shift, Qt::ShiftModifier, "pr");
        row("letter", Qt::Key_A, {}, "pr");
    }
    void spaceRelease()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(QByteArray, events);
        AppRig rig;
        rig.load();
        ulong time = 1000;
        for (const char what : events) {
            QVERIFY2(!rig.player.log.contains("stop"), "stopped before the release");
            if (what != 'P') // a repeat's press carries its release's time stamp
                time += 40;
            QKeyEvent event(what == 'p' || what == 'P' ? QEvent::KeyPress : QEvent::KeyRelease, key,
                            modifiers, QString(), what == 'P' || what == 'R');
            event.setTimestamp(time);
            QApplication::sendEvent(&rig.view, &event);
        }
        // The space bar stops the song once, at its release; other keys do nothing.
        QCOMPARE(rig.player.log.count("stop"), key == Qt::Key_Space ? 1 : 0);
    }

    void cueDialogEditsAndWritesBack()
    {
        AppRig rig;
        rig.load();
        rig.click("P112", Qt::RightButton);
        QPointer<CueDialogView> dialog = rig.windows.cueDialogView();
        QVERIFY(dialog && QTest::qWaitForWindowActive(dialog));
        QCOMPARE(accessible(dialog), QStringLiteral("Repeats, duration,    start posn  & -->>"));
        QCOMPARE(dialog->maximumSize(), QSize(260, 53));
        QCOMPARE(dialog->text3()->geometry(), QRect(144, 8, 73, 19));
        const auto *info = dialog->findChild<ClickableLabel *>("info"); // maroon, left-aligned
        QCOMPARE(info->palette().color(QPalette::Window), QColor(128, 0, 0));
        QCOMPARE(info->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
        // Slot 2's values, the focus in the first box.
        QCOMPARE(dialog->text1()->text() + dialog->text2()->text() + dialog->text3()->text(),
                 QStringLiteral("17500.0"));
        QCOMPARE(QApplication::focusWidget(), dialog->text1());

        // Typing is limited by the boxes' lengths; the close box writes slot 2 back as typed,
        // shows P2 again and takes the window away.
        for (QLineEdit *box : { dialog->text1(), dialog->text2(), dialog->text3() })
            box->selectAll();
        QTest::keyClicks(dialog->text1(), "37");
        QTest::keyClicks(dialog->text2(), "020012");
        QTest::keyClicks(dialog->text3(), "12.5");
        dialog->close();
        QCOMPARE(
            QStringList({ rig.deck.P112.tag, rig.deck.M112.tag, rig.label("M112")->toolTip() }),
            QStringList({ "3", "0200", "12.5" }));
        QVERIFY(rig.label("P112")->isVisible() && !rig.windows.cueDialogOpen());
        deleteClosedWindows();
        QVERIFY(dialog.isNull());
    }

    void deckCloseClosesEverything()
    {
        AppRig rig;
        rig.load();
        rig.click("P111", Qt::RightButton);
        QPointer<PlaylistView> playlist = rig.openPlaylist();
        QPointer<CueDialogView> dialog = rig.windows.cueDialogView();
        QVERIFY(dialog && playlist);
        // Each handler runs to completion before the next event: no tick of the deck comes in
        // while the farewell is up (the tick would write the time display).
        rig.deck.T.caption = "x";
        rig.messages.onShow = [] { QTest::qWait(1500); };
        QSignalSpy closed(&rig.view, &DeckView::closed);
        rig.view.close();
        QCOMPARE(rig.deck.T.caption, QStringLiteral("x"));
        QCOMPARE(closed.size(), 1);
        QCOMPARE(rig.messages.shown.size(), 1);
        QCOMPARE(rig.messages.shown[0].second, "Quit - Thank you for using PockoMP3.");
        QVERIFY(!rig.view.tickRunning());
        // The dialog's close processing ran: P1 is shown again.
        QVERIFY(rig.deck.P111.visible);
        QVERIFY(!rig.windows.cueDialogOpen() && !rig.windows.playlistView());
        deleteClosedWindows();
        QVERIFY(dialog.isNull() && playlist.isNull());
    }

    void playlistWindow()
    {
        AppRig rig;
        QPointer<PlaylistView> view = rig.openPlaylist();
        QVERIFY(view && QTest::qWaitForWindowActive(view));
        QCOMPARE(accessible(view), QStringLiteral("  Select an MP3. Click MP3 to load."));
        QCOMPARE(view->windowType(), Qt::Tool); // no taskbar entry
        QCOMPARE(view->maximumSize(), view->minimumSize());
        QCOMPARE(view->geometry(), QRect(184, 250, 274, 133));
        QCOMPARE(accessible(view->label("tpall")), QStringLiteral("Play All"));
        QCOMPARE(view->label("tsall")->geometry(), QRect(184, 0, 43, 17)); // 2760 twips in
        QCOMPARE(view->label("linfo")->geometry(), QRect(8, 101, 257, 11)); // 1510, 160 round up
        // FILE again brings the same window, its list as it was.
        rig.folder.names.append("d.mp3");
        QCOMPARE(rig.openPlaylist(), view.data());
        QCOMPARE(view->list()->count(), 3);

        // Nothing is picked, though the list has the focus; the first arrow key picks the first
        // entry. The window closes from inside its own handler and goes once the event loop is
        // back.
        QVERIFY(view->list()->hasFocus() && view->list()->selectedItems().isEmpty());
        QVERIFY(rig.player.log.isEmpty() && !view->tickRunning());
        QTest::keyClick(view->list(), Qt::Key_Down);
        QCOMPARE(rig.deck.F.tag, QStringLiteral("/music/a.mp3"));
        QVERIFY(!rig.windows.playlistView());
        QVERIFY(view && view->retired() && !view->isVisible());
        deleteClosedWindows();
        QVERIFY(view.isNull());

        // A click picks in the next window; the close box of the one after stops the player.
        QListWidget *list = rig.openPlaylist()->list();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(1)).center());
        QCOMPARE(rig.deck.F.tag, QStringLiteral("/music/b.mp3"));
        QCOMPARE(rig.view.windowTitle(), QStringLiteral("b.mp3"));
        rig.player.log.clear();
        rig.openPlaylist()->close();
        QCOMPARE(rig.player.log, QStringList { "stop" });
        QVERIFY(!rig.windows.playlistView());
    }

    void playAllEndClosesWindowFromItsOwnTick()
    {
        AppRig rig;
        rig.folder.names = { "a.mp3" };
        QPointer<PlaylistView> view = rig.openPlaylist();
        QTest::mouseClick(view->label("tpall"), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(rig.player.name, QStringLiteral("/music/a.mp3"));
        QVERIFY(view->tickRunning());
        // The song reaches its end; the finish message stays up while more ticks come due, as a
        // user reads it, and the player still reads the end: no second message may pile up.
        rig.player.position = 199.6;
        rig.messages.onShow = [&rig] {
            rig.player.position = 199.6;
            QTest::qWait(2500);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!rig.windows.playlistView(), 10000);
        QCOMPARE(rig.messages.shown.size(), 1);
        QCOMPARE(rig.messages.shown[0].first, "Play of all files finished or no file to play");
        deleteClosedWindows();
        QVERIFY(view.isNull());
    }

    void iconIsCompiledIn()
    {
        QVERIFY(appIcon().availableSizes().contains(QSize(32, 32)));
        QVERIFY(appIcon().pixmap(32, 32).toImage().pixelColor(16, 16).alpha() > 0);
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"
