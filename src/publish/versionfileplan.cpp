#include "versionfileplan.h"

#include "publishedtime.h"
#include "trust/releasesignature.h"
#include "trust/signingkey.h"
#include "trust/versionfile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

bool planVersionFile(const PublishRequest &request, const SigningKey &key, const QString &versionFile,
                     const QByteArray &manifestBytes, VersionFilePlan &plan, QString &error)
{
    const QString manifest = sha256Hex(manifestBytes);
    QByteArray currentBytes;
    const bool hasCurrent = QFileInfo(versionFile).isFile();
    if (hasCurrent) {
        QFile current(versionFile);
        if (current.open(QIODevice::ReadOnly))
            currentBytes = current.readAll();
    }
    if (key.isNull()) {
        plan.bytes = versionFileBytes(request.folder, request.version, manifest);
        plan.current = hasCurrent && currentBytes == plan.bytes;
        return true;
    }

    SignedRelease release;
    release.folder = request.folder;
    release.version = request.version;
    release.manifest = manifest;
    const SignedRelease current = signedReleaseFrom(VersionFile::parse(currentBytes));
    QByteArray rawKey;
    QString ignored;
    const bool currentOurs = hasCurrent && decodePublicKey(key.publicKeyBase64(), rawKey, ignored)
        && verifyRelease(rawKey, current, ignored);
    if (currentOurs && current.folder == release.folder && current.version == release.version
        && current.manifest == release.manifest
        && (request.published.isEmpty() || current.published == request.published)) {
        plan.current = true;
        return true;
    }
    if (!choosePublishedTime(request.published, currentOurs ? current.published : QString(),
                             QDateTime::currentDateTimeUtc(), release.published, error))
        return false;
    QByteArray signature;
    if (!key.sign(releaseMessage(release.folder, release.version, release.manifest, release.published), signature,
                  error))
        return false;
    release.signature = QString::fromLatin1(signature.toBase64());
    plan.bytes = signedVersionFileBytes(release);
    plan.current = false;
    return true;
}
