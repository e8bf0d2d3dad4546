#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Moving, copying and removing files that may be busy for a moment (a
// virus scanner or an indexer holding them on Windows): each step is
// retried with short sleeps, and a copy only takes its final name once it
// is whole.

// How often and how long a step is retried when the target is busy.
void setFileRetryPolicy(int attempts, int delayMs);
// Runs step until it succeeds, as often as the policy allows.
bool retryFileStep(const std::function<bool()> &step);

// Removes the file or link at path (never a folder), retrying while busy.
// True when nothing stands there any more.
bool removeFileRetrying(const QString &path);

// Which end of a copy failed.
enum class CopyEnd { None, Source, Target };

// Copies the bytes of from into to, a file it creates (never one that is
// there already, so a link planted at the name is not used). onChunk, when
// set, sees each piece once it is written. With durable the bytes are
// forced onto the disk before to is closed. False with the reason in error
// and the failing end in *failedEnd; a half-written to stays for the caller.
bool copyFileData(const QString &from, const QString &to, bool durable, QString &error,
                  CopyEnd *failedEnd = nullptr,
                  const std::function<void(const QByteArray &)> &onChunk = {});

// The name under which copyFileWhole builds target.
QString partialCopyPath(const QString &target);

// Copies source to target so that target, once it exists under its name,
// is whole and on the disk, with the permissions of source.
bool copyFileWhole(const QString &source, const QString &target);

// Moves source onto target, replacing a plain file there, with a copy as
// fallback when the rename fails (for example across volumes). Retried with
// short sleeps while the target is busy. Directories are never replaced.
bool moveFileReplacing(const QString &source, const QString &target);
