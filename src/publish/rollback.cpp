#include "rollback.h"

#include "config/constants.h"
#include "delta/deltaindex.h"
#include "deltas.h"
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

// Whether update.ini may name folder's deltas.txt again: it is there,
// within the size clients read, exactly as the release tool writes it (entries
// only, sorted, each once), and every object it lists is in the folder with
// that size. The objects are named by content, so they still fit the files.
// problem stays empty when the folder simply has no index.
bool deltaIndexUsable(const QString &folder, QString &problem)
{
    const QString path = folder + QLatin1Char('/') + kDeltaIndexFile;
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    QFile file(path);
    if (!info.isFile() || info.size() > kMaxDeltaIndexBytes || !file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("it is not a readable file within %1 bytes").arg(kMaxDeltaIndexBytes);
        return false;
    }
    const QByteArray bytes = file.readAll();
    QVector<DeltaObject> objects;
    const int lines = bytes.count('\n') + 1; // the last one empty when the file ends in LF
    int lineNumber = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        ++lineNumber;
        // The client's own reader decides what an entry is, one line at a time.
        const QVector<DeltaObject> entry =
            DeltaIndex::parse(line).objectsFor(QString::fromLatin1(line.left(line.indexOf('\t'))));
        if (entry.size() == 1) {
            objects += entry.first();
        } else if (!(line.isEmpty() && lineNumber == lines)) {
            problem = QStringLiteral("line %1 is not an entry").arg(lineNumber);
            return false;
        }
    }
    // Sorted (then a repeat is the line before) with LF line ends.
    bool repeated = false;
    for (int i = 1; i < objects.size(); ++i)
        repeated = repeated
            || (objects.at(i).newMd5 == objects.at(i - 1).newMd5 && objects.at(i).baseMd5 == objects.at(i - 1).baseMd5);
    if (repeated || deltaIndexBytes(objects) != bytes) {
        problem = QStringLiteral("it is not as the release tool writes it: sorted, each entry once, LF line ends");
        return false;
    }
    for (const DeltaObject &object : objects) {
        const QString objectPath = deltaObjectPath(object.newMd5, object.baseMd5);
        const QFileInfo objectInfo(folder + QLatin1Char('/') + objectPath);
        if (!objectInfo.isFile() || objectInfo.size() != object.size) {
            problem = QStringLiteral("%1 is missing or not %2 bytes").arg(objectPath).arg(object.size);
            return false;
        }
    }
    return true;
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
    QString deltaProblem;
    if (deltaIndexUsable(folder, deltaProblem))
        nameDeltaIndex(versionFile, plan);
    // Clients then fetch whole files: say why, the index may want a new upload.
    const QString deltaNote = deltaProblem.isEmpty()
        ? QString()
        : QStringLiteral("; its %1 is not named (%2), so clients fetch whole files").arg(kDeltaIndexFile, deltaProblem);
    if (plan.current) {
        summary = QStringLiteral("version %1 in %2 is already current, nothing changed%3")
                      .arg(request.version, native(folder), deltaNote);
        return true;
    }
    if (!writeFileReplacing(versionFile, plan.bytes, error))
        return false;
    summary = QStringLiteral("version %1 in %2 is current again%3; files that later versions added stay on "
                             "clients that installed them%4")
                  .arg(request.version, native(folder),
                       key.isNull() ? QString()
                                    : QStringLiteral(", signed at %1")
                                          .arg(readSignedRelease(versionFile).published),
                       deltaNote);
    return true;
}
