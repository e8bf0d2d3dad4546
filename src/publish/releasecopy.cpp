#include "releasecopy.h"

#include "manifest/releasenames.h"
#include "publishsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr qint64 kCopyChunk = 1024 * 1024;

QString failure(const char *what, const QString &path, const QString &why)
{
    return QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), native(oneLineText(path)), why);
}

// Reports every chunk with doneFiles files done before this one.
bool copyFile(const QString &from, const QString &to, const QString &md5, const SourceFiles &release,
              int doneFiles, qint64 &doneBytes, const ProgressCallback &progress, QString &error)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        error = failure("read", from, in.errorString());
        return false;
    }
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        error = failure("write", to, out.errorString());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray buffer;
    while (true) {
        buffer = in.read(kCopyChunk);
        if (buffer.isEmpty())
            break;
        hash.addData(buffer);
        if (out.write(buffer) != buffer.size()) {
            error = failure("write", to, out.errorString());
            return false;
        }
        doneBytes += buffer.size();
        reportProgress(progress, PublishPhase::Copying, doneFiles, release.files, doneBytes, release.bytes);
    }
    if (in.error() != QFileDevice::NoError) {
        error = failure("read", from, in.errorString());
        return false;
    }
    if (!out.flush()) {
        error = failure("write", to, out.errorString());
        return false;
    }
    out.close();
    if (QString::fromLatin1(hash.result().toHex()) != md5) {
        error = QStringLiteral("%1 changed while it was published").arg(native(oneLineText(from)));
        return false;
    }
    return true;
}

} // namespace

bool hashRelease(const QString &source, SourceFiles &release, const ProgressCallback &progress, QString &error)
{
    int done = 0;
    qint64 doneBytes = 0;
    reportProgress(progress, PublishPhase::Hashing, 0, release.files, 0, release.bytes);
    for (auto it = release.manifest.begin(); it != release.manifest.end(); ++it) {
        const QString path = source + it.key();
        // An empty hash would make every client fail verification forever.
        const QString md5 = fileMd5(path);
        if (md5.isEmpty()) {
            error = failure("read", path, openFailure(path));
            return false;
        }
        it.value() = md5;
        doneBytes += release.sizes.value(it.key());
        reportProgress(progress, PublishPhase::Hashing, ++done, release.files, doneBytes, release.bytes);
    }
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
