#include "fakes/testwindows.h"

#include <QLocale>
#include <QTest>

using namespace pocko;

// The cue settings dialog's close processing, driven as the user does: a right click on a cue
// play button, typing, closing.
class TestCueDialog : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void closeChecksEachField_data()
    {
        QTest::addColumn<QString>("repeats");
        QTest::addColumn<QString>("duration");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("storedRepeats");
        QTest::addColumn<QString>("storedDuration");
        QTest::addColumn<QString>("storedStart");
        QTest::newRow("repeats 0") << "0" << "300" << "5" << "1" << "300" << "5";
        QTest::newRow("repeats empty") << "" << "300" << "5" << "1" << "300" << "5";
        QTest::newRow("repeats letter") << "a" << "300" << "5" << "1" << "300" << "5";
        QTest::newRow("repeats 9") << "9" << "300" << "5" << "9" << "300" << "5";
        QTest::newRow("duration 199") << "2" << "199" << "5" << "2" << "500" << "5";
        QTest::newRow("duration 200") << "2" << "200" << "5" << "2" << "200" << "5";
        QTest::newRow("duration 9999") << "2" << "9999" << "5" << "2" << "9999" << "5";
        QTest::newRow("duration 0200 as typed") << "2" << "0200" << "5" << "2" << "0200" << "5";
        QTest::newRow("duration x") << "2" << "x" << "5" << "2" << "500" << "5";
        QTest::newRow("duration empty") << "2" << "" << "5" << "2" << "500" << "5";
        QTest::newRow("duration inf") << "2" << "inf" << "5" << "2" << "500" << "5";
        QTest::newRow("start 0") << "2" << "300" << "0" << "2" << "300" << "0.1";
        QTest::newRow("start 0.05") << "2" << "300" << "0.05" << "2" << "300" << "0.1";
        QTest::newRow("start equal to length") << "2" << "300" << "200" << "2" << "300" << "200";
        QTest::newRow("start as typed") << "2" << "300" << "012.50" << "2" << "300" << "012.50";
    }
    void closeChecksEachField()
    {
        QFETCH(QString, repeats);
        QFETCH(QString, duration);
        QFETCH(QString, start);
        QFETCH(QString, storedRepeats);
        QFETCH(QString, storedDuration);
        QFETCH(QString, storedStart);
        DeckRig rig;
        rig.load(); // 200 s
        rig.deck.P112_MouseDown(2);
        rig.windows.cueDialog->Text1.text = repeats;
        rig.windows.cueDialog->Text2.text = duration;
        rig.windows.cueDialog->Text3.text = start;
        rig.windows.closeCueDialog();
        QVERIFY(rig.deck.P112.visible);
        QCOMPARE(rig.deck.P112.tag, storedRepeats);
        QCOMPARE(rig.deck.M112.tag, storedDuration);
        QCOMPARE(rig.deck.M112.toolTip, storedStart);
        QCOMPARE(rig.deck.cueStart2, 0.0); // a cue play or a mark takes the new start, not the dialog
    }

    void unusableStartAbandonsTheEdit_data()
    {
        QTest::addColumn<double>("length");
        QTest::addColumn<QString>("start");
        QTest::newRow("empty") << 200.0 << "";
        QTest::newRow("negative") << 200.0 << "-1";
        QTest::newRow("above the length") << 200.0 << "200.5";
        QTest::newRow("nan") << 200.0 << "nan";
        QTest::newRow("inf") << 200.0 << "inf";
        QTest::newRow("hex") << 200.0 << "0x10";
        QTest::newRow("length 0") << 0.0 << "0.1";
    }
    void unusableStartAbandonsTheEdit()
    {
        QFETCH(double, length);
        QFETCH(QString, start);
        DeckRig rig;
        rig.player.defaultLength = length;
        rig.load();
        rig.deck.P111.visible = false; // as left by an abandoned second right click
        rig.deck.P113_MouseDown(2);
        rig.windows.cueDialog->Text1.text = "7";
        rig.windows.cueDialog->Text3.text = start;
        rig.windows.closeCueDialog();
        QVERIFY(rig.deck.P111.visible && rig.deck.P112.visible && rig.deck.P113.visible);
        QCOMPARE(rig.deck.P113.tag, QStringLiteral("1"));
        QCOMPARE(rig.deck.P111.tag, QStringLiteral("1"));
        QCOMPARE(rig.deck.M113.toolTip, QStringLiteral("0.0"));
    }

    void unreadableLengthAbandonsTheEdit()
    {
        DeckRig rig;
        rig.load();
        rig.deck.P111_MouseDown(2);
        rig.windows.cueDialog->Text3.text = "5";
        rig.player.failing.insert("duration");
        rig.windows.closeCueDialog();
        QVERIFY(rig.deck.P111.visible);
        QCOMPARE(rig.deck.M111.toolTip, QStringLiteral("0.0"));
    }

    void startZeroWithoutSongIsStoredAsOneTenth()
    {
        DeckRig rig; // no song: the length reads 0
        rig.deck.P111_MouseDown(2);
        rig.windows.cueDialog->Text3.text = "0";
        rig.windows.closeCueDialog();
        QCOMPARE(rig.deck.M111.toolTip, QStringLiteral("0.1"));
    }

    void startUsesLocaleSeparator()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        DeckRig rig;
        rig.load();
        rig.deck.P111_MouseDown(2);
        rig.windows.cueDialog->Text3.text = "0,05";
        rig.windows.closeCueDialog();
        QCOMPARE(rig.deck.M111.toolTip, QStringLiteral("0,1"));
        rig.deck.P111_Click();
        QCOMPARE(rig.deck.cueStart1, 0.1);
    }

    // A second right click while the dialog is open: the first slot's edit is finished before the
    // second is taken, so neither slot receives the other's values.
    void secondRightClickFinishesTheFirstSlot_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("slot 1 then slot 2") << 1 << 2;
        QTest::newRow("slot 3 then slot 1") << 3 << 1;
    }
    void secondRightClickFinishesTheFirstSlot()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        DeckRig rig;
        rig.load();
        rig.deck.cuePlayMouseDown(first, 2);
        rig.windows.cueDialog->Text1.text = "4";
        rig.windows.cueDialog->Text2.text = "250";
        rig.windows.cueDialog->Text3.text = "12";
        rig.deck.cuePlayMouseDown(second, 2);
        QCOMPARE(rig.windows.cueDialogsCreated, 1);
        QVERIFY(rig.deck.cuePlayButton(first).visible);
        QVERIFY(!rig.deck.cuePlayButton(second).visible);
        QCOMPARE(rig.deck.cuePlayButton(first).tag, QStringLiteral("4"));
        QCOMPARE(rig.deck.markButton(first).tag, QStringLiteral("250"));
        QCOMPARE(rig.deck.markButton(first).toolTip, QStringLiteral("12"));
        // the fields now hold the second slot's own values
        QCOMPARE(rig.windows.cueDialog->Text2.text, rig.deck.markButton(second).tag);

        rig.windows.cueDialog->Text1.text = "6";
        rig.windows.closeCueDialog();
        QVERIFY(rig.deck.P111.visible && rig.deck.P112.visible && rig.deck.P113.visible);
        QCOMPARE(rig.deck.cuePlayButton(second).tag, QStringLiteral("6"));
        QCOMPARE(rig.deck.cuePlayButton(first).tag, QStringLiteral("4"));
    }

    void markWhileOpenIsOverwrittenByTheDialog()
    {
        DeckRig rig;
        rig.load();
        rig.deck.P111_MouseDown(2);
        rig.player.position = 33;
        rig.deck.M111_Click();
        QCOMPARE(rig.deck.M111.toolTip, QStringLiteral("33"));
        QCOMPARE(rig.deck.cueStart1, 33.0);
        rig.windows.closeCueDialog(); // its own start text ("0.0") becomes 0.1
        QCOMPARE(rig.deck.M111.toolTip, QStringLiteral("0.1"));
        QCOMPARE(rig.deck.cueStart1, 33.0);
    }
};

QTEST_GUILESS_MAIN(TestCueDialog)
#include "tst_cuedialog.moc"
