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
