#include "rollback.h"

#include "config/constants.h"
#include "manifest/filemanifest.h"
#include "manifest/manifestformat.h"
#include "manifest/releasenames.h"
#include "publisher.h"
#include "publishsupport.h"
#include "serverroot.h"
#include "trust/releasesignature.h"
#include "trust/signingkey.h"
#include "versionfileplan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Null when every file md5.txt lists is in folder with its MD5; else the
// first that is not.
QString incompleteFolderProblem(const QString &folder, QByteArray &manifestBytes)
{
    const QString manifestPath = folder + QLatin1Char('/') + kMd5File;
    QFile file(manifestPath);
    if (!QFileInfo(manifestPath).isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("it has no readable md5.txt");
    manifestBytes = file.readAll();
    FileManifest manifest;
    QString error;
    if (!readServerManifest(manifestPath, manifest, error))
        return QStringLiteral("its md5.txt cannot be read: %1").arg(error);
    for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it) {
        const QString path = folder + it.key();
        if (!QFileInfo(path).isFile())
            return QStringLiteral("%1 is missing").arg(quoted(it.key()));
        if (fileMd5(path) != it.value())
            return QStringLiteral("%1 differs from its md5.txt").arg(quoted(it.key()));
    }
    return QString();
}

} // namespace

bool rollBack(const RollbackRequest &request, QString &summary, QString &error)
{
    QString problem = versionTextProblem(request.version);
    if (problem.isNull())
        problem = folderNameProblem(request.folder);
    if (!problem.isNull()) {
        error = problem;
        return false;
    }
    const QString server = QDir::cleanPath(QDir(request.serverRoot).absolutePath());
    const QString folder = server + QLatin1Char('/') + request.folder;
    const QString versionFile = server + QLatin1Char('/') + kUpdateIniFile;
    if (request.serverRoot.isEmpty() || !QFileInfo(server).isDir()) {
        error = QStringLiteral("SERVER_ROOT %1 does not exist or is not a folder").arg(native(server));
        return false;
    }
    if (!QFileInfo(folder).isDir()) {
        error = QStringLiteral("%1 does not exist: only a version still on the server can be made current")
                    .arg(native(folder));
        return false;
    }
    QByteArray manifestBytes;
    problem = incompleteFolderProblem(folder, manifestBytes);
    if (!problem.isNull()) {
        error = QStringLiteral("%1 is not a whole release (%2); publish that version again instead")
                    .arg(native(folder), problem);
        return false;
    }

    SigningKey key;
    if (!request.signKeyFile.isEmpty()
        && !SigningKey::load(request.signKeyFile, key, error,
                             request.hasPassphrase ? &request.signKeyPassphrase : nullptr))
        return false;
    if (key.isNull()) {
        problem = unsignedOverSignedProblem(versionFile, request.allowUnsigned);
        if (!problem.isNull()) {
            error = problem;
            return false;
        }
    }

    // The same update.ini a publish of this folder writes, with a new time
    // when signed: clients refuse a Published older than the one they have.
    PublishRequest publishRequest;
    publishRequest.version = request.version;
    publishRequest.folder = request.folder;
    VersionFilePlan plan;
    if (!planVersionFile(publishRequest, key, versionFile, manifestBytes, plan, error))
        return false;
    if (plan.current) {
        summary = QStringLiteral("version %1 in %2 is already current, nothing changed")
                      .arg(request.version, native(folder));
        return true;
    }
    if (!writeFileReplacing(versionFile, plan.bytes, error))
        return false;
    summary = QStringLiteral("version %1 in %2 is current again%3; files that later versions added stay on "
                             "clients that installed them")
                  .arg(request.version, native(folder),
                       key.isNull() ? QString()
                                    : QStringLiteral(", signed at %1")
                                          .arg(readSignedRelease(versionFile).published));
    return true;
}
