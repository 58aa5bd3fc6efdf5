#include "fakes/testwindows.h"

#include "deck/trackwave.h"

#include <QRegularExpression>

using namespace pocko;

namespace {
// A summary that answers what the test set: every column the same, `ready` of them computed.
struct FakeSummary : SongSummary
{
    QString name;
    QStringList opened;
    int count = Columns;
    SummaryColumn every { 200, 100, 50 };
    void open(const QString &path) override { opened << (name = path); }
    QString path() const override { return name; }
    int ready() const override { return count; }
    SummaryColumn column(int) const override { return every; }
};

constexpr int Width = 249; // the bar's 3,735 twips
} // namespace

// The track bar's picture: drawn along the seek, so that what a click on a pixel plays is what
// that pixel draws; the marks, the segment and the play head where the picture puts them; tones
// that keep the yellow caption readable.
class TestTrackWave : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void pixels_data()
    {
        QTest::addColumn<int>("pixel");
        QTest::addColumn<int>("plays"); // seconds a click on the pixel plays from
        QTest::addColumn<double>("draws"); // where the stretch drawn at the pixel starts
        // A 200 s song. The start zone (X < 80, pixels 0-5) seeks to 0 and draws 0-21.4 s
        // compressed; from X = 3640 on (pixel 243) every click plays 190 s, and those pixels
        // draw the song's last 4.8 % compressed.
        QTest::newRow("0: start zone") << 0 << 0 << 0.0;
        QTest::newRow("5: start zone") << 5 << 0 << 5 / 6.0 * 450 / 4200 * 200;
        QTest::newRow("6: first seek past 0") << 6 << 21 << 450 / 4200.0 * 200;
        QTest::newRow("67") << 67 << 65 << 1365 / 4200.0 * 200;
        QTest::newRow("242: last straight") << 242 << 190 << 3990 / 4200.0 * 200;
        QTest::newRow("243: first at 95 %") << 243 << 190 << 4000 / 4200.0 * 200;
        QTest::newRow("246: after 95 %") << 246 << 190 << (4000 + 200 * 3 / 6.0) / 4200 * 200;
        QTest::newRow("248: last") << 248 << 190 << (4000 + 200 * 5 / 6.0) / 4200 * 200;
    }
    void pixels()
    {
        QFETCH(int, pixel);
        QFETCH(int, plays);
        QFETCH(double, draws);
        DeckRig rig;
        rig.run("len=200 load");
        rig.deck.Label1_MouseDown(1, 0, float(pixel * TwipsPerPixel), 0);
        QCOMPARE(rig.deck.seekSeconds, plays);
        QVERIFY2(std::abs(TrackWave::pixelFrom(pixel, Width, 200) - draws) < 1e-9,
                 qPrintable(QString::number(TrackWave::pixelFrom(pixel, Width, 200))));
        QCOMPARE(TrackWave::pixelOf(draws + 1e-6, Width, 200), pixel);
        QCOMPARE(TrackWave::pixelOf(draws - 1e-6, Width, 200), std::max(pixel - 1, 0));
    }

    // Rows: deck steps, then what the picture shows: "shown", "opened" (the summary's opens),
    // "M1".."M3" and "head" (a line's pixel), "backN" (0 plain, 1 shaded), "heightN", "playedN"
    // (pixel N's wave in the played tone).
    void picture_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("ready");
        QTest::addColumn<QString>("state");
        QTest::newRow("no song") << "" << 2048 << "shown=0 opened=";
        QTest::newRow("a load") << "len=200 load" << 2048
                                << "shown=1 opened=/music/a.mp3 M1=0 head=0 height100=12";
        QTest::newRow("the song changed under the deck")
            << "len=200 load | play(/music/b.mp3)" << 2048
            << "shown=1 opened=/music/a.mp3,/music/b.mp3";
        QTest::newRow("marks at their bursts' starts")
            << "len=200 load M111.toolTip=65 M112.toolTip=0.4 M113.toolTip=10000.2" << 2048
            << "M1=67 M2=0 M3=0";
        QTest::newRow("marks in the compressed stretches")
            << "len=200 load M111.toolTip=10 M112.toolTip=0.5 M113.toolTip=199" << 2048
            << "M1=2 M2=0 M3=248";
        QTest::newRow("the play head, played before it")
            << "len=200 load at=100" << 2048 << "head=116 played115=1 played116=0 back115=0";
        QTest::newRow("segment On: M1 to M2 shaded")
            << "len=200 load cueStart1=10 cueStart2=30 tsegs=On" << 2048
            << "back1=0 back2=1 back18=1 back19=0";
        QTest::newRow("segment Off: nothing shaded")
            << "len=200 load cueStart1=10 cueStart2=30" << 2048 << "back2=0 back18=0";
        // Pixel 116 draws from 100 s, column 1024 on.
        QTest::newRow("the part ready so far")
            << "len=200 load" << 1024 << "height115=12 height116=0";
        QTest::newRow("a silent song") << "silent len=200 load" << 2048 << "height100=0 M1=0";
    }
    void picture()
    {
        QFETCH(QString, steps);
        QFETCH(int, ready);
        QFETCH(QString, state);
        DeckRig rig;
        FakeSummary summary;
        summary.count = ready;
        rig.deck.summary = &summary;
        for (const QString &step : steps.split(' ', Qt::SkipEmptyParts)) {
            if (step.startsWith("play("))
                rig.player.setFileName(step.mid(5).chopped(1));
            else if (step == "silent")
                summary.every = {};
            else
                rig.run(step);
            rig.deck.waveTick();
        }
        const TrackWave &wave = rig.deck.wave;
        const auto line = [&](int i) { return QString::number(wave.lines().at(i).pixel); };
        for (const QString &pair : state.split(' ', Qt::SkipEmptyParts)) {
            const QString key = pair.section('=', 0, 0);
            const int at = key.mid(key.indexOf(QRegularExpression("\\d"))).toInt();
            const TrackWave::Pixel pixel
                = wave.shown() ? wave.pixels().at(at) : TrackWave::Pixel {};
            const QString value = key == "shown" ? QString::number(wave.shown())
                : key == "opened"                ? summary.opened.join(',')
                : key.startsWith('M')            ? line(at - 1)
                : key == "head"                  ? line(3)
                : key.startsWith("back")         ? QString::number(pixel.back != 0)
                : key.startsWith("height")
                ? QString::number(pixel.height)
                : QString::number(pixel.wave == TrackWave::waveColour(summary.every, true));
            QCOMPARE(key + '=' + value, pair);
        }
    }

    // The yellow caption over every tone the picture can draw, as ground or wave, played or to
    // come, in the segment or not; the two parts of the song told apart.
    void contrast()
    {
        double least = 21;
        for (int low = 0; low <= 255; low += 15)
            for (int mid = 0; mid <= 255; mid += 15)
                for (int high = 0; high <= 255; high += 15)
                    for (bool played : { false, true }) {
                        const SummaryColumn peaks { quint8(low), quint8(mid), quint8(high) };
                        least = std::min(least,
                                         TrackWave::contrast(TrackWave::CaptionColour,
                                                             TrackWave::waveColour(peaks, played)));
                    }
        for (bool played : { false, true })
            for (bool segment : { false, true })
                least = std::min(least,
                                 TrackWave::contrast(TrackWave::CaptionColour,
                                                     TrackWave::backColour(played, segment)));
        QVERIFY2(least >= 4.5, qPrintable(QString::number(least)));
        QCOMPARE(std::round(TrackWave::contrast(0x0000FFFF, 0) * 1000), 19556.0);

        const SummaryColumn loud { 250, 250, 250 };
        QVERIFY(TrackWave::contrast(TrackWave::waveColour(loud, false),
                                    TrackWave::waveColour(loud, true))
                >= 1.5);
        QVERIFY(TrackWave::waveColour({ 255, 0, 0 }, false)
                != TrackWave::waveColour({ 0, 0, 255 }, false));
    }
};

QTEST_GUILESS_MAIN(TestTrackWave)
#include "tst_trackwave.moc"
