#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The order in which a server root's versions were published, kept in a
// small file in the root (one folder name a line, oldest first), so a
// publish knows which releases came most recently before it.

// SERVER_ROOT/publish-history.txt
QString releaseHistoryPath(const QString &server);

// Up to count existing version folders published most recently before
// folder, newest first. Without a history (a root published by an older
// tool) the folder update.ini names counts as the last one.
QStringList recentReleases(const QString &server, const QString &folder, int count);

// The history with folder as its most recent entry, or a null array when
// it is that already. A missing history starts with the folder update.ini
// names now, so call it before update.ini changes.
QByteArray plannedHistory(const QString &server, const QString &folder);
