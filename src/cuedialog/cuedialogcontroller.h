#pragma once

#include "deck/control.h"
#include "deck/controller.h"

#include <QString>

namespace pocko {

class DeckController;

// The cue settings dialog Form2: edits one cue slot's repeats, duration and start position. The
// slot it edits is the one whose cue play button is hidden; its close processing writes the
// checked values back there. GUI thread only.
class CueDialogController : public Controller
{
public:
    explicit CueDialogController(DeckController &deck);

    QString caption = QStringLiteral("Repeats, duration,    start posn  & -->>");
    static constexpr int ClientWidth = 3900;
    static constexpr int ClientHeight = 795;
    static constexpr BgrColor BackColor = 0x00000080;

    // The text boxes: what the user typed, as plain data.
    struct TextBox
    {
        QString name;
        QString text;
        int maxLength = 0;
        int left = 0, top = 0, width = 0, height = 0;
        BgrColor back = 0x00000000;
        BgrColor fore = 0x0000FFFF;
    };
    TextBox Text1, Text2, Text3;
    Control info;

    // The close processing: checks the fields and writes them into the edited slot (or abandons
    // the edit). Runs when the dialog closes, and before another slot is taken while it is open.
    void closeProcessing();

private:
    DeckController &m_deck;
};

} // namespace pocko
