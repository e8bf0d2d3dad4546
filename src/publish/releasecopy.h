#pragma once

#include "publisher.h"
#include "sourcescan.h"

#include <QString>

// The two passes that read every byte of a release's files.

// Fills in the MD5 of every file of release, read below source.
bool hashRelease(const QString &source, SourceFiles &release, const ProgressCallback &progress, QString &error);

// Copies every file of release from below source to below staging. Each
// file is hashed as it is copied, so the manifest matches the bytes copied
// even if the source changed since it was hashed.
bool copyRelease(const QString &source, const QString &staging, const SourceFiles &release,
                 const ProgressCallback &progress, QString &error);
