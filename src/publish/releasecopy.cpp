#include "releasecopy.h"

#include "fs/filemove.h"
#include "manifest/releasenames.h"
#include "publishsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace {

QString failure(const char *what, const QString &path, const QString &why)
{
    return QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), native(oneLineText(path)), why);
}

// Copies and hashes in one pass; reports every chunk with doneFiles files
// done before this one.
bool copyFile(const QString &from, const QString &to, const QString &md5, const SourceFiles &release,
              int doneFiles, qint64 &doneBytes, const ProgressCallback &progress, QString &error)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    QString why;
    CopyEnd failedEnd = CopyEnd::None;
    const bool copied = copyFileData(from, to, false, why, &failedEnd, [&](const QByteArray &chunk) {
        hash.addData(chunk);
        doneBytes += chunk.size();
        reportProgress(progress, PublishPhase::Copying, doneFiles, release.files, doneBytes, release.bytes);
    });
    if (!copied) {
        error = failedEnd == CopyEnd::Source ? failure("read", from, why) : failure("write", to, why);
        return false;
    }
    if (QString::fromLatin1(hash.result().toHex()) != md5) {
        error = QStringLiteral("%1 changed while it was published").arg(native(oneLineText(from)));
        return false;
    }
    return true;
}

} // namespace

bool forEachFileMd5(const QString &root, const SourceFiles &release, PublishPhase phase,
                    const ProgressCallback &progress, const std::function<bool(const QString &, const QString &)> &take,
                    QString &error)
{
    int done = 0;
    qint64 doneBytes = 0;
    reportProgress(progress, phase, 0, release.files, 0, release.bytes);
    for (auto it = release.manifest.cbegin(); it != release.manifest.cend(); ++it) {
        const QString path = root + it.key();
        // An empty hash would make every client fail verification forever.
        const QString md5 = fileMd5(path);
        if (md5.isEmpty()) {
            error = failure("read", path, openFailure(path));
            return false;
        }
        if (!take(it.key(), md5))
            return true;
        doneBytes += release.sizes.value(it.key());
        reportProgress(progress, phase, ++done, release.files, doneBytes, release.bytes);
    }
    return true;
}

bool hashRelease(const QString &source, SourceFiles &release, const ProgressCallback &progress, QString &error)
{
    // Filled in after the pass: the map is not changed while it is walked.
    QStringList md5s;
    md5s.reserve(release.manifest.size());
    const auto take = [&md5s](const QString &, const QString &md5) {
        md5s.append(md5);
        return true;
    };
    if (!forEachFileMd5(source, release, PublishPhase::Hashing, progress, take, error))
        return false;
    int index = 0;
    for (auto it = release.manifest.begin(); it != release.manifest.end(); ++it)
        it.value() = md5s.at(index++);
    return true;
}

bool copyRelease(const QString &source, const QString &staging, const SourceFiles &release,
                 const ProgressCallback &progress, QString &error)
{
    int done = 0;
    qint64 doneBytes = 0;
    reportProgress(progress, PublishPhase::Copying, 0, release.files, 0, release.bytes);
    for (auto it = release.manifest.cbegin(); it != release.manifest.cend(); ++it) {
        const QString from = source + it.key();
        const QString to = staging + it.key();
        const QString folder = QFileInfo(to).path();
        if (!QDir().mkpath(folder)) {
            error = QStringLiteral("cannot create folder %1").arg(native(folder));
            return false;
        }
        if (!copyFile(from, to, it.value(), release, done, doneBytes, progress, error))
            return false;
        reportProgress(progress, PublishPhase::Copying, ++done, release.files, doneBytes, release.bytes);
    }
    return true;
}
