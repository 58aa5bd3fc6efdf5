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
#include <QSignalSpy>
#include <QTest>

using namespace pocko;

namespace {

// The real windows of the application around a deck with fake player and platform.
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
        folder.names
            = { QStringLiteral("a.mp3"), QStringLiteral("b.mp3"), QStringLiteral("c.mp3") };
        windows.attach(deck, view);
        deck.changed = [this] { windows.refreshAll(); };
        deck.event([this] { deck.Form_Load(); });
    }
    ~AppRig() { windows.destroyAll(); }

    void load(const QString &path = QStringLiteral("/music/a.mp3"))
    {
        deck.F.tag = path;
        deck.event([this] { deck.fload(); });
    }
    bool showDeck()
    {
        view.show();
        view.activateWindow();
        return QTest::qWaitForWindowActive(&view);
    }
    ClickableLabel *label(const char *name) const { return view.label(QLatin1String(name)); }
};

void deleteClosedWindows()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString accessibleText(QWidget *widget, QAccessible::Text which)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(which) : QString();
}

} // namespace

class TestViews : public QObject
{
    Q_OBJECT

private slots:
    void deckLayout_data();
    void deckLayout();
    void deckColours_data();
    void deckColours();
    void deckWindow();
    void trackBarMouseDown_data();
    void trackBarMouseDown();
    void spaceRelease_data();
    void spaceRelease();
    void keyReleaseReachesDeckAfterLabelClick();
    void cuePlayButton_data();
    void cuePlayButton();
    void cueDialogEditsAndWritesBack();
    void deckCloseClosesEverything();
    void playlistLayout();
    void playlistPickByClick();
    void playlistFirstArrowKeyPicksFirstEntry();
    void playlistFileTwiceShowsSameWindow();
    void playAllEndClosesWindowFromItsOwnTick();
    void playlistCloseBoxStopsPlayer();
    void iconIsCompiledIn();
};

void TestViews::deckLayout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("pixels");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<bool>("shown");

    // Twips / 15, rounded: 1420 -> 94.67 -> 95, 2540 -> 169.33 -> 169, 25 -> 1.67 -> 2.
    const auto row = [](const char *name, QRect pixels, const char *caption, const char *tip,
                        bool shown = true) {
        QTest::newRow(name) << QString::fromLatin1(name) << pixels << QString::fromLatin1(caption)
                            << QString::fromLatin1(tip) << shown;
    };
    row("F", QRect(24, 16, 43, 17), "FILE", "Load MP3");
    row("thspd", QRect(72, 16, 13, 17), "", "Play Mp3 half speed. Open File first.");
    row("P", QRect(95, 16, 42, 17), "Play", "Play MP3");
    row("tloop", QRect(144, 16, 17, 17), "", "Click me to enable loop play of song");
    row("S", QRect(169, 16, 42, 17), "Stop", " Stop MP3");
    row("R", QRect(227, 16, 42, 17), "Pause", "Pause/Resume MP3", false);
    row("L", QRect(278, 16, 25, 17), "LT", "Show another Pocko Display");
    row("Label1", QRect(24, 45, 249, 16), " From", "");
    row("pos", QRect(24, 47, 2, 11), "", "");
    row("T", QRect(272, 46, 33, 17), "", "Time ");
    row("M111", QRect(24, 72, 25, 17), "M1", "0.0");
    row("M112", QRect(56, 72, 25, 17), "M2", "0.0");
    row("M113", QRect(88, 72, 25, 17), "M3", "0.0");
    row("tsegs", QRect(138, 72, 27, 17), "Off",
        "Click me to enable/disable M1 to M2 segment play.(Note : Do M1/M2 first).");
    row("P111", QRect(184, 72, 25, 17), "P1", "Play M1");
    row("P112", QRect(216, 72, 25, 17), "P2", "Play M2");
    row("P113", QRect(248, 72, 25, 17), "P3", "Play M3");
    row("rinfo", QRect(0, 96, 305, 17),
        "An M sets rap start. P plays. Right click a P to change settings.", "");
}

void TestViews::deckLayout()
{
    QFETCH(QString, name);
    QFETCH(QRect, pixels);
    QFETCH(QString, caption);
    QFETCH(QString, toolTip);
    QFETCH(bool, shown);

    AppRig rig;
    QVERIFY(rig.showDeck());
    auto *label = rig.view.findChild<ClickableLabel *>(name);
    QVERIFY(label);
    QCOMPARE(label->geometry(), pixels);
    QCOMPARE(label->text(), caption);
    QCOMPARE(label->toolTip(), toolTip);
    QCOMPARE(label->isVisible(), shown);
    QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    QCOMPARE(accessibleText(label, QAccessible::Name), caption);
    QCOMPARE(accessibleText(label, QAccessible::Description), toolTip);
}

void TestViews::deckColours_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("back");
    QTest::addColumn<QColor>("fore");
    QTest::addColumn<bool>("framed");

    const QPalette system = QApplication::palette();
    QTest::newRow("F system") << QStringLiteral("F") << system.color(QPalette::Button)
                              << system.color(QPalette::ButtonText) << true;
    QTest::newRow("P black/yellow")
        << QStringLiteral("P") << QColor(0, 0, 0) << QColor(255, 255, 0) << true;
    QTest::newRow("tsegs white text")
        << QStringLiteral("tsegs") << QColor(0, 0, 0) << QColor(255, 255, 255) << true;
    // &H00004080 is blue 0, green 0x40, red 0x80: a brown, not a blue.
    QTest::newRow("T brown") << QStringLiteral("T") << QColor(0x80, 0x40, 0)
                             << QColor(255, 255, 255) << false;
    QTest::newRow("pos green") << QStringLiteral("pos") << QColor(0, 255, 0) << QColor(0, 255, 0)
                               << false;
    QTest::newRow("rinfo salmon") << QStringLiteral("rinfo") << QColor(128, 0, 0)
                                  << QColor(255, 128, 128) << false;
}

void TestViews::deckColours()
{
    QFETCH(QString, name);
    QFETCH(QColor, back);
    QFETCH(QColor, fore);
    QFETCH(bool, framed);

    AppRig rig;
    ClickableLabel *label = rig.view.label(name);
    QVERIFY(label);
    QCOMPARE(label->palette().color(QPalette::Window), back);
    QCOMPARE(label->palette().color(QPalette::WindowText), fore);
    QCOMPARE(label->frameShape() == QFrame::Box, framed);
}

void TestViews::deckWindow()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    QCOMPARE(rig.view.windowTitle(), QStringLiteral("Pocko MP3 DJ Player 1.4"));
    QCOMPARE(accessibleText(&rig.view, QAccessible::Name),
             QStringLiteral("Pocko MP3 DJ Player 1.4"));
    QCOMPARE(rig.view.size(), QSize(306, 117));
    QCOMPARE(rig.view.palette().color(QPalette::Window), QColor(128, 0, 0));
    QVERIFY(rig.view.minimumSize() != rig.view.maximumSize()); // resizable
    QVERIFY(rig.view.tickRunning());

    // Controls keep their places when the window grows.
    rig.view.resize(600, 400);
    QCOMPARE(rig.label("P113")->geometry(), QRect(248, 72, 25, 17));

    // A new caption reaches the title bar with the next event.
    rig.deck.caption = QStringLiteral("song.mp3");
    rig.deck.event([] {});
    QCOMPARE(rig.view.windowTitle(), QStringLiteral("song.mp3"));
}

void TestViews::trackBarMouseDown_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<int>("xPixels");
    QTest::addColumn<int>("marker"); // pos Left, twips
    QTest::addColumn<int>("seek");

    // 200-second song: seek = marker / 4200 * 200; x below 80 twips seeks to 0.
    QTest::newRow("left 40 px = 600 twips") << Qt::LeftButton << 40 << 960 << 46;
    QTest::newRow("right button seeks too") << Qt::RightButton << 40 << 960 << 46;
    QTest::newRow("middle button seeks too") << Qt::MiddleButton << 40 << 960 << 46;
    QTest::newRow("5 px = 75 twips: start zone") << Qt::LeftButton << 5 << 435 << 0;
    QTest::newRow("6 px = 90 twips: past the zone") << Qt::LeftButton << 6 << 450 << 21;
    QTest::newRow("248 px: marker at its highest") << Qt::LeftButton << 248 << 4000 << 190;
}

void TestViews::trackBarMouseDown()
{
    QFETCH(Qt::MouseButton, button);
    QFETCH(int, xPixels);
    QFETCH(int, marker);
    QFETCH(int, seek);

    AppRig rig;
    QVERIFY(rig.showDeck());
    rig.load();
    rig.player.log.clear();

    QTest::mousePress(rig.label("Label1"), button, {}, QPoint(xPixels, 8));
    QCOMPARE(rig.deck.pos.left, marker);
    QCOMPARE(rig.deck.seekSeconds, seek);
    QVERIFY(rig.player.log.contains(QStringLiteral("seek %1").arg(seek)));
    // The marker is drawn where the controller put it.
    QCOMPARE(rig.label("pos")->x(), twipsToPixels(marker));
    QTest::mouseRelease(rig.label("Label1"), button, {}, QPoint(xPixels, 8));
}

void TestViews::spaceRelease_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QByteArray>("events");
    QTest::addColumn<bool>("stops");

    // p / r: a press / a release; upper case: marked as the X server's repeat of a held key.
    const auto space = [](const char *name, Qt::KeyboardModifiers modifiers, const char *events) {
        QTest::newRow(name) << int(Qt::Key_Space) << modifiers << QByteArray(events) << true;
    };
    space("space", {}, "pr");
    space("shift+space", Qt::ShiftModifier, "pr");
    space("ctrl+alt+space", Qt::ControlModifier | Qt::AltModifier, "pr");
    // Asked for detectable auto-repeat, X repeats a held key as presses only.
    space("held space, repeats as presses", {}, "ppppr");
    // Otherwise X sends each repeat as a release and a press with one time stamp.
    space("held space, repeats as pairs", {}, "pRPRPRPr");
    // Qt's Shift is 0x01000020: its low 16 bits are the space bar's code.
    QTest::newRow("shift key alone")
        << int(Qt::Key_Shift) << Qt::KeyboardModifiers(Qt::ShiftModifier) << QByteArray("pr")
        << false;
    QTest::newRow("letter") << int(Qt::Key_A) << Qt::KeyboardModifiers() << QByteArray("pr")
                            << false;
}

void TestViews::spaceRelease()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QByteArray, events);
    QFETCH(bool, stops);

    AppRig rig;
    rig.load();
    rig.player.log.clear();

    ulong time = 1000;
    for (const char what : events) {
        QVERIFY2(!rig.player.log.contains(QStringLiteral("stop")), "stopped before the release");
        const bool press = what == 'p' || what == 'P';
        if (what != 'P') // a repeat's press carries its release's time stamp
            time += 40;
        QKeyEvent event(press ? QEvent::KeyPress : QEvent::KeyRelease, key, modifiers, QString(),
                        what == 'P' || what == 'R');
        event.setTimestamp(time);
        QApplication::sendEvent(&rig.view, &event);
    }
    QCOMPARE(rig.deck.spaceStopped, std::int16_t(stops ? 1 : 0));
    QCOMPARE(rig.player.log.count(QStringLiteral("stop")), stops ? 1 : 0);
}

void TestViews::keyReleaseReachesDeckAfterLabelClick()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    rig.load();

    // Clicking a label leaves the keyboard with the deck window.
    QTest::mouseClick(rig.label("M111"), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(!rig.label("M111")->hasFocus());
    QTest::keyRelease(rig.view.windowHandle(), Qt::Key_Space);
    QCOMPARE(rig.deck.spaceStopped, std::int16_t(1));
    QTest::keyRelease(rig.view.windowHandle(), Qt::Key_Space);
    QCOMPARE(rig.deck.spaceStopped, std::int16_t(0));
}

void TestViews::cuePlayButton_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QPoint>("releaseAt");
    QTest::addColumn<int>("trains");
    QTest::addColumn<bool>("dialog");

    QTest::newRow("left click plays") << Qt::LeftButton << QPoint(5, 5) << 1 << false;
    QTest::newRow("right click opens the dialog") << Qt::RightButton << QPoint(5, 5) << 0 << true;
    QTest::newRow("middle click does nothing") << Qt::MiddleButton << QPoint(5, 5) << 0 << false;
    QTest::newRow("left released outside") << Qt::LeftButton << QPoint(-20, 40) << 0 << false;
}

void TestViews::cuePlayButton()
{
    QFETCH(Qt::MouseButton, button);
    QFETCH(QPoint, releaseAt);
    QFETCH(int, trains);
    QFETCH(bool, dialog);

    AppRig rig;
    QVERIFY(rig.showDeck());
    rig.load();

    ClickableLabel *p1 = rig.label("P111");
    QTest::mousePress(p1, button, {}, QPoint(5, 5));
    QTest::mouseRelease(p1, button, {}, releaseAt);
    QCOMPARE(rig.player.trains.size(), trains);
    QCOMPARE(rig.windows.cueDialogOpen(), dialog);
    // The hidden cue play button marks the slot being edited.
    QCOMPARE(p1->isVisible(), !dialog);
    if (dialog) {
        CueDialogView *view = rig.windows.cueDialogView();
        QVERIFY(view);
        QCOMPARE(view->text1()->text(), QStringLiteral("1"));
        QCOMPARE(view->text2()->text(), QStringLiteral("500"));
        QCOMPARE(view->text3()->text(), QStringLiteral("0.0"));
    }
}

void TestViews::cueDialogEditsAndWritesBack()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    rig.load();

    QTest::mouseClick(rig.label("P112"), Qt::RightButton, {}, QPoint(5, 5));
    QPointer<CueDialogView> dialog = rig.windows.cueDialogView();
    QVERIFY(dialog);
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Repeats, duration,    start posn  & -->>"));
    QCOMPARE(dialog->size(), QSize(260, 53));
    QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
    QVERIFY(!(dialog->windowFlags() & Qt::WindowMinMaxButtonsHint));
    QCOMPARE(dialog->text1()->geometry(), QRect(32, 8, 17, 19));
    QCOMPARE(dialog->text2()->geometry(), QRect(80, 8, 33, 19));
    QCOMPARE(dialog->text3()->geometry(), QRect(144, 8, 73, 19));
    QCOMPARE(dialog->text3()->palette().color(QPalette::Text), QColor(255, 255, 0));
    QCOMPARE(QApplication::focusWidget(), dialog->text1());
    QCOMPARE(dialog->text1()->nextInFocusChain(), dialog->text2());
    QCOMPARE(dialog->text2()->nextInFocusChain(), dialog->text3());

    // Typing is limited by the boxes' lengths and lands in the controller as typed.
    dialog->text1()->selectAll();
    QTest::keyClicks(dialog->text1(), QStringLiteral("37"));
    QCOMPARE(dialog->text1()->text(), QStringLiteral("3"));
    dialog->text2()->selectAll();
    QTest::keyClicks(dialog->text2(), QStringLiteral("020012"));
    QCOMPARE(dialog->text2()->text(), QStringLiteral("0200"));
    dialog->text3()->selectAll();
    QTest::keyClicks(dialog->text3(), QStringLiteral("12.5"));

    // The close box writes slot 2 back, shows P2 again and takes the window away.
    dialog->close();
    QCOMPARE(rig.deck.P112.tag, QStringLiteral("3"));
    QCOMPARE(rig.deck.M112.tag, QStringLiteral("0200"));
    QCOMPARE(rig.deck.M112.toolTip, QStringLiteral("12.5"));
    QVERIFY(rig.label("P112")->isVisible());
    QCOMPARE(rig.label("M112")->toolTip(), QStringLiteral("12.5"));
    QVERIFY(!rig.windows.cueDialogOpen());
    deleteClosedWindows();
    QVERIFY(dialog.isNull());
}

void TestViews::deckCloseClosesEverything()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    rig.load();
    QTest::mouseClick(rig.label("P111"), Qt::RightButton, {}, QPoint(5, 5));
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    QPointer<CueDialogView> dialog = rig.windows.cueDialogView();
    QPointer<PlaylistView> playlist = rig.windows.playlistView();
    QVERIFY(dialog && playlist);

    // Each handler runs to completion before the next event: no tick of the deck comes in while
    // the farewell is up (the tick would write the time display).
    rig.deck.T.caption = QStringLiteral("x");
    rig.messages.onShow = [] { QTest::qWait(1500); };
    QSignalSpy closed(&rig.view, &DeckView::closed);
    rig.view.close();
    QCOMPARE(rig.deck.T.caption, QStringLiteral("x"));
    QCOMPARE(closed.size(), 1);
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(rig.messages.shown.first().second,
             QStringLiteral("Quit - Thank you for using PockoMP3."));
    QVERIFY(!rig.view.tickRunning());
    // The dialog's close processing ran: P1 is shown again.
    QVERIFY(rig.deck.P111.visible);
    QVERIFY(!rig.windows.cueDialogOpen());
    QVERIFY(!rig.windows.playlistView());
    deleteClosedWindows();
    QVERIFY(dialog.isNull() && playlist.isNull());
}

void TestViews::playlistLayout()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    PlaylistView *view = rig.windows.playlistView();
    QVERIFY(view);
    QVERIFY(QTest::qWaitForWindowActive(view));

    QCOMPARE(view->windowTitle(), QStringLiteral("  Select an MP3. Click MP3 to load."));
    QCOMPARE(view->windowType(), Qt::Tool); // no taskbar entry
    QVERIFY(!(view->windowFlags() & Qt::WindowMinMaxButtonsHint));
    QCOMPARE(view->minimumSize(), view->maximumSize());
    QCOMPARE(view->geometry(), QRect(184, 250, 274, 133));
    QCOMPARE(view->palette().color(QPalette::Window), QColor(128, 0, 0));

    const struct
    {
        const char *name;
        QRect pixels;
        const char *text;
    } labels[] = {
        { "tpall", QRect(64, 0, 43, 17), "Play All" },
        { "Label1", QRect(126, 0, 43, 17), "Skip" },
        { "tsall", QRect(184, 0, 43, 17), "Stop All" },
        { "linfo", QRect(8, 101, 257, 11), "NOTE: To ensure your mp3's display - " },
        { "lminfo", QRect(8, 115, 257, 11), "Copy the Pocko EXE to your mp3 folder(s)." },
    };
    for (const auto &expected : labels) {
        ClickableLabel *label = view->label(QLatin1String(expected.name));
        QVERIFY2(label, expected.name);
        QCOMPARE(label->geometry(), expected.pixels);
        QCOMPARE(label->text(), QLatin1String(expected.text));
        QCOMPARE(accessibleText(label, QAccessible::Name), QLatin1String(expected.text));
    }

    QListWidget *list = view->list();
    QCOMPARE(list->geometry(), QRect(40, 16, 209, 82));
    QCOMPARE(list->count(), 3);
    QVERIFY(list->hasFocus());
    // Opening the window picks nothing, even though the list has the focus.
    QVERIFY(list->selectedItems().isEmpty());
    QVERIFY(!rig.player.log.contains(QStringLiteral("setFileName /music/a.mp3")));
    QVERIFY(!view->tickRunning());
}

void TestViews::playlistPickByClick()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    QPointer<PlaylistView> view = rig.windows.playlistView();
    QVERIFY(view);
    QListWidget *list = view->list();

    const QPoint second = list->visualItemRect(list->item(1)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second);
    QCOMPARE(rig.deck.F.tag, QStringLiteral("/music/b.mp3"));
    QCOMPARE(rig.view.windowTitle(), QStringLiteral("b.mp3"));
    QVERIFY(rig.player.log.contains(QStringLiteral("setFileName /music/b.mp3")));
    // The window closed itself from inside its own click; it goes when the event loop gets back.
    QVERIFY(!rig.windows.playlistView());
    QVERIFY(view && view->retired() && !view->isVisible());
    deleteClosedWindows();
    QVERIFY(view.isNull());
}

void TestViews::playlistFirstArrowKeyPicksFirstEntry()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    PlaylistView *view = rig.windows.playlistView();
    QVERIFY(view);
    QVERIFY(QTest::qWaitForWindowActive(view));
    QVERIFY(view->list()->hasFocus());

    QTest::keyClick(view->list(), Qt::Key_Down);
    QCOMPARE(rig.deck.F.tag, QStringLiteral("/music/a.mp3"));
    QVERIFY(!rig.windows.playlistView());
}

void TestViews::playlistFileTwiceShowsSameWindow()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    PlaylistView *first = rig.windows.playlistView();
    rig.folder.names.append(QStringLiteral("d.mp3"));
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(rig.windows.playlistView(), first);
    QCOMPARE(first->list()->count(), 3);
}

void TestViews::playAllEndClosesWindowFromItsOwnTick()
{
    AppRig rig;
    rig.folder.names = { QStringLiteral("a.mp3") };
    QVERIFY(rig.showDeck());
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    QPointer<PlaylistView> view = rig.windows.playlistView();
    QVERIFY(view);

    QTest::mouseClick(view->label(QStringLiteral("tpall")), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(rig.player.name, QStringLiteral("/music/a.mp3"));
    QVERIFY(view->tickRunning());
    QCOMPARE(view->windowTitle(), QStringLiteral("a.mp3"));

    // The song reaches its end; the finish message stays up while more ticks come due, as a
    // user reads it, and the player still reads the end: no second message may pile up.
    rig.player.position = 199.6;
    rig.messages.onShow = [&rig] {
        rig.player.position = 199.6;
        QTest::qWait(2500);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!rig.windows.playlistView(), 10000);
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(rig.messages.shown.first().first,
             QStringLiteral("Play of all files finished or no file to play"));
    QVERIFY(view.isNull() || !view->tickRunning());
    deleteClosedWindows();
    QVERIFY(view.isNull());
}

void TestViews::playlistCloseBoxStopsPlayer()
{
    AppRig rig;
    QVERIFY(rig.showDeck());
    rig.load();
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    QPointer<PlaylistView> view = rig.windows.playlistView();
    rig.player.log.clear();
    view->close();
    QVERIFY(rig.player.log.contains(QStringLiteral("stop")));
    QVERIFY(!rig.windows.playlistView());
    deleteClosedWindows();
    QVERIFY(view.isNull());

    // FILE afterwards loads a fresh window.
    QTest::mouseClick(rig.label("F"), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(rig.windows.playlistView());
}

void TestViews::iconIsCompiledIn()
{
    const QIcon icon = appIcon();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
    QVERIFY(icon.pixmap(32, 32).toImage().pixelColor(16, 16).alpha() > 0);
}

QTEST_MAIN(TestViews)
#include "tst_views.moc"
