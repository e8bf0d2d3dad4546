#pragma once

// Throw-away files for the tests: writing and reading them, releases and
// installations laid out as the server and the updater keep them, and the
// built updater as a program to copy and run.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>

// Writes data to path, creating parent folders. False on any failure.
bool writeFile(const QString &path, const QByteArray &data);
// The whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);
// The same, but "<unreadable>" when it cannot be read, so that a missing
// file never passes for an empty one.
QByteArray readFileStrict(const QString &path);
// A version record as the server published it: the transaction stamp the
// updater adds on install (and the line ends it is written with) taken out.
QByteArray unstampedRecord(const QString &path);
QString md5Hex(const QByteArray &data);
// Repeatable bytes from an alphabet of `symbols`: 256 do not compress, 64 by
// about 25 %.
QByteArray randomBytes(int size, quint32 seed, int symbols = 256);

// Every file below root as relative path -> content ("/a/b" keys), hidden
// entries included, links not followed. For byte-for-byte comparisons.
QMap<QString, QByteArray> snapshotTree(const QString &root);

// Kills whatever of processes still runs, deletes them all, empties the list.
void endProcesses(QList<QProcess *> &processes);

// Lays out a release the way the update server publishes it:
// root/update.ini, root/<folder>/md5.txt and root/<folder>/<files>.
bool writeServerRelease(const QString &root, const QString &folder, const QString &version,
                        const QMap<QString, QByteArray> &files);

// Publishes files (laid out afresh in source) as version into root with
// the release tool, with patches from that many earlier releases; out gets
// the result. False (and the error logged) when the publish fails.
struct PublishResult;
bool publishTree(const QString &root, const QString &source, const QString &version,
                 const QMap<QString, QByteArray> &files, int deltas, PublishResult *out = nullptr);

// An installation of the main program: system.cfg pointing at url, the
// version record (when version is not empty) and the given files.
bool writeInstallation(const QString &appDir, const QString &url, const QString &exeName,
                       const QString &version, const QMap<QString, QByteArray> &files);

// ".exe" on Windows, nothing elsewhere.
QString executableSuffix();
// The built updater executable.
QString updaterBinary();
// Copies the updater into appDir so that appDir is its application folder.
bool installUpdaterBinary(const QString &appDir);
