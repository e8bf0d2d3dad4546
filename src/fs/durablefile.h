#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QFileDevice;

// Steps that are all or nothing, and that reach the disk before the next
// one: renames, flushes, and files written under a temporary name.

// Renames without falling back to a copy, so the result is all or nothing.
// An existing target is replaced only when replace is set. crossDevice is
// set when the failure was that the two paths lie on different volumes.
bool renameAtomically(const QString &from, const QString &to, bool replace,
                      bool *crossDevice = nullptr);

// Forces what was written to file onto the disk.
bool flushToDisk(QFileDevice &file);
// Makes a rename or removal inside dir durable (no-op where the system
// journals folder changes by itself).
void flushDirectory(const QString &dir);
// Forces every written file of the volume holding path onto the disk (best
// effort; on Windows the listed files are flushed one by one).
void flushVolume(const QString &path, const QStringList &files);

// A fresh name beside path for a temporary file.
QString temporarySibling(const QString &path);

// Writes data to path through a temporary file in the same folder that is
// then renamed over path: a link at path is replaced, never followed, and
// a reader never sees half a file.
bool writeFileReplacing(const QString &path, const QByteArray &data);
