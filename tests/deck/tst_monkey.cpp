#include "deck/numbers.h"
#include "fakes/testwindows.h"

#include <QRandomGenerator>

using namespace pocko;

// Thousands of random clicks, right clicks, key releases, dialog edits and timer ticks across the
// three windows. Whatever the order, nothing may crash, the cue slots must hold numbers, and each
// slot only its own values: every value typed or marked for slot s carries a fingerprint of s
// (repeats s, s+3 or s+6; a duration of s*1000 + 2xx ms; a start within [s*50, s*50 + 50)).
class TestMonkey : public QObject
{
    Q_OBJECT

    struct Monkey : DeckRig
    {
        QRandomGenerator random;
        explicit Monkey(quint32 seed)
            : random(seed)
        {
            run("songs=a.mp3,b.mp3,c.mp3,d.mp3 refuse=/music/c.mp3 len=30 clock.step=0.05");
        }
        int pick(int n) { return int(random.bounded(n)); }
        QString any(const QStringList &texts) { return texts.at(pick(int(texts.size()))); }
        double startFor(int s) { return s * 50 + pick(5000) / 100.0; }

        // What a user may type into the dialog open for slot s: its own values or rubbish.
        QString typing(int s)
        {
            return any({ "Form2.Text1=" + QString::number(s + 3 * pick(3)),
                         "Form2.Text2=" + QString::number(s * 1000 + 200 + pick(800)),
                         "Form2.Text3=" + formatNumber(startFor(s)),
                         "Form2.Text1=" + any({ "", "0", "x", "-" }),
                         "Form2.Text2=" + any({ "", "199", "abc", "1e9", "nan" }),
                         "Form2.Text3=" + any({ "", "-1", "inf", "9999", "0", "0.05" }) });
        }

        void step()
        {
            const int slot = 1 + pick(3);
            int edited = 0; // the slot whose edit marker is set
            for (int s = 3; s >= 1; --s)
                edited = deck.cuePlayButton(s).visible ? edited : s;
            const int entries = windows.playlist ? int(windows.playlist->List1.size()) : 0;
            static const QStringList plain
                = QString("F_Click P_Click R_Click S_Click Timer1_Timer "
                          "thspd_Click tloop_Click tsegs_Click Form2.close "
                          "mpload.tpall_Click mpload.Label1_Click "
                          "mpload.tsall_Click mpload.ttime_Timer mpload.close")
                      .split(' ');
            run(any(plain
                    + QStringList {
                        edited ? typing(edited) : "", edited ? typing(edited) : "",
                        QString("Label1_MouseDown(%1,%2)").arg(pick(4200) - 50).arg(1 << pick(3)),
                        QString("Form_KeyUp(%1,%2)").arg(pick(2) ? 32 : 65).arg(pick(8)),
                        QString("at=%1 M11%2_Click").arg(startFor(slot)).arg(slot),
                        QString("P11%1_Click").arg(slot),
                        QString("P11%1_MouseDown(%2)").arg(slot).arg(1 << pick(3)),
                        QString("P11%1_MouseDown(2)").arg(slot),
                        QString("mpload.List1_Click(%1)").arg(pick(entries + 1) - 1),
                        QString("at=%1").arg(player.position + pick(100) / 10.0) }));
        }

        // Every slot text is a number, and either a default or one of its own slot's values.
        void checkSlots()
        {
            int hidden = 0;
            for (int s = 1; s <= 3; ++s) {
                hidden += deck.cuePlayButton(s).visible ? 0 : 1;
                const Control &mark = deck.markButton(s);
                const auto repeats = parseNumber(deck.cuePlayButton(s).tag);
                const auto duration = parseNumber(mark.tag);
                const auto start = parseNumber(mark.toolTip);
                QVERIFY2(repeats && duration && start, qPrintable(QString::number(s)));
                QVERIFY(*repeats == 1 || (int(*repeats) - s) % 3 == 0);
                const bool initial = *duration == QList<double> { 500, 750, 1000 }.at(s - 1);
                QVERIFY2(initial || *duration == 500 || int(*duration) / 1000 == s,
                         qPrintable(mark.tag + " in " + QString::number(s)));
                QVERIFY2(*start <= 0.1 || int(*start / 50) == s,
                         qPrintable(mark.toolTip + " in " + QString::number(s)));
            }
            QVERIFY(hidden <= (windows.cueDialogOpen() ? 1 : 0));
        }
    };

private slots:
    void randomUseKeepsSlotsApart()
    {
        for (quint32 seed : { 1u, 7u, 42u, 2026u }) {
            Monkey monkey(seed);
            for (int i = 0; i < 5000; ++i) {
                monkey.step();
                monkey.checkSlots();
                if (QTest::currentTestFailed())
                    QFAIL(qPrintable(QString("seed %1, after step %2").arg(seed).arg(i)));
            }
            monkey.run("Form_Unload");
            QVERIFY(!monkey.windows.cueDialogOpen() && !monkey.windows.playlist);
            monkey.checkSlots();
        }
    }
};

QTEST_GUILESS_MAIN(TestMonkey)
#include "tst_monkey.moc"
