#include "platform/filenames.h"
#include "platform/folder.h"
#include "platform/launcher.h"
#include "platform/messages.h"
#include "platform/startarguments.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pocko;

namespace {

bool writeFile(const QByteArray &path, const QByteArray &content, mode_t mode = 0644)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    const bool ok = fd >= 0 && ::write(fd, content.constData(), content.size()) == content.size();
    return ::close(fd) == 0 && ok;
}

QString text(std::initializer_list<char32_t> codePoints)
{
    return QString::fromUcs4(codePoints.begin(), qsizetype(codePoints.size()));
}

} // namespace

// The platform layer against the real machine: a real folder, real processes, real message boxes.
class TestPlatform : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_folder = m_dir.path();

private slots:
    // A folder holding every awkward kind of entry a music folder can hold.
    void initTestCase()
    {
        const QByteArray dir = encodeFileName(m_folder) + '/';
        for (const QByteArray name :
             { "x.MP3", "y.mp3.txt", "mp3", "a.mp3", "A.mp3", "B.mp3", "C.Mp3", ".hidden.mp3",
               "with space.mp3", "quote'\"s.mp3", "new\nline.mp3", "bad\xff\xfe.mp3", "target.dat",
               "a.mp3.", "amp3" })
            QVERIFY2(writeFile(dir + name, "song"), name.constData());
        QCOMPARE(::mkdir(dir + "z.mp3", 0755), 0);
        QCOMPARE(::mkfifo(dir + "f.mp3", 0644), 0);
        QCOMPARE(::symlink("target.dat", dir + "link.mp3"), 0);
        QCOMPARE(::symlink("nowhere.dat", dir + "dangling.mp3"), 0);
        QCOMPARE(::symlink("z.mp3", dir + "dirlink.mp3"), 0);
    }
    // QTemporaryDir cannot spell this name to remove it.
    void cleanupTestCase() { ::unlink(encodeFileName(m_folder) + "/bad\xff\xfe.mp3"); }

    // Rows: a pattern, "%d" standing for the test folder, and the names listed, in order.
    void listing_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QStringList>("names");
        const auto row = [](const char *name, const char *pattern, const QStringList &names) {
            QTest::newRow(name) << pattern << names;
        };
        row("plain files and links to them, not hidden, case ignored in order", "%d/*.mp3",
            { "A.mp3", "a.mp3", "B.mp3", decodeFileName("bad\xff\xfe.mp3"), "C.Mp3", "link.mp3",
              "new\nline.mp3", "quote'\"s.mp3", "with space.mp3", "x.MP3" });
        row("letter case ignored", "%d/A*.MP3", { "A.mp3", "a.mp3" });
        row("question mark", "%d/?.mp3.txt", { "y.mp3.txt" });
        row("star in the middle", "%d/a*3", { "A.mp3", "a.mp3", "amp3" });
        row("missing folder", "%d/no such folder/*.mp3", {});
        row("doubled separator from the root, as for an executable in /", "/%d/x*", { "x.MP3" });
    }
    void listing()
    {
        QFETCH(QString, pattern);
        QFETCH(QStringList, names);
        pattern.replace("%d", m_folder);
        DiskFolder folder;
        QStringList listed;
        for (QString name = folder.first(pattern); !name.isEmpty(); name = folder.next())
            listed.append(name);
        QCOMPARE(listed, names);
        QCOMPARE(folder.next(), QString()); // and stays used up
        // Every listed name opens, whatever bytes it is made of.
        for (const QString &name : listed)
            QCOMPARE(::access(encodeFileName(joinPath(m_folder, name)).constData(), R_OK), 0);
    }
    void listingStartsAfresh()
    {
        DiskFolder folder;
        QCOMPARE(folder.next(), QString()); // never started
        QCOMPARE(folder.first(m_folder + "/*.mp3"), QStringLiteral("A.mp3"));
        QCOMPARE(folder.first(m_folder + "/w*.mp3"), QStringLiteral("with space.mp3"));
        QCOMPARE(folder.next(), QString());
    }

    // File names are bytes: each one that is no part of valid UTF-8 becomes U+DC00 + byte. The
    // other ways of failing UTF-8 break the round trip below.
    void codec_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        const auto row = [](const char *name, const char *bytes, const QString &decoded) {
            QTest::newRow(name) << QByteArray(bytes) << decoded;
        };
        row("each length at its lowest and highest",
            "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
            text({ 0x80, 0x7ff, 0x800, 0xffff, 0x10000, 0x10ffff }));
        row("around the surrogates", "\xed\x9f\xbf\xee\x80\x80", text({ 0xd7ff, 0xe000 }));
        row("latin-1", "caf\xe9", text({ 'c', 'a', 'f', 0xdce9 }));
    }
    void codec()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QCOMPARE(decodeFileName(bytes), name);
        QCOMPARE(encodeFileName(name), bytes);
    }
    void codecRoundTripAllShortStrings()
    {
        // Every string of one or two bytes, alone and before the tails a multi-byte lead takes.
        for (int a = 0; a < 256; ++a) {
            for (int b = -1; b < 256; ++b) {
                const QByteArray start(1, char(a));
                for (const char *tail : { "", "\x80", "\xbf\xbf", "\x80\x80\x80" }) {
                    const QByteArray bytes
                        = start + (b < 0 ? QByteArray() : QByteArray(1, char(b))) + tail;
                    if (encodeFileName(decodeFileName(bytes)) != bytes)
                        QFAIL(("round trip broken for " + bytes.toHex()).constData());
                }
            }
        }
    }

    // Rows: arguments; then exit code, and the folder and song (or the printed text) expected,
    // where "%d" stands for the test folder, which is also the working folder; the music folder
    // is z.mp3. Then the output NAMEs given for this deck and for LT's.
    void startArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("folderOrText");
        QTest::addColumn<QString>("song");
        QTest::addColumn<QStringList>("outputs");
        const auto row = [](const char *name, QStringList arguments, int code, QString folderOrText,
                            QString song = {}, QStringList outputs = { "", "" }) {
            QTest::newRow(name) << arguments << code << folderOrText << song << outputs;
        };
        const QString bad = decodeFileName("bad\xff\xfe.mp3");
        const QString error = "PockoMP3Player: ";
        row("none: the executable's folder", {}, -1, "");
        row("folder, ./ and doubled separators", { "%d//./z.mp3/" }, -1, "%d/z.mp3");
        row("relative file by a symbolic link keeps its name", { "link.mp3" }, -1, "%d",
            "%d/link.mp3");
        row("file named in bytes that are not UTF-8", { bad }, -1, "%d", "%d/" + bad);
        row("music folder", { "--music-folder" }, -1, "%d/z.mp3");
        row("a file wins over the music folder", { "--music-folder", "x.MP3" }, -1, "%d",
            "%d/x.MP3");
        row("version", { "--version", "nowhere" }, 0, "PockoMP3Player 1.4");
        row("unknown option", { "-platform", "z.mp3" }, 2,
            error + "unknown option (see --help): -platform");
        row("-- ends the options", { "--", "--help" }, 2,
            error + "no such folder or file: %d/--help");
        row("unreadable folder", { "locked" }, 2, error + "cannot read the folder: %d/locked");
        row("FIFO", { "f.mp3" }, 2, error + "neither a folder nor a regular file: %d/f.mp3");
        row("two paths", { "a.mp3", "z.mp3" }, 2,
            error + "give one FOLDER or FILE, not several: a.mp3 z.mp3");
        row("empty path", { "" }, 2, error + "empty FOLDER or FILE: \"\"");
        row("output NAMEs are no paths nor options", { "--lt-output", "-x", "--output", "z.mp3" },
            -1, "", "", { "z.mp3", "-x" });
        row("after --, --output is a path", { "--", "--output", "z.mp3" }, 2,
            error + "give one FOLDER or FILE, not several: --output z.mp3");
        row("--output without NAME", { "z.mp3", "--output" }, 2,
            error + "give a NAME after: --output");
        row("an empty NAME", { "--lt-output", "", "z.mp3" }, 2,
            error + "give a NAME after: --lt-output");
    }
    void startArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, folderOrText);
        QFETCH(QString, song);
        // Root reads every folder, so an unreadable one is only pretended.
        const auto probe = [](const QString &path) {
            return path.endsWith("/locked") ? PathKind::UnreadableFolder : pathKind(path);
        };
        const StartRequest start = parseArguments(arguments.replaceInStrings("%d", m_folder),
                                                  m_folder, m_folder + "/z.mp3", probe);
        QCOMPARE(start.exitCode, exitCode);
        QCOMPARE(exitCode == -1 ? start.folder : start.text, folderOrText.replace("%d", m_folder));
        QCOMPARE(start.song, song.replace("%d", m_folder));
        QFETCH(QStringList, outputs);
        QCOMPARE(QStringList({ start.output, start.ltOutput }), outputs);
    }

    // Rows: arguments; what they ask of the MIDI input, then what the deck LT starts is asked
    // by the arguments this deck gives it; or the line printed.
    void midiArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result");
        QTest::newRow("default") << QStringList()
                                 << "deck 1, midi 1, in , out , monitor 0, map ; "
                                    "deck 2, midi 1, in , out , monitor 0, map ";
        QTest::newRow("all given")
            << QStringList { "--no-midi", "--midi-in",      "-x",         "--midi-out",
                             "y",         "--midi-monitor", "--midi-map", "m" }
            << "deck 1, midi 0, in -x, out y, monitor 1, map %d/m; "
               "deck 2, midi 0, in -x, out y, monitor 1, map %d/m";
        QTest::newRow("LT's own deck") << QStringList { "--deck", "2", "--output", "o" }
                                       << "deck 2, midi 1, in , out , monitor 0, map ; "
                                          "deck 2, midi 1, in , out , monitor 0, map ";
        QTest::newRow("deck 3") << QStringList { "--deck", "3" }
                                << "PockoMP3Player: --deck is 1 or 2: 3";
    }
    void midiArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        const auto asked = [](const StartRequest &s) {
            return QString("deck %1, midi %2, in %3, out %4, monitor %5, map %6")
                .arg(s.deck)
                .arg(s.midi)
                .arg(s.midiIn, s.midiOut, QString::number(s.midiMonitor), s.midiMapFile);
        };
        const StartRequest s = parseArguments(arguments, m_folder, m_folder);
        const StartRequest lt
            = parseArguments(ltArguments(s, "out", m_folder), "/elsewhere", m_folder);
        QCOMPARE(s.exitCode == 2 ? s.text : asked(s) + "; " + asked(lt),
                 result.replace("%d", m_folder));
        if (s.exitCode == -1)
            QCOMPARE(QStringList({ lt.output, lt.folder }), QStringList({ "out", m_folder }));
    }

    // Rows: the NAME asked for among the outputs below; the output chosen, or the line printed.
    void outputName_data()
    {
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QString>("chosen");
        const QString error = "PockoMP3Player: ";
        QTest::newRow("by name") << "alsa_output.pci.analog-stereo"
                                 << "alsa_output.pci.analog-stereo";
        QTest::newRow("by description, case ignored") << "umc202"
                                                      << "alsa_output.usb.analog-stereo";
        QTest::newRow("a name wins over a description that holds it") << "deck"
                                                                      << "deck";
        QTest::newRow("a name in another case is only a part of a description") << "DECK"
                                                                                << "deck2";
        QTest::newRow("a part of a name is no name")
            << "usb" << error + "no such output (see --list-outputs): usb";
        QTest::newRow("empty") << "" << error + "no such output (see --list-outputs): ";
        QTest::newRow("ambiguous: the names that match") << "analog STEREO"
                                                         << error
                + "more than one output matches analog STEREO: alsa_output.usb.analog-stereo, "
                  "alsa_output.pci.analog-stereo";
    }
    void outputName()
    {
        QFETCH(QString, asked);
        QFETCH(QString, chosen);
        const QList<OutputDevice> outputs {
            { "alsa_output.usb.analog-stereo", "UMC202HD 192k Analog Stereo" },
            { "alsa_output.pci.analog-stereo", "Built-in Audio Analog Stereo" },
            { "deck2", "Null Output (deck2)" },
            { "deck", "Null Output" },
        };
        const OutputMatch match = resolveOutput(asked, outputs);
        QCOMPARE(match.error.isEmpty() ? match.name : match.error, chosen);
        QVERIFY(match.name.isEmpty() != match.error.isEmpty());
    }

    // Rows: what goes before PATH, where a program of the name lies ("cwd" the working folder,
    // "bin1" and "bin2" two folders, "exe" this executable's folder; "!" not executable), and
    // which of them starts ("" for none).
    void launcher_data()
    {
        QTest::addColumn<QString>("pathPrefix");
        QTest::addColumn<QStringList>("planted");
        QTest::addColumn<QString>("runs");
        QTest::newRow("never the working folder, be it in PATH as . or empty or not at all")
            << ".::" << QStringList { "cwd" } << "";
        QTest::newRow("no such program") << "bin1:" << QStringList {} << "";
        QTest::newRow("found in PATH") << "bin1:" << QStringList { "bin1" } << "bin1";
        QTest::newRow("passes over a file it may not run")
            << "bin1:bin2:" << QStringList { "bin1!", "bin2" } << "bin2";
        QTest::newRow("program's folder first")
            << "bin1:" << QStringList { "bin1", "exe" } << "exe";
    }
    void launcher()
    {
        QFETCH(QString, pathPrefix);
        QFETCH(QStringList, planted);
        QFETCH(QString, runs);
        QTemporaryDir top;
        const QString name = "pocko-planted-" + QString::number(QCoreApplication::applicationPid());
        const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(name);
        const auto cleanup = qScopeGuard([&] { QFile::remove(beside); });
        QVERIFY(QDir(top.path()).mkpath("cwd"));
        for (QString place : planted) {
            const QByteArray script = "#!/bin/sh\necho \"$PPID " + place.toUtf8()
                + " $POCKO_START_MINIMIZED $POCKO_KEPT $*\" >> '" + top.filePath("ran").toUtf8()
                + "'\n";
            const mode_t mode = place.endsWith('!') ? 0644 : 0755;
            place.remove('!');
            QVERIFY(QDir(top.path()).mkpath(place));
            const QString path = place == "exe" ? beside : top.filePath(place + '/' + name);
            QVERIFY(writeFile(encodeFileName(path), script, mode));
        }

        const QString oldCwd = QDir::currentPath();
        const QByteArray oldPath = qgetenv("PATH");
        QVERIFY(QDir::setCurrent(top.filePath("cwd")));
        qputenv("PATH", pathPrefix.replace("bin", top.filePath("bin")).toUtf8() + oldPath);
        // The folder a second deck gets must arrive byte for byte, whatever its name holds, and
        // this process's environment with it.
        qputenv("POCKO_KEPT", "kept");
        const bool started
            = QtLauncher({ decodeFileName("/music/caf\xe9 \xff") }).startMinimized(name);
        qputenv("PATH", oldPath);
        QDir::setCurrent(oldCwd);

        QCOMPARE(started, !runs.isEmpty());
        QCOMPARE(::waitpid(-1, nullptr, WNOHANG), -1); // no child left behind to reap
        QFile ran(top.filePath("ran"));
        QTest::qWait(200);
        QTRY_VERIFY_WITH_TIMEOUT(runs.isEmpty() || ran.size() > 0, 20000);
        QCOMPARE(ran.exists(), !runs.isEmpty());
        if (ran.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> words = ran.readAll().split(' ');
            // No child of this process, which would have to wait for it.
            QVERIFY(words.first().toLongLong() != QCoreApplication::applicationPid());
            QCOMPARE(words.mid(1).join(' '), runs.toUtf8() + " 1 kept /music/caf\xe9 \xff\n");
        }
    }

    void messageBox()
    {
        // Lines joined by CR or CR LF break and markup stays text, with no icon and only OK. The
        // desktop tests read the box's title and text through its accessible name and description.
        bool seen = false;
        QTimer::singleShot(0, this, [&seen] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            box->close();
            seen = true;
            QCOMPARE(box->text(), QStringLiteral("<b>one</b>\n two\nthree"));
            QCOMPARE(box->accessibleDescription(), box->text());
            QCOMPARE(box->textFormat(), Qt::PlainText);
            QCOMPARE(box->windowTitle(), QStringLiteral("Farewell"));
            QCOMPARE(box->accessibleName(), box->windowTitle());
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->standardButtons(), QMessageBox::Ok);
        });
        QtMessages().show("<b>one</b>\r two\r\nthree", "Farewell");
        QVERIFY(seen);
    }
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
