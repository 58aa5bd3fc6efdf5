#include "cuedialogcontroller.h"

#include "deck/deckcontroller.h"
#include "deck/numbers.h"
#include "player/player.h"

namespace pocko {

namespace {

CueDialogController::TextBox textBox(const char *name, int maxLength, int left, int width)
{
    CueDialogController::TextBox box;
    box.name = QLatin1String(name);
    box.maxLength = maxLength;
    box.left = left;
    box.top = 120;
    box.width = width;
    box.height = 285;
    return box;
}

bool outside(const std::optional<double> &value, double lowest, double highest)
{
    return !value || *value < lowest || *value > highest;
}

} // namespace

CueDialogController::CueDialogController(DeckController &deck)
    : Text1(textBox("Text1", 1, 480, 255))
    , Text2(textBox("Text2", 4, 1200, 495))
    , Text3(textBox("Text3", 20, 2160, 1095))
    , m_deck(deck)
{
    info.name = QStringLiteral("info");
    info.caption = QStringLiteral("     1 To 9   0200 to 9999 ms");
    info.left = 120;
    info.top = 480;
    info.width = 3255;
    info.height = 255;
    info.back = 0x00000080;
    info.fore = 0x0000FFFF;
    info.border = false;
    info.align = Align::Left;
    info.clickable = false;
}

void CueDialogController::closeProcessing()
{
    // 1. The start position must lie within the song; otherwise the edit is abandoned: with every
    // cue play button shown, the write-back below finds no slot.
    std::optional<double> length;
    try {
        length = m_deck.MediaPlayer1.duration();
    } catch (const PlayerFailure &) {
    }
    const std::optional<double> start = parseNumber(Text3.text);
    if (!length || !start || *start > *length || *start < 0) {
        for (int slot = 1; slot <= 3; ++slot)
            m_deck.cuePlayButton(slot).visible = true;
    }

    // 2.-4. Unusable values become defaults; usable ones stay exactly as typed.
    if (outside(parseNumber(Text1.text), 1, 9))
        Text1.text = QStringLiteral("1");
    if (outside(parseNumber(Text2.text), 200, 9999))
        Text2.text = QStringLiteral("500");
    if (outside(parseNumber(Text3.text), 0.1, 99999999999.0))
        Text3.text = formatNumber(0.1);

    // 5. Write back into the slot being edited: the first one whose cue play button is hidden.
    for (int slot = 1; slot <= 3; ++slot) {
        Control &cuePlay = m_deck.cuePlayButton(slot);
        if (cuePlay.visible)
            continue;
        cuePlay.visible = true;
        cuePlay.tag = Text1.text;
        m_deck.markButton(slot).tag = Text2.text;
        m_deck.markButton(slot).toolTip = Text3.text;
        break;
    }
}

} // namespace pocko
