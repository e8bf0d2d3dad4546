#include "screenfit.h"

#include <QFontMetrics>

QString elideDetail(const QString &text, const QFontMetrics &metrics, int width)
{
    QString line = text;
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    // The start names what failed and the end names the file: keep both.
    return metrics.elidedText(line, Qt::ElideMiddle, qMax(width, 0));
}

QPoint centredTopLeft(const QRect &available, const QSize &size)
{
    return QPoint(available.x() + (available.width() - size.width()) / 2,
                  available.y() + (available.height() - size.height()) / 2);
}
