#include "fakes/testwindows.h"

#include <QTest>

using namespace pocko;

namespace {

const QString Finished = QStringLiteral("Play of all files finished or no file to play");
const QString NoFiles =
    QStringLiteral("No file(s) to play. Make sure Pocko exe is in same folder as your mp3's.");

// A deck with its playlist window open on a folder of songs.
struct PlaylistRig : DeckRig
{
    explicit PlaylistRig(const QStringList &songs = {"a.mp3", "b.mp3", "c.mp3"})
    {
        folder.names = songs;
        deck.F_Click();
    }
    PlaylistController *window() { return windows.playlist.get(); }
    // Ticks until Play All stops or `limit` ticks passed; the player advances one second a tick.
    int tickThrough(int limit = 1000)
    {
        int ticks = 0;
        while (windows.playlist && windows.playlist->ttimeEnabled && ticks < limit) {
            player.position += 1;
            windows.playlist->ttime_Timer();
            ++ticks;
        }
        return ticks;
    }
};

} // namespace

class TestPlaylist : public QObject
{
    Q_OBJECT

private slots:
    void listsEverySongOnce()
    {
        PlaylistRig rig;
        QCOMPARE(rig.window()->List1, QStringList({"a.mp3", "b.mp3", "c.mp3"}));
        QCOMPARE(rig.folder.patterns, QStringList{"/music/*.mp3"});
        QCOMPARE(rig.window()->caption, QStringLiteral("  Select an MP3. Click MP3 to load."));

        PlaylistRig empty(QStringList{});
        QVERIFY(empty.window()->List1.isEmpty());
        empty.window()->List1_Click(-1); // a click into the empty list
        empty.window()->List1_Click(0);
        QVERIFY(empty.window());
        QVERIFY(empty.player.log.isEmpty());
    }

    void rootFolderGivesDoubledSeparator()
    {
        PlaylistRig rig;
        rig.windows.closePlaylist();
        rig.folder.folder = "/";
        rig.deck.F_Click();
        QCOMPARE(rig.folder.patterns.last(), QStringLiteral("//*.mp3"));
        rig.window()->List1_Click(1);
        QCOMPARE(rig.deck.F.tag, QStringLiteral("//b.mp3"));
    }

    void pickSetsDeckThenUnloadsThenLoads()
    {
        PlaylistRig rig;
        rig.window()->ttimeEnabled = true;
        rig.player.log.clear();
        PlaylistController *window = rig.window();
        window->List1_Click(1);
        QCOMPARE(rig.deck.F.tag, QStringLiteral("/music/b.mp3"));
        QCOMPARE(rig.deck.caption, QStringLiteral("b.mp3"));
        QVERIFY(!window->ttimeEnabled);
        QCOMPARE(rig.windows.events, QStringList{"playlist closed"});
        // the close stops the player before the pick loads the new song
        QCOMPARE(rig.player.log.mid(0, 2), QStringList({"stop", "setFileName /music/b.mp3"}));
        QVERIFY(rig.deck.R.visible);
        QVERIFY(!rig.window());
    }

    void fileAgainOnlyRaisesTheWindow()
    {
        PlaylistRig rig;
        rig.folder.names.append("d.mp3");
        rig.deck.F_Click();
        QCOMPARE(rig.windows.playlistsCreated, 1);
        QCOMPARE(rig.window()->List1.size(), 3);
    }

    void closeBoxStopsTheDeck()
    {
        PlaylistRig rig;
        rig.deck.F.tag = "/music/a.mp3";
        rig.deck.fload();
        rig.windows.closePlaylist();
        QCOMPARE(rig.player.state, 0);
        QVERIFY(!rig.window());
    }

    void playAllPlaysEverySongInListingOrder()
    {
        PlaylistRig rig;
        rig.player.lengths["/music/a.mp3"] = 5;
        rig.player.lengths["/music/b.mp3"] = 3.4;
        rig.player.lengths["/music/c.mp3"] = 4;
        rig.deck.tloop.caption = "L";
        rig.deck.tsegs.caption = "On";
        rig.deck.caption = "mine.mp3";
        QStringList captions;
        rig.messages.onShow = [&] { QVERIFY(!rig.window()->ttimeEnabled); };
        rig.window()->tpall_Click();
        QCOMPARE(rig.deck.tloop.caption, QString());
        QCOMPARE(rig.deck.tsegs.caption, QStringLiteral("Off"));
        QVERIFY(rig.window()->ttimeEnabled);
        QCOMPARE(rig.window()->caption, QStringLiteral("a.mp3"));
        rig.tickThrough();
        QStringList opened;
        for (const QString &entry : rig.player.log)
            if (entry.startsWith("setFileName"))
                opened.append(entry.mid(12));
        QCOMPARE(opened, QStringList({"/music/a.mp3", "/music/b.mp3", "/music/c.mp3"}));
        QCOMPARE(rig.messages.shown.size(), 1);
        QCOMPARE(rig.messages.shown[0].first, Finished);
        QCOMPARE(rig.messages.shown[0].second, QStringLiteral("PockoMP3 DJ Player V1.4"));
        QVERIFY(!rig.window());
        QCOMPARE(rig.player.log.last(), QStringLiteral("stop"));
        QCOMPARE(rig.deck.caption, QStringLiteral("mine.mp3")); // Play All leaves the deck's title
        QCOMPARE(rig.deck.F.tag, QString());
    }

    // A song is cut at the first tick whose rounded position reaches length - 1.
    void endOfSongDetection_data()
    {
        QTest::addColumn<double>("length");
        QTest::addColumn<double>("position");
        QTest::addColumn<bool>("cut");
        QTest::newRow("198.4 of 200") << 200.0 << 198.4 << false;
        QTest::newRow("198.5 of 200 (to even 198)") << 200.0 << 198.5 << false;
        QTest::newRow("198.6 of 200") << 200.0 << 198.6 << true;
        QTest::newRow("199 of 200") << 200.0 << 199.0 << true;
        QTest::newRow("length 0 at once") << 0.0 << 0.3 << true;
        QTest::newRow("rounds to -1 never") << 0.0 << -0.7 << false;
    }
    void endOfSongDetection()
    {
        QFETCH(double, length);
        QFETCH(double, position);
        QFETCH(bool, cut);
        PlaylistRig rig;
        rig.player.defaultLength = length;
        rig.window()->tpall_Click();
        rig.player.position = position;
        rig.player.log.clear();
        rig.window()->ttime_Timer();
        QCOMPARE(rig.player.log.contains("setFileName /music/b.mp3"), cut);
    }

    void playAllWithoutSongs()
    {
        PlaylistRig rig(QStringList{});
        rig.deck.tloop.caption = "L";
        rig.deck.tsegs.caption = "On";
        rig.messages.onShow = [&] { QVERIFY(!rig.window()->ttimeEnabled); };
        rig.window()->tpall_Click();
        QCOMPARE(rig.messages.shown.size(), 1);
        QCOMPARE(rig.messages.shown[0].first, NoFiles);
        QVERIFY(!rig.window());
        QCOMPARE(rig.deck.tloop.caption, QString());
        QCOMPARE(rig.deck.tsegs.caption, QStringLiteral("Off"));
    }

    void skip_data()
    {
        QTest::addColumn<int>("skips");
        QTest::addColumn<QString>("playing");
        QTest::addColumn<bool>("finished");
        QTest::newRow("skip to the second") << 1 << "/music/b.mp3" << false;
        QTest::newRow("skip to the third") << 2 << "/music/c.mp3" << false;
        QTest::newRow("skip on the last ends") << 3 << "" << true;
    }
    void skip()
    {
        QFETCH(int, skips);
        QFETCH(QString, playing);
        QFETCH(bool, finished);
        PlaylistRig rig;
        rig.window()->tpall_Click();
        for (int i = 0; i < skips; ++i)
            rig.window()->Label1_Click();
        QCOMPARE(rig.messages.shown.size(), finished ? 1 : 0);
        QCOMPARE(!rig.window(), finished);
        if (!finished) {
            QCOMPARE(rig.player.name, playing);
            QVERIFY(rig.window()->ttimeEnabled);
        }
    }

    void skipRightAfterOpeningFindsTheListingUsedUp()
    {
        PlaylistRig rig;
        rig.deck.F.tag = "/music/mine.mp3";
        rig.deck.fload();
        rig.window()->Label1_Click();
        QCOMPARE(rig.messages.shown.value(0).first, Finished);
        QVERIFY(!rig.window());
        QCOMPARE(rig.player.state, 0);
    }

    void stopAllClosesWithoutMessage()
    {
        PlaylistRig rig;
        rig.window()->tpall_Click();
        rig.window()->tsall_Click();
        QVERIFY(!rig.window());
        QVERIFY(rig.messages.shown.isEmpty());
        QCOMPARE(rig.player.state, 0);
    }

    void pickDuringPlayAllEndsIt()
    {
        PlaylistRig rig;
        rig.window()->tpall_Click();
        rig.window()->List1_Click(2);
        QVERIFY(!rig.window());
        QCOMPARE(rig.player.name, QStringLiteral("/music/c.mp3"));
        QCOMPARE(rig.deck.caption, QStringLiteral("c.mp3"));
        QVERIFY(rig.messages.shown.isEmpty());
    }

    void refusedSongEndsPlayAll()
    {
        PlaylistRig rig;
        rig.player.refused.insert("/music/b.mp3");
        rig.window()->tpall_Click();
        rig.window()->Label1_Click();
        QCOMPARE(rig.messages.shown.value(0).first, Finished);
        QVERIFY(!rig.window());
        QVERIFY(!rig.player.log.contains("setFileName /music/c.mp3"));
    }

    void deckPlayWithoutSongEndsPlayAllSilently()
    {
        PlaylistRig rig;
        rig.window()->tpall_Click();
        rig.deck.event([&] { rig.deck.P_Click(); }); // F's Tag is empty: the player closes
        rig.window()->ttime_Timer();
        QVERIFY(rig.window());
        QVERIFY(!rig.window()->ttimeEnabled);
        QCOMPARE(rig.messages.shown.size(), 1); // only the deck's "No file specified."
    }

    void failingTickIsIgnored()
    {
        PlaylistRig rig;
        rig.window()->tpall_Click();
        rig.player.failing.insert("currentPosition");
        rig.player.position = 500;
        rig.window()->ttime_Timer();
        QVERIFY(rig.window()->ttimeEnabled);
        rig.player.failing.clear();
        rig.window()->ttime_Timer();
        QCOMPARE(rig.player.name, QStringLiteral("/music/b.mp3"));
    }
};

QTEST_GUILESS_MAIN(TestPlaylist)
#include "tst_playlist.moc"
