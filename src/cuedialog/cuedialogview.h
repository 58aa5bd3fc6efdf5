#pragma once

#include <QWidget>

#include <functional>

class QLineEdit;

namespace pocko {

class ClickableLabel;
class CueDialogController;

// The cue settings dialog Form2: three text boxes and a hint line on a fixed, maroon window.
// Typing goes straight into the controller's text boxes; the close box runs the controller's
// close processing and then lets the owner destroy the window. GUI thread only.
class CueDialogView : public QWidget
{
    Q_OBJECT

public:
    explicit CueDialogView(CueDialogController &dialog, QWidget *parent = nullptr);

    // Writes the controller's texts into the boxes where they differ, and the caption.
    void refresh();

    QLineEdit *text1() const { return m_text1; }
    QLineEdit *text2() const { return m_text2; }
    QLineEdit *text3() const { return m_text3; }

    // Set by whoever shows the dialog: destroys it, deferred, once the close processing has run
    // (the close may come from inside one of the deck's handlers).
    std::function<void()> destroyWindow;
    // The window is going away without its close box: hides it; a later close does nothing.
    void retire();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLineEdit *makeBox(const QString &name);

    CueDialogController &m_dialog;
    QLineEdit *m_text1 = nullptr;
    QLineEdit *m_text2 = nullptr;
    QLineEdit *m_text3 = nullptr;
    ClickableLabel *m_info = nullptr;
    bool m_closed = false;
};

} // namespace pocko
