#pragma once

#include <QString>
#include <memory>

class QLockFile;

// The key that names one installed copy of the updater: the identity of
// its folder however that is spelled (links resolved; on Windows also
// letter case, short names and mapped drives) plus a fixed suffix, so copies
// in different folders never exclude each other.
QString instanceKey();

// Whether this start may go on: only another updater that is alive makes
// it leave silently; anything else that stands in the way is shown.
enum class GuardOutcome {
    Taken,       // this updater is the only one
    HeldByOther, // a live updater of this installation has it
    Unusable     // neither taken nor held: the reason says why
};

// Takes the single-instance marker for key, held until the process ends.
// Unusable when the system would not give one (the installation lock
// still keeps a second updater out).
GuardOutcome acquireInstanceMarker(const QString &key);
// Lets go of the marker before the process ends, for a program started as
// the updater's last act that may start an updater itself.
void releaseInstanceMarker();

struct InstallationLock
{
    GuardOutcome outcome = GuardOutcome::Unusable;
    std::unique_ptr<QLockFile> lock; // set when Taken
    QString error;                   // set when Unusable
};

// Locks the installation at appDir (ending in "/") through
// UpdateTmp/updater.lock, which every updater that reaches this folder, by
// whatever path, sees. The lock of a process that died is taken over; a
// link, folder, FIFO or hard link standing at its name is moved aside.
InstallationLock takeInstallationLock(const QString &appDir);

// The lock alone: null unless it was taken.
std::unique_ptr<QLockFile> lockInstallation(const QString &appDir);
