#include "fakes/songfiles.h"
#include "player/summarymaker.h"

#include <QHash>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace pocko;

// The track bar's summary on generated songs: each row names a song by its pieces ("6 quiet,
// 2 loud" = 6 s of faint noise, then 2 s of loud noise), a stretch of columns, a band and the range
// that band's peaks must keep there.
class TestSummary : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QHash<QString, QString> m_songs;

    // Each piece: seconds, then silence, quiet (noise at -40 dB), loud (noise at -3 dB) or a sine
    // frequency in Hz (at -6 dB).
    QString song(const QString &pieces)
    {
        if (m_songs.contains(pieces))
            return m_songs[pieces];
        const QString base = m_dir.filePath(QString::number(m_songs.size()));
        QStringList wavs;
        for (const QString &piece : pieces.split(", ")) {
            const QStringList words = piece.split(' ');
            QStringList synth = { "synth", words[0] };
            if (words[1] == "silence")
                synth = { "trim", "0", words[0] };
            else if (words[1] == "quiet" || words[1] == "loud")
                synth << "pinknoise"
                      << "gain" << (words[1] == "quiet" ? "-40" : "-3");
            else
                synth << "sine" << words[1] << "gain"
                      << "-6";
            wavs << base + "-" + QString::number(wavs.size()) + ".wav";
            if (QProcess::execute(
                    "sox",
                    QStringList { "-R", "-r", "44100", "-c", "2", "-n", "-b", "16", wavs.last() }
                        + synth)
                != 0)
                return {};
        }
        if (wavs.size() > 1 && QProcess::execute("sox", wavs + QStringList { base + ".wav" }) != 0)
            return {};
        if (!makeMp3(wavs.size() > 1 ? base + ".wav" : wavs[0], base + ".mp3", { "-b", "192" }))
            return {};
        return m_songs[pieces] = base + ".mp3";
    }

    static int peak(const SummaryColumn &c, const QString &band)
    {
        return band == "low" ? c.low
            : band == "mid"  ? c.mid
            : band == "high" ? c.high
                             : std::max({ c.low, c.mid, c.high });
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void columns_data()
    {
        QTest::addColumn<QString>("pieces");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to"); // exclusive
        QTest::addColumn<QString>("band"); // low, mid, high or any
        QTest::addColumn<int>("least"); // of the stretch's loudest column
        QTest::addColumn<int>("most"); // of every column in the stretch

        // 10 s in 2,048 columns: 6 s is column 1228.8, 8 s column 1638.4; a few columns of margin
        // for the encoder's frames.
        const QString drop = "6 quiet, 2 loud, 2 quiet";
        QTest::newRow("loud stretch: every column of it loud")
            << drop << 1240 << 1628 << "any" << 30 << 255;
        QTest::newRow("loud stretch: quiet before it") << drop << 0 << 1215 << "any" << 0 << 8;
        QTest::newRow("loud stretch: quiet after it") << drop << 1655 << 2048 << "any" << 0 << 8;
        QTest::newRow("silence: flat") << "10 silence" << 0 << 2048 << "any" << 0 << 0;
        QTest::newRow("60 Hz: low") << "4 60" << 20 << 2028 << "low" << 110 << 140;
        QTest::newRow("60 Hz: not high") << "4 60" << 20 << 2028 << "high" << 0 << 3;
        QTest::newRow("60 Hz: little mid") << "4 60" << 20 << 2028 << "mid" << 0 << 25;
        QTest::newRow("8 kHz: high") << "4 8000" << 20 << 2028 << "high" << 110 << 140;
        QTest::newRow("8 kHz: not low") << "4 8000" << 20 << 2028 << "low" << 0 << 3;
        QTest::newRow("1 kHz: mid") << "4 1000" << 20 << 2028 << "mid" << 110 << 140;
    }
    void columns()
    {
        QFETCH(QString, pieces);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, band);
        QFETCH(int, least);
        QFETCH(int, most);
        const QString path = song(pieces);
        QVERIFY(!path.isEmpty());
        SummaryMaker summary;
        summary.open(path);
        QTRY_VERIFY_WITH_TIMEOUT(summary.idle(), 20000);
        QCOMPARE(summary.ready(), SongSummary::Columns);
        int loudest = 0;
        for (int c = from; c < to; ++c) {
            const int p = peak(summary.column(c), band);
            loudest = std::max(loudest, p);
            QVERIFY2(p <= most, qPrintable(QString("column %1: %2").arg(c).arg(p)));
            if (QByteArray(QTest::currentDataTag()).contains("every column"))
                QVERIFY2(p >= least, qPrintable(QString("column %1: %2").arg(c).arg(p)));
        }
        QVERIFY2(loudest >= least, qPrintable(QString::number(loudest)));
    }

    // Opening another song stops the summary under way where it stands and starts afresh; a file
    // that is not an MP3 gives no columns.
    void cancelled()
    {
        const QString longSong = song("240 loud");
        const QString other = song("4 1000");
        QVERIFY(!longSong.isEmpty() && !other.isEmpty());
        SummaryMaker summary;
        summary.open(longSong);
        QTRY_VERIFY_WITH_TIMEOUT(summary.ready() > 0, 10000);
        summary.cancel();
        QVERIFY(summary.idle());
        const int stoppedAt = summary.ready();
        QVERIFY2(stoppedAt < SongSummary::Columns, qPrintable(QString::number(stoppedAt)));
        QTest::qWait(100);
        QCOMPARE(summary.ready(), stoppedAt);

        summary.open(longSong);
        QTRY_VERIFY_WITH_TIMEOUT(summary.ready() > 0, 10000);
        summary.open(other);
        QCOMPARE(summary.path(), other);
        QTRY_VERIFY_WITH_TIMEOUT(summary.idle(), 20000);
        QCOMPARE(summary.ready(), SongSummary::Columns);
        QVERIFY(summary.column(1000).mid > 100);

        const QString text = m_dir.filePath("text.mp3");
        QVERIFY(writeBytes(QFile::encodeName(text), QByteArray(20000, 'x')));
        summary.open(text);
        QTRY_VERIFY_WITH_TIMEOUT(summary.idle(), 10000);
        QCOMPARE(summary.ready(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSummary)
#include "tst_summary.moc"
