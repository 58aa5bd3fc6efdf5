#include "fakes/testwindows.h"

using namespace pocko;

namespace {
const QString Abc = "songs=a.mp3,b.mp3,c.mp3 F_Click ";
const QString PlayAll = Abc + "mpload.tpall_Click ";
const QString Box = "box PockoMP3 DJ Player V1.4: ";
const QString Finished = Box + "Play of all files finished or no file to play";
QStringList play(const QString &name)
{
    return { "setFileName /music/" + name, "play" };
}
const QStringList Closed = { "stop", "playlist closed" };
const QStringList Pick = Closed + QStringList { "setFileName /music/c.mp3", "postOpenReset" };
} // namespace

// The playlist window: its list, the song pick and Play All, as scenarios on a deck (DeckRig).
class TestPlaylist : public QObject
{
    Q_OBJECT

private slots:
    void listAndPick_data()
    {
        scriptColumns();
        scriptRow("the list", Abc, {},
                  "mpload.List1=a.mp3,b.mp3,c.mp3 patterns=/music/*.mp3 "
                  "mpload.caption=__Select_an_MP3._Click_MP3_to_load.");
        scriptRow("an empty list", "F_Click mpload.List1_Click(-1) mpload.List1_Click(0)", {},
                  "mpload=1 mpload.List1=");
        // The pick writes F Tag and the caption, stops the deck as the window closes, then loads.
        scriptRow("a pick", Abc + "load | mpload.List1_Click(2)", Pick,
                  "F.tag=/music/c.mp3 caption=c.mp3 mpload=0 R.visible=1");
        scriptRow("a pick during Play All", PlayAll + "| mpload.List1_Click(2)", Pick,
                  "caption=c.mp3");
        scriptRow("a root folder", "folder=/ " + Abc + "mpload.List1_Click(1)",
                  Closed + QStringList { "setFileName //b.mp3", "postOpenReset" },
                  "patterns=//*.mp3");
        scriptRow("the close box", Abc + "load | mpload.close", Closed, "mpload=0 playState=0");
    }
    void listAndPick() { checkScript(); }

    void playAll_data()
    {
        scriptColumns();
        scriptRow("start", "tloop=L tsegs=On caption=mine.mp3 " + PlayAll,
                  QStringList { "stop" } + play("a.mp3"),
                  "tloop= tsegs=Off mpload.ttime=1 mpload.caption=a.mp3 caption=mine.mp3 F.tag=");
        scriptRow("to the end", PlayAll + "| ticks",
                  QStringList { "stop" } + play("b.mp3") + QStringList { "stop" } + play("c.mp3")
                      + QStringList { "stop", Finished } + Closed,
                  "mpload=0");
        scriptRow("no songs", "tloop=L tsegs=On F_Click mpload.tpall_Click",
                  QStringList { "stop",
                                Box
                                    + "No file(s) to play. Make sure Pocko exe is in "
                                      "same folder as your mp3's." }
                      + Closed,
                  "tloop= tsegs=Off");
        // A song ends at the first tick whose position, to the nearest second, is its length - 1.
        scriptRow("at 198.5 of 200", PlayAll + "at=198.5 | mpload.ttime_Timer", {});
        scriptRow("at 198.6 of 200", PlayAll + "at=198.6 | mpload.ttime_Timer",
                  QStringList { "stop" } + play("b.mp3"));
        scriptRow("length 0", "len=0 " + PlayAll + "at=0.3 | mpload.ttime_Timer",
                  QStringList { "stop" } + play("b.mp3"));
        scriptRow("position -0.7", "len=0 " + PlayAll + "at=-0.7 | mpload.ttime_Timer", {});
        scriptRow("Skip", PlayAll + "| mpload.Label1_Click", play("b.mp3"),
                  "mpload.ttime=1 mpload.caption=b.mp3");
        scriptRow("Skip on the last",
                  PlayAll + "mpload.Label1_Click mpload.Label1_Click | mpload.Label1_Click",
                  QStringList { Finished } + Closed, "mpload=0");
        scriptRow("Skip without Play All", Abc + "load | mpload.Label1_Click",
                  QStringList { Finished } + Closed, "playState=0");
        scriptRow("a refused song", "refuse=/music/b.mp3 " + PlayAll + "| mpload.Label1_Click",
                  QStringList { "setFileName /music/b.mp3", Finished } + Closed);
        scriptRow("Stop All", PlayAll + "| mpload.tsall_Click", QStringList { "stop" } + Closed);
        scriptRow(
            "the deck's Play, no song", PlayAll + "| P_Click mpload.ttime_Timer",
            { "setFileName ", "box Mp3 File name not entered.: No file specified. (ttime on)" },
            "mpload=1 mpload.ttime=0");
        scriptRow("a failing tick",
                  PlayAll
                      + "fail=currentPosition at=500 mpload.ttime_Timer "
                        "fail= | mpload.ttime_Timer",
                  QStringList { "stop" } + play("b.mp3"));
    }
    void playAll() { checkScript(); }
};

QTEST_GUILESS_MAIN(TestPlaylist)
#include "tst_playlist.moc"
