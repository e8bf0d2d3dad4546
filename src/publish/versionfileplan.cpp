#include "versionfileplan.h"

#include "publishedtime.h"
#include "publishsupport.h"
#include "config/constants.h"
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

QString unsignedOverSignedProblem(const QString &versionFile, bool allowUnsigned)
{
    if (allowUnsigned || VersionFile::read(versionFile).value(kKeyVersionSignature).isEmpty())
        return QString();
    return QStringLiteral("%1 is signed: clients that check signatures would refuse an unsigned release; "
                          "sign it with --sign-key, or give --unsigned if that is meant")
        .arg(native(versionFile));
}

QString currentFolderProblem(const QString &versionFile, const QString &folder)
{
    const VersionFile current = VersionFile::read(versionFile);
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity folderCase = Qt::CaseInsensitive; // one folder there
#else
    const Qt::CaseSensitivity folderCase = Qt::CaseSensitive;
#endif
    if (current.value(kKeyVersionFolder).compare(folder, folderCase) != 0)
        return QString();
    return QStringLiteral("%1 names %2 as the current version: clients already on version %3 would not see "
                          "the change; publish it as a new version instead")
        .arg(native(versionFile), quoted(folder), quoted(current.value(kKeyVersionVersion)));
}
