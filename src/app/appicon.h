#pragma once

#include <QIcon>

namespace pocko {

// The program's own icon, drawn from the SVG compiled into the executable at the usual sizes, so
// it needs no image plugin at run time. GUI thread only.
QIcon appIcon();

} // namespace pocko
