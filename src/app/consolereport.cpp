#include "consolereport.h"

#include <QJsonDocument>
#include <QTextStream>
#include <cstdio>

void printConsoleReport(QJsonObject &report, bool success, bool update, const QString &errormsg)
{
    report[QStringLiteral("success")] = success;
    report[QStringLiteral("update")] = update;
    report[QStringLiteral("errormsg")] = errormsg;
    const QByteArray json = asciiJson(QJsonDocument(report).toJson(QJsonDocument::Compact));

    QTextStream out(stdout, QIODevice::ReadWrite);
    out << json << Qt::endl;
}

QByteArray asciiJson(const QByteArray &json)
{
    QByteArray out;
    out.reserve(json.size());
    // Non-ASCII only occurs inside strings, where an escape means the same.
    for (const QChar unit : QString::fromUtf8(json)) {
        if (unit.unicode() < 0x80)
            out += char(unit.unicode());
        else
            out += "\\u" + QByteArray::number(unit.unicode(), 16).rightJustified(4, '0');
    }
    return out;
}
