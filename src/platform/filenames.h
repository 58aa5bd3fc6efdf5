#pragma once

#include <QByteArray>
#include <QString>

namespace pocko {

// File names are bytes; a name that is not valid UTF-8 must still be listed and still open. Each
// byte that is not part of valid UTF-8 becomes a lone surrogate U+DC80..U+DCFF, and goes back to
// the same byte on the way out, so every name survives the round trip exactly.
QString decodeFileName(const QByteArray &bytes);
QByteArray encodeFileName(const QString &name);

} // namespace pocko
