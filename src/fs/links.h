#pragma once

#include <QString>
#include <QStringList>

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
// (plain files only: a link with a kept name goes too) and the real folders
// named in keepFolders.
void removeFolderContents(const QString &dir, const QStringList &keep, const QStringList &keepFolders = {});

// The folders on the way to key, outermost first: "/a/b/c" gives "/a" and
// "/a/b".
QStringList parentKeys(const QString &key);

// The first folder on the way from appDir to appDir + key (both ends
// excluded) that exists and is not a real folder; a null string when every
// existing one is real. key is "/a/b/c".
QString firstUnsafeParent(const QString &appDir, const QString &key);

// The identity of a folder however it is spelled: its canonical path with
// links resolved (on Windows also short names, mapped drives and letter
// case). Empty when the folder does not exist.
QString canonicalFolderIdentity(const QString &path);
