#include "deckcontroller.h"

#include "deckwindows.h"
#include "numbers.h"
#include "platform/clock.h"
#include "platform/launcher.h"
#include "platform/messages.h"
#include "player/player.h"
#include "trackwave.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <utility>

namespace pocko {

namespace {

constexpr BgrColor Black = 0x00000000;
constexpr BgrColor Yellow = 0x0000FFFF;
constexpr BgrColor White = 0x00FFFFFF;
constexpr BgrColor Green = 0x0000FF00;
constexpr BgrColor Brown = 0x00004080;
constexpr BgrColor Salmon = 0x008080FF;
constexpr BgrColor Maroon = 0x00000080;

// The track-bar marker's place at a load (the bar's left edge, in twips).
constexpr int MarkerLowest = 360;

constexpr int SpaceKey = 32;
constexpr int RightButton = 2;

Control label(const char *name, const char *caption, const char *toolTip, int left, int top,
              int width, int height, BgrColor back, BgrColor fore, bool border = true,
              Align align = Align::Centre, bool clickable = true)
{
    Control c;
    c.name = QLatin1String(name);
    c.caption = QLatin1String(caption);
    c.toolTip = QLatin1String(toolTip);
    c.left = left;
    c.top = top;
    c.width = width;
    c.height = height;
    c.back = back;
    c.fore = fore;
    c.border = border;
    c.align = align;
    c.clickable = clickable;
    return c;
}

QString farewellText()
{
    const QChar cr(u'\r');
    return QStringLiteral(" Hear more songs by Pocko's maker at https://music.example.org/pocko")
        + cr + QStringLiteral(" Record your own mixes with PockoRec, our recording software.") + cr
        + QStringLiteral(" Download PockoRec free at https://downloads.example.org/pockorec");
}

} // namespace

DeckController::DeckController(MediaPlayer &player, Clock &clock, Messages &messages,
                               Launcher &launcher, DeckWindows &windows)
    : F(label("F", "FILE", "Load MP3", 360, 240, 650, 255, SystemColor, SystemColor))
    , thspd(label("thspd", "", "Play Mp3 half speed. Open File first.", 1080, 240, 195, 255, Black,
                  Yellow))
    , P(label("P", "Play", "Play MP3", 1420, 240, 630, 255, Black, Yellow))
    , tloop(label("tloop", "", "Click me to enable loop play of song", 2160, 240, 255, 255, Black,
                  Yellow))
    , S(label("S", "Stop", " Stop MP3", 2540, 240, 630, 255, Black, Yellow))
    , R(label("R", "Pause", "Pause/Resume MP3", 3410, 240, 630, 255, Black, Yellow))
    , L(label("L", "LT", "Show another Pocko Display", 4170, 240, 375, 255, Black, Yellow))
    , Label1(label("Label1", " From", "", 360, 680, 3735, 240, Black, Yellow, true, Align::Left))
    , pos(label("pos", "", "", 360, 705, 25, 165, Green, Green, false, Align::Centre, false))
    , T(label("T", "", "Time ", 4080, 695, 495, 255, Brown, White, false, Align::Centre, false))
    , M111(label("M111", "M1", "0.0", 360, 1080, 375, 255, Black, Yellow))
    , M112(label("M112", "M2", "0.0", 840, 1080, 375, 255, Black, Yellow))
    , M113(label("M113", "M3", "0.0", 1320, 1080, 375, 255, Black, Yellow))
    , tsegs(label("tsegs", "Off",
                  "Click me to enable/disable M1 to M2 segment play.(Note : Do M1/M2 first).", 2070,
                  1080, 405, 255, Black, White))
    , P111(label("P111", "P1", "Play M1", 2760, 1080, 375, 255, Black, Yellow))
    , P112(label("P112", "P2", "Play M2", 3240, 1080, 375, 255, Black, Yellow))
    , P113(label("P113", "P3", "Play M3", 3720, 1080, 375, 255, Black, Yellow))
    , rinfo(label("rinfo", "An M sets rap start. P plays. Right click a P to change settings.", "",
                  0, 1440, 4575, 255, Maroon, Salmon, false, Align::Centre, false))
    , MediaPlayer1(player)
    , m_clock(clock)
    , m_messages(messages)
    , m_launcher(launcher)
    , m_windows(windows)
{
    M111.tag = QStringLiteral("500");
    M112.tag = QStringLiteral("750");
    M113.tag = QStringLiteral("1000");
    for (Control *c : { &P111, &P112, &P113 })
        c->tag = QStringLiteral("1");
}

std::vector<Control *> DeckController::controls()
{
    return { &F, &thspd, &P,    &tloop, &S,     &R,    &L,    &Label1, &pos,
             &T, &M111,  &M112, &M113,  &tsegs, &P111, &P112, &P113,   &rinfo };
}

Control &DeckController::markButton(int slot)
{
    return slot == 1 ? M111 : slot == 2 ? M112 : M113;
}

Control &DeckController::cuePlayButton(int slot)
{
    return slot == 1 ? P111 : slot == 2 ? P112 : P113;
}

double &DeckController::cueStart(int slot)
{
    return slot == 1 ? cueStart1 : slot == 2 ? cueStart2 : cueStart3;
}

std::int16_t &DeckController::burstCount(int slot)
{
    return slot == 1 ? burstCount1 : slot == 2 ? burstCount2 : burstCount3;
}

// ---- Lifecycle and "LT" --------------------------------------------------------------------

void DeckController::Form_Load()
{
    R.visible = false;
}

void DeckController::Form_Unload()
{
    m_messages.show(farewellText(), QStringLiteral("Quit - Thank you for using PockoMP3."));
    m_windows.closeCueDialog();
    m_windows.closePlaylist();
}

void DeckController::L_Click()
{
    if (!m_launcher.startMinimized(QStringLiteral("PockoMP3Player")))
        tell(QStringLiteral(" Could not find PockoMP3Player exe - please load manually by "
                            "clicking on it in dir."),
             appTitle());
}

// ---- Song loading and transport ---------------------------------------------------------------

void DeckController::F_Click()
{
    soundOk = MediaPlayer1.soundDeviceEnabled();
    if (soundOk)
        m_windows.showPlaylist();
    else
        soundCardMessage();
}

void DeckController::soundCardMessage()
{
    tell(QStringLiteral(" Your sound card does not seem to be enabled. Please Click X "
                        "to Exit Pocko, and enable it."),
         appTitle());
}

QString DeckController::noFileText()
{
    return QStringLiteral("No file specified.");
}

void DeckController::tell(const QString &text, const QString &title)
{
    // A pad never opens a box: a modal box would stack up behind further hits.
    if (m_fromPad && padMessage)
        padMessage(text.trimmed());
    else
        m_messages.show(text, title);
}

void DeckController::openSong(const QString &path)
{
    soundOk = MediaPlayer1.soundDeviceEnabled();
    if (!soundOk) {
        soundCardMessage();
        return;
    }
    F.tag = path;
    caption = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    fload();
}

void DeckController::fload()
{
    Label1.caption = QStringLiteral(" From");
    try {
        MediaPlayer1.setFileName(F.tag);
        if (MediaPlayer1.fileName().isEmpty())
            tloop.caption.clear();
        MediaPlayer1.setPostOpenReset(0);
        R.visible = true;
        // A song loaded while paused would otherwise play under a button reading "Resume".
        R.caption = QStringLiteral("Pause");
        pos.left = MarkerLowest;
        songSeconds = roundToInt32(MediaPlayer1.duration());
        Timer1Enabled = true;
        loopArmed = true;
    } catch (const PlayerFailure &) {
        R.visible = false;
    }
}

void DeckController::P_Click()
{
    MediaPlayer1.setFileName(F.tag);
    if (MediaPlayer1.fileName().isEmpty()) {
        tell(noFileText(), QStringLiteral("Mp3 File name not entered."));
        R.visible = false;
        return;
    }
    Timer1Enabled = true;
    if (segmentArmed) {
        MediaPlayer1.stop();
        MediaPlayer1.setSelectionStart(cueStart1);
        MediaPlayer1.setSelectionEnd(cueStart2);
        MediaPlayer1.play();
        R.caption = QStringLiteral("Pause");
        R.visible = true;
    } else {
        MediaPlayer1.play();
        loopArmed = true;
        R.caption = QStringLiteral("Pause");
        R.visible = true;
    }
}

void DeckController::R_Click()
{
    try {
        if (R.caption == QLatin1String("Pause")) {
            MediaPlayer1.pause();
            loopArmed = false;
            R.caption = QStringLiteral("Resume");
            Timer1Enabled = false;
            resumeAt = roundToInt32(MediaPlayer1.currentPosition());
        } else if (R.caption == QLatin1String("Resume")) {
            MediaPlayer1.setCurrentPosition(resumeAt);
            MediaPlayer1.play();
            R.caption = QStringLiteral("Pause");
            loopArmed = true;
            Timer1Enabled = true;
        }
    } catch (const PlayerFailure &) {
    }
}

void DeckController::S_Click()
{
    if (tsegs.caption == QLatin1String("Off"))
        segmentArmed = false;
    MediaPlayer1.stop();
    R.visible = false;
    Timer1Enabled = false;
}

// ---- The tick and the track bar -------------------------------------------------------------

QString DeckController::timeText(double position)
{
    const std::int32_t whole = roundToInt32(position);
    minutes = std::int16_t(std::clamp<std::int32_t>(whole / 60, INT16_MIN, INT16_MAX));
    seconds = std::max<std::int16_t>(roundToInt16(position - 60.0 * minutes), 0);
    return QString::number(minutes) + QLatin1Char(':') + QString::number(seconds);
}

void DeckController::Timer1_Timer()
{
    if (R.caption == QLatin1String("Resume"))
        return;
    T.caption = timeText(MediaPlayer1.currentPosition());

    if (MediaPlayer1.playState() == 0 && tsegs.caption == QLatin1String("On") && segmentArmed)
        P_Click();

    const double length = MediaPlayer1.duration();
    const double position = MediaPlayer1.currentPosition();
    if (!(length - 2.0 > position) && tloop.caption == QLatin1String("L") && loopArmed)
        P_Click();
}

void DeckController::Label1_MouseDown(int /*button*/, int /*shift*/, float x, float /*y*/)
{
    MediaPlayer1.setFileName(F.tag);
    if (MediaPlayer1.fileName().isEmpty())
        return;
    loopArmed = true;
    pos.left = trackMarkerLeft(x);
    seekSeconds = trackSeekSeconds(x, songSeconds);
    MediaPlayer1.setCurrentPosition(seekSeconds);
    Timer1Enabled = true;
    MediaPlayer1.play();
    Label1.caption = timeText(MediaPlayer1.currentPosition());
    R.visible = true;
    R.caption = QStringLiteral("Pause");
}

double DeckController::burstStart(double start)
{
    return start > 10000.1 || start < 0.5 ? 0.1 : start;
}

bool DeckController::waveTick()
{
    const QString song = MediaPlayer1.fileName();
    if (summary && summary->path() != song)
        summary->open(song);
    TrackWave::Input input;
    input.width = (Label1.width + TwipsPerPixel / 2) / TwipsPerPixel;
    input.innerHeight = (Label1.height + TwipsPerPixel / 2) / TwipsPerPixel - 2;
    try {
        if (!song.isEmpty()) {
            input.duration = MediaPlayer1.duration();
            input.position = MediaPlayer1.currentPosition();
        }
    } catch (const PlayerFailure &) {
        input.duration = 0;
    }
    for (int slot = 1; slot <= 3; ++slot) {
        const std::optional<double> start = parseNumber(markButton(slot).toolTip);
        input.marks[std::size_t(slot - 1)] = start ? burstStart(*start) : 0.1;
    }
    input.segment = tsegs.caption == QLatin1String("On");
    input.segmentFrom = cueStart1;
    input.segmentTo = cueStart2;
    return wave.update(input, summary);
}

// ---- The space bar ---------------------------------------------------------------------------

void DeckController::Form_KeyUp(int keyCode, int /*shift*/)
{
    if (MediaPlayer1.fileName().isEmpty()) {
        spaceStopped = 0;
        return;
    }
    if (keyCode != SpaceKey)
        return;
    if (spaceStopped == 0) {
        S_Click();
        spaceStopped = 1;
    } else if (spaceStopped == 1) {
        P_Click();
        spaceStopped = 0;
    }
}

// ---- Cue slots -------------------------------------------------------------------------------

void DeckController::markClick(int slot)
{
    const double position = MediaPlayer1.currentPosition();
    cueStart(slot) = position;
    markButton(slot).toolTip = formatNumber(position);
}

void DeckController::cuePlayClick(int slot)
{
    Control &mark = markButton(slot);
    Control &cuePlay = cuePlayButton(slot);
    std::int16_t &count = burstCount(slot);
    double &start = cueStart(slot);

    count = 0;
    if (cuePlay.tag.isEmpty())
        cuePlay.tag = QStringLiteral("1");
    if (mark.tag.isEmpty())
        mark.tag = QStringLiteral("500"); // the same fallback in every slot

    const std::optional<double> startText = parseNumber(mark.toolTip);
    if (!startText)
        return; // the slot's texts are always numbers; a stray one plays nothing
    start = burstStart(*startText);

    if (MediaPlayer1.fileName().isEmpty())
        return;

    const std::optional<double> repeats = parseNumber(cuePlay.tag);
    const std::optional<double> durationMs = parseNumber(mark.tag);
    if (!repeats || !durationMs)
        return;
    const double duration = *durationMs / 1000.0;
    // The loop tests at its end: the smallest whole number of bursts >= repeats, at least one.
    const int bursts = int(std::clamp(std::ceil(*repeats), 1.0, double(INT16_MAX)));

    // The player sounds the whole train, sample-exact and back to back; this thread holds for its
    // length, as the stutter is timed, without handling events.
    MediaPlayer1.playBursts(start, std::max(duration, 0.0), bursts);
    struct Waiting
    {
        DeckController &deck;
        Waiting(DeckController &d, int slot)
            : deck(d)
        {
            deck.m_trainSlot = slot;
            if (deck.trainChanged)
                deck.trainChanged();
        }
        ~Waiting()
        {
            deck.m_trainSlot = 0;
            if (deck.trainChanged)
                deck.trainChanged();
        }
    } waiting { *this, slot };
    for (int burst = 1; burst <= bursts; ++burst) {
        count = std::int16_t(burst);
        Timer1Enabled = true;
        loopArmed = false;
        burstBegin = m_clock.now();
        do {
            R.visible = true;
            burstNow = m_clock.now();
            if (retriggerWaiting && retriggerWaiting()) {
                m_trainEnd = burstBegin + (bursts - burst + 1) * duration;
                return;
            }
        } while (!(burstNow > burstBegin + duration));
    }
}

void DeckController::cuePlayMouseDown(int slot, int button)
{
    if (button != RightButton)
        return;
    // One slot is edited at a time: a slot already being edited gets its values written back (or
    // its edit abandoned) before the dialog takes this one, so one slot's values never land in
    // another.
    if (m_windows.cueDialogOpen() && !(P111.visible && P112.visible && P113.visible))
        m_windows.commitCueDialog();
    m_windows.showCueDialog();
    Control &cuePlay = cuePlayButton(slot);
    Control &mark = markButton(slot);
    cuePlay.visible = false;
    m_windows.setCueFields(cuePlay.tag, mark.tag, mark.toolTip);
}

// ---- MIDI pads ------------------------------------------------------------------------------

void DeckController::padHit(const QString &target, int value, qint64 arrivedNs)
{
    using D = DeckController;
    static const QHash<QString, std::pair<Control D::*, void (D::*)()>> buttons = {
        { QStringLiteral("P"), { &D::P, &D::P_Click } },
        { QStringLiteral("S"), { &D::S, &D::S_Click } },
        { QStringLiteral("R"), { &D::R, &D::R_Click } },
        { QStringLiteral("F"), { &D::F, &D::F_Click } },
        { QStringLiteral("L"), { &D::L, &D::L_Click } },
        { QStringLiteral("thspd"), { &D::thspd, &D::thspd_Click } },
        { QStringLiteral("tloop"), { &D::tloop, &D::tloop_Click } },
        { QStringLiteral("tsegs"), { &D::tsegs, &D::tsegs_Click } },
        { QStringLiteral("M1"), { &D::M111, &D::M111_Click } },
        { QStringLiteral("M2"), { &D::M112, &D::M112_Click } },
        { QStringLiteral("M3"), { &D::M113, &D::M113_Click } },
        { QStringLiteral("P1"), { &D::P111, &D::P111_Click } },
        { QStringLiteral("P2"), { &D::P112, &D::P112_Click } },
        { QStringLiteral("P3"), { &D::P113, &D::P113_Click } },
        { QStringLiteral("Label1"), { &D::Label1, nullptr } },
    };
    const auto found = buttons.constFind(target);
    if (found == buttons.constEnd() || !(this->*found->first).visible)
        return;
    struct FromPad
    {
        bool &flag;
        ~FromPad() { flag = false; }
    } fromPad { m_fromPad };
    m_fromPad = true;
    // The clicks that would only show a box tell it, and do nothing else.
    if (target == QLatin1String("P") && F.tag.isEmpty()) {
        tell(noFileText(), QString());
        return;
    }
    if (target == QLatin1String("F") && !MediaPlayer1.soundDeviceEnabled()) {
        soundCardMessage();
        return;
    }
    // Under a flood the hit waits for no room in the player's queue: it is dropped.
    if (!MediaPlayer1.commandsFit()) {
        ++droppedHits;
        return;
    }
    // Whatever the handler leaves, the player is untimed again afterwards.
    struct Untimed
    {
        MediaPlayer &player;
        ~Untimed() { player.setStartTime(0); }
    } untimed { MediaPlayer1 };
    MediaPlayer1.setStartTime(arrivedNs);
    // A hit that left a train's wait ends the train at its own time, also where its control
    // posts nothing of its own that would (a mark, a switch, FILE, LT).
    static const QStringList cutsItself
        = { QStringLiteral("P"),     QStringLiteral("S"),  QStringLiteral("R"),
            QStringLiteral("P1"),    QStringLiteral("P2"), QStringLiteral("P3"),
            QStringLiteral("Label1") };
    const double trainEnd = std::exchange(m_trainEnd, 0.0);
    if (trainEnd > 0 && !cutsItself.contains(target) && MediaPlayer1.playState() != 0
        && m_clock.now() < trainEnd)
        MediaPlayer1.pause();
    if (found->second)
        (this->*found->second)();
    else
        Label1_MouseDown(1, 0, float(std::clamp(value, 0, 127)) * float(Label1.width) / 127.0f, 0);
}

bool DeckController::padLit(const QString &target) const
{
    static const QString Unset = QStringLiteral("0.0"); // the M buttons' start before any is set
    if (target == QLatin1String("M1"))
        return M111.toolTip != Unset;
    if (target == QLatin1String("M2"))
        return M112.toolTip != Unset;
    if (target == QLatin1String("M3"))
        return M113.toolTip != Unset;
    if (target.size() == 2 && target.startsWith(QLatin1Char('P')))
        return m_trainSlot == target.at(1).digitValue();
    if (target == QLatin1String("P"))
        return MediaPlayer1.playState() == 2 && m_trainSlot == 0;
    if (target == QLatin1String("tloop"))
        return tloop.caption == QLatin1String("L");
    if (target == QLatin1String("thspd"))
        return thspd.caption == QLatin1String("H");
    if (target == QLatin1String("tsegs"))
        return tsegs.caption == QLatin1String("On");
    return false;
}

// ---- Play modes ------------------------------------------------------------------------------

void DeckController::thspd_Click()
{
    if (MediaPlayer1.fileName().isEmpty())
        return;
    if (thspd.caption.isEmpty()) {
        thspd.caption = QStringLiteral("H");
        MediaPlayer1.setRate(0.5);
    } else if (thspd.caption == QLatin1String("H")) {
        thspd.caption.clear();
        MediaPlayer1.setRate(1.0);
    }
}

void DeckController::tloop_Click()
{
    if (MediaPlayer1.fileName().isEmpty())
        return;
    if (tloop.caption.isEmpty())
        tloop.caption = QStringLiteral("L");
    else if (tloop.caption == QLatin1String("L"))
        tloop.caption.clear();
}

void DeckController::tsegs_Click()
{
    if (cueStart1 < 0.1 || cueStart2 < 1.1 || cueStart2 <= cueStart1 || cueStart2 - cueStart1 < 3)
        return;
    if (tsegs.caption == QLatin1String("On")) {
        tsegs.caption = QStringLiteral("Off");
        segmentArmed = false;
        MediaPlayer1.setSelectionStart(-1.0);
        MediaPlayer1.setSelectionEnd(-1.0);
        MediaPlayer1.stop();
    } else if (tsegs.caption == QLatin1String("Off")) {
        tsegs.caption = QStringLiteral("On");
        segmentArmed = true;
        if (!R.visible)
            R.visible = true;
    }
}

} // namespace pocko
