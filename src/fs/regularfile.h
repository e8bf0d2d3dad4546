#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

class QFile;

// Our own files (the log, the lock, the version record, the local manifest,
// system.cfg, the CA file) are only ever plain files with one name. A FIFO
// or device would block or never end, a folder cannot be read or replaced,
// and writing to a file with a second name writes into that other file.

// True when something other than a link stands at path and it is not a
// regular file with a single name: a folder, FIFO, device, socket, or a
// file with more than one hard link.
bool isOddEntry(const QString &path);

// Renames whatever stands at path (never following it) to a fresh
// "<path>.stale-<time>" beside it, replacing nothing; that name in *aside.
bool moveAsideStale(const QString &path, QString *aside = nullptr);

// Opens path without waiting (a FIFO with no writer does not block) and
// without following a link. ReadOnly takes only a regular file. WriteOnly
// (with Append) takes only a regular file with one name and creates a
// missing one; anything else standing there is moved aside (its new name
// in *movedAside) and a fresh file is created. False with the reason.
bool openRegularFile(const QString &path, QIODevice::OpenMode mode, QFile &file, QString &error,
                     QString *movedAside = nullptr);

// Reads the whole of a regular file of at most maxSize bytes, as
// openRegularFile opens it.
bool readRegularFile(const QString &path, qint64 maxSize, QByteArray &data, QString &error);

// True when path can be read as a regular file (checked as openRegularFile
// opens it, then closed): for readers that take a path, such as QSettings.
bool checkRegularFile(const QString &path, QString &error);
