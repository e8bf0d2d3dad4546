#pragma once

#include "publisher.h"

#include <QByteArray>
#include <QString>

class SigningKey;

// update.ini as a publish writes it, and whether the one already on the
// server says the same, so that it may stay.
struct VersionFilePlan
{
    QByteArray bytes;
    bool current = false;
};

// update.ini binds the manifest's bytes (SHA-256), with a key (not null)
// also the time of publishing. An update.ini at versionFile that already
// says the same (signed by this key, at the time asked for if one was)
// stays: publishing the same tree twice changes nothing.
bool planVersionFile(const PublishRequest &request, const SigningKey &key, const QString &versionFile,
                     const QByteArray &manifestBytes, VersionFilePlan &plan, QString &error);

// Null when an update.ini without a signature may go to versionFile; else
// why not: the one there is signed, so clients with PublicKey= would refuse
// the release, unless allowUnsigned says that is meant.
QString unsignedOverSignedProblem(const QString &versionFile, bool allowUnsigned);

// Null when the version folder named folder may be replaced; else why not:
// versionFile names it, and clients already on that version would never see
// the change.
QString currentFolderProblem(const QString &versionFile, const QString &folder);
