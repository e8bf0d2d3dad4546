#pragma once

// A real release pair for the delta benchmarks: OLD_DIR published as 1.0 and
// NEW_DIR as 2.0 (with patches from the releases before, the default), and
// installations of OLD_DIR to update.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Publishes both into the throw-away server root; error says what failed.
bool publishReleasePair(const QString &oldDir, const QString &newDir, const QString &root, QString &error);

// appDir (ending in "/") gets the files of from, their local manifest and a
// 1.0 version record; system.cfg names url and exeName (either may be empty).
bool installRelease(const QString &from, const QString &appDir, const QString &url, const QString &exeName);

// Whether every file of release (snapshotTree keys) is in appDir, byte for byte.
bool matchesRelease(const QString &appDir, const QMap<QString, QByteArray> &release);

// The bytes of the files below root that paths (request paths as nginx
// logged them, percent-encoded) name: what a run moved, headers aside.
qint64 requestedBytes(const QString &root, const QStringList &paths);
