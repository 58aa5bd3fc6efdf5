#include "mpg123reference.h"

#include "timing.h"

#include <QProcess>

namespace pocko::bench {

double mpg123Seconds(const QStringList &extra, const QString &file)
{
    return seconds([&] {
        QProcess mpg123;
        mpg123.start(QStringLiteral("mpg123"),
                     QStringList { QStringLiteral("-q"), QStringLiteral("-t") } + extra
                         + QStringList { file });
        mpg123.waitForFinished(600000);
    });
}

} // namespace pocko::bench
