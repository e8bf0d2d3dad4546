#pragma once

#include "publisher.h"

#include <QString>

// Paths and message texts shared by the steps of a publish.

QString native(const QString &path);

// text in double quotes, on one line whatever a file name holds.
QString quoted(const QString &text);

// The path with every link resolved, also when its last components do not
// exist yet.
QString resolvedPath(const QString &absolutePath);

// path is folder or lies below it, compared as the file system does.
bool isSameOrInside(const QString &path, const QString &folder);

// The nearest existing directory at or above path.
QString existingAncestor(const QString &path);

// Why path could not be read, for "cannot read <path>: <why>".
QString openFailure(const QString &path);

// Tells progress, when set, how far phase has come.
void reportProgress(const ProgressCallback &progress, PublishPhase phase, int doneFiles, int totalFiles,
                    qint64 doneBytes, qint64 totalBytes);
