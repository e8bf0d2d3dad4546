#pragma once

#include "publisher.h"
#include "sourcescan.h"

#include <QByteArray>
#include <QString>

// SERVER_ROOT as a publish sees it: what is there before, and the exchange
// that puts a staged version folder in place or undoes it.

// Checks that server (or its nearest existing parent) can be written and
// that its update.ini, if any, is a file. versionFileReadOnly tells whether
// update.ini is there and write-protected.
bool checkServerRoot(const QString &server, bool &versionFileReadOnly, QString &error);

// Checks that the version folder target is a folder or absent.
bool checkTargetFolder(const QString &target, QString &error);

// A null string when the existing folder target holds exactly the release
// (its files and manifestBytes as md5.txt); otherwise the first difference
// found. A file it cannot read sets error and gives a null string.
QString folderDifference(const QString &target, const SourceFiles &release, const QByteArray &manifestBytes,
                         const ProgressCallback &progress, QString &error);

// Writes bytes to path under a temporary name renamed over the old one.
bool writeFileReplacing(const QString &path, const QByteArray &bytes, QString &error);

// Puts a version folder in place: staged beside it first, then exchanged
// with the old one (or renamed to its name), and undone on failure so
// SERVER_ROOT is as it was.
class FolderExchange
{
public:
    FolderExchange(const QString &server, const QString &target);

    // Creates server if needed and clears a leftover staging folder.
    bool prepare(QString &error);
    // Where the new folder is built.
    QString staging() const { return m_staging; }
    // Puts staging at target; replaced() tells whether a folder was there.
    bool place(QString &error);
    bool replaced() const { return !m_retired.isNull(); }
    // Removes the old folder once clients are pointed at the new one.
    void finish();
    // Undoes every change so far; error may gain where old contents remain.
    void undo(QString &error);

private:
    QString retireTarget();
    bool restoreTarget();

    QString m_server;
    QString m_target;
    QString m_staging;
    QString m_retired;
    QString m_firstCreated;
    bool m_createdServer = false;
    bool m_placed = false;
};
