#include "releasepair.h"

#include "manifest/filemanifest.h"
#include "publish/publisher.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QUrl>

namespace {

bool isFolderKey(const QString &key)
{
    return key.endsWith(QLatin1Char('/'));
}

bool publishAs(const QString &source, const QString &root, const QString &version, QString &error)
{
    PublishRequest request;
    request.version = version;
    request.folder = version;
    request.sourceDir = source;
    request.serverRoot = root;
    request.deltas = 3;
    const PublishResult result = publish(request);
    if (!result.ok)
        error = QStringLiteral("publish %1 failed: %2").arg(version, result.error);
    return result.ok;
}

} // namespace

bool publishReleasePair(const QString &oldDir, const QString &newDir, const QString &root, QString &error)
{
    return publishAs(oldDir, root, QStringLiteral("1.0"), error) && publishAs(newDir, root, QStringLiteral("2.0"), error);
}

bool installRelease(const QString &from, const QString &appDir, const QString &url, const QString &exeName)
{
    const QMap<QString, QByteArray> files = snapshotTree(from);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        // Folders come as keys ending in "/"; writing their files makes them.
        if (!isFolderKey(it.key()) && !writeFile(appDir + it.key().mid(1), it.value()))
            return false;
    }
    generateManifest(appDir);
    return writeInstallation(appDir, url, exeName, QStringLiteral("1.0"), {});
}

bool matchesRelease(const QString &appDir, const QMap<QString, QByteArray> &release)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it) {
        const QString path = appDir + it.key().mid(1);
        if (isFolderKey(it.key()) ? !QFileInfo(path).isDir() : readFile(path) != it.value())
            return false;
    }
    return true;
}

qint64 requestedBytes(const QString &root, const QStringList &paths)
{
    qint64 bytes = 0;
    for (const QString &path : paths)
        bytes += QFileInfo(root + QUrl::fromPercentEncoding(path.toUtf8())).size();
    return bytes;
}
