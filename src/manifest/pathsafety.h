#pragma once

#include "filemanifest.h"

#include <QString>
#include <QStringList>

// A manifest key is installed at <application dir> + key. These checks make
// sure that on every platform a key names exactly one file inside the
// installation and never one of the updater's own control files.

// True when key alone is acceptable (form, characters, device names, short
// names, reserved top-level names).
bool isSafeManifestKey(const QString &key);

// The first key of the manifest that is unsafe on its own or that differs
// from another key only in letter case; a null string when all are safe.
QString findUnsafeManifestKey(const FileManifest &manifest);

// Names the updater keeps for itself inside UpdateTmp/ during a run: the
// support log and its older generation, the lock, and resume/. A file is
// downloaded to UpdateTmp/<key>, so a release key with one of these names
// at the top would land on them.
const QStringList &updaterWorkNames();

// True for a key whose top name is one of updaterWorkNames(), in any
// letter case.
bool isUpdaterWorkKey(const QString &key);

// Keys that name the updater's own state in an installation: /md5.txt,
// /update.ini, /updateTmp.ini, /md5Tmp.txt, anything under /UpdateTmp or
// /UpdateBackup, and the updater's work names, in any letter case. A
// manifest made from an installed copy lists them; they are never fetched
// or installed.
bool isInstallationOnlyKey(const QString &key);

// Removes those keys from manifest and returns them, in order.
QStringList takeInstallationOnlyKeys(FileManifest &manifest);
