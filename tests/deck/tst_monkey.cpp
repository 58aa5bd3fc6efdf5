#include "deck/numbers.h"
#include "fakes/testwindows.h"

#include <QRandomGenerator>
#include <QTest>

using namespace pocko;

// Thousands of random clicks, right clicks, key releases, dialog edits and timer ticks across the
// three windows. Whatever the order, the cue slots must hold numbers, and each slot only its own
// values: every value typed or marked for slot s carries a fingerprint of s.
class TestMonkey : public QObject
{
    Q_OBJECT

    struct Monkey : DeckRig
    {
        QRandomGenerator random;
        explicit Monkey(quint32 seed)
            : random(seed)
        {
            folder.names = QStringList{"a.mp3", "b.mp3", "c.mp3", "d.mp3"};
            player.refused.insert("/music/c.mp3");
            player.lengths["/music/b.mp3"] = 3;
            clock.step = 0.05;
        }
        int pick(int n) { return int(random.bounded(n)); }

        // The slot whose edit marker is set, 0 for none.
        int edited()
        {
            for (int slot = 1; slot <= 3; ++slot)
                if (!deck.cuePlayButton(slot).visible)
                    return slot;
            return 0;
        }

        // Values that belong to slot s: repeats s, s+3 or s+6; duration s*1000 + 2xx; a start in
        // [s*50, s*50 + 50).
        QString repeatsFor(int s) { return QString::number(s + 3 * pick(3)); }
        QString durationFor(int s) { return QString::number(s * 1000 + 200 + pick(800)); }
        double startFor(int s) { return s * 50 + pick(5000) / 100.0; }

        void typeIntoDialog()
        {
            CueDialogController *dialog = windows.cueDialog.get();
            const int s = edited();
            if (!dialog || !s)
                return;
            switch (pick(8)) {
            case 0: dialog->Text1.text = repeatsFor(s); break;
            case 1: dialog->Text2.text = durationFor(s); break;
            case 2: dialog->Text3.text = formatNumber(startFor(s)); break;
            case 3: dialog->Text1.text = QStringList{"", "0", "x", "-"}.at(pick(4)); break;
            case 4: dialog->Text2.text = QStringList{"", "199", "abc", "1e9", "nan"}.at(pick(5)); break;
            case 5: dialog->Text3.text = QStringList{"", "-1", "inf", "9999", "0", "0.05"}.at(pick(6)); break;
            default: break;
            }
        }

        void step()
        {
            const int slot = 1 + pick(3);
            PlaylistController *list = windows.playlist.get();
            switch (pick(24)) {
            case 0: deck.event([&] { deck.F_Click(); }); break;
            case 1: deck.event([&] { deck.P_Click(); }); break;
            case 2: deck.event([&] { deck.R_Click(); }); break;
            case 3: deck.event([&] { deck.S_Click(); }); break;
            case 4: deck.event([&] { deck.Timer1_Timer(); }); break;
            case 5: deck.event([&] { deck.Label1_MouseDown(1 << pick(3), 0, float(pick(4200)) - 50, 5); }); break;
            case 6: deck.event([&] { deck.Form_KeyUp(pick(2) ? 32 : 65, pick(8)); }); break;
            case 7:
                player.position = startFor(slot);
                deck.event([&] { deck.markClick(slot); });
                break;
            case 8:
                if (deck.cuePlayButton(slot).visible)
                    deck.event([&] { deck.cuePlayClick(slot); });
                break;
            case 9:
            case 10:
                if (deck.cuePlayButton(slot).visible)
                    deck.event([&] { deck.cuePlayMouseDown(slot, 1 << pick(3)); });
                break;
            case 11: deck.event([&] { deck.thspd_Click(); }); break;
            case 12: deck.event([&] { deck.tloop_Click(); }); break;
            case 13: deck.event([&] { deck.tsegs_Click(); }); break;
            case 14:
            case 15: typeIntoDialog(); break;
            case 16: windows.closeCueDialog(); break;
            case 17: if (list) list->event([&] { list->List1_Click(pick(list->List1.size() + 1) - 1); }); break;
            case 18: if (list) list->event([&] { list->tpall_Click(); }); break;
            case 19: if (list) list->event([&] { list->Label1_Click(); }); break;
            case 20: if (list) list->event([&] { list->tsall_Click(); }); break;
            case 21: if (list && list->ttimeEnabled) list->event([&] { list->ttime_Timer(); }); break;
            case 22: windows.closePlaylist(); break;
            case 23: player.position += pick(100) / 10.0; break;
            }
        }

        // Every slot text is a number, and either a default or one of its own slot's values.
        void checkSlots()
        {
            const bool dialogOpen = windows.cueDialogOpen();
            QVERIFY(edited() == 0 || dialogOpen);
            int hidden = 0;
            for (int s = 1; s <= 3; ++s) {
                hidden += deck.cuePlayButton(s).visible ? 0 : 1;
                const auto repeats = parseNumber(deck.cuePlayButton(s).tag);
                const auto duration = parseNumber(deck.markButton(s).tag);
                const auto start = parseNumber(deck.markButton(s).toolTip);
                QVERIFY2(repeats && duration && start, qPrintable(QString::number(s)));
                QVERIFY(*repeats == 1 || (int(*repeats) - s) % 3 == 0);
                const bool defaultDuration = *duration == 500 || *duration == 750 * (s == 2)
                    || *duration == 1000 * (s == 3);
                QVERIFY2(defaultDuration || int(*duration) / 1000 == s,
                         qPrintable(deck.markButton(s).tag + QString::number(s)));
                QVERIFY2(*start <= 0.1 || int(*start / 50) == s,
                         qPrintable(deck.markButton(s).toolTip + QString::number(s)));
            }
            QVERIFY(hidden <= 1);
        }
    };

private slots:
    void randomUseKeepsSlotsApart_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 7u, 42u, 2026u})
            QTest::newRow(qPrintable(QString::number(seed))) << seed;
    }
    void randomUseKeepsSlotsApart()
    {
        QFETCH(quint32, seed);
        Monkey monkey(seed);
        for (int i = 0; i < 5000; ++i) {
            monkey.step();
            monkey.checkSlots();
            if (QTest::currentTestFailed())
                QFAIL(qPrintable(QStringLiteral("after step %1").arg(i)));
        }
        monkey.deck.Form_Unload();
        QVERIFY(!monkey.windows.cueDialogOpen());
        QVERIFY(!monkey.windows.playlist);
        monkey.checkSlots();
    }
};

QTEST_GUILESS_MAIN(TestMonkey)
#include "tst_monkey.moc"
