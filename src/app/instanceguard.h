#pragma once

#include <QString>
#include <memory>

class QLockFile;

// The key that names one installed copy of the updater: the identity of
// its folder however that is spelled (links resolved; on Windows also
// letter case, short names and mapped drives) plus a fixed suffix, so copies
// in different folders never exclude each other.
QString instanceKey();

// Takes the single-instance marker for key. False when another updater of
// the same key runs (or the marker cannot be created). The marker is held
// until the process ends.
bool acquireInstanceMarker(const QString &key);

// Locks the installation at appDir (ending in "/") through
// UpdateTmp/updater.lock, which every updater that reaches this folder, by
// whatever path, sees. Null when another updater holds it. The lock of a
// process that died is taken over.
std::unique_ptr<QLockFile> lockInstallation(const QString &appDir);
