#include "appicon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resources live in a static library: they must be registered by hand, from outside any
// namespace.
static void registerIconResources()
{
    Q_INIT_RESOURCE(pocko);
}

namespace pocko {

QIcon appIcon()
{
    registerIconResources();
    QSvgRenderer renderer(QStringLiteral(":/icons/pocko.svg"));
    QIcon icon;
    if (!renderer.isValid())
        return icon;
    for (const int size : { 16, 24, 32, 48, 64, 128, 256 }) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace pocko
