#pragma once

#include "delta/deltaindex.h"
#include "manifest/filemanifest.h"

#include <QHash>
#include <QString>

// How each file of an update run is obtained when the release publishes
// deltas: a copy of an installed file with the same content, a patch of the
// installed file at its path, a compressed copy, or the plain file.

// What the run knows before its files are fetched.
struct DeltaSources
{
    bool active = false;
    DeltaIndex index;
    // The local manifest: key -> MD5 of the installed file, as recorded.
    FileManifest installed;
    // MD5 -> one installed key with that content.
    QHash<QString, QString> installedByMd5;
};

// The local manifest as sources for patches and copies.
void setInstalledFiles(DeltaSources &sources, FileManifest installed);

struct FilePlan
{
    enum class Kind { Plain, Reuse, Patch, Copy };
    Kind kind = Kind::Plain;
    QString sourceKey;  // Reuse: the installed file to copy; Patch: the base
    QString sourceMd5;  // the MD5 the local manifest records for sourceKey
    QString objectPath; // Patch, Copy: relative to the version folder
    qint64 objectSize = -1;
};

// For the file key whose server MD5 is newMd5: an installed file with that
// content, else what chooseDelta() picks against the installed file at key.
FilePlan planFile(const DeltaSources &sources, const QString &key, const QString &newMd5);

// Whether update.ini's index name can be fetched: a plain file name
// ("deltas.txt"), nothing that leaves the version folder.
bool isUsableIndexName(const QString &name);

// How the files of a queue came, for the support log: files and bytes.
struct TransferCounts
{
    int reusedFiles = 0;
    qint64 reusedBytes = 0;
    int patchedFiles = 0;
    qint64 patchedBytes = 0; // bytes on the wire
    int copiedFiles = 0;     // compressed copies
    qint64 copiedBytes = 0;  // bytes on the wire
    int downloadedFiles = 0; // plain files, fall-backs included
    qint64 downloadedBytes = 0;
    // Files an earlier run fetched and verified, hashed again and used.
    int keptFiles = 0;
    qint64 keptBytes = 0;
    // Cut-off files continued where an earlier run stopped (counted
    // among the downloads too): what they had, and what came now.
    int resumedFiles = 0;
    qint64 resumedFromBytes = 0;
    qint64 resumedBytes = 0;
};
QString transferCountsText(const TransferCounts &counts);
