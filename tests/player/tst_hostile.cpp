// Hostile entries in the program's folder, through the real listing, the real player (SDL's disk
// driver for a sound card) and the real deck, playlist and cue dialog controllers: each is listed
// or not, picking it plays or is refused, and a song may change under the open player. Never a
// crash, a hang (QTEST_FUNCTION_TIMEOUT, CMakeLists.txt) or a stuck deck.

#include "fakes/songfiles.h"
#include "fakes/testwindows.h"
#include "platform/filenames.h"
#include "platform/folder.h"
#include "player/deckplayer.h"

#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace pocko;

// What the name stands for; once listed, it may turn into another (or Gone) before the pick or
// while its song plays.
enum class Entry { Same, File, Link, Fifo, Gone };
enum class Outcome { Plays, Refused, Either };

// The real listing, of the test's folder instead of the executable's.
class TestDiskFolder : public DiskFolder
{
public:
    QString folder;
    QString programFolder() override { return folder; }
};

class TestHostile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    // The program's folder. Its own name is hostile too: blanks, quotes, wildcard characters and
    // a byte that is not UTF-8.
    QByteArray m_folderBytes = QFile::encodeName(m_dir.path()) + "/mu sic 'n' \"*?[x]\" \xff";
    QString m_folder = decodeFileName(m_folderBytes);
    QMap<QByteArray, QByteArray> m_songs; // lame's, by name
    // A deck as the program wires it, with the real player, listing and controllers.
    DeckPlayer m_player;
    FakeClock m_clock;
    FakeMessages m_messages;
    FakeLauncher m_launcher;
    TestDiskFolder m_list;
    TestWindows m_windows { m_list, m_messages };
    DeckController m_deck { m_player, m_clock, m_messages, m_launcher, m_windows };

    // Runs a handler as the views do: a PlayerFailure ends it, and then the result is false.
    static bool run(const std::function<void()> &handler)
    {
        try {
            handler();
        } catch (const PlayerFailure &) {
            return false;
        }
        return true;
    }
    static void add(const char *tag, const QByteArray &name, const QByteArray &data,
                    Outcome outcome, Entry entry = Entry::File, bool listed = true)
    {
        QTest::newRow(tag) << name << entry << data << listed << outcome << Entry::Same
                           << QByteArray() << false;
    }
    // A song, listed, that turns into `later` before the pick or while it plays.
    void change(const char *tag, Entry later, const QByteArray &laterData, Outcome outcome,
                bool whilePlaying)
    {
        QTest::newRow(tag) << QByteArray(tag) + ".mp3" << Entry::File << m_songs["cbr"] << true
                           << outcome << later << laterData << whilePlaying;
    }
    // An ID3v2 tag of `size` bytes of noise full of frame syncs, before the song.
    static QByteArray withId3v2(const QByteArray &song, int size)
    {
        QByteArray tag = "ID3\x03" + QByteArray(2, '\0') + randomBytes(4 + size, 99);
        for (int i = 0; i < 4; ++i) // the size, 7 bits a byte
            tag[6 + i] = char((size >> (21 - 7 * i)) & 0x7F);
        for (int i = 10; i + 1 < tag.size(); i += 997)
            tag.replace(i, 2, "\xFF\xFB");
        return tag + song;
    }

private slots:
    void initTestCase();
    void pick_data();
    void pick();
    void cleanupTestCase() { std::filesystem::remove_all(m_folderBytes.constData()); }
};

void TestHostile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QCOMPARE(::mkdir(m_folderBytes.constData(), 0755), 0);
    const QString wav = m_dir.filePath("source.wav");
    QVERIFY(makeWav(wav, 3 * 44100));
    m_songs["wav"] = readBytes(QFile::encodeName(wav));
    const auto song = [&](const char *name, const QStringList &options) {
        const QString mp3 = m_dir.filePath(QString(name) + ".mp3");
        QVERIFY2(makeMp3(wav, mp3, options), name);
        m_songs[name] = readBytes(QFile::encodeName(mp3));
    };
    song("cbr", { "-b", "128" });
    song("vbr", { "-V", "4" });
    song("free", { "--freeformat", "-b", "200" });
    song("mpeg2", { "--resample", "22.05", "-m", "m" });
    song("mpeg25", { "--resample", "8", "-m", "m" });
    m_list.folder = m_folder;
    m_windows.attach(m_deck);
    m_deck.Form_Load();
    QVERIFY(m_player.soundDeviceEnabled());
}

void TestHostile::pick_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QByteArray>("data"); // a file's bytes, a link's target
    QTest::addColumn<bool>("listed");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Entry>("later");
    QTest::addColumn<QByteArray>("laterData");
    QTest::addColumn<bool>("whilePlaying");
    const QByteArray cbr = m_songs["cbr"];
    const QByteArray vbr = m_songs["vbr"];
    const qsizetype infoFrame = vbr.indexOf("\xFF\xFB", 4); // where the second frame begins
    QVERIFY(infoFrame > 100);
    add("CBR, name with a space", "a cbr.mp3", cbr, Outcome::Plays);
    add("VBR, upper-case .MP3", "B vbr.MP3", vbr, Outcome::Plays);
    add("free format, mixed-case .Mp3", "c free.Mp3", m_songs["free"], Outcome::Plays);
    add("MPEG-2.5 mono 8 kHz", "f mpeg25.mp3", m_songs["mpeg25"], Outcome::Plays);
    add("4 MB ID3v2 tag", "g id3v2.mp3", withId3v2(cbr, 4 << 20), Outcome::Plays);
    add("cut one byte short", "j cut one.mp3", vbr.left(vbr.size() - 1), Outcome::Plays);
    add("quotes in the name", "k it's \"quoted\".mp3", cbr, Outcome::Plays);
    add("newline in the name", "l new\nline.mp3", cbr, Outcome::Plays);
    add("invalid UTF-8 in the name", "m bad \xff\xfe utf8.mp3", cbr, Outcome::Plays);
    add("name of 255 bytes", "n " + QByteArray(249, 'n') + ".mp3", cbr, Outcome::Plays);
    add("link to a song", "o link.mp3", "a cbr.mp3", Outcome::Plays, Entry::Link);
    add("cut inside the first header", "p cut header.mp3", vbr.left(2), Outcome::Refused);
    add("cut after the info frame", "q cut info.mp3", vbr.left(infoFrame), Outcome::Refused);
    add("zero bytes", "r zero.mp3", QByteArray(), Outcome::Refused);
    add("text", "s text.mp3", QByteArray("Not a song.\n").repeated(800), Outcome::Refused);
    add("a WAV file", "t wav.mp3", m_songs["wav"], Outcome::Refused);
    add("random bytes", "u random.mp3", randomBytes(64 << 10, 1), Outcome::Refused);
    add("random bytes behind a header", "v header.mp3", cbr.left(4) + randomBytes(64 << 10, 2),
        Outcome::Either);
    add("an ID3 tag and nothing else", "w id3 only.mp3", withId3v2({}, 64 << 10), Outcome::Refused);
    // Not listed; opened by path all the same, as a stale pick or a typed name would be.
    add("FIFO", "fifo.mp3", {}, Outcome::Refused, Entry::Fifo, false);
    add("dangling link", "dangling.mp3", "no such file.mp3", Outcome::Refused, Entry::Link, false);
    add("link to /dev/zero", "zero device.mp3", "/dev/zero", Outcome::Refused, Entry::Link, false);
    add("hidden song", ".hidden.mp3", cbr, Outcome::Plays, Entry::File, false);
    add("song not named .mp3", "song.mp3.bak", cbr, Outcome::Plays, Entry::File, false);
    // As root every file can be read: a listed song that turns into a dangling link (or a FIFO)
    // before the pick is the file that cannot be opened.
    change("gone by the pick", Entry::Link, "gone.mp3", Outcome::Refused, false);
    change("FIFO by the pick", Entry::Fifo, {}, Outcome::Refused, false);
    // Copied over, deleted or replaced while it plays: the decoder reads on through the handle it
    // holds; the track bar opens the file again and finds the changed one.
    change("emptied while playing", Entry::File, {}, Outcome::Refused, true);
    change("halved while playing", Entry::File, cbr.left(cbr.size() / 2), Outcome::Plays, true);
    change("noise while playing", Entry::File, randomBytes(cbr.size(), 3), Outcome::Either, true);
    change("grown while playing", Entry::File, cbr + m_songs["mpeg2"], Outcome::Plays, true);
    change("deleted while playing", Entry::Gone, {}, Outcome::Refused, true);
    change("FIFO while playing", Entry::Fifo, {}, Outcome::Refused, true);
}

void TestHostile::pick()
{
    QFETCH(QByteArray, name);
    QFETCH(Entry, entry);
    QFETCH(QByteArray, data);
    QFETCH(bool, listed);
    QFETCH(Outcome, outcome);
    QFETCH(Entry, later);
    QFETCH(QByteArray, laterData);
    QFETCH(bool, whilePlaying);
    const QByteArray bytes = m_folderBytes + '/' + name;
    const char *file = bytes.constData();
    const QString path = joinPath(m_folder, decodeFileName(name));
    // Makes the entry anew; a file keeps its inode, as when a copy goes over it.
    const auto make = [&](Entry kind, const QByteArray &content) {
        if (kind != Entry::File)
            ::unlink(file);
        if (kind == Entry::File)
            QVERIFY(writeBytes(bytes, content));
        else if (kind == Entry::Link)
            QCOMPARE(::symlink(content.constData(), file), 0);
        else if (kind == Entry::Fifo)
            QCOMPARE(::mkfifo(file, 0644), 0);
    };
    make(entry, data);
    QVERIFY(run([&] { m_deck.F_Click(); }));
    QVERIFY(m_windows.playlist);
    const qsizetype index = m_windows.playlist->List1.indexOf(decodeFileName(name));
    QCOMPARE(index >= 0, listed);
    if (later != Entry::Same && !whilePlaying)
        make(later, laterData);
    if (listed) {
        run([&] { m_windows.playlist->List1_Click(int(index)); });
    } else {
        m_windows.playlist->unload();
        run([&] {
            m_deck.F.tag = path;
            m_deck.fload();
        });
    }
    bool plays = m_deck.R.visible;
    if (plays)
        QTRY_VERIFY(m_player.currentPosition() > 0);
    if (whilePlaying) {
        QVERIFY(plays);
        make(later, laterData);
        QTest::qWait(300); // the decoder reads on into the changed file
    }

    // The rest of the deck on it. A song that plays keeps playing through all of it; a refused
    // one may fail a handler, as the player says. Only the track bar and Play open it again.
    const QList<QPair<const char *, std::function<void()>>> steps {
        { "tick", [&] { m_deck.Timer1_Timer(); } },
        { "mark", [&] { m_deck.M111_Click(); } },
        { "cue play", [&] { m_deck.P111_Click(); } },
        { "half speed", [&] { m_deck.thspd_Click(); } },
        { "pause", [&] { m_deck.R_Click(); } },
        { "resume", [&] { m_deck.R_Click(); } },
        { "normal speed", [&] { m_deck.thspd_Click(); } },
        { "track bar", [&] { m_deck.Label1_MouseDown(1, 0, 1500, 0); } },
        { "Play", [&] { m_deck.P_Click(); } },
        { "Stop", [&] { m_deck.S_Click(); } },
    };
    for (const auto &[what, handler] : steps) {
        const bool ok = run(handler);
        if (whilePlaying && QByteArray(what) == "track bar")
            plays = ok;
        else if (plays)
            QVERIFY2(ok, what);
    }
    if (outcome != Outcome::Either)
        QCOMPARE(plays, outcome == Outcome::Plays);
    QCOMPARE(m_player.playState(), 0);
    QVERIFY(!m_deck.R.visible);
    QCOMPARE(m_player.fileName(), plays ? path : QString());
    QCOMPARE(m_player.duration() > 0, plays);
    QVERIFY(m_player.currentPosition() <= m_player.duration());
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
