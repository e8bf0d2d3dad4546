#pragma once

#include "manifest/filemanifest.h"

#include <QHash>
#include <QString>
#include <QStringList>

// The files of SOURCE_DIR that a release holds, found by the walk that
// builds an installation's md5.txt, so a client lists the same keys.
struct SourceFiles
{
    FileManifest manifest;        // the keys to publish; their MD5s are filled in later
    QHash<QString, qint64> sizes; // by key
    int files = 0;                // set once every file is checked
    qint64 bytes = 0;
    int hiddenEntries = 0;        // hidden entries the walk leaves out
    int specialEntries = 0;       // broken links, sockets, devices: also left out
    QStringList leftOut;          // installation-only top-level entries, sorted
};

// Walks source (absolute, cleaned) and checks every file found: a name the
// updater installs safely, a regular file, not leading into serverResolved
// through a link. False with the first problem in error; what was counted
// until then stays in found.
bool scanSource(const QString &source, bool includeConfig, const QString &serverResolved, SourceFiles &found,
                QString &error);
