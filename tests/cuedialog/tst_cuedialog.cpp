#include "fakes/testwindows.h"

using namespace pocko;

namespace {
void row(const char *name, const QString &setup, const QString &typed, const QString &stored)
{
    QTest::newRow(name) << setup << typed << stored;
}
} // namespace

// The cue settings dialog's close processing, driven as the user does: a right click on a cue
// play button, typing, closing.
class TestCueDialog : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    // Slot 2 is edited, with slot 3's button hidden as well. Typed: repeats, duration and start
    // (of a 200 s song); stored: the same, and whether P113 is shown, as only an abandoned edit
    // does.
    void close_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        row("repeats 0", "", "0;300;5", "1;300;5;0");
        row("repeats 9", "", "9;300;5", "9;300;5;0");
        row("duration 199", "", "2;199;5", "2;500;5;0");
        row("duration 200", "", "2;200;5", "2;200;5;0");
        row("duration 9999", "", "2;9999;5", "2;9999;5;0");
        row("duration 0200", "", "2;0200;5", "2;0200;5;0");
        row("duration a word", "", "2;x;5", "2;500;5;0");
        row("duration empty", "", "2;;5", "2;500;5;0");
        row("start 0", "", "2;300;0", "2;300;0.1;0");
        row("start 0.05", "", "2;300;0.05", "2;300;0.1;0");
        row("start at the end", "", "2;300;200", "2;300;200;0");
        row("start 012.50", "", "2;300;012.50", "2;300;012.50;0");
        row("start 0, length 0", "len=0", "2;300;0", "2;300;0.1;0");
        row("start in German", "locale=de", "2;300;0,05", "2;300;0,1;0");
        // A start that is not a number within the song abandons the edit.
        row("start empty", "", "7;300;", "1;750;0.0;1");
        row("start -1", "", "7;300;-1", "1;750;0.0;1");
        row("start past the end", "", "7;300;200.5", "1;750;0.0;1");
        row("start nan", "", "7;300;nan", "1;750;0.0;1");
        row("start inf", "", "7;300;inf", "1;750;0.0;1");
        row("start 0.1, length 0", "len=0", "7;300;0.1", "1;750;0.0;1");
        row("length unreadable", "fail=duration", "7;300;5", "1;750;0.0;1");
    }
    void close()
    {
        QFETCH(QString, setup);
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        const QStringList fields = typed.split(';');
        DeckRig rig;
        rig.run(setup + " load P113.visible=0 P112_MouseDown(2) Form2.Text1=" + fields[0]
                + " Form2.Text2=" + fields[1] + " Form2.Text3=" + fields[2] + " Form2.close");
        const DeckController &deck = rig.deck;
        QCOMPARE(QStringList({ deck.P112.tag, deck.M112.tag, deck.M112.toolTip,
                               QString::number(deck.P113.visible) })
                     .join(';'),
                 stored);
        QVERIFY(deck.P111.visible && deck.P112.visible);
        QCOMPARE(deck.P113.tag, "1"); // the other hidden slot takes nothing, even when abandoned
        QCOMPARE(deck.cueStart2, 0.0); // only a cue play or a mark takes the start
    }

    // A second right click while the dialog is open finishes the first slot's edit first.
    void slotsWhileOpen_data()
    {
        scriptColumns();
        const QString edit = "load P%1_MouseDown(2) Form2.Text1=4 Form2.Text2=250 Form2.Text3=12 "
                             "P%2_MouseDown(2) Form2.Text1=6 | Form2.close";
        scriptRow("slot 1, then slot 2", edit.arg(111).arg(112), { "dialog closed" },
                  "P111.tag=4 M111.tag=250 M111.toolTip=12 P112.tag=6 M112.tag=750 "
                  "P111.visible=1 P112.visible=1");
        scriptRow("slot 3, then slot 1", edit.arg(113).arg(111), { "dialog closed" },
                  "P113.tag=4 M113.tag=250 M113.toolTip=12 P111.tag=6 M111.tag=500 "
                  "P111.visible=1 P113.visible=1");
        scriptRow("a mark while open", "load P111_MouseDown(2) at=33 M111_Click | Form2.close",
                  { "dialog closed" }, "M111.toolTip=0.1 cueStart1=33");
    }
    void slotsWhileOpen() { checkScript(); }
};

QTEST_GUILESS_MAIN(TestCueDialog)
#include "tst_cuedialog.moc"
