#include "fakes/testwindows.h"

using namespace pocko;

namespace {
const QString Song = "setFileName /music/a.mp3";
const QStringList Replay = { Song, "stop", "selectionStart 10", "selectionEnd 14.5", "play" };
const QString AppBox = "box PockoMP3 DJ Player V1.4: ";
const QString SoundCard
    = " Your sound card does not seem to be enabled. Please Click X to Exit Pocko, and enable it.";

// A row whose steps are `setup` and then, after a "|", `action`.
void row(const char *name, const QString &setup, const QString &action, const QStringList &trace,
         const QString &state = {})
{
    scriptRow(name, setup + " | " + action, trace, state);
}
} // namespace

// The deck's handlers: a table per behaviour, every row a scenario in the handlers' own names
// (see DeckRig), one driver for all.
class TestDeck : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void transport_data()
    {
        scriptColumns();
        scriptRow("start-up", "", {}, "R.visible=0 Timer1Enabled=1 T= Label1=_From M112.tag=750");
        row("Play, no song", "R.visible=1", "P_Click",
            { "setFileName ", "box Mp3 File name not entered.: No file specified." },
            "R.visible=0");
        row("load while paused", "R=Resume Timer1Enabled=0 pos.left=2000 len=200.5", "load",
            { Song, "postOpenReset" },
            "R.visible=1 R=Pause pos.left=360 songSeconds=200 loopArmed=1 Timer1Enabled=1");
        row("load of nothing", "tloop=L", "fload", { "setFileName ", "postOpenReset" },
            "tloop= R.visible=1");
        row("refused load", "load Label1=1:5 songSeconds=77 refuse=/music/a.mp3", "load", { Song },
            "R.visible=0 Label1=_From songSeconds=77");
        row("Pause at 61.5 s", "load at=61.5", "R_Click", { "pause" },
            "R=Resume Timer1Enabled=0 loopArmed=0 resumeAt=62");
        row("Pause at 62.5 s", "load at=62.5", "R_Click", { "pause" }, "resumeAt=62");
        row("Resume", "load at=61.5 R_Click", "R_Click", { "seek 62", "play" },
            "R=Pause Timer1Enabled=1 loopArmed=1");
        row("Pause failing", "load fail=currentPosition", "R_Click", { "pause" },
            "R=Resume Timer1Enabled=0 resumeAt=0");
        row("Play after Pause, Stop", "load at=42 R_Click S_Click", "P_Click", { Song, "play" },
            "at=0 R=Pause R.visible=1 Timer1Enabled=1 loopArmed=1");
        row("Stop, segments On", "load tsegs=On segmentArmed=1 R=Resume", "S_Click", { "stop" },
            "segmentArmed=1 R.visible=0 Timer1Enabled=0 R=Resume");
        row("Stop, segments Off", "load segmentArmed=1", "S_Click", { "stop" }, "segmentArmed=0");
        row("Play, segment armed",
            "load cueStart1=10 cueStart2=14.5 segmentArmed=1 loopArmed=0 R.visible=0", "P_Click",
            Replay, "loopArmed=0 R=Pause R.visible=1");
        row("track bar, no song", "", "Label1_MouseDown(1000)", { "setFileName " },
            "pos.left=360 R.visible=0");
        scriptRow("FILE", "F_Click", {}, "soundOk=1 mpload=1");
        scriptRow("FILE, no sound device", "soundDevice=0 F_Click", { AppBox + SoundCard },
                  "soundOk=0 mpload=0");
        scriptRow("a song to start with", "openSong(/music/b.mp3)",
                  { "setFileName /music/b.mp3", "postOpenReset" }, "caption=b.mp3 soundOk=1");
        scriptRow("a song to start with, no sound device", "soundDevice=0 openSong(/music/b.mp3)",
                  { AppBox + SoundCard }, "F.tag= mpload=0");
        scriptRow("LT missing", "launcher.succeeds=0 L_Click",
                  { AppBox
                    + " Could not find PockoMP3Player exe - please load manually by "
                      "clicking on it in dir." });
    }
    void transport() { checkScript(); }

    void farewellBeforeTheWindowsClose()
    {
        DeckRig rig;
        rig.run("load F_Click P112_MouseDown(2) Form2.Text1=4 | Form_Unload");
        QCOMPARE(rig.player.log.mid(1),
                 QStringList({ "dialog closed", "stop", "playlist closed" }));
        QVERIFY(rig.player.log[0].startsWith("box Quit - Thank you for using PockoMP3.: "));
        QCOMPARE(rig.deck.P112.tag, "4"); // the dialog's close wrote its slot
        const QStringList lines = rig.messages.shown.value(0).first.split('\r');
        QCOMPARE(lines.size(), 3);
        for (const QString &line : lines)
            QVERIFY(line.startsWith(' ') && !line.contains('\n'));
    }

    void tick_data()
    {
        scriptColumns();
        // The time text rounds halves to even.
        row("59.4 s", "load at=59.4", "Timer1_Timer", {}, "T=0:59");
        row("59.6 s", "load at=59.6", "Timer1_Timer", {}, "T=1:0");
        row("89.5 s", "load at=89.5", "Timer1_Timer", {}, "T=1:30");
        row("90.5 s", "load at=90.5", "Timer1_Timer", {}, "T=1:30");
        row("-3.7 s", "load at=-3.7", "Timer1_Timer", {}, "T=0:0");
        row("paused", "load tloop=L R=Resume at=199.5", "Timer1_Timer", {}, "T=");
        // Loop play restarts from the length (200 s) minus 2 s.
        row("loop, 197.99 s", "load tloop=L at=197.99", "Timer1_Timer", {});
        row("loop, 198 s", "load tloop=L at=198", "Timer1_Timer", { Song, "play" });
        row("loop switch off", "load at=199", "Timer1_Timer", {});
        row("loop after a burst", "load tloop=L loopArmed=0 at=199", "Timer1_Timer", {});
        // Segment play replays when the player has stopped, the switch is On and it is armed.
        const QString segment = "load cueStart1=10 cueStart2=14.5 tsegs=On segmentArmed=1 at=50 ";
        row("segment ended", segment + "playState=0", "Timer1_Timer", Replay);
        row("segment playing", segment, "Timer1_Timer", {});
        row("segment switch Off", segment + "playState=0 tsegs=Off", "Timer1_Timer", {});
        row("segment not armed", segment + "playState=0 segmentArmed=0", "Timer1_Timer", {});
    }
    void tick() { checkScript(); }

    void trackBar_data()
    {
        scriptColumns();
        // The marker is X + 360, within 360..4000; the seek, marker / 4200 x the length, halves
        // to even; X below 80 seeks to 0. The click on a paused deck plays on from there.
        const auto click = [](const char *name, QString x, int length, int marker, int seek) {
            row(name, QString("len=%1 load R_Click loopArmed=0 Timer1Enabled=0").arg(length),
                "Label1_MouseDown(" + x + ")", { Song, QString("seek %1").arg(seek), "play" },
                QString("pos.left=%1 Label1=%2:%3 R.visible=1 R=Pause loopArmed=1 Timer1Enabled=1")
                    .arg(marker)
                    .arg(seek / 60)
                    .arg(seek % 60));
        };
        click("79", "79", 200, 439, 0);
        click("80", "80", 200, 440, 21); // 20.95
        click("1000", "1000", 200, 1360, 65); // 64.76
        click("1000, middle button", "1000,4", 200, 1360, 65);
        click("3620", "3620", 200, 3980, 190); // 189.52, by 4201 189.48
        click("3700", "3700", 200, 4000, 190);
        click("-20", "-20", 200, 360, 0);
        click("1740 of 201 s", "1740", 201, 2100, 100); // 100.5
    }
    void trackBar() { checkScript(); }

    void spaceBar_data()
    {
        scriptColumns();
        row("first space", "load", "Form_KeyUp(32)", { "stop" }, "spaceStopped=1");
        row("second space", "load Form_KeyUp(32)", "Form_KeyUp(32)", { Song, "play" },
            "spaceStopped=0");
        row("after a Stop click", "load S_Click", "Form_KeyUp(32)", { "stop" }, "spaceStopped=1");
        row("Shift and Ctrl", "load Form_KeyUp(32,1)", "Form_KeyUp(32,2)", { Song, "play" },
            "spaceStopped=0");
        row("another key", "load", "Form_KeyUp(88)", {}, "spaceStopped=0");
        row("no song", "spaceStopped=1", "Form_KeyUp(32)", {}, "spaceStopped=0");
        row("Stop failing", "load fail=stop", "Form_KeyUp(32)", { "stop" }, "spaceStopped=0");
    }
    void spaceBar() { checkScript(); }

    void cueSlots_data()
    {
        scriptColumns();
        // A start below 0.5 s or above 10000.1 s plays from 0.1 s; the tooltip keeps its text.
        row("start 0.0", "load", "P111_Click", { "bursts 0.1 0.5 1" },
            "cueStart1=0.1 M111.toolTip=0.0");
        row("start 0.49", "load M112.toolTip=0.49", "P112_Click", { "bursts 0.1 0.75 1" });
        row("start 0.5", "load M112.toolTip=0.5", "P112_Click", { "bursts 0.5 0.75 1" },
            "cueStart2=0.5");
        row("start 10000.1", "load M113.toolTip=10000.1", "P113_Click", { "bursts 10000.1 1 1" });
        row("start 10000.2", "load M113.toolTip=10000.2", "P113_Click", { "bursts 0.1 1 1" },
            "cueStart3=0.1 M113.toolTip=10000.2");
        row("repeats 0", "load P111.tag=0", "P111_Click", { "bursts 0.1 0.5 1" });
        // Each burst holds the thread until the clock is past its end: 4 readings of a clock
        // stepping 0.25 s for a 0.5 s burst.
        row("repeats 2.5, after Stop", "load S_Click clock.step=0.25 P111.tag=2.5 M111.toolTip=30",
            "P111_Click", { "bursts 30 0.5 3" },
            "clock.reads=12 burstCount1=3 R.visible=1 Timer1Enabled=1 loopArmed=0 R=Pause");
        row("empty texts, no song", "M113.tag= P113.tag=", "P113_Click", {},
            "M113.tag=500 P113.tag=1 cueStart3=0.1");
        row("empty texts", "load M112.tag= P112.tag=", "P112_Click", { "bursts 0.1 0.5 1" },
            "M112.tag=500 P112.tag=1");
        row("mark 3", "load at=3", "M111_Click", {}, "M111.toolTip=3");
        row("mark 100/3", "load at=33.333333333333336", "M113_Click", {},
            "M113.toolTip=33.3333333333333 cueStart3=33.3333 M113.tag=1000");
        row("mark in German", "locale=de load at=12345.5", "M111_Click", {},
            "M111.toolTip=12345,5");
        row("start in German", "locale=de load M111.toolTip=42,25", "P111_Click",
            { "bursts 42.25 0.5 1" });
        row("left press", "", "P112_MouseDown(1)", {}, "Form2=0 P112.visible=1");
        row("right press", "M112.toolTip=17.25", "P112_MouseDown(2)", {},
            "Form2=1 P112.visible=0 Form2.Text1=1 Form2.Text2=750 Form2.Text3=17.25");
    }
    void cueSlots() { checkScript(); }

    void playModes_data()
    {
        scriptColumns();
        // The segment switch needs starts from 0.1 s and 1.1 s, at least 3 s apart.
        const QString on = "tsegs=On segmentArmed=1 R.visible=1";
        const QString off = "tsegs=Off segmentArmed=0 R.visible=0";
        row("starts 0 and 0", "", "tsegs_Click", {}, off);
        row("starts 10 and 12", "cueStart1=10 cueStart2=12", "tsegs_Click", {}, off);
        row("starts 10 and 13", "cueStart1=10 cueStart2=13", "tsegs_Click", {}, on);
        const QString marks = "load at=0.05 M111_Click at=3.1 M112_Click";
        row("marks 0.05 and 3.1", marks, "tsegs_Click", {}, "tsegs=Off");
        row("marks 0.05 and 3.1, cue play", marks + " P111_Click", "tsegs_Click", {}, "tsegs=On");
        row("switched off", "load cueStart1=10 cueStart2=20 tsegs_Click P_Click",
            "tsegs_Click Timer1_Timer", { "selectionStart -1", "selectionEnd -1", "stop" },
            "tsegs=Off segmentArmed=0");
        row("marks moved", "load cueStart1=10 cueStart2=20 tsegs_Click at=5 M112_Click",
            "tsegs_Click", {}, "tsegs=On segmentArmed=1");
        row("no song", "", "thspd_Click tloop_Click", {}, "thspd= tloop= rate=1");
        row("on, then a load", "load thspd_Click tloop_Click", "load", { Song, "postOpenReset" },
            "thspd=H tloop=L rate=0.5");
        row("on and off", "load thspd_Click tloop_Click", "thspd_Click tloop_Click", { "rate 1" },
            "thspd= tloop=");
    }
    void playModes() { checkScript(); }

    // A pad hit is the left click of its control, its sound timed from the hit.
    void padHits_data()
    {
        scriptColumns();
        const QStringList timed = { "startTime 5", "bursts 0.1 0.5 3", "startTime 0" };
        // A pad hit on a cue play button, waiting from the clock's second reading, ends the
        // train's wait there: it retriggers.
        row("a train, a pad hit waiting", "load clock.step=0.25 P111.tag=3 retrigger=2",
            "P111_Click", { "bursts 0.1 0.5 3" }, "clock.reads=2 burstCount1=1");
        // A mark's hit that left the wait cuts the train at its own time, then sets the mark;
        // once the train would have ended by itself, it only sets the mark.
        row("a mark's hit ends the train it left", "load clock.step=0.25 P111.tag=3 retrigger=2",
            "P111_Click hit(M2)", { "bursts 0.1 0.5 3", "startTime 5", "pause", "startTime 0" },
            "M112.toolTip=0.6");
        row("a mark's hit after the train's end", "load clock.step=1 P111.tag=3 retrigger=2",
            "P111_Click hit(M2)", { "bursts 0.1 0.5 3", "startTime 5", "startTime 0" },
            "M112.toolTip=0.6");
        row("a pad's train, none waiting", "load clock.step=0.25 P111.tag=3", "hit(P1)", timed,
            "clock.reads=12 burstCount1=3");
        row("the dialog's edit marker holds", "load P111_MouseDown(2)", "hit(P1)", {},
            "P111.visible=0");
        row("track bar at 127", "len=100 load", "hit(Label1,127)",
            { "startTime 5", Song, "seek 95", "play", "startTime 0" }, "pos.left=4000");
        row("track bar at 64", "len=100 load", "hit(Label1,64)",
            { "startTime 5", Song, "seek 53", "play", "startTime 0" }, "pos.left=2242");
        row("Stop, failing", "load fail=stop", "hit(S)", { "startTime 5", "stop", "startTime 0" },
            "R.visible=1");
        // A pad never opens a box; where the click would only show one, nothing else runs.
        row("Play, no song", "R.visible=1", "hit(P) hit(P)",
            { "stderr No file specified.", "stderr No file specified." }, "R.visible=1");
        row("FILE, no sound device", "soundDevice=0 soundOk=1", "hit(F)",
            { "stderr " + SoundCard.trimmed() }, "soundOk=1 mpload=0");
        row("LT missing", "launcher.succeeds=0", "hit(L)",
            { "startTime 5",
              "stderr Could not find PockoMP3Player exe - please load manually by clicking on it "
              "in dir.",
              "startTime 0" });
        row("a full player queue drops the hit", "load player.full=1", "hit(S) hit(P1)", {},
            "droppedHits=2 R.visible=1");
        // What the pads show.
        row("lights: a set mark, the switches, the song playing", "load thspd_Click",
            "M112_Click tloop_Click", {},
            "lit.M1=0 lit.M2=1 lit.tloop=1 lit.thspd=1 lit.tsegs=0 lit.P=1");
        row("lights: a set mark from the dialog, a stopped song", "load P113_MouseDown(2)",
            "Form2.Text3=12 Form2.close S_Click", { "dialog closed", "stop" }, "lit.M3=1 lit.P=0");
        row("lights: the train lit while it plays", "load clock.step=0.25 P112.tag=2", "hit(P2)",
            { "startTime 5", "bursts 0.1 0.75 2", "startTime 0" }, "trainLights=20 lit.P2=0");
    }
    void padHits() { checkScript(); }
};

QTEST_GUILESS_MAIN(TestDeck)
#include "tst_deck.moc"
