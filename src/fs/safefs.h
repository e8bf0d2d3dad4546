#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

class QFile;
class QFileDevice;

// File-system steps for places where the updater writes or deletes. The
// updater may run elevated, and whoever can write into the installation
// could put a link there to aim those writes and deletes elsewhere: none of
// these helpers ever follows a link.

// A symbolic link, or on Windows any reparse point (junction, mount point).
bool isLinkOrReparsePoint(const QString &path);

// True when something, even a dangling link, stands at path.
bool entryExists(const QString &path);

// A folder that is no link.
bool isRealDirectory(const QString &path);

// Removes the link at path itself, never what it points to.
bool removeLink(const QString &path);

// Makes path a real folder: a link standing there is removed (and logged)
// and the folder is created. False when that fails or a file is in the way.
bool ensureRealDirectory(const QString &path);

// Removes a link, file or folder tree at path. Links inside are removed
// themselves; nothing below a link is touched. True when path is gone.
bool removeTree(const QString &path);

// Removes everything inside the folder dir except the entries named in keep
// (plain files only: a link with a kept name goes too).
void removeFolderContents(const QString &dir, const QStringList &keep);

// The first folder on the way from appDir to appDir + key (both ends
// excluded) that exists and is not a real folder; a null string when every
// existing one is real. key is "/a/b/c".
QString firstUnsafeParent(const QString &appDir, const QString &key);

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

// The identity of a folder however it is spelled: its canonical path with
// links resolved (on Windows also short names, mapped drives and letter
// case). Empty when the folder does not exist.
QString canonicalFolderIdentity(const QString &path);

// Writes data to path through a temporary file in the same folder that is
// then renamed over path: a link at path is replaced, never followed, and
// a reader never sees half a file.
bool writeFileReplacing(const QString &path, const QByteArray &data);

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
