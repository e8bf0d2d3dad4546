#include "serverroot.h"

#include "config/constants.h"
#include "delta/deltaindex.h"
#include "fs/links.h"
#include "manifest/filemanifest.h"
#include "manifest/releasenames.h"
#include "publishsupport.h"
#include "releasecopy.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <cstdio>
#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace {

// "~" is not allowed in a folder name, so these never clash with a version.
const QString kStagingSuffix = QStringLiteral(".~new");
const QString kRetiredSuffix = QStringLiteral(".~old");

// One step where the system offers it: the folder is never missing for a client.
bool exchangeFolders(const QString &a, const QString &b)
{
#if defined(Q_OS_LINUX) && defined(RENAME_EXCHANGE)
    return ::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD, QFile::encodeName(b).constData(),
                       RENAME_EXCHANGE) == 0;
#else
    Q_UNUSED(a)
    Q_UNUSED(b)
    return false;
#endif
}

// The first entry of target that is not the release's, by name and size.
QString layoutDifference(const QString &target, const SourceFiles &release)
{
    QSet<QString> folders;
    for (auto it = release.manifest.cbegin(); it != release.manifest.cend(); ++it) {
        const QString &key = it.key();
        for (int slash = key.indexOf(QLatin1Char('/'), 1); slash > 0; slash = key.indexOf(QLatin1Char('/'), slash + 1))
            folders.insert(key.left(slash));
    }
    const QString manifestKey = QLatin1Char('/') + kMd5File;
    QStringList found;
    bool manifestFound = false;
    QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString key = info.filePath().mid(target.length());
        if (info.isSymLink())
            return QStringLiteral("%1 is a link").arg(quoted(key));
        // A release's deltas are made from it, not part of it.
        if (isDeltaKey(key) && !release.manifest.contains(key) && !folders.contains(key))
            continue;
        if (info.isDir()) {
            if (!folders.contains(key))
                return QStringLiteral("%1 is not part of this release").arg(quoted(key + QLatin1Char('/')));
            continue;
        }
        if (key == manifestKey) {
            manifestFound = true;
            continue;
        }
        if (!release.manifest.contains(key))
            return QStringLiteral("%1 is not part of this release").arg(quoted(key));
        if (info.size() != release.sizes.value(key))
            return QStringLiteral("%1 differs").arg(quoted(key));
        found.append(key);
    }
    if (found.size() != release.manifest.size()) {
        const QSet<QString> present(found.cbegin(), found.cend());
        for (auto key = release.manifest.keyBegin(); key != release.manifest.keyEnd(); ++key) {
            if (!present.contains(*key))
                return QStringLiteral("%1 is missing").arg(quoted(*key));
        }
    }
    return manifestFound ? QString() : QStringLiteral("it has no md5.txt");
}

} // namespace

bool checkServerRoot(const QString &server, bool &versionFileReadOnly, QString &error)
{
    const QString writableDir = existingAncestor(server);
    const QFileInfo writable(writableDir);
    if (!writable.isDir() || !writable.isWritable() || !writable.isExecutable()) {
        error = QStringLiteral("cannot write to %1").arg(native(writableDir));
        return false;
    }
    const QString versionFile = server + QLatin1Char('/') + kUpdateIniFile;
    const QFileInfo versionInfo(versionFile);
    if (versionInfo.exists() && !versionInfo.isFile()) {
        error = QStringLiteral("%1 exists and is not a file").arg(native(versionFile));
        return false;
    }
    // Whether it may stay as it is is known once the manifest is hashed.
    versionFileReadOnly = versionInfo.isFile() && !versionInfo.isWritable();
    return true;
}

bool checkTargetFolder(const QString &target, QString &error)
{
    const QFileInfo targetInfo(target);
    if (targetInfo.isSymLink() && !targetInfo.exists()) {
        error = QStringLiteral("%1 is a broken link").arg(native(target));
        return false;
    }
    if (targetInfo.exists() && !targetInfo.isDir()) {
        error = QStringLiteral("%1 exists and is not a folder").arg(native(target));
        return false;
    }
    return true;
}

QString folderDifference(const QString &target, const SourceFiles &release, const QByteArray &manifestBytes,
                         const ProgressCallback &progress, QString &error)
{
    const QString layout = layoutDifference(target, release);
    if (!layout.isNull())
        return layout;
    QString difference;
    const auto same = [&](const QString &key, const QString &md5) {
        if (md5 != release.manifest.value(key))
            difference = QStringLiteral("%1 differs").arg(quoted(key));
        return difference.isNull();
    };
    if (!forEachFileMd5(target, release, PublishPhase::Comparing, progress, same, error))
        return QString();
    if (!difference.isNull())
        return difference;
    QFile manifest(target + QLatin1Char('/') + kMd5File);
    if (!manifest.open(QIODevice::ReadOnly) || manifest.readAll() != manifestBytes)
        return QStringLiteral("its md5.txt differs");
    return QString();
}

bool writeFileReplacing(const QString &path, const QByteArray &bytes, QString &error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(native(path), file.errorString());
        return false;
    }
    return true;
}

FolderExchange::FolderExchange(const QString &server, const QString &target)
    : m_server(server), m_target(target)
{
}

bool FolderExchange::prepare(QString &error)
{
    m_createdServer = !QFileInfo::exists(m_server);
    m_firstCreated = existingAncestor(m_server);
    if (m_createdServer && !QDir().mkpath(m_server)) {
        error = QStringLiteral("cannot create %1").arg(native(m_server));
        return false;
    }
    m_staging = m_target + kStagingSuffix;
    // A killed earlier run may have left its staging folder behind.
    if (!removeTree(m_staging)) {
        error = QStringLiteral("cannot remove the leftover %1").arg(native(m_staging));
        return false;
    }
    return true;
}

bool FolderExchange::place(QString &error)
{
    if (QFileInfo(m_target).isDir()) {
        m_retired = retireTarget();
        if (m_retired.isNull()) {
            error = QStringLiteral("cannot replace %1").arg(native(m_target));
            return false;
        }
    } else if (!QDir().rename(m_staging, m_target)) {
        error = QStringLiteral("cannot rename %1 to %2").arg(native(m_staging), native(m_target));
        return false;
    }
    m_placed = true;
    return true;
}

void FolderExchange::finish()
{
    // Clients that read the old folder fail verification and retry later.
    if (!m_retired.isNull())
        removeTree(m_retired);
}

// Puts staging at target; returns where the old target went, or null.
QString FolderExchange::retireTarget()
{
    if (exchangeFolders(m_staging, m_target))
        return m_staging;
    const QString retired = m_target + kRetiredSuffix;
    if (!removeTree(retired) || !QDir().rename(m_target, retired))
        return QString();
    if (!QDir().rename(m_staging, m_target)) {
        QDir().rename(retired, m_target);
        return QString();
    }
    return retired;
}

// Puts the old folder back at target and removes ours.
bool FolderExchange::restoreTarget()
{
    if (exchangeFolders(m_retired, m_target)) {
        removeTree(m_retired);
        return true;
    }
    const QString spare = m_retired == m_staging ? m_target + kRetiredSuffix : m_staging;
    if (!removeTree(spare) || !QDir().rename(m_target, spare))
        return false;
    if (!QDir().rename(m_retired, m_target)) {
        QDir().rename(spare, m_target);
        return false;
    }
    removeTree(spare);
    return true;
}

void FolderExchange::undo(QString &error)
{
    if (m_placed) {
        if (m_retired.isNull()) {
            removeTree(m_target);
        } else if (!restoreTarget()) {
            error += QStringLiteral("; the earlier contents of %1 are in %2").arg(native(m_target), native(m_retired));
            return;
        }
    }
    if (!m_staging.isEmpty())
        removeTree(m_staging);
    if (m_createdServer) {
        // Remove the folders mkpath created, deepest first.
        for (QString dir = m_server; dir != m_firstCreated && dir.length() > m_firstCreated.length();
             dir = QFileInfo(dir).path()) {
            if (!QDir().rmdir(dir))
                break;
        }
    }
}
