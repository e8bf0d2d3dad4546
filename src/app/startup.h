#pragma once

#include <QString>

// Start-up steps on the installation's own places, before the lock is
// taken and before anything reads them.

// UpdateTmp/ and UpdateBackup/ must be folders. Anything else standing at
// either name (a plain file, a FIFO) is not ours to lose: it is moved to
// "<name>.stale-<time>" beside it and the run goes on. Links are left to
// the steps that replace them. False, with the reason, when something
// could not be moved aside.
bool clearStateFolderNames(const QString &appDir, QString &error);

// The installed version from UpdateTmp/update.ini, read only when it is a
// regular file (opened without waiting or following a link); empty
// otherwise, with the reason logged.
QString readInstalledVersion(const QString &appDir);
