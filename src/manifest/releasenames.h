#pragma once

#include "filemanifest.h"

#include <QString>
#include <QStringList>

// The names of a release, for the client and the release tool alike: the
// names the updater keeps for itself at the top of an installation, and the
// texts a release may give as its version and its folder.

// The control files the updater keeps at the top of an installation:
// md5.txt, update.ini, updateTmp.ini, md5Tmp.txt.
const QStringList &updaterControlFiles();

// The folders the updater keeps at the top of an installation: UpdateTmp,
// UpdateBackup.
const QStringList &updaterFolders();

// Names the updater keeps for itself inside UpdateTmp/ during a run: the
// support log and its older generation, the lock, and resume/. A file is
// downloaded to UpdateTmp/<key>, so a release key with one of these names
// at the top would land on them.
const QStringList &updaterWorkNames();

// True when name, in any letter case, is one of the three lists above.
bool isReservedTopName(const QString &name);

// True for a key whose top name is one of updaterWorkNames(), in any
// letter case.
bool isUpdaterWorkKey(const QString &key);

// Keys that name the updater's own state in an installation: a top name
// from isReservedTopName(), in any letter case. A manifest made from an
// installed copy lists them; they are never fetched or installed.
bool isUpdaterStateKey(const QString &key);

// Removes those keys from manifest and returns them, in order.
QStringList takeUpdaterStateKeys(FileManifest &manifest);

// True for a key of a source tree that belongs to one installation and is
// never published: the top-level md5.txt, system.cfg unless includeConfig,
// anything under UpdateTmp/ or UpdateBackup/, and the updater's work names.
bool isLeftOutOfRelease(const QString &key, bool includeConfig);

// A null string when text may be published as the version; else why not.
QString versionTextProblem(const QString &version);

// A null string when name may be the version folder; else why not.
QString folderNameProblem(const QString &name);

// text for a one-line message: control characters become "\xNN".
QString oneLineText(const QString &text);
