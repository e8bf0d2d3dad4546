#pragma once

#include <QJsonObject>
#include <QString>

// Writes the one-line JSON answer for a calling process to standard output:
// {"errormsg":"","success":true,"update":true} and a newline.
// Every character outside ASCII is written as a \uXXXX escape, so the line
// reads the same whatever code page the caller decodes it with.
void printConsoleReport(QJsonObject &report, bool success, bool update, const QString &errormsg);

// json (UTF-8) with every non-ASCII character as a JSON \uXXXX escape
// (UTF-16 code units, so characters beyond the BMP become surrogate pairs).
QByteArray asciiJson(const QByteArray &json);
