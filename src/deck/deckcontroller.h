#pragma once

#include "control.h"
#include "controller.h"
#include "trackwave.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace pocko {

class Clock;
class DeckWindows;
class Launcher;
class MediaPlayer;
class Messages;
class SongSummary;

// The deck window Form1: its controls as plain data, its state record and all its handlers.
// The view draws the controls and forwards events; the playlist window and the cue dialog reach
// in through the public members, as the deck's own handlers do. GUI thread only.
class DeckController : public Controller
{
public:
    DeckController(MediaPlayer &player, Clock &clock, Messages &messages, Launcher &launcher,
                   DeckWindows &windows);

    // The window.
    QString caption = QStringLiteral("Pocko MP3 DJ Player 1.4");
    static constexpr int ClientWidth = 4590;
    static constexpr int ClientHeight = 1755;
    static constexpr BgrColor BackColor = 0x00000080;
    bool Timer1Enabled = true; // fires every 1000 ms while true

    // The controls, in the layout's order.
    Control F, thspd, P, tloop, S, R, L, Label1, pos, T, M111, M112, M113, tsegs, P111, P112, P113,
        rinfo;
    std::vector<Control *> controls();

    MediaPlayer &MediaPlayer1;

    // The state record.
    std::int32_t resumeAt = 0;
    std::int32_t songSeconds = 0;
    std::int16_t minutes = 0;
    std::int16_t seconds = 0;
    std::int32_t seekSeconds = 0;
    double cueStart1 = 0;
    double cueStart2 = 0;
    double cueStart3 = 0;
    double burstBegin = 0;
    double burstNow = 0;
    std::int16_t burstCount1 = 0;
    std::int16_t burstCount2 = 0;
    std::int16_t burstCount3 = 0;
    bool soundOk = false;
    bool loopArmed = false;
    bool segmentArmed = false;
    std::int16_t spaceStopped = 0;

    // Lifecycle and "LT".
    void Form_Load();
    void Form_Unload();
    void L_Click();

    // Song loading and transport. P_Click and S_Click may throw PlayerFailure (the caller's
    // handler then ends too); fload and R_Click trap their own failures.
    void F_Click();
    void fload();
    void P_Click();
    void R_Click();
    void S_Click();
    // A song named when the program starts: after FILE's sound-device check it is loaded exactly
    // as a pick in the playlist window loads it (F Tag, the caption, then fload).
    void openSong(const QString &path);

    // The one-second tick and the track bar. x is in twips from the bar's left edge.
    void Timer1_Timer();
    void Label1_MouseDown(int button, int shift, float x, float y);

    // The space bar.
    void Form_KeyUp(int keyCode, int shift);

    // Cue slots 1 to 3.
    void M111_Click() { markClick(1); }
    void M112_Click() { markClick(2); }
    void M113_Click() { markClick(3); }
    void P111_Click() { cuePlayClick(1); }
    void P112_Click() { cuePlayClick(2); }
    void P113_Click() { cuePlayClick(3); }
    void P111_MouseDown(int button) { cuePlayMouseDown(1, button); }
    void P112_MouseDown(int button) { cuePlayMouseDown(2, button); }
    void P113_MouseDown(int button) { cuePlayMouseDown(3, button); }
    void markClick(int slot);
    void cuePlayClick(int slot);
    void cuePlayMouseDown(int slot, int button);
    Control &markButton(int slot);
    Control &cuePlayButton(int slot);

    // Play modes.
    void thspd_Click();
    void tloop_Click();
    void tsegs_Click();

    // A pad or controller of a MIDI input: the left click's handler of the control named
    // `target` (P, S, R, F, L, thspd, tloop, tsegs, M1-M3, P1-P3 as captioned, Label1 for the
    // track bar, `value` 0 to 127 across it). A hidden control takes no hit, as it takes no
    // click. The sound it starts begins at the player's fixed delay after `arrivedNs`. Where the
    // click would show a message box, the hit runs none of the handler and hands the box's text
    // to `padMessage`; a handler reached anyway tells its box there too. A hit whose commands
    // would not fit the player's queue now is dropped and counted in `droppedHits`.
    void padHit(const QString &target, int value, qint64 arrivedNs);
    std::function<void(const QString &text)> padMessage;
    quint64 droppedHits = 0;
    // Whether a pad hit waits that presses a control: the burst train's wait then ends at once,
    // so that the hit acts at its own time (a click waits for the train to end).
    std::function<bool()> retriggerWaiting;
    // Whether the pad of `target` shows lit: M1-M3 once the slot's start is set, P1-P3 while
    // that slot's train plays, P while the song plays, tloop, thspd and tsegs while on.
    bool padLit(const QString &target) const;
    // Called when a burst train's wait begins and ends: the GUI thread holds there meanwhile.
    std::function<void()> trainChanged;

    // The track bar's picture: the song's summary (none: the bar stays plain, as with no song)
    // and what the view paints. waveTick() opens the summary of whatever song the player holds
    // (however it was opened), and draws the picture again from the marks' burst starts, the
    // segment switch and the heard position; true when the picture changed. The view calls it
    // after every event and, while the picture is shown, at least 25 times a second.
    SongSummary *summary = nullptr;
    TrackWave wave;
    bool waveTick();
    // Where a cue play's bursts start for a start text's number (out of range: 0.1 s).
    static double burstStart(double start);

    // The time text of a position: minutes, a colon and seconds, without leading zeros. Stores
    // `minutes` and `seconds`.
    QString timeText(double position);

private:
    void soundCardMessage();
    void tell(const QString &text, const QString &title);
    static QString noFileText();
    double &cueStart(int slot);
    std::int16_t &burstCount(int slot);

    Clock &m_clock;
    Messages &m_messages;
    Launcher &m_launcher;
    DeckWindows &m_windows;
    int m_trainSlot = 0; // the slot whose train this thread waits for; 0 for none
    bool m_fromPad = false; // a pad's handler runs
    // When the train a pad's hit left early would end by itself (clock seconds); 0 for none.
    double m_trainEnd = 0;
};

} // namespace pocko
