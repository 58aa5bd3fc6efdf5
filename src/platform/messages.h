#pragma once

#include <QString>

namespace pocko {

// The application title, shown on every message box that names no title of its own.
inline QString appTitle() { return QStringLiteral("PockoMP3 DJ Player V1.4"); }

// Modal message boxes with an OK button only and no icon. GUI thread only.
class Messages
{
public:
    virtual ~Messages() = default;
    // Blocks until the user presses OK. A carriage return in the text shows as a line break.
    virtual void show(const QString &text, const QString &title) = 0;
};

class QtMessages : public Messages
{
public:
    void show(const QString &text, const QString &title) override;
};

} // namespace pocko
