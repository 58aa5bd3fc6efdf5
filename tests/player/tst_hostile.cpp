// Hostile files in the program's folder, through the real listing, the real player (SDL's disk
// driver for a sound card) and the real deck, playlist and cue dialog controllers: every entry is
// listed or not as the listing rules say, and picking it plays or is refused, never a crash, a
// hang or a stuck deck.

#include "fakes/testwindows.h"
#include "platform/filenames.h"
#include "platform/folder.h"
#include "player/sdlplayer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

using namespace pocko;

namespace {

// Ends the whole run when a call it guards has not returned within five seconds: a hang would
// otherwise only show as the test timing out, without saying which file caused it.
class Watchdog
{
public:
    explicit Watchdog(const QByteArray &what)
        : m_what(what)
    {
        m_thread = std::thread([this] {
            std::unique_lock lock(m_mutex);
            if (!m_done.wait_for(lock, std::chrono::seconds(5), [this] { return m_finished; })) {
                std::fprintf(stderr, "tst_hostile: HANG: %s did not return within 5 s\n",
                             m_what.constData());
                std::abort();
            }
        });
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    QByteArray m_what;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// The real listing, of the test's folder instead of the executable's.
class TestDiskFolder : public DiskFolder
{
public:
    QString folder;
    QString programFolder() override { return folder; }
};

// A deck as the program wires it, with the real player, listing and controllers; messages,
// launcher and clock are fakes.
struct HostileRig
{
    SdlPlayer player;
    FakeClock clock;
    FakeMessages messages;
    FakeLauncher launcher;
    TestDiskFolder folder;
    TestWindows windows { folder, messages };
    DeckController deck { player, clock, messages, launcher, windows };
    explicit HostileRig(const QString &path)
    {
        folder.folder = path;
        windows.attach(deck);
        deck.Form_Load();
    }
};

enum class Outcome { Plays, Refused, Either };
// What happens to an entry between the listing and the pick.
enum class Change { None, Dangling, Fifo };

} // namespace

Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(Change)

namespace {

QByteArray raw(const char *bytes)
{
    return QByteArray(bytes);
}

bool writeRaw(const QByteArray &path, const QByteArray &data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, std::size_t(data.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    return done == data.size();
}

QByteArray readRaw(const QByteArray &path)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, n);
    ::close(fd);
    return data;
}

// QDir cannot remove what it cannot name (bytes that are not UTF-8).
void removeTree(const QByteArray &path)
{
    const auto remove = [](const char *entry, const struct stat *, int, FTW *) {
        ::remove(entry);
        return 0; // on with the rest
    };
    nftw(path.constData(), remove, 16, FTW_DEPTH | FTW_PHYS);
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(generator.bounded(256));
    return bytes;
}

void put32le(QByteArray &out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

// An ID3v2.3 tag of about `size` bytes (one private frame full of noise that is rich in frame
// sync bytes) in front of the song.
QByteArray withHugeId3v2(const QByteArray &song, qsizetype size)
{
    QByteArray body = randomBytes(size, 99);
    for (qsizetype i = 0; i + 1 < body.size(); i += 997) {
        body[i] = char(0xFF);
        body[i + 1] = char(0xFB);
    }
    QByteArray frame("PRIV");
    const quint32 frameSize = quint32(body.size() + 6);
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(char((frameSize >> shift) & 0xFF));
    frame.append(2, '\0');
    frame.append("pocko", 6);
    frame.append(body);
    QByteArray tag("ID3\x03\x00\x00", 6);
    const quint32 tagSize = quint32(frame.size());
    for (int shift = 21; shift >= 0; shift -= 7) // four 7-bit bytes
        tag.append(char((tagSize >> shift) & 0x7F));
    return tag + frame + song;
}

// An APEv2 tag (header, one item, footer) behind the song; the item's value is a run of fake
// MPEG frame headers, to tempt the decoder into the tag.
QByteArray withApeTag(const QByteArray &song)
{
    QByteArray item;
    QByteArray value;
    for (int i = 0; i < 1000; ++i)
        value.append("\xFF\xFB\x90\x00", 4);
    put32le(item, quint32(value.size()));
    put32le(item, 0);
    item.append("Comment", 8);
    item.append(value);
    const auto block = [&item](quint32 flags) {
        QByteArray b("APETAGEX");
        put32le(b, 2000);
        put32le(b, quint32(item.size() + 32));
        put32le(b, 1);
        put32le(b, flags);
        b.append(8, '\0');
        return b;
    };
    return song + block(0xA0000000u) + item + block(0x80000000u);
}

// The longest name a Linux file system takes.
QByteArray longName()
{
    return QByteArray("y long name ") + QByteArray(255 - 12 - 4, 'n') + ".mp3";
}

// Bytes in the first MPEG-1 Layer III frame (the Xing/LAME info frame of a VBR file).
qsizetype firstFrameSize(const QByteArray &song)
{
    static const int kbps[] = { 0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320 };
    static const int rates[] = { 44100, 48000, 32000 };
    if (song.size() < 4 || quint8(song[0]) != 0xFF || (quint8(song[1]) & 0xFE) != 0xFA)
        return -1;
    const int bitrate = kbps[(quint8(song[2]) >> 4) % 15];
    const int rate = rates[((quint8(song[2]) >> 2) & 3) % 3];
    const int padding = (quint8(song[2]) >> 1) & 1;
    return 144000 * bitrate / rate + padding;
}

// A stereo signal no two frames of which decode alike, as a 16-bit WAV.
QByteArray wav(int rate, int frames)
{
    QByteArray data(qsizetype(frames) * 4, Qt::Uninitialized);
    auto *samples = reinterpret_cast<qint16 *>(data.data());
    QRandomGenerator noise(12345);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        samples[i * 2] = qint16(9000 * std::sin(2 * M_PI * 440 * t) + noise.bounded(-2000, 2000));
        samples[i * 2 + 1]
            = qint16(9000 * std::sin(2 * M_PI * 587 * t) + noise.bounded(-2000, 2000));
    }
    QByteArray out("RIFF");
    put32le(out, quint32(36 + data.size()));
    out.append("WAVEfmt ");
    put32le(out, 16);
    out.append("\x01\x00\x02\x00", 4);
    put32le(out, quint32(rate));
    put32le(out, quint32(rate * 4));
    out.append("\x04\x00\x10\x00", 4);
    out.append("data");
    put32le(out, quint32(data.size()));
    return out + data;
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    // The program's folder, holding only the entries under test. Its own name is hostile too:
    // blanks, quotes, wildcard characters and a byte that is not UTF-8.
    QByteArray m_folderBytes;
    QString m_folder;
    QString m_sources; // lame's output
    std::unique_ptr<HostileRig> m_rig;

    QByteArray entry(const QByteArray &name) const { return m_folderBytes + '/' + name; }
    QString songPath(const QByteArray &name) const
    {
        return joinPath(m_folder, decodeFileName(name));
    }
    QByteArray lame(const char *name, const QStringList &options)
    {
        const QString mp3 = m_sources + QLatin1Char('/') + QLatin1String(name);
        QProcess process;
        process.start(QStringLiteral("lame"),
                      QStringList { QStringLiteral("--quiet") } + options
                          + QStringList { m_sources + QStringLiteral("/source.wav"), mp3 });
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return QByteArray();
        return readRaw(QFile::encodeName(mp3));
    }
    // Runs a handler the way the views do, under the watchdog: a PlayerFailure ends it, and then
    // the result is false.
    bool handler(const char *what, const QByteArray &name, const std::function<void()> &call)
    {
        Watchdog watchdog(QByteArray(what) + " on \"" + name + '"');
        try {
            call();
        } catch (const PlayerFailure &) {
            return false;
        }
        return true;
    }
    void add(const char *tag, const QByteArray &name, Outcome outcome, Change change = Change::None)
    {
        QTest::newRow(tag) << name << true << outcome << change;
    }
    void addUnlisted(const char *tag, const QByteArray &name, Outcome outcome = Outcome::Refused)
    {
        QTest::newRow(tag) << name << false << outcome << Change::None;
    }

private slots:
    void initTestCase();
    void listing();
    void pick_data();
    void pick();
    void songChangesUnderThePlayer_data();
    void songChangesUnderThePlayer();
    void playAllOverTheFolder();
    void rapidPicksLeaveAWorkingDeck();
    void cleanupTestCase();
};

void TestHostile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (qEnvironmentVariableIsEmpty("SDL_AUDIODRIVER"))
        qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", "/dev/null");
    m_folderBytes = QFile::encodeName(m_dir.path()) + "/mu sic 'n' \"*?[x]\" \xff";
    m_folder = decodeFileName(m_folderBytes);
    QCOMPARE(::mkdir(m_folderBytes.constData(), 0755), 0);
    m_sources = m_dir.filePath(QStringLiteral("src"));
    QVERIFY(QDir().mkpath(m_sources));
    QVERIFY(writeRaw(encodeFileName(m_sources) + "/source.wav", wav(44100, 3 * 44100)));

    const QByteArray cbr = lame("cbr.mp3", { QStringLiteral("-b"), QStringLiteral("128") });
    const QByteArray vbr = lame("vbr.mp3", { QStringLiteral("-V"), QStringLiteral("4") });
    const QByteArray abr = lame("abr.mp3", { QStringLiteral("--abr"), QStringLiteral("96") });
    const QByteArray free
        = lame("free.mp3",
               { QStringLiteral("--freeformat"), QStringLiteral("-b"), QStringLiteral("200") });
    const QByteArray mpeg2 = lame("mpeg2.mp3",
                                  { QStringLiteral("--resample"), QStringLiteral("22.05"),
                                    QStringLiteral("-m"), QStringLiteral("m") });
    const QByteArray mpeg25 = lame("mpeg25.mp3",
                                   { QStringLiteral("--resample"), QStringLiteral("8"),
                                     QStringLiteral("-m"), QStringLiteral("m") });
    for (const QByteArray *song : { &cbr, &vbr, &abr, &free, &mpeg2, &mpeg25 })
        QVERIFY2(song->size() > 1000, "lame failed");
    const qsizetype infoFrame = firstFrameSize(vbr);
    QVERIFY(infoFrame > 100);

    const auto file = [this](const char *name, const QByteArray &data) {
        return writeRaw(entry(raw(name)), data);
    };
    const auto link = [this](const char *name, const QByteArray &target) {
        return ::symlink(target.constData(), entry(raw(name)).constData()) == 0;
    };
    QVERIFY(file("a cbr.mp3", cbr));
    QVERIFY(file("B vbr.MP3", vbr));
    QVERIFY(file("c abr.Mp3", abr));
    QVERIFY(file("d free format.mp3", free));
    QVERIFY(file("e mpeg2 mono.mp3", mpeg2));
    QVERIFY(file("f mpeg25 mono.mp3", mpeg25));
    QVERIFY(file("g huge id3v2.mp3", withHugeId3v2(cbr, 4 * 1024 * 1024)));
    QVERIFY(file("h ape tag.mp3", withApeTag(cbr)));
    QVERIFY(file("i cut in header.mp3", vbr.left(2)));
    QVERIFY(file("j cut after info frame.mp3", vbr.left(infoFrame)));
    QVERIFY(file("k cut mid.mp3", vbr.left(vbr.size() / 2)));
    QVERIFY(file("l cut one short.mp3", vbr.left(vbr.size() - 1)));
    QVERIFY(file("m zero bytes.mp3", QByteArray()));
    QVERIFY(file("n text.mp3",
                 QByteArray("This is not a song.\nJust text, line after line.\n").repeated(200)));
    QVERIFY(file("n wav.mp3", wav(44100, 44100)));
    QVERIFY(file("o random.mp3", randomBytes(64 * 1024, 1)));
    QVERIFY(file("p header then random.mp3", cbr.left(4) + randomBytes(64 * 1024, 2)));
    QVERIFY(file("q it's \"quoted\".mp3", cbr));
    QVERIFY(file("r new\nline.mp3", cbr));
    QVERIFY(file("s bad \xff\xfe utf8.mp3", cbr));
    QVERIFY(link("t link to cbr.mp3", "a cbr.mp3"));
    QVERIFY(file("u vanishes.mp3", cbr));
    QVERIFY(file("v becomes a fifo.mp3", cbr));
    QVERIFY(file("w ID3 only.mp3", withHugeId3v2(QByteArray(), 64 * 1024)));
    QVERIFY(writeRaw(entry(longName()), cbr));

    // Not listed.
    QCOMPARE(::mkdir(entry("x.mp3").constData(), 0755), 0);
    QCOMPARE(::mkfifo(entry("f.mp3").constData(), 0644), 0);
    QVERIFY(link("dangling.mp3", "no such file.mp3"));
    QVERIFY(link("loop.mp3", "loop.mp3"));
    QVERIFY(link("zero device.mp3", "/dev/zero"));
    QVERIFY(file(".hidden.mp3", cbr));
    QVERIFY(file("song.mp3.bak", cbr));
    QVERIFY(file("mp3", cbr));
    QVERIFY(file("notes.txt", cbr));
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray path = entry("socket.mp3");
        QVERIFY(std::size_t(path.size()) < sizeof address.sun_path);
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd); // the socket file stays
    }

    m_rig = std::make_unique<HostileRig>(m_folder);
    if (!m_rig->player.soundDeviceEnabled())
        QSKIP("SDL's disk audio driver is not available");
}

void TestHostile::cleanupTestCase()
{
    m_rig.reset();
    removeTree(m_folderBytes);
}

void TestHostile::listing()
{
    HostileRig &rig = *m_rig;
    {
        Watchdog watchdog("FILE");
        rig.deck.F_Click();
    }
    QVERIFY(rig.windows.playlist);
    QStringList expected;
    for (const char *name : { "a cbr.mp3",
                              "B vbr.MP3",
                              "c abr.Mp3",
                              "d free format.mp3",
                              "e mpeg2 mono.mp3",
                              "f mpeg25 mono.mp3",
                              "g huge id3v2.mp3",
                              "h ape tag.mp3",
                              "i cut in header.mp3",
                              "j cut after info frame.mp3",
                              "k cut mid.mp3",
                              "l cut one short.mp3",
                              "m zero bytes.mp3",
                              "n text.mp3",
                              "n wav.mp3",
                              "o random.mp3",
                              "p header then random.mp3",
                              "q it's \"quoted\".mp3",
                              "r new\nline.mp3",
                              "s bad \xff\xfe utf8.mp3",
                              "t link to cbr.mp3",
                              "u vanishes.mp3",
                              "v becomes a fifo.mp3",
                              "w ID3 only.mp3" })
        expected.append(decodeFileName(raw(name)));
    expected.append(decodeFileName(longName()));
    QCOMPARE(rig.windows.playlist->List1, expected);
    rig.windows.playlist->unload();
}

void TestHostile::pick_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Change>("change");

    add("CBR, name with a space", "a cbr.mp3", Outcome::Plays);
    add("VBR, upper-case .MP3", "B vbr.MP3", Outcome::Plays);
    add("ABR, mixed-case .Mp3", "c abr.Mp3", Outcome::Plays);
    add("free format", "d free format.mp3", Outcome::Plays);
    add("MPEG-2 mono 22.05 kHz", "e mpeg2 mono.mp3", Outcome::Plays);
    add("MPEG-2.5 mono 8 kHz", "f mpeg25 mono.mp3", Outcome::Plays);
    add("4 MB ID3v2 tag", "g huge id3v2.mp3", Outcome::Plays);
    add("APE tag of fake frame headers", "h ape tag.mp3", Outcome::Plays);
    add("cut inside the first header", "i cut in header.mp3", Outcome::Refused);
    add("cut after the info frame", "j cut after info frame.mp3", Outcome::Refused);
    add("cut mid-file", "k cut mid.mp3", Outcome::Plays);
    add("cut one byte short", "l cut one short.mp3", Outcome::Plays);
    add("zero bytes", "m zero bytes.mp3", Outcome::Refused);
    add("text", "n text.mp3", Outcome::Refused);
    add("a WAV file", "n wav.mp3", Outcome::Refused);
    add("random bytes", "o random.mp3", Outcome::Refused);
    add("random bytes behind a valid header", "p header then random.mp3", Outcome::Either);
    add("quotes in the name", "q it's \"quoted\".mp3", Outcome::Plays);
    add("newline in the name", "r new\nline.mp3", Outcome::Plays);
    add("invalid UTF-8 in the name", "s bad \xff\xfe utf8.mp3", Outcome::Plays);
    add("symbolic link to a song", "t link to cbr.mp3", Outcome::Plays);
    // As root every file can be read: a listed song that turns into a dangling link (or a FIFO)
    // before the pick is the file that cannot be opened.
    add("dangling link by the pick", "u vanishes.mp3", Outcome::Refused, Change::Dangling);
    add("FIFO by the pick", "v becomes a fifo.mp3", Outcome::Refused, Change::Fifo);
    add("an ID3 tag and nothing else", "w ID3 only.mp3", Outcome::Refused);
    add("name of 255 bytes", longName(), Outcome::Plays);
    // Not listed; opened by path all the same, as a stale pick or a typed name would.
    addUnlisted("folder named x.mp3", "x.mp3");
    addUnlisted("FIFO named f.mp3", "f.mp3");
    addUnlisted("dangling link", "dangling.mp3");
    addUnlisted("symbolic link loop", "loop.mp3");
    addUnlisted("link to /dev/zero", "zero device.mp3");
    addUnlisted("socket", "socket.mp3");
    addUnlisted("hidden song", ".hidden.mp3", Outcome::Plays);
    addUnlisted("song not named .mp3", "song.mp3.bak", Outcome::Plays);
}

void TestHostile::pick()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, listed);
    QFETCH(Outcome, outcome);
    QFETCH(Change, change);
    HostileRig &rig = *m_rig;
    DeckController &deck = rig.deck;
    const QString path = songPath(name);
    const QByteArray bytes = entry(name);
    const QByteArray saved = change != Change::None ? readRaw(bytes) : QByteArray();

    handler("FILE", name, [&] { deck.F_Click(); });
    QVERIFY(rig.windows.playlist);
    const qsizetype index = rig.windows.playlist->List1.indexOf(decodeFileName(name));
    QCOMPARE(index >= 0, listed);

    if (change == Change::Dangling) {
        QCOMPARE(::unlink(bytes.constData()), 0);
        QCOMPARE(::symlink("gone.mp3", bytes.constData()), 0);
    } else if (change == Change::Fifo) {
        QCOMPARE(::unlink(bytes.constData()), 0);
        QCOMPARE(::mkfifo(bytes.constData(), 0644), 0);
    }

    if (listed) {
        handler("pick", name, [&] { rig.windows.playlist->List1_Click(int(index)); });
        QVERIFY(!rig.windows.playlist); // the pick closes the window
    } else {
        rig.windows.playlist->unload();
        handler("load", name, [&] {
            deck.F.tag = path;
            deck.fload();
        });
    }
    QCOMPARE(deck.F.tag, path);

    const bool plays = deck.R.visible;
    if (outcome != Outcome::Either)
        QCOMPARE(plays, outcome == Outcome::Plays);
    if (plays) {
        QCOMPARE(rig.player.fileName(), path);
        QVERIFY(rig.player.duration() > 0);
        QCOMPARE(rig.player.playState(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(rig.player.currentPosition() > 0, 1000);
    } else {
        QCOMPARE(rig.player.fileName(), QString());
        QCOMPARE(rig.player.duration(), 0.0);
    }

    // The rest of the deck on what was picked: no crash, no hang, and a song that plays keeps
    // playing through all of it (a refused one may fail a handler, as the player says).
    const auto step = [&](const char *what, const std::function<void()> &call) {
        const bool ok = handler(what, name, call);
        if (plays)
            QVERIFY2(ok, what);
    };
    step("tick", [&] { deck.Timer1_Timer(); });
    step("mark", [&] { deck.M111_Click(); });
    step("cue play", [&] { deck.P111_Click(); });
    step("cue edit", [&] {
        deck.P112_MouseDown(2); // the right button
        rig.windows.setCueFields(QStringLiteral("2"), QStringLiteral("100"), QStringLiteral("0.5"));
        rig.windows.closeCueDialog();
        deck.P112_Click();
    });
    step("half speed", [&] { deck.thspd_Click(); });
    step("track bar", [&] { deck.Label1_MouseDown(1, 0, 1500, 0); });
    if (plays) {
        QCOMPARE(rig.player.playState(), 2);
        QVERIFY(rig.player.currentPosition() <= rig.player.duration());
    }
    step("normal speed", [&] { deck.thspd_Click(); });
    step("Play", [&] { deck.P_Click(); });
    if (plays)
        QCOMPARE(rig.player.playState(), 2);
    step("pause", [&] { deck.R_Click(); });
    step("resume", [&] { deck.R_Click(); });
    step("Stop", [&] { deck.S_Click(); });
    QCOMPARE(rig.player.playState(), 0);
    QVERIFY(!deck.R.visible);
    QVERIFY(rig.player.currentPosition() <= rig.player.duration());

    if (change != Change::None) {
        QCOMPARE(::unlink(bytes.constData()), 0);
        QVERIFY(writeRaw(bytes, saved));
    }
}

// A song being copied, replaced or deleted while the deck has it open: the decoder thread reads
// the changed file through the handle it holds, and the handlers that open the song again see the
// new one.
enum class Damage { Emptied, Halved, Noise, Grown, Deleted, Fifo };

void TestHostile::songChangesUnderThePlayer_data()
{
    QTest::addColumn<int>("damage");
    QTest::addColumn<Outcome>("reopened");
    QTest::newRow("truncated to nothing") << int(Damage::Emptied) << Outcome::Refused;
    QTest::newRow("cut in half") << int(Damage::Halved) << Outcome::Plays;
    QTest::newRow("overwritten with noise") << int(Damage::Noise) << Outcome::Either;
    QTest::newRow("another song appended") << int(Damage::Grown) << Outcome::Plays;
    QTest::newRow("deleted") << int(Damage::Deleted) << Outcome::Refused;
    QTest::newRow("replaced by a FIFO") << int(Damage::Fifo) << Outcome::Refused;
}

void TestHostile::songChangesUnderThePlayer()
{
    QFETCH(int, damage);
    QFETCH(Outcome, reopened);
    HostileRig &rig = *m_rig;
    DeckController &deck = rig.deck;
    const QByteArray name("zz changing.mp3");
    const QByteArray bytes = entry(name);
    const QString path = songPath(name);
    const QByteArray song = readRaw(entry("a cbr.mp3"));
    QVERIFY(writeRaw(bytes, song));

    handler("load", name, [&] {
        deck.F.tag = path;
        deck.fload();
    });
    QVERIFY(deck.R.visible);
    QTRY_VERIFY_WITH_TIMEOUT(rig.player.currentPosition() > 0, 1000);
    handler("mark", name, [&] { deck.M111_Click(); });

    switch (Damage(damage)) {
    case Damage::Emptied:
        QCOMPARE(::truncate(bytes.constData(), 0), 0);
        break;
    case Damage::Halved:
        QCOMPARE(::truncate(bytes.constData(), song.size() / 2), 0);
        break;
    case Damage::Noise: {
        // In place, through the same inode the player holds.
        const int fd = ::open(bytes.constData(), O_WRONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const QByteArray noise = randomBytes(song.size(), 3);
        QCOMPARE(::pwrite(fd, noise.constData(), std::size_t(noise.size()), 0),
                 ssize_t(noise.size()));
        ::close(fd);
        break;
    }
    case Damage::Grown:
        QVERIFY(writeRaw(bytes, song + readRaw(entry("e mpeg2 mono.mp3"))));
        break;
    case Damage::Deleted:
        QCOMPARE(::unlink(bytes.constData()), 0);
        break;
    case Damage::Fifo:
        QCOMPARE(::unlink(bytes.constData()), 0);
        QCOMPARE(::mkfifo(bytes.constData(), 0644), 0);
        break;
    }
    QTest::qWait(300); // the decoder thread reads on into the changed file

    // On the open song: none of these opens the file again, so none may fail.
    const auto onOpenSong = [&](const char *what, const std::function<void()> &call) {
        QVERIFY2(handler(what, name, call), what);
    };
    onOpenSong("tick", [&] { deck.Timer1_Timer(); });
    onOpenSong("cue play", [&] { deck.P111_Click(); });
    onOpenSong("half speed", [&] { deck.thspd_Click(); });
    onOpenSong("pause", [&] { deck.R_Click(); });
    onOpenSong("resume", [&] { deck.R_Click(); });
    onOpenSong("normal speed", [&] { deck.thspd_Click(); });
    QVERIFY(rig.player.currentPosition() <= rig.player.duration());

    // These open the file again and find the changed one.
    const bool plays = handler("track bar", name, [&] { deck.Label1_MouseDown(1, 0, 2000, 0); });
    if (reopened != Outcome::Either)
        QCOMPARE(plays, reopened == Outcome::Plays);
    if (plays) {
        QCOMPARE(rig.player.fileName(), path);
        QVERIFY(rig.player.duration() > 0);
    } else {
        QCOMPARE(rig.player.fileName(), QString());
        QCOMPARE(rig.player.playState(), 0);
    }
    QCOMPARE(handler("Play", name, [&] { deck.P_Click(); }), plays);
    handler("Stop", name, [&] { deck.S_Click(); });
    QCOMPARE(rig.player.playState(), 0);

    // The deck is not stuck: the next song plays.
    handler("load", "a cbr.mp3", [&] {
        deck.F.tag = songPath("a cbr.mp3");
        deck.fload();
    });
    QVERIFY(deck.R.visible);
    QCOMPARE(rig.player.playState(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(rig.player.currentPosition() > 0, 1000);
    handler("Stop", "a cbr.mp3", [&] { deck.S_Click(); });
    ::unlink(bytes.constData()); // gone already when deleted
}

void TestHostile::playAllOverTheFolder()
{
    HostileRig &rig = *m_rig;
    rig.messages.shown.clear();
    handler("FILE", "Play All", [&] { rig.deck.F_Click(); });
    QVERIFY(rig.windows.playlist);
    const qsizetype listed = rig.windows.playlist->List1.size();
    handler("Play All", "the folder", [&] { rig.windows.playlist->tpall_Click(); });
    QCOMPARE(rig.player.fileName(), songPath("a cbr.mp3"));
    // The first song plays to its end (3 s), and the timer moves on to the next.
    const auto tick = [&rig] {
        if (rig.windows.playlist) {
            Watchdog watchdog("Play All tick");
            rig.windows.playlist->ttime_Timer();
        }
        return rig.player.fileName();
    };
    QTRY_COMPARE_WITH_TIMEOUT(tick(), songPath("B vbr.MP3"), 10000);
    // Skip through the list; Play All ends at its end or at the first file that is refused.
    int skips = 0;
    while (rig.windows.playlist && skips <= listed) {
        PlaylistController &playlist = *rig.windows.playlist;
        handler("tick", "Play All", [&] {
            playlist.ttime_Timer();
            rig.deck.Timer1_Timer();
        });
        if (!rig.windows.playlist)
            break;
        handler("Skip", "Play All", [&] { playlist.Label1_Click(); });
        ++skips;
    }
    QVERIFY(!rig.windows.playlist);
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(rig.messages.shown.first().first,
             QStringLiteral("Play of all files finished or no file to play"));
    // Play All goes in the list's order and ends at the first refused entry: seven skips from
    // "B vbr.MP3" reach "i cut in header.mp3", which leaves no song open.
    QCOMPARE(skips, 7);
    QCOMPARE(rig.player.fileName(), QString());
    handler("Stop", "Play All", [&] { rig.deck.S_Click(); });
    QCOMPARE(rig.player.playState(), 0);
}

// Every entry picked three times over, back to back, with a cue play and a track-bar jump between
// picks: each refused open must leave no half-open song behind for the decoder thread, and each
// good one must replace the song before it.
void TestHostile::rapidPicksLeaveAWorkingDeck()
{
    HostileRig &rig = *m_rig;
    DeckController &deck = rig.deck;
    handler("FILE", "rapid picks", [&] { deck.F_Click(); });
    QVERIFY(rig.windows.playlist);
    const QStringList names = rig.windows.playlist->List1;
    rig.windows.playlist->unload();
    for (int round = 0; round < 3; ++round) {
        for (const QString &name : names) {
            const QByteArray bytes = encodeFileName(name);
            handler("load", bytes, [&] {
                deck.F.tag = joinPath(m_folder, name);
                deck.fload();
            });
            QCOMPARE(rig.player.fileName().isEmpty(), !deck.R.visible);
            handler("cue play", bytes, [&] { deck.P111_Click(); });
            handler("track bar", bytes, [&] { deck.Label1_MouseDown(1, 0, 3000, 0); });
        }
    }
    handler("load", "a cbr.mp3", [&] {
        deck.F.tag = songPath("a cbr.mp3");
        deck.fload();
    });
    QVERIFY(deck.R.visible);
    QCOMPARE(rig.player.fileName(), songPath("a cbr.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.player.currentPosition() > 0, 1000);
    handler("Stop", "a cbr.mp3", [&] { deck.S_Click(); });
    QCOMPARE(rig.player.playState(), 0);
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
