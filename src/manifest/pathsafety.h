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
