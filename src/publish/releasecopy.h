#pragma once

#include "publisher.h"
#include "sourcescan.h"

#include <QString>

#include <functional>

// The two passes that read every byte of a release's files.

// Hashes every file of release below root in key order, reporting phase,
// and hands each key and MD5 to take, which returns false to stop there.
// False when a file cannot be read, with error set.
bool forEachFileMd5(const QString &root, const SourceFiles &release, PublishPhase phase,
                    const ProgressCallback &progress, const std::function<bool(const QString &, const QString &)> &take,
                    QString &error);

// Fills in the MD5 of every file of release, read below source.
bool hashRelease(const QString &source, SourceFiles &release, const ProgressCallback &progress, QString &error);

// Copies every file of release from below source to below staging. Each
// file is hashed as it is copied, so the manifest matches the bytes copied
// even if the source changed since it was hashed.
bool copyRelease(const QString &source, const QString &staging, const SourceFiles &release,
                 const ProgressCallback &progress, QString &error);
