#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Relative path ("/dir/file", "/" on every platform, case as on disk) to the
// file's MD5 as lowercase hex text (empty when the file could not be read).
// QMap keeps the keys in QString order, which is the order of md5.txt.
using FileManifest = QMap<QString, QString>;

// Appends every file below root + relativePrefix to files, as relative paths.
// Hidden entries are left out; directory links are followed, except a link
// that leads back to a directory the walk is already inside.
void collectFiles(const QString &root, const QString &relativePrefix, QStringList &files);

// MD5 of a whole file as 32 lowercase hex digits, or an empty string when the
// file cannot be opened or read to its end.
QString fileMd5(const QString &path);

// Hashes every file below root (which ends in "/") and writes root + "md5.txt".
void generateManifest(const QString &root);

// Loads an md5.txt; an unreadable file gives an empty manifest.
FileManifest readManifest(const QString &path);

// The server entries that are missing locally or whose text differs.
FileManifest compareManifests(const FileManifest &local, const FileManifest &server);

// Leaves in server only what compareManifests(readManifest(localManifestPath),
// server) would give, reading the local manifest as a stream: a large
// installation's manifest is never held beside the server's.
void dropUnchangedEntries(FileManifest &server, const QString &localManifestPath);
