#include "deck/numbers.h"
#include "fakes/testwindows.h"

#include <QLocale>
#include <QTest>

using namespace pocko;

class TestDeck : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    // ---- Start, transport, farewell, "LT" ----

    void startsWithPauseHiddenAndTickRunning()
    {
        DeckRig rig;
        QVERIFY(!rig.deck.R.visible);
        QVERIFY(rig.deck.Timer1Enabled);
        QCOMPARE(rig.deck.T.caption, QString());
        QCOMPARE(rig.deck.Label1.caption, QStringLiteral(" From"));
        QCOMPARE(rig.deck.caption, QStringLiteral("Pocko MP3 DJ Player 1.4"));
        QCOMPARE(rig.deck.M112.tag, QStringLiteral("750"));
        QCOMPARE(rig.deck.P113.tag, QStringLiteral("1"));
        QCOMPARE(rig.deck.M113.toolTip, QStringLiteral("0.0"));
    }

    void playWithoutSongShowsMessageAndHidesPause()
    {
        DeckRig rig;
        rig.deck.R.visible = true;
        rig.deck.event([&] { rig.deck.P_Click(); });
        QCOMPARE(rig.messages.shown.size(), 1);
        QCOMPARE(rig.messages.shown[0].first, QStringLiteral("No file specified."));
        QCOMPARE(rig.messages.shown[0].second, QStringLiteral("Mp3 File name not entered."));
        QVERIFY(!rig.deck.R.visible);
        QVERIFY(!rig.player.log.contains(QStringLiteral("play")));
    }

    void loadShowsPauseAndArmsLoop()
    {
        DeckRig rig;
        rig.deck.R.caption = QStringLiteral("Resume");
        rig.deck.pos.left = 2000;
        rig.player.lengths[QStringLiteral("/music/a.mp3")] = 200.5;
        rig.load();
        QVERIFY(rig.deck.R.visible);
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Pause"));
        QCOMPARE(rig.deck.pos.left, 360);
        QCOMPARE(rig.deck.songSeconds, 200); // halves to even
        QVERIFY(rig.deck.loopArmed);
        QVERIFY(rig.deck.Timer1Enabled);
    }

    void refusedLoadHidesPauseAndKeepsEarlierSteps()
    {
        DeckRig rig;
        rig.load();
        rig.deck.Label1.caption = QStringLiteral("1:5");
        rig.deck.songSeconds = 77;
        rig.player.refused.insert(QStringLiteral("/music/bad.mp3"));
        rig.load(QStringLiteral("/music/bad.mp3"));
        QVERIFY(!rig.deck.R.visible);
        QCOMPARE(rig.deck.Label1.caption, QStringLiteral(" From"));
        QCOMPARE(rig.deck.songSeconds, 77);
        QVERIFY(rig.messages.shown.isEmpty());
    }

    void pauseStoresWholeSecondAndResumeSeeksThere_data()
    {
        QTest::addColumn<double>("pausedAt");
        QTest::addColumn<int>("resumeAt");
        QTest::newRow("61.5 to even 62") << 61.5 << 62;
        QTest::newRow("62.5 to even 62") << 62.5 << 62;
        QTest::newRow("61.49") << 61.49 << 61;
        QTest::newRow("0.5 to 0") << 0.5 << 0;
    }
    void pauseStoresWholeSecondAndResumeSeeksThere()
    {
        QFETCH(double, pausedAt);
        QFETCH(int, resumeAt);
        DeckRig rig;
        rig.load();
        rig.player.position = pausedAt;
        rig.deck.event([&] { rig.deck.R_Click(); });
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Resume"));
        QVERIFY(!rig.deck.Timer1Enabled);
        QVERIFY(!rig.deck.loopArmed);
        QCOMPARE(rig.deck.resumeAt, resumeAt);
        rig.player.log.clear();
        rig.deck.event([&] { rig.deck.R_Click(); });
        QCOMPARE(rig.player.log,
                 QStringList({QStringLiteral("seek %1").arg(resumeAt), QStringLiteral("play")}));
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Pause"));
        QVERIFY(rig.deck.Timer1Enabled);
        QVERIFY(rig.deck.loopArmed);
    }

    void pauseFailureKeepsWhatWasDone()
    {
        DeckRig rig;
        rig.load();
        rig.player.failing.insert(QStringLiteral("currentPosition"));
        rig.deck.R_Click(); // traps its own failure
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Resume"));
        QVERIFY(!rig.deck.Timer1Enabled);
        QCOMPARE(rig.deck.resumeAt, 0);
    }

    void playWhilePausedRestartsFromBeginning()
    {
        DeckRig rig;
        rig.load();
        rig.player.position = 42;
        rig.deck.R_Click();
        rig.player.log.clear();
        rig.deck.event([&] { rig.deck.P_Click(); });
        QCOMPARE(rig.player.log,
                 QStringList({QStringLiteral("setFileName /music/a.mp3"), QStringLiteral("play")}));
        QCOMPARE(rig.player.position, 0.0);
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Pause"));
        QVERIFY(rig.deck.R.visible);
    }

    void stopKeepsSegmentArmedOnlyWhileSwitchIsOn_data()
    {
        QTest::addColumn<QString>("switchCaption");
        QTest::addColumn<bool>("armedAfter");
        QTest::newRow("On keeps it") << QStringLiteral("On") << true;
        QTest::newRow("Off clears it") << QStringLiteral("Off") << false;
    }
    void stopKeepsSegmentArmedOnlyWhileSwitchIsOn()
    {
        QFETCH(QString, switchCaption);
        QFETCH(bool, armedAfter);
        DeckRig rig;
        rig.load();
        rig.deck.segmentArmed = true;
        rig.deck.tsegs.caption = switchCaption;
        rig.deck.R.caption = QStringLiteral("Resume");
        rig.deck.event([&] { rig.deck.S_Click(); });
        QCOMPARE(rig.deck.segmentArmed, armedAfter);
        QVERIFY(!rig.deck.R.visible);
        QVERIFY(!rig.deck.Timer1Enabled);
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Resume"));
    }

    void fileTwiceShowsOneWindowOrTheSoundCardMessage()
    {
        DeckRig rig;
        rig.deck.F_Click();
        rig.deck.F_Click();
        QCOMPARE(rig.windows.playlistsCreated, 1);
        QCOMPARE(rig.windows.playlistShows, 2);
        QVERIFY(rig.deck.soundOk);

        DeckRig silent;
        silent.player.soundDevice = false;
        silent.deck.F_Click();
        QCOMPARE(silent.windows.playlistShows, 0);
        QCOMPARE(silent.messages.shown.value(0).first,
                 QStringLiteral(" Your sound card does not seem to be enabled. Please Click X to "
                                "Exit Pocko, and enable it."));
        QCOMPARE(silent.messages.shown.value(0).second, QStringLiteral("PockoMP3 DJ Player V1.4"));
    }

    void anotherDeck_data()
    {
        QTest::addColumn<bool>("starts");
        QTest::addColumn<int>("messages");
        QTest::newRow("started") << true << 0;
        QTest::newRow("missing") << false << 1;
    }
    void anotherDeck()
    {
        QFETCH(bool, starts);
        QFETCH(int, messages);
        DeckRig rig;
        rig.launcher.succeeds = starts;
        rig.deck.L_Click();
        QCOMPARE(rig.launcher.started, QStringList{QStringLiteral("PockoMP3Player")});
        QCOMPARE(rig.messages.shown.size(), messages);
        if (messages) {
            QCOMPARE(rig.messages.shown[0].first,
                     QStringLiteral(" Could not find PockoMP3Player exe - please load manually by "
                                    "clicking on it in dir."));
            QCOMPARE(rig.messages.shown[0].second, QStringLiteral("PockoMP3 DJ Player V1.4"));
        }
    }

    void farewellThenDialogThenPlaylistClose()
    {
        DeckRig rig;
        rig.load();
        rig.deck.F_Click();
        rig.deck.P112_MouseDown(2);
        rig.windows.cueDialog->Text1.text = QStringLiteral("4");
        rig.messages.onShow = [&] { QVERIFY(rig.windows.events.isEmpty()); };
        rig.deck.Form_Unload();
        QCOMPARE(rig.messages.shown.size(), 1);
        const QStringList lines = rig.messages.shown[0].first.split(QLatin1Char('\r'));
        QCOMPARE(lines.size(), 3);
        for (const QString &line : lines)
            QVERIFY(line.startsWith(QLatin1Char(' ')) && !line.contains(QLatin1Char('\n')));
        QCOMPARE(rig.messages.shown[0].second, QStringLiteral("Quit - Thank you for using PockoMP3."));
        QCOMPARE(rig.windows.events,
                 QStringList({QStringLiteral("dialog closed"), QStringLiteral("playlist closed")}));
        QCOMPARE(rig.deck.P112.tag, QStringLiteral("4")); // the dialog's close wrote its slot
        QCOMPARE(rig.player.log.last(), QStringLiteral("stop"));
    }

    // ---- Time display, tick, track bar ----

    void timeText_data()
    {
        QTest::addColumn<double>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("0.4") << 0.4 << QStringLiteral("0:0");
        QTest::newRow("59.4") << 59.4 << QStringLiteral("0:59");
        QTest::newRow("59.6") << 59.6 << QStringLiteral("1:0");
        QTest::newRow("65.2") << 65.2 << QStringLiteral("1:5");
        QTest::newRow("89.5") << 89.5 << QStringLiteral("1:30");
        QTest::newRow("90.5") << 90.5 << QStringLiteral("1:30");
        QTest::newRow("600") << 600.0 << QStringLiteral("10:0");
        QTest::newRow("two hours") << 7322.0 << QStringLiteral("122:2");
        QTest::newRow("negative") << -3.7 << QStringLiteral("0:0");
    }
    void timeText()
    {
        QFETCH(double, position);
        QFETCH(QString, text);
        DeckRig rig;
        rig.load();
        rig.player.position = position;
        rig.deck.Timer1_Timer();
        QCOMPARE(rig.deck.T.caption, text);
        QVERIFY(rig.deck.seconds >= 0);
    }

    void tickDoesNothingWhilePaused()
    {
        DeckRig rig;
        rig.load();
        rig.deck.tloop.caption = QStringLiteral("L");
        rig.deck.R.caption = QStringLiteral("Resume");
        rig.deck.loopArmed = true;
        rig.player.position = 199.5;
        rig.player.log.clear();
        rig.deck.Timer1_Timer();
        QCOMPARE(rig.deck.T.caption, QString());
        QVERIFY(rig.player.log.isEmpty());
    }

    void loopRestart_data()
    {
        QTest::addColumn<double>("position");
        QTest::addColumn<QString>("loop");
        QTest::addColumn<bool>("armed");
        QTest::addColumn<bool>("restarts");
        QTest::newRow("just before length-2") << 197.99 << "L" << true << false;
        QTest::newRow("at length-2") << 198.0 << "L" << true << true;
        QTest::newRow("past the end") << 200.0 << "L" << true << true;
        QTest::newRow("switch off") << 199.0 << "" << true << false;
        QTest::newRow("not armed (after a burst)") << 199.0 << "L" << false << false;
    }
    void loopRestart()
    {
        QFETCH(double, position);
        QFETCH(QString, loop);
        QFETCH(bool, armed);
        QFETCH(bool, restarts);
        DeckRig rig;
        rig.load();
        rig.deck.tloop.caption = loop;
        rig.deck.loopArmed = armed;
        rig.player.position = position;
        rig.player.log.clear();
        rig.deck.Timer1_Timer();
        QCOMPARE(rig.player.log.contains(QStringLiteral("play")), restarts);
        if (restarts)
            QCOMPARE(rig.player.position, 0.0);
    }

    void segmentReplay_data()
    {
        QTest::addColumn<int>("playState");
        QTest::addColumn<QString>("segments");
        QTest::addColumn<bool>("armed");
        QTest::addColumn<bool>("replays");
        QTest::newRow("stopped, On, armed") << 0 << "On" << true << true;
        QTest::newRow("still playing") << 2 << "On" << true << false;
        QTest::newRow("switch Off") << 0 << "Off" << true << false;
        QTest::newRow("not armed") << 0 << "On" << false << false;
    }
    void segmentReplay()
    {
        QFETCH(int, playState);
        QFETCH(QString, segments);
        QFETCH(bool, armed);
        QFETCH(bool, replays);
        DeckRig rig;
        rig.load();
        rig.deck.cueStart1 = 10;
        rig.deck.cueStart2 = 14.5;
        rig.deck.tsegs.caption = segments;
        rig.deck.segmentArmed = armed;
        rig.player.state = playState;
        rig.player.position = 50;
        rig.player.log.clear();
        rig.deck.Timer1_Timer();
        QCOMPARE(rig.player.log.contains(QStringLiteral("selectionStart 10")), replays);
        if (replays)
            QCOMPARE(rig.player.log.mid(1),
                     QStringList({QStringLiteral("stop"), QStringLiteral("selectionStart 10"),
                                  QStringLiteral("selectionEnd 14.5"), QStringLiteral("play")}));
    }

    void trackBar_data()
    {
        QTest::addColumn<float>("x");
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("marker");
        QTest::addColumn<int>("seek");
        QTest::newRow("start zone") << 50.0f << 1 << 410 << 0;
        QTest::newRow("79 still start zone") << 79.0f << 1 << 439 << 0;
        QTest::newRow("80 seeks by the bar") << 80.0f << 1 << 440 << 21; // 440/4200*200 = 20.95
        QTest::newRow("1000") << 1000.0f << 1 << 1360 << 65;
        QTest::newRow("3700 clamps to 4000") << 3700.0f << 1 << 4000 << 190;
        QTest::newRow("negative x") << -20.0f << 1 << 360 << 0;
        QTest::newRow("right button") << 1000.0f << 2 << 1360 << 65;
        QTest::newRow("middle button") << 1000.0f << 4 << 1360 << 65;
    }
    void trackBar()
    {
        QFETCH(float, x);
        QFETCH(int, button);
        QFETCH(int, marker);
        QFETCH(int, seek);
        DeckRig rig;
        rig.load();
        rig.deck.R_Click(); // paused: the click resumes at the clicked point
        rig.deck.loopArmed = false;
        rig.player.log.clear();
        rig.deck.event([&] { rig.deck.Label1_MouseDown(button, 0, x, 10); });
        QCOMPARE(rig.deck.pos.left, marker);
        QCOMPARE(rig.deck.seekSeconds, seek);
        QCOMPARE(rig.player.log,
                 QStringList({QStringLiteral("setFileName /music/a.mp3"),
                              QStringLiteral("seek %1").arg(seek), QStringLiteral("play")}));
        QCOMPARE(rig.deck.Label1.caption, QStringLiteral("%1:%2").arg(seek / 60).arg(seek % 60));
        QVERIFY(rig.deck.R.visible);
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Pause"));
        QVERIFY(rig.deck.loopArmed);
        QVERIFY(rig.deck.Timer1Enabled);
    }

    void trackBarWithoutSongDoesNothing()
    {
        DeckRig rig;
        rig.deck.event([&] { rig.deck.Label1_MouseDown(1, 0, 1000, 0); });
        QCOMPARE(rig.deck.pos.left, 360);
        QVERIFY(!rig.deck.R.visible);
        QVERIFY(rig.messages.shown.isEmpty());
    }

    // ---- The space bar ----

    void spaceBar_data()
    {
        QTest::addColumn<QStringList>("actions"); // "space", "shift+space", "x", "stop", "load"
        QTest::addColumn<QStringList>("expected"); // player calls after the last action
        QTest::addColumn<int>("spaceStopped");
        QTest::newRow("first space stops")
            << QStringList{"load", "space"} << QStringList{"stop"} << 1;
        QTest::newRow("second space plays from the beginning")
            << QStringList{"load", "space", "space"}
            << QStringList{"setFileName /music/a.mp3", "play"} << 0;
        QTest::newRow("after a mouse Stop space stops again")
            << QStringList{"load", "stop", "space"} << QStringList{"stop"} << 1;
        QTest::newRow("shift and ctrl make no difference")
            << QStringList{"load", "shift+space", "shift+space"}
            << QStringList{"setFileName /music/a.mp3", "play"} << 0;
        QTest::newRow("other keys do nothing") << QStringList{"load", "x"} << QStringList{} << 0;
        QTest::newRow("no song: nothing, and forgets") << QStringList{"space"} << QStringList{} << 0;
    }
    void spaceBar()
    {
        QFETCH(QStringList, actions);
        QFETCH(QStringList, expected);
        QFETCH(int, spaceStopped);
        DeckRig rig;
        for (const QString &action : actions) {
            rig.player.log.clear();
            rig.deck.event([&] {
                if (action == QLatin1String("load"))
                    rig.load();
                else if (action == QLatin1String("stop"))
                    rig.deck.S_Click();
                else if (action == QLatin1String("x"))
                    rig.deck.Form_KeyUp('X', 0);
                else
                    rig.deck.Form_KeyUp(32, action.startsWith(QLatin1String("shift")) ? 3 : 0);
            });
        }
        QCOMPARE(rig.player.log, expected);
        QCOMPARE(int(rig.deck.spaceStopped), spaceStopped);
    }

    void spaceWithoutSongForgetsAndFailureKeepsState()
    {
        DeckRig rig;
        rig.deck.spaceStopped = 1;
        rig.deck.Form_KeyUp(32, 0);
        QCOMPARE(int(rig.deck.spaceStopped), 0);

        rig.load();
        rig.player.failing.insert(QStringLiteral("stop"));
        rig.deck.event([&] { rig.deck.Form_KeyUp(32, 0); });
        QCOMPARE(int(rig.deck.spaceStopped), 0);
    }

    // ---- Cue slots ----

    void cueStartRangeFix_data()
    {
        QTest::addColumn<QString>("startText");
        QTest::addColumn<double>("start");
        QTest::newRow("initial 0.0") << "0.0" << 0.1;
        QTest::newRow("0.3") << "0.3" << 0.1;
        QTest::newRow("0.49") << "0.49" << 0.1;
        QTest::newRow("0.5 passes") << "0.5" << 0.5;
        QTest::newRow("10000.1 passes") << "10000.1" << 10000.1;
        QTest::newRow("10000.2") << "10000.2" << 0.1;
        QTest::newRow("negative") << "-4" << 0.1;
        QTest::newRow("blanks around") << " 12.5 " << 12.5;
    }
    void cueStartRangeFix()
    {
        QFETCH(QString, startText);
        QFETCH(double, start);
        DeckRig rig;
        rig.load();
        rig.deck.M112.toolTip = startText;
        rig.deck.P112_Click();
        QCOMPARE(rig.deck.cueStart2, start);
        QCOMPARE(rig.player.trains.value(0).start, start);
        QCOMPARE(rig.deck.M112.toolTip, startText); // the tooltip keeps what it showed
    }

    void repeatsGiveBursts_data()
    {
        QTest::addColumn<QString>("repeats");
        QTest::addColumn<int>("bursts");
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("0") << "0" << 1;
        QTest::newRow("3") << "3" << 3;
        QTest::newRow("9") << "9" << 9;
        QTest::newRow("2.5") << "2.5" << 3;
        QTest::newRow("-1") << "-1" << 1;
    }
    void repeatsGiveBursts()
    {
        QFETCH(QString, repeats);
        QFETCH(int, bursts);
        DeckRig rig;
        rig.load();
        rig.deck.tloop.caption = QStringLiteral("L");
        rig.deck.S_Click(); // hides R and stops the tick: the cue play brings both back
        rig.deck.M111.toolTip = QStringLiteral("30");
        rig.deck.P111.tag = repeats;
        const double before = rig.clock.time;
        rig.deck.P111_Click();
        QCOMPARE(rig.player.trains.size(), 1);
        QCOMPARE(rig.player.trains[0].count, bursts);
        QCOMPARE(rig.player.trains[0].heardSeconds, 0.5);
        QCOMPARE(int(rig.deck.burstCount1), bursts);
        // the thread held for every burst's duration, measured from each burst's own start
        QVERIFY(rig.clock.time - before > 0.5 * bursts);
        QVERIFY(rig.deck.burstNow > rig.deck.burstBegin + 0.5);
        QVERIFY(rig.deck.R.visible);
        QVERIFY(rig.deck.Timer1Enabled);
        QVERIFY(!rig.deck.loopArmed);
        QCOMPARE(rig.deck.R.caption, QStringLiteral("Pause"));
    }

    void cuePlayFallbacks_data()
    {
        QTest::addColumn<int>("slot");
        QTest::newRow("slot 1") << 1;
        QTest::newRow("slot 2") << 2;
        QTest::newRow("slot 3") << 3;
    }
    void cuePlayFallbacks()
    {
        QFETCH(int, slot);
        for (bool withSong : {true, false}) {
            DeckRig rig;
            if (withSong)
                rig.load();
            rig.deck.markButton(slot).tag.clear();
            rig.deck.cuePlayButton(slot).tag.clear();
            rig.deck.cuePlayClick(slot);
            QCOMPARE(rig.deck.markButton(slot).tag, QStringLiteral("500"));
            QCOMPARE(rig.deck.cuePlayButton(slot).tag, QStringLiteral("1"));
            const double starts[] = {rig.deck.cueStart1, rig.deck.cueStart2, rig.deck.cueStart3};
            QCOMPARE(starts[slot - 1], 0.1);
            QCOMPARE(rig.player.trains.size(), withSong ? 1 : 0);
        }
    }

    void markTooltipFormats_data()
    {
        QTest::addColumn<double>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("12.5") << 12.5 << QStringLiteral("12.5");
        QTest::newRow("3") << 3.0 << QStringLiteral("3");
        QTest::newRow("long fraction") << 100.0 / 3 << QStringLiteral("33.3333333333333");
        QTest::newRow("no grouping") << 12345.25 << QStringLiteral("12345.25");
    }
    void markTooltipFormats()
    {
        QFETCH(double, position);
        QFETCH(QString, text);
        DeckRig rig;
        rig.load();
        rig.player.position = position;
        rig.deck.M113_Click();
        QCOMPARE(rig.deck.M113.toolTip, text);
        QCOMPARE(rig.deck.cueStart3, position);
        QCOMPARE(rig.deck.M113.tag, QStringLiteral("1000"));
    }

    void markUsesLocaleDecimalSeparator()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        DeckRig rig;
        rig.load();
        rig.player.position = 12345.5;
        rig.deck.M111_Click();
        QCOMPARE(rig.deck.M111.toolTip, QStringLiteral("12345,5"));
        rig.deck.P111_Click();
        QCOMPARE(rig.deck.cueStart1, 12345.5 > 10000.1 ? 0.1 : 12345.5);
        rig.player.position = 42.25;
        rig.deck.M111_Click();
        rig.deck.P111_Click();
        QCOMPARE(rig.player.trains.last().start, 42.25);
    }

    void rightClickOpensDialogForThatSlot()
    {
        DeckRig rig;
        rig.deck.M112.toolTip = QStringLiteral("17.25");
        rig.deck.P112_MouseDown(1); // a left press does nothing here
        QVERIFY(!rig.windows.cueDialog);
        rig.deck.P112_MouseDown(2);
        QVERIFY(rig.windows.cueDialog);
        QVERIFY(!rig.deck.P112.visible);
        QCOMPARE(rig.windows.cueDialog->Text1.text, QStringLiteral("1"));
        QCOMPARE(rig.windows.cueDialog->Text2.text, QStringLiteral("750"));
        QCOMPARE(rig.windows.cueDialog->Text3.text, QStringLiteral("17.25"));
        QVERIFY(rig.player.trains.isEmpty());
    }

    // ---- Play modes ----

    void segmentGuards_data()
    {
        QTest::addColumn<double>("start1");
        QTest::addColumn<double>("start2");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("both 0") << 0.0 << 0.0 << false;
        QTest::newRow("10 and 12: too short") << 10.0 << 12.0 << false;
        QTest::newRow("10 and 13: exactly 3 s") << 10.0 << 13.0 << true;
        QTest::newRow("9.5 and 12.5") << 9.5 << 12.5 << true;
        QTest::newRow("start 2 at 1.0") << 0.1 << 1.0 << false;
        QTest::newRow("start 1 at 0.05") << 0.05 << 5.0 << false;
        QTest::newRow("start 2 before start 1") << 20.0 << 10.0 << false;
    }
    void segmentGuards()
    {
        QFETCH(double, start1);
        QFETCH(double, start2);
        QFETCH(bool, accepted);
        DeckRig rig;
        rig.deck.cueStart1 = start1;
        rig.deck.cueStart2 = start2;
        rig.deck.tsegs_Click();
        QCOMPARE(rig.deck.tsegs.caption, accepted ? QStringLiteral("On") : QStringLiteral("Off"));
        QCOMPARE(rig.deck.segmentArmed, accepted);
        QCOMPARE(rig.deck.R.visible, accepted);
        QVERIFY(rig.player.log.isEmpty()); // switching on neither seeks nor plays
    }

    void cuePlayMakesTooEarlyMarkUsable()
    {
        DeckRig rig;
        rig.load();
        rig.player.position = 0.05;
        rig.deck.M111_Click();
        rig.player.position = 3.1;
        rig.deck.M112_Click();
        rig.deck.tsegs_Click();
        QCOMPARE(rig.deck.tsegs.caption, QStringLiteral("Off"));
        rig.deck.P111_Click(); // start 0.05 -> 0.1
        rig.deck.tsegs_Click();
        QCOMPARE(rig.deck.tsegs.caption, QStringLiteral("On"));
    }

    void segmentSwitchOffStopsAndTickDoesNotReplay()
    {
        DeckRig rig;
        rig.load();
        rig.deck.cueStart1 = 10;
        rig.deck.cueStart2 = 20;
        rig.deck.tsegs_Click();
        rig.deck.P_Click();
        QCOMPARE(rig.player.selectionEnd, 20.0);
        rig.player.log.clear();
        rig.deck.tsegs_Click();
        QCOMPARE(rig.player.log,
                 QStringList({QStringLiteral("selectionStart -1"), QStringLiteral("selectionEnd -1"),
                              QStringLiteral("stop")}));
        QVERIFY(!rig.deck.segmentArmed);
        rig.player.log.clear();
        rig.deck.Timer1_Timer();
        QVERIFY(!rig.player.log.contains(QStringLiteral("play")));
    }

    void segmentSwitchStuckOnWhenMarksMove()
    {
        DeckRig rig;
        rig.load();
        rig.deck.cueStart1 = 10;
        rig.deck.cueStart2 = 20;
        rig.deck.tsegs_Click();
        rig.player.position = 5;
        rig.deck.M112_Click();
        rig.deck.tsegs_Click();
        QCOMPARE(rig.deck.tsegs.caption, QStringLiteral("On"));
        QVERIFY(rig.deck.segmentArmed);
    }

    void speedAndLoopNeedASong()
    {
        DeckRig rig;
        rig.deck.thspd_Click();
        rig.deck.tloop_Click();
        QCOMPARE(rig.deck.thspd.caption, QString());
        QCOMPARE(rig.deck.tloop.caption, QString());
        QVERIFY(rig.player.log.isEmpty());

        rig.load();
        rig.deck.thspd_Click();
        rig.deck.tloop_Click();
        QCOMPARE(rig.deck.thspd.caption, QStringLiteral("H"));
        QCOMPARE(rig.deck.tloop.caption, QStringLiteral("L"));
        QCOMPARE(rig.player.rate, 0.5);
        rig.load(QStringLiteral("/music/b.mp3"));
        QCOMPARE(rig.deck.thspd.caption, QStringLiteral("H")); // kept across a load
        QCOMPARE(rig.player.rate, 0.5);
        rig.deck.thspd_Click();
        QCOMPARE(rig.player.rate, 1.0);
    }
};

QTEST_GUILESS_MAIN(TestDeck)
#include "tst_deck.moc"
