#pragma once

#include <QString>

namespace pocko {

// The deck's way to the other two windows, which it creates on first use and closes when it
// closes. The application implements it with the real windows; tests with controllers alone.
// GUI thread only.
class DeckWindows
{
public:
    virtual ~DeckWindows() = default;

    // Creates and loads the playlist window if it is not loaded, shows it and brings it to front.
    virtual void showPlaylist() = 0;
    // Unloads the playlist window (its closing steps run) if it is loaded.
    virtual void closePlaylist() = 0;

    // Creates the cue settings dialog if it is not open, shows it modeless and brings it to front.
    virtual void showCueDialog() = 0;
    virtual bool cueDialogOpen() const = 0;
    virtual void setCueFields(const QString &repeats, const QString &duration,
                              const QString &start) = 0;
    // Runs the dialog's close processing for the slot being edited; the dialog stays open.
    virtual void commitCueDialog() = 0;
    // Closes the dialog (its close processing runs) if it is open.
    virtual void closeCueDialog() = 0;
};

} // namespace pocko
