#pragma once

#include <QJsonObject>
#include <QString>

// Writes the one-line JSON answer for a calling process to standard output:
// {"errormsg":"","success":true,"update":true} and a newline.
void printConsoleReport(QJsonObject &report, bool success, bool update, const QString &errormsg);
