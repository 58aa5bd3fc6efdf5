#include "messages.h"

#include <QMessageBox>

namespace pocko {

void QtMessages::show(const QString &text, const QString &title)
{
    // The texts join their lines with a lone carriage return, which a label would not break on.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));

    QMessageBox box(QMessageBox::NoIcon, title, shown, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("message"));
    box.setTextFormat(Qt::PlainText);
    box.setWindowTitle(title);
    box.setAccessibleName(title);
    box.setAccessibleDescription(shown);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

} // namespace pocko
