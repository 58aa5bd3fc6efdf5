#include "platform/clock.h"
#include "platform/filenames.h"
#include "platform/folder.h"
#include "platform/launcher.h"
#include "platform/messages.h"
#include "platform/startarguments.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace pocko;

namespace {

QByteArray bytesOf(const QString &path)
{
    return encodeFileName(path);
}

bool writeFile(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), content.size()) == content.size();
    ::close(fd);
    return ok;
}

QByteArray readFile(const QString &path)
{
    const int fd = ::open(bytesOf(path).constData(), O_RDONLY);
    if (fd < 0)
        return QByteArray("<cannot open>");
    QByteArray content(256, '\0');
    const ssize_t n = ::read(fd, content.data(), content.size());
    ::close(fd);
    content.truncate(n < 0 ? 0 : n);
    return content;
}

bool writeScript(const QString &path, const QString &marker)
{
    const QByteArray script
        = "#!/bin/sh\necho \"$POCKO_START_MINIMIZED $*\" > '" + marker.toUtf8() + "'\n";
    return writeFile(bytesOf(path), script) && ::chmod(bytesOf(path).constData(), 0755) == 0;
}

QStringList listAll(Folder &folder, const QString &pattern)
{
    QStringList names;
    for (QString name = folder.first(pattern); !name.isEmpty(); name = folder.next())
        names.append(name);
    return names;
}

} // namespace

// The platform layer against the real machine: a real folder, real processes, real message boxes.
class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void clockIsMonotonic();

    void listingSkipsAndSorts();
    void listedNamesOpen();
    void listingLifecycle();
    void wildcardIgnoresCase_data();
    void wildcardIgnoresCase();
    void missingFolderListsNothing();
    void joinPathSeparator_data();
    void joinPathSeparator();
    void rootJoinStillOpens();

    void codecRoundTrip_data();
    void codecRoundTrip();
    void codecRoundTripAllShortStrings();

    void startArguments_data();
    void startArguments();

    void launcherIgnoresCurrentFolder_data();
    void launcherIgnoresCurrentFolder();
    void launcherStartsFromPath();
    void launcherPrefersProgramFolder();

    void messageBox_data();
    void messageBox();

private:
    QTemporaryDir m_dir;
    QString m_folder;
    int m_socket = -1;
};

void TestPlatform::clockIsMonotonic()
{
    SteadyClock clock;
    double before = clock.now();
    for (int i = 0; i < 1000; ++i) {
        const double now = clock.now();
        QVERIFY(now >= before);
        before = now;
    }
}

// A folder holding every awkward kind of entry a music folder can hold.
void TestPlatform::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_folder = m_dir.path();
    const QByteArray dir = bytesOf(m_folder) + '/';
    const QList<QByteArray> plain = {
        "x.MP3",         "y.mp3.txt",       "mp3",         "a.mp3",          "A.mp3",
        "B.mp3",         "C.Mp3",           ".hidden.mp3", "with space.mp3", "quote'\"s.mp3",
        "new\nline.mp3", "bad\xff\xfe.mp3", "target.dat",  "a.mp3.",         "amp3",
    };
    for (const QByteArray &name : plain)
        QVERIFY2(writeFile(dir + name, "song " + name), name.constData());
    QCOMPARE(::mkdir(dir + "z.mp3", 0755), 0);
    QCOMPARE(::mkfifo(dir + "f.mp3", 0644), 0);
    QCOMPARE(::symlink("target.dat", dir + "link.mp3"), 0);
    QCOMPARE(::symlink("nowhere.dat", dir + "dangling.mp3"), 0);
    QCOMPARE(::symlink("z.mp3", dir + "dirlink.mp3"), 0);

    m_socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(m_socket >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = dir + "s.mp3";
    QVERIFY(size_t(socketPath.size()) < sizeof(address.sun_path));
    qstrcpy(address.sun_path, socketPath.constData());
    QCOMPARE(::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
}

void TestPlatform::cleanupTestCase()
{
    if (m_socket >= 0)
        ::close(m_socket);
    // QTemporaryDir cannot spell this name to remove it.
    ::unlink(bytesOf(m_folder) + "/bad\xff\xfe.mp3");
}

void TestPlatform::listingSkipsAndSorts()
{
    DiskFolder folder;
    const QStringList expected = {
        QStringLiteral("A.mp3"),          QStringLiteral("a.mp3"),
        QStringLiteral("B.mp3"),          decodeFileName("bad\xff\xfe.mp3"),
        QStringLiteral("C.Mp3"),          QStringLiteral("link.mp3"),
        QStringLiteral("new\nline.mp3"),  QStringLiteral("quote'\"s.mp3"),
        QStringLiteral("with space.mp3"), QStringLiteral("x.MP3"),
    };
    QCOMPARE(listAll(folder, m_folder + QStringLiteral("/*.mp3")), expected);
}

void TestPlatform::listedNamesOpen()
{
    DiskFolder folder;
    const QStringList names = listAll(folder, m_folder + QStringLiteral("/*.mp3"));
    QVERIFY(!names.isEmpty());
    for (const QString &name : names) {
        const QByteArray expected = name == QStringLiteral("link.mp3")
            ? QByteArray("song target.dat")
            : "song " + encodeFileName(name);
        QCOMPARE(readFile(pocko::joinPath(m_folder, name)), expected);
    }
}

void TestPlatform::listingLifecycle()
{
    DiskFolder folder;
    QCOMPARE(folder.next(), QString()); // never started
    QCOMPARE(folder.first(m_folder + QStringLiteral("/x*")), QStringLiteral("x.MP3"));
    QCOMPARE(folder.next(), QString()); // used up
    QCOMPARE(folder.next(), QString()); // and stays used up

    QCOMPARE(folder.first(m_folder + QStringLiteral("/*.mp3")), QStringLiteral("A.mp3"));
    QCOMPARE(folder.next(), QStringLiteral("a.mp3"));
    // A new start replaces the running listing instead of continuing it.
    QCOMPARE(folder.first(m_folder + QStringLiteral("/w*.mp3")), QStringLiteral("with space.mp3"));
    QCOMPARE(folder.next(), QString());
    QCOMPARE(folder.first(m_folder + QStringLiteral("/*.wav")), QString());
    QCOMPARE(folder.next(), QString());
}

void TestPlatform::wildcardIgnoresCase_data()
{
    QTest::addColumn<QString>("wildcard");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("upper pattern")
        << QStringLiteral("A*.MP3")
        << QStringList { QStringLiteral("A.mp3"), QStringLiteral("a.mp3") };
    QTest::newRow("exact name, other case")
        << QStringLiteral("x.mp3") << QStringList { QStringLiteral("x.MP3") };
    QTest::newRow("question mark")
        << QStringLiteral("?.mp3.txt") << QStringList { QStringLiteral("y.mp3.txt") };
    QTest::newRow("star in the middle")
        << QStringLiteral("a*3")
        << QStringList { QStringLiteral("A.mp3"), QStringLiteral("a.mp3"), QStringLiteral("amp3") };
    QTest::newRow("trailing dot is not the extension")
        << QStringLiteral("a.mp3.") << QStringList { QStringLiteral("a.mp3.") };
}

void TestPlatform::wildcardIgnoresCase()
{
    QFETCH(QString, wildcard);
    QFETCH(QStringList, names);
    DiskFolder folder;
    QCOMPARE(listAll(folder, m_folder + QLatin1Char('/') + wildcard), names);
}

void TestPlatform::missingFolderListsNothing()
{
    DiskFolder folder;
    QCOMPARE(folder.first(m_folder + QStringLiteral("/no such folder/*.mp3")), QString());
    QCOMPARE(folder.next(), QString());
    // A plain file taken for a folder.
    QCOMPARE(folder.first(m_folder + QStringLiteral("/target.dat/*")), QString());
}

void TestPlatform::joinPathSeparator_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("path");
    QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("//a.mp3");
    QTest::newRow("plain") << QStringLiteral("/music") << QStringLiteral("/music/a.mp3");
    QTest::newRow("trailing separator kept")
        << QStringLiteral("/music/") << QStringLiteral("/music//a.mp3");
}

void TestPlatform::joinPathSeparator()
{
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QCOMPARE(pocko::joinPath(folder, QStringLiteral("a.mp3")), path);
}

void TestPlatform::rootJoinStillOpens()
{
    // A folder spelled from "/" with a doubled separator, as an executable in "/" produces.
    const QString fromRoot = pocko::joinPath(QStringLiteral("/"), m_folder.mid(1));
    QVERIFY(fromRoot.startsWith(QStringLiteral("//")));
    DiskFolder folder;
    QCOMPARE(folder.first(fromRoot + QStringLiteral("/x*")), QStringLiteral("x.MP3"));
    QCOMPARE(readFile(pocko::joinPath(fromRoot, QStringLiteral("x.MP3"))),
             QByteArray("song x.MP3"));
    folder.first(QStringLiteral("//*.mp3")); // the root folder itself: must simply not fail
}

void TestPlatform::codecRoundTrip_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    const auto esc = [](unsigned char b) { return QChar(char16_t(0xDC00 + b)); };
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("ascii") << QByteArray("Song 1.mp3") << QStringLiteral("Song 1.mp3");
    QTest::newRow("two-byte") << QByteArray("caf\xc3\xa9") << QStringLiteral("caf\u00e9");
    QTest::newRow("three-byte") << QByteArray("\xe2\x82\xac") << QStringLiteral("\u20ac");
    QTest::newRow("four-byte") << QByteArray("\xf0\x9f\x8e\xb5")
                               << QString::fromUtf8("\xf0\x9f\x8e\xb5");
    QTest::newRow("latin-1 byte") << QByteArray("caf\xe9") << QStringLiteral("caf") + esc(0xe9);
    QTest::newRow("lone continuation") << QByteArray("\x80") << QString(esc(0x80));
    QTest::newRow("truncated") << QByteArray("a\xe2\x82")
                               << QStringLiteral("a") + esc(0xe2) + esc(0x82);
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString(esc(0xc0)) + esc(0xaf);
    QTest::newRow("encoded escape")
        << QByteArray("\xed\xb2\x80") << QString(esc(0xed)) + esc(0xb2) + esc(0x80);
    QTest::newRow("beyond U+10FFFF")
        << QByteArray("\xf4\x90\x80\x80") << QString(esc(0xf4)) + esc(0x90) + esc(0x80) + esc(0x80);
    QTest::newRow("lead then ascii")
        << QByteArray("\xc3(") << QString(esc(0xc3)) + QLatin1Char('(');
    QTest::newRow("0xff 0xfe") << QByteArray("\xff\xfe") << QString(esc(0xff)) + esc(0xfe);
}

void TestPlatform::codecRoundTrip()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QCOMPARE(decodeFileName(bytes), name);
    QCOMPARE(encodeFileName(name), bytes);
}

void TestPlatform::codecRoundTripAllShortStrings()
{
    // Every string of up to two bytes, plus every byte in front of each three-byte lead prefix.
    for (int a = 0; a < 256; ++a) {
        for (int b = -1; b < 256; ++b) {
            QByteArray bytes(1, char(a));
            if (b >= 0)
                bytes.append(char(b));
            if (encodeFileName(decodeFileName(bytes)) != bytes)
                QFAIL(qPrintable(
                    QStringLiteral("round trip broken for %1").arg(QLatin1String(bytes.toHex()))));
            for (const char *tail : { "\x80", "\xbf\xbf", "\x80\x80\x80" }) {
                const QByteArray longer = bytes + tail;
                if (encodeFileName(decodeFileName(longer)) != longer)
                    QFAIL(qPrintable(QStringLiteral("round trip broken for %1")
                                         .arg(QLatin1String(longer.toHex()))));
            }
        }
    }
}

// Rows: arguments; then exit code, and the folder and song (or the printed text) expected, where
// "%d" stands for the test folder, which is also the working folder; the music folder is z.mp3.
void TestPlatform::startArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("folderOrText");
    QTest::addColumn<QString>("song");
    const auto row = [](const char *name, QStringList arguments, int code, QString folderOrText,
                        QString song = {}) {
        QTest::newRow(name) << arguments << code << folderOrText << song;
    };
    const QString bad = decodeFileName("bad\xff\xfe.mp3");
    const QString error = QStringLiteral("PockoMP3Player: ");
    row("none: the executable's folder", {}, -1, "");
    row("folder, ./ and doubled separators", { "%d//./z.mp3/" }, -1, "%d/z.mp3");
    row("relative file by a symbolic link keeps its name", { "link.mp3" }, -1, "%d", "%d/link.mp3");
    row("file named in bytes that are not UTF-8", { bad }, -1, "%d", "%d/" + bad);
    row("music folder", { "--music-folder" }, -1, "%d/z.mp3");
    row("a file wins over the music folder", { "--music-folder", "x.MP3" }, -1, "%d", "%d/x.MP3");
    row("version", { "--version", "nowhere" }, 0, "PockoMP3Player 1.4");
    row("unknown option", { "-platform", "z.mp3" }, 2,
        error + "unknown option (see --help): -platform");
    row("-- ends the options", { "--", "--help" }, 2, error + "no such folder or file: %d/--help");
    row("unreadable folder", { "locked" }, 2, error + "cannot read the folder: %d/locked");
    row("FIFO", { "f.mp3" }, 2, error + "neither a folder nor a regular file: %d/f.mp3");
    row("two paths", { "a.mp3", "z.mp3" }, 2,
        error + "give one FOLDER or FILE, not several: a.mp3 z.mp3");
    row("empty path", { "" }, 2, error + "empty FOLDER or FILE: \"\"");
}

void TestPlatform::startArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, folderOrText);
    QFETCH(QString, song);
    // Root reads every folder, so an unreadable one is only pretended.
    const auto probe = [](const QString &path) {
        return path.endsWith(QStringLiteral("/locked")) ? PathKind::UnreadableFolder
                                                        : pathKind(path);
    };
    const StartRequest start = parseArguments(arguments.replaceInStrings("%d", m_folder), m_folder,
                                              m_folder + QStringLiteral("/z.mp3"), probe);
    QCOMPARE(start.exitCode, exitCode);
    QCOMPARE(exitCode == -1 ? start.folder : start.text, folderOrText.replace("%d", m_folder));
    QCOMPARE(start.song, song.replace("%d", m_folder));
}

void TestPlatform::launcherIgnoresCurrentFolder_data()
{
    QTest::addColumn<QString>("pathPrefix");
    QTest::newRow("cwd not in PATH") << QString();
    QTest::newRow("dot in PATH") << QStringLiteral(".:");
    QTest::newRow("empty entry in PATH") << QStringLiteral(":");
}

void TestPlatform::launcherIgnoresCurrentFolder()
{
    QFETCH(QString, pathPrefix);
    QTemporaryDir cwd;
    QVERIFY(cwd.isValid());
    const QString name = QStringLiteral("pocko-planted-%1").arg(QCoreApplication::applicationPid());
    const QString marker = cwd.filePath(QStringLiteral("ran"));
    QVERIFY(writeScript(cwd.filePath(name), marker));

    const QString oldCwd = QDir::currentPath();
    const QByteArray oldPath = qgetenv("PATH");
    QVERIFY(QDir::setCurrent(cwd.path()));
    qputenv("PATH", pathPrefix.toUtf8() + oldPath);
    QtLauncher launcher;
    const bool started = launcher.startMinimized(name);
    qputenv("PATH", oldPath);
    QDir::setCurrent(oldCwd);

    QVERIFY(!started);
    QTest::qWait(200);
    QVERIFY(!QFile::exists(marker));
}

void TestPlatform::launcherStartsFromPath()
{
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    const QString name = QStringLiteral("pocko-on-path-%1").arg(QCoreApplication::applicationPid());
    const QString marker = bin.filePath(QStringLiteral("ran"));
    QVERIFY(writeScript(bin.filePath(name), marker));

    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ':' + oldPath);
    // The folder a second deck gets must arrive byte for byte, whatever its name holds.
    QtLauncher launcher({ decodeFileName("/music/caf\xe9 \xff") });
    const bool started = launcher.startMinimized(name);
    const bool missing = launcher.startMinimized(name + QStringLiteral("-missing"));
    qputenv("PATH", oldPath);

    QVERIFY(started);
    QVERIFY(!missing);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker) && QFileInfo(marker).size() > 0, 20000);
    QFile file(marker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().trimmed(), QByteArray("1 /music/caf\xe9 \xff"));
}

void TestPlatform::launcherPrefersProgramFolder()
{
    QTemporaryDir bin;
    QTemporaryDir marks;
    QVERIFY(bin.isValid() && marks.isValid());
    const QString name = QStringLiteral("pocko-both-%1").arg(QCoreApplication::applicationPid());
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(name);
    QVERIFY(writeScript(beside, marks.filePath(QStringLiteral("beside"))));
    QVERIFY(writeScript(bin.filePath(name), marks.filePath(QStringLiteral("path"))));

    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ':' + oldPath);
    const bool started = QtLauncher().startMinimized(name);
    qputenv("PATH", oldPath);

    QVERIFY(started);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marks.filePath(QStringLiteral("beside"))), 20000);
    QFile::remove(beside);
    QVERIFY(!QFile::exists(marks.filePath(QStringLiteral("path"))));
}

void TestPlatform::messageBox_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("one line") << QStringLiteral("No file specified.")
                              << QStringLiteral("No file specified.");
    QTest::newRow("carriage returns")
        << QStringLiteral(" one\r two\r three") << QStringLiteral(" one\n two\n three");
    QTest::newRow("CR LF is one break") << QStringLiteral("a\r\nb") << QStringLiteral("a\nb");
    QTest::newRow("markup stays text") << QStringLiteral("<b>x</b>") << QStringLiteral("<b>x</b>");
}

void TestPlatform::messageBox()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    const QString title = QStringLiteral("Quit - Thank you for using PockoMP3.");

    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seen = true;
        QCOMPARE(box->objectName(), QStringLiteral("message"));
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->windowTitle(), title);
        QCOMPARE(box->accessibleName(), title);
        QCOMPARE(box->text(), shown);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->standardButton(box->buttons().first()), QMessageBox::Ok);
        box->buttons().first()->click();
    });
    QTimer failsafe; // a broken check above must not leave the box open forever
    failsafe.setSingleShot(true);
    connect(&failsafe, &QTimer::timeout, this, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    failsafe.start(100);
    QtMessages().show(text, title);
    QVERIFY(seen);
}

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
