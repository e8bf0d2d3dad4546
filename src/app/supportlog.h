#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The support log: every log line of the updater, with a local time stamp,
// in UpdateTmp/updater.log (UTF-8), where a vendor's support can read it.
// Standard error keeps getting the lines as before.

// Size past which the log moves to updater.log.1 (replacing it).
constexpr qint64 kSupportLogLimit = 1024 * 1024;

// True when a line of incoming bytes would take a log of currentSize past
// limit. An empty log is never rotated, however long the line.
bool shouldRotateLog(qint64 currentSize, qint64 incoming, qint64 limit = kSupportLogLimit);

// One line of the log: "2024-05-01 13:45:10.123 text\n", with the level
// named for anything but debug lines.
QByteArray formatLogLine(const QDateTime &when, QtMsgType type, const QString &message);

// Starts writing the log of the installation at appDir (ending in "/") and
// routes Qt's messages to it. False, with the reason, when the log cannot
// be opened; messages then go to standard error only.
bool startSupportLog(const QString &appDir, QString *error);
