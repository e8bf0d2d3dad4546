#pragma once

#include <QString>

// The key that names one installed copy of the updater: its own path plus a
// fixed suffix, so copies in different folders never exclude each other.
QString instanceKey();

// Takes the single-instance marker for key. False when another updater of
// the same key runs (or the marker cannot be created). The marker is held
// until the process ends.
bool acquireInstanceMarker(const QString &key);
