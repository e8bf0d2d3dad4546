#pragma once

#include "sourcescan.h"
#include "versionfileplan.h"

#include <QString>

// A release's deltas, made by the release tool while its folder is staged:
// zstd patches of each file against the same path in the releases published
// most recently before it, and a zstd-compressed copy of each file, each
// kept only when at least 10 % smaller than the file; then deltas.txt.

// By default patches are made from this many earlier releases.
constexpr int kDefaultDeltaReleases = 3;

// A null string, or why release cannot carry deltas (its own names clash).
QString deltaConflict(const SourceFiles &release);

// Makes staging/deltas/ and staging/deltas.txt for release (its files
// already copied to staging, its MD5s known), patching from the count
// releases of server published most recently before folder. Runs on every
// core. False only when something cannot be written.
bool writeReleaseDeltas(const QString &server, const QString &folder, const QString &staging,
                        const SourceFiles &release, int count, QString &error);

// One object: a patch of newPath from basePath, or (basePath empty) a
// compressed copy, written to outPath. kept is false, and nothing left at
// outPath, when it would not be smaller than limit bytes or the base is
// not baseMd5 (when given). level 19 is what a publish uses.
struct DeltaObjectResult
{
    bool kept = false;
    qint64 size = 0;
};
bool makeDeltaObject(const QString &basePath, const QString &baseMd5, const QString &newPath,
                     const QString &outPath, qint64 limit, int level, DeltaObjectResult &result,
                     QString &error);

// Adds Deltas=deltas.txt to the planned update.ini (or to the current one,
// when that stays: the key is not signed); plan.current tells afterwards
// whether the file on the server already says the same.
void nameDeltaIndex(const QString &versionFilePath, VersionFilePlan &plan);
