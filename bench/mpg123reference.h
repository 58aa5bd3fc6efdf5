#pragma once

// mpg123 itself on the bench's songs: the figures of the table's reference column.

#include <QString>
#include <QStringList>

namespace pocko::bench {

// mpg123 on the same file: the whole process, `extra` options before the file.
double mpg123Seconds(const QStringList &extra, const QString &file);

} // namespace pocko::bench
