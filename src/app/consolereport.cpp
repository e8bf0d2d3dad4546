#include "consolereport.h"

#include <QJsonDocument>
#include <QTextStream>
#include <cstdio>

void printConsoleReport(QJsonObject &report, bool success, bool update, const QString &errormsg)
{
    report[QStringLiteral("success")] = success;
    report[QStringLiteral("update")] = update;
    report[QStringLiteral("errormsg")] = errormsg;
    const QByteArray json = QJsonDocument(report).toJson(QJsonDocument::Compact);

    QTextStream out(stdout, QIODevice::ReadWrite);
    out << json << Qt::endl;
}
