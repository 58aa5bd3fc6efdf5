#pragma once

#include "cuedialog/cuedialogcontroller.h"
#include "deck/deckcontroller.h"
#include "deck/deckwindows.h"
#include "fakeplatform.h"
#include "fakeplayer.h"
#include "playlist/playlistcontroller.h"

#include <QLocale>
#include <QTest>

#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace pocko {

// The deck's other windows as controllers alone, without views. A closed window's controller is
// kept until the test ends, as the real windows are deleted only after their handler returns.
// Closings are noted in `trace` when one is set.
class TestWindows : public DeckWindows
{
public:
    TestWindows(Folder &folder, Messages &messages)
        : m_folder(folder)
        , m_messages(messages)
    {
    }
    void attach(DeckController &deck) { m_deck = &deck; }

    std::unique_ptr<PlaylistController> playlist;
    std::unique_ptr<CueDialogController> cueDialog;
    QStringList *trace = nullptr;

    void showPlaylist() override
    {
        if (playlist)
            return;
        playlist = std::make_unique<PlaylistController>(*m_deck, m_folder, m_messages);
        playlist->destroyWindow = [this] {
            if (trace)
                trace->append("playlist closed");
            m_closed.push_back(std::move(playlist));
        };
        playlist->Form_Load();
    }
    void closePlaylist() override
    {
        if (playlist)
            playlist->unload();
    }
    void showCueDialog() override
    {
        if (!cueDialog)
            cueDialog = std::make_unique<CueDialogController>(*m_deck);
    }
    bool cueDialogOpen() const override { return cueDialog != nullptr; }
    void setCueFields(const QString &repeats, const QString &duration,
                      const QString &start) override
    {
        cueDialog->Text1.text = repeats;
        cueDialog->Text2.text = duration;
        cueDialog->Text3.text = start;
    }
    void commitCueDialog() override
    {
        if (cueDialog)
            cueDialog->closeProcessing();
    }
    void closeCueDialog() override
    {
        if (!cueDialog)
            return;
        cueDialog->closeProcessing();
        cueDialog.reset();
        if (trace)
            trace->append("dialog closed");
    }

private:
    Folder &m_folder;
    Messages &m_messages;
    DeckController *m_deck = nullptr;
    std::vector<std::unique_ptr<PlaylistController>> m_closed;
};

// Everything a deck needs, faked, with the deck loaded as at start-up, run by scenarios in the
// program's own names. The player's log is the trace of the whole program: window closings and
// message boxes ("box <title>: <text>", " (ttime on)" while Play All's timer runs) come in order.
// Steps, separated by blanks: a handler, with its arguments if any ("P_Click", "Form_KeyUp(32,1)",
// "mpload.List1_Click(1)"), "load" (a pick of /music/a.mp3), "Form2.close" and "mpload.close"
// (the close boxes), "|" (clears the trace), or "key=value": a control's property ("R" for its
// caption, "R.visible", "pos.left"), a member of a window, or a fake's setting ("at" the player's
// position, "len" the length of the songs it opens, "fail" an operation that fails). "_" in a
// value is a blank. Timers fire only while enabled; hidden cue play buttons take no clicks.
struct DeckRig
{
    FakePlayer player;
    FakeClock clock;
    FakeMessages messages;
    FakeLauncher launcher;
    FakeFolder folder;
    TestWindows windows { folder, messages };
    DeckController deck { player, clock, messages, launcher, windows };
    DeckRig()
    {
        windows.attach(deck);
        windows.trace = &player.log;
        messages.onShow = [this] {
            const auto &[text, title] = messages.shown.last();
            const bool ticking = windows.playlist && windows.playlist->ttimeEnabled;
            player.log.append("box " + title + ": " + text + (ticking ? " (ttime on)" : ""));
        };
        deck.retriggerWaiting = [this] { return retriggerAt > 0 && clock.reads >= retriggerAt; };
        deck.padMessage = [this](const QString &text) { player.log.append("stderr " + text); };
        deck.trainChanged = [this] {
            trainLights += deck.padLit("P1") ? '1' : deck.padLit("P2") ? '2' : '0';
        };
        deck.Form_Load();
    }
    int retriggerAt = 0; // the clock reading from which a pad hit on a cue play button waits
    QString trainLights; // the train's light at each start and end of a train's wait
    // Picks a song as the playlist window does.
    void load(const QString &path = "/music/a.mp3")
    {
        deck.F.tag = path;
        deck.fload();
    }

    void run(const QString &steps)
    {
        for (const QString &step : steps.split(' ', Qt::SkipEmptyParts)) {
            if (step == "|")
                player.log.clear();
            else if (step.contains('=') && !step.contains('('))
                access(step.section('=', 0, 0), step.section('=', 1).replace('_', ' '));
            else
                call(step.section('(', 0, 0), step.section('(', 1).chopped(step.contains('(')));
        }
    }

    void call(const QString &name, const QString &arguments)
    {
        QList<double> a(4);
        for (qsizetype i = 0; i < arguments.count(',') + 1 && i < 4; ++i)
            a[i] = arguments.section(',', i, i).toDouble();
        using D = DeckController;
        static const QHash<QString, void (D::*)()> deckHandlers
            = { { "F_Click", &D::F_Click },         { "fload", &D::fload },
                { "P_Click", &D::P_Click },         { "R_Click", &D::R_Click },
                { "S_Click", &D::S_Click },         { "L_Click", &D::L_Click },
                { "thspd_Click", &D::thspd_Click }, { "tloop_Click", &D::tloop_Click },
                { "tsegs_Click", &D::tsegs_Click }, { "Form_Unload", &D::Form_Unload },
                { "M111_Click", &D::M111_Click },   { "M112_Click", &D::M112_Click },
                { "M113_Click", &D::M113_Click } };
        using P = PlaylistController;
        static const QHash<QString, void (P::*)()> listHandlers
            = { { "mpload.tpall_Click", &P::tpall_Click },
                { "mpload.Label1_Click", &P::Label1_Click },
                { "mpload.tsall_Click", &P::tsall_Click },
                { "mpload.ttime_Timer", &P::ttime_Timer } };
        PlaylistController *list = windows.playlist.get();
        const int slot = name.startsWith("P11") ? name.mid(3, 1).toInt() : 0; // P111_Click, ...
        if (deckHandlers.contains(name))
            deck.event([&] { (deck.*deckHandlers.value(name))(); });
        else if (name == "load")
            load();
        else if (name == "Timer1_Timer" && deck.Timer1Enabled)
            deck.event([&] { deck.Timer1_Timer(); });
        else if (name == "Label1_MouseDown")
            deck.event([&] { deck.Label1_MouseDown(a[1] ? int(a[1]) : 1, 0, float(a[0]), 0); });
        else if (name == "hit") // hit(P1), hit(Label1,64): a pad, stamped 5 ns
            deck.event([&] { deck.padHit(arguments.section(',', 0, 0), int(a[1]), 5); });
        else if (name == "openSong")
            deck.event([&] { deck.openSong(arguments); });
        else if (name == "Form_KeyUp")
            deck.event([&] { deck.Form_KeyUp(int(a[0]), int(a[1])); });
        else if (slot && name.endsWith("_Click") && deck.cuePlayButton(slot).visible)
            deck.event([&] { deck.cuePlayClick(slot); });
        else if (slot && deck.cuePlayButton(slot).visible)
            deck.event([&] { deck.cuePlayMouseDown(slot, int(a[0])); });
        else if (name == "ticks") // Play All's timer until it stops, the song on a second a tick
            for (int i = 0; i < 1000 && windows.playlist && windows.playlist->ttimeEnabled; ++i) {
                player.position += 1;
                call("mpload.ttime_Timer", {});
            }
        else if (name == "Form2.close")
            windows.closeCueDialog();
        else if (name == "mpload.close")
            windows.closePlaylist();
        else if (list && name == "mpload.List1_Click")
            list->event([&] { list->List1_Click(int(a[0])); });
        else if (list && listHandlers.contains(name)
                 && (list->ttimeEnabled || !name.endsWith("_Timer")))
            list->event([&] { (list->*listHandlers.value(name))(); });
    }

    // The value of `key` as text, after setting it when `value` is given.
    QString access(const QString &key, const std::optional<QString> &value = std::nullopt)
    {
        const QString object = key.section('.', 0, 0), property = key.section('.', 1);
        for (Control *c : deck.controls()) {
            if (c->name == object)
                return property == "tag"    ? io(c->tag, value)
                    : property == "toolTip" ? io(c->toolTip, value)
                    : property == "visible" ? io(c->visible, value)
                    : property == "left"    ? io(c->left, value)
                                            : io(c->caption, value);
        }
        const auto f = [&value](auto &field) {
            return std::function<QString()>([&field, &value] { return io(field, value); });
        };
        // clang-format off
        QHash<QString, std::function<QString()>> keys = {
            {"caption", f(deck.caption)}, {"Timer1Enabled", f(deck.Timer1Enabled)},
            {"resumeAt", f(deck.resumeAt)}, {"songSeconds", f(deck.songSeconds)},
            {"cueStart1", f(deck.cueStart1)}, {"cueStart2", f(deck.cueStart2)},
            {"cueStart3", f(deck.cueStart3)}, {"burstCount1", f(deck.burstCount1)},
            {"loopArmed", f(deck.loopArmed)}, {"segmentArmed", f(deck.segmentArmed)},
            {"spaceStopped", f(deck.spaceStopped)}, {"soundOk", f(deck.soundOk)},
            {"at", f(player.position)}, {"len", f(player.defaultLength)},
            {"playState", f(player.state)}, {"rate", f(player.rate)},
            {"soundDevice", f(player.soundDevice)}, {"clock.step", f(clock.step)},
            {"clock.reads", f(clock.reads)}, {"retrigger", f(retriggerAt)}, {"launcher.succeeds", f(launcher.succeeds)},
            {"launcher.started", f(launcher.started)}, {"songs", f(folder.names)},
            {"folder", f(folder.folder)}, {"patterns", f(folder.patterns)},
            {"fail", [&] { return add(player.failing, *value); }},
            {"refuse", [&] { return add(player.refused, *value); }},
            {"locale", [&] { return QLocale::setDefault(QLocale(*value)), QLocale().name(); }},
            {"mpload", [&] { return QString::number(windows.playlist != nullptr); }},
            {"Form2", [&] { return QString::number(windows.cueDialog != nullptr); }}};
        // clang-format on
        if (PlaylistController *list = windows.playlist.get()) {
            keys.insert("mpload.caption", f(list->caption));
            keys.insert("mpload.List1", f(list->List1));
            keys.insert("mpload.ttime", f(list->ttimeEnabled));
        }
        if (CueDialogController *dialog = windows.cueDialog.get()) {
            keys.insert("Form2.Text1", f(dialog->Text1.text));
            keys.insert("Form2.Text2", f(dialog->Text2.text));
            keys.insert("Form2.Text3", f(dialog->Text3.text));
        }
        keys.insert("player.full", f(player.full));
        keys.insert("droppedHits", f(deck.droppedHits));
        keys.insert("trainLights", f(trainLights));
        if (key.startsWith("lit."))
            return QString::number(deck.padLit(key.mid(4)));
        return keys.contains(key) ? keys.value(key)() : QString("(none)");
    }

    static QString add(QSet<QString> &names, const QString &name) // "" empties the set
    {
        name.isEmpty() ? names.clear() : void(names.insert(name));
        return {};
    }

    template<class T> static QString io(T &field, const std::optional<QString> &value)
    {
        if constexpr (std::is_same_v<T, QString>)
            return field = value.value_or(field);
        else if constexpr (std::is_same_v<T, QStringList>)
            return (field = value ? value->split(',', Qt::SkipEmptyParts) : field).join(',');
        else
            return QString::number(double(field = value ? T(value->toDouble()) : field));
    }
};

// A table of scenarios: the steps, the trace they leave after their last "|", and the "key=value"
// pairs that hold afterwards.
inline void scriptColumns()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("trace");
    QTest::addColumn<QString>("state");
}

inline void scriptRow(const char *name, const QString &steps, const QStringList &trace,
                      const QString &state = {})
{
    QTest::newRow(name) << steps << trace << state;
}

inline void checkScript()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, trace);
    QFETCH(QString, state);
    DeckRig script;
    script.run(steps);
    QCOMPARE(script.player.log, trace);
    for (QString pair : state.split(' ', Qt::SkipEmptyParts)) {
        const QString key = pair.section('=', 0, 0);
        QCOMPARE(key + '=' + script.access(key), pair.replace('_', ' '));
    }
}

} // namespace pocko
