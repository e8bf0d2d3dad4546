#include "publisher.h"

#include "config/constants.h"
#include "fs/filemove.h"
#include "fs/links.h"
#include "manifest/pathsafety.h"
#include "publishedtime.h"
#include "trust/releasesignature.h"
#include "trust/signingkey.h"
#include "trust/versionfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
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

#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Messages stay on one line whatever a file name holds.
QString shown(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + shown(text) + QLatin1Char('"');
}

// The path with every link resolved, also when its last components do not
// exist yet.
QString resolvedPath(const QString &absolutePath)
{
    QString existing = QDir::cleanPath(absolutePath);
    QString rest;
    while (!QFileInfo(existing).exists() && !QFileInfo(existing).isSymLink()) {
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing)
            break;
        rest.prepend(QLatin1Char('/') + info.fileName());
        existing = parent;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    if (path.compare(folder, kPathCase) == 0)
        return true;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix, kPathCase);
}

// The nearest existing directory at or above path.
QString existingAncestor(const QString &path)
{
    QString current = path;
    while (!QFileInfo(current).exists()) {
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            break;
        current = parent;
    }
    return current;
}

// Removes a file, a link (never what it points to) or a whole tree.
bool removeEntry(const QString &path)
{
    return removeTree(path);
}

struct WalkFindings
{
    int hidden = 0;
    int special = 0;
    QString unreadableFolder;
};

// Visits the same levels as collectFiles to count what it leaves out, and to
// find folders it cannot list: the walk would publish them as empty.
void scanLevel(const QString &path, QStringList &ancestors, WalkFindings &findings)
{
    const QFileInfo self(path);
    if (!self.isReadable() || !self.isExecutable()) {
        if (findings.unreadableFolder.isEmpty())
            findings.unreadableFolder = path;
        return;
    }
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::Dirs | QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.isHidden()) {
            ++findings.hidden;
            continue;
        }
        // What QDir counts as a system entry: not a file, folder or link, or a broken link.
        if (!(entry.isFile() || entry.isDir() || entry.isSymLink())
            || (entry.isSymLink() && !entry.exists())) {
            ++findings.special;
            continue;
        }
        if (!entry.isDir())
            continue;
        const QString canonical = entry.canonicalFilePath();
        if (canonical.isEmpty() || ancestors.contains(canonical))
            continue;
        ancestors.append(canonical);
        scanLevel(entry.filePath(), ancestors, findings);
        ancestors.removeLast();
    }
}

WalkFindings scanTree(const QString &root)
{
    WalkFindings findings;
    QStringList ancestors;
    for (QString path = QFileInfo(root).canonicalFilePath(); !path.isEmpty();) {
        ancestors.prepend(path);
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    scanLevel(root, ancestors, findings);
    return findings;
}

QString unsafeKeyMessage(const QString &key)
{
    if (isSafeManifestKey(key)) {
        return QStringLiteral("%1 and another name in SOURCE_DIR differ only in letter case "
                              "(one file on Windows)").arg(quoted(key));
    }
    return QStringLiteral("%1 in SOURCE_DIR is not a name the updater installs safely "
                          "(reserved for the updater, a device name, a possible 8.3 short name, "
                          "a trailing dot or blank, or a character Windows forbids)").arg(quoted(key));
}

QString openFailure(const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return QStringLiteral("reading failed");
    return file.errorString();
}

class Publisher
{
public:
    Publisher(const PublishRequest &request, const ProgressCallback &progress)
        : m_request(request), m_progress(progress)
    {
    }

    PublishResult run()
    {
        if (!plan() || !write())
            m_result.ok = false;
        else
            m_result.ok = true;
        return m_result;
    }

private:
    bool fail(const QString &message)
    {
        m_result.error = message;
        return false;
    }

    void report(PublishPhase phase, int doneFiles, int totalFiles, qint64 doneBytes, qint64 totalBytes)
    {
        if (!m_progress)
            return;
        PublishProgress p;
        p.phase = phase;
        p.doneFiles = doneFiles;
        p.totalFiles = totalFiles;
        p.doneBytes = doneBytes;
        p.totalBytes = totalBytes;
        m_progress(p);
    }

    // Everything that can be known before writing is checked here.
    bool plan()
    {
        QString problem = versionTextProblem(m_request.version);
        if (!problem.isNull())
            return fail(problem);
        problem = folderNameProblem(m_request.folder);
        if (!problem.isNull())
            return fail(problem + QStringLiteral(" (choose one with --folder)"));

        // An empty path would mean the current folder.
        if (m_request.sourceDir.isEmpty())
            return fail(QStringLiteral("SOURCE_DIR is an empty path"));
        if (m_request.serverRoot.isEmpty())
            return fail(QStringLiteral("SERVER_ROOT is an empty path"));
        m_source = QDir::cleanPath(QDir(m_request.sourceDir).absolutePath());
        m_server = QDir::cleanPath(QDir(m_request.serverRoot).absolutePath());
        const QFileInfo sourceInfo(m_source);
        if (!sourceInfo.isDir())
            return fail(QStringLiteral("SOURCE_DIR %1 does not exist or is not a folder").arg(native(m_source)));
        const QFileInfo serverInfo(m_server);
        if ((serverInfo.exists() || serverInfo.isSymLink()) && !serverInfo.isDir())
            return fail(QStringLiteral("SERVER_ROOT %1 is not a folder").arg(native(m_server)));

        const QString sourceResolved = resolvedPath(m_source);
        m_serverResolved = resolvedPath(m_server);
        if (isSameOrInside(m_serverResolved, sourceResolved) || isSameOrInside(sourceResolved, m_serverResolved)) {
            return fail(QStringLiteral("SOURCE_DIR %1 and SERVER_ROOT %2 must not lie inside each other")
                            .arg(native(m_source), native(m_server)));
        }

        // A key that cannot sign is refused before anything is read or written.
        if (!m_request.signKeyFile.isEmpty() && !SigningKey::load(m_request.signKeyFile, m_key, m_result.error))
            return false;
        if (!m_request.published.isEmpty() && m_key.isNull())
            return fail(QStringLiteral("--published needs --sign-key: only a signed update.ini carries a time"));
        // The quick checks first; hashing and comparing read every byte.
        return collectSourceFiles() && checkFiles() && checkServerRoot() && hashFiles() && composeVersionFile()
            && checkExistingFolder();
    }

    bool collectSourceFiles()
    {
        const WalkFindings findings = scanTree(m_source);
        if (!findings.unreadableFolder.isEmpty())
            return fail(QStringLiteral("cannot list folder %1: permission denied").arg(native(findings.unreadableFolder)));
        m_result.hiddenEntries = findings.hidden;
        m_result.specialEntries = findings.special;

        QStringList files;
        collectFiles(m_source, QString(), files);
        for (const QString &key : qAsConst(files)) {
            if (isInstallationOnlyKey(key, m_request.includeConfig)) {
                const int slash = key.indexOf(QLatin1Char('/'), 1);
                const QString entry = slash < 0 ? key.mid(1) : key.mid(1, slash);
                if (!m_result.leftOut.contains(entry))
                    m_result.leftOut.append(entry);
                continue;
            }
            m_manifest.insert(key, QString());
        }
        m_result.leftOut.sort();
        if (m_manifest.isEmpty())
            return fail(QStringLiteral("SOURCE_DIR %1 holds no files to publish").arg(native(m_source)));
        return true;
    }

    bool checkFiles()
    {
        const QString unsafe = findUnsafeManifestKey(m_manifest);
        if (!unsafe.isNull())
            return fail(unsafeKeyMessage(unsafe));

        for (auto it = m_manifest.cbegin(); it != m_manifest.cend(); ++it) {
            const QString path = m_source + it.key();
            const QFileInfo info(path);
            if (!info.exists()) {
                return fail(QStringLiteral("cannot open %1: it vanished, or its name is not valid in "
                                           "the local encoding").arg(native(shown(path))));
            }
            // A link to a pipe or device would block or never end.
            if (!info.isFile())
                return fail(QStringLiteral("%1 is not a regular file").arg(native(shown(path))));
            if (isSameOrInside(info.canonicalFilePath(), m_serverResolved))
                return fail(QStringLiteral("%1 leads into SERVER_ROOT through a link").arg(native(shown(path))));
            m_sizes.insert(it.key(), info.size());
            m_result.bytes += info.size();
        }
        m_result.files = m_manifest.size();
        return true;
    }

    bool hashFiles()
    {
        int done = 0;
        qint64 doneBytes = 0;
        report(PublishPhase::Hashing, 0, m_result.files, 0, m_result.bytes);
        for (auto it = m_manifest.begin(); it != m_manifest.end(); ++it) {
            const QString path = m_source + it.key();
            // An empty hash would make every client fail verification forever.
            const QString md5 = fileMd5(path);
            if (md5.isEmpty())
                return fail(QStringLiteral("cannot read %1: %2").arg(native(shown(path)), openFailure(path)));
            it.value() = md5;
            doneBytes += m_sizes.value(it.key());
            report(PublishPhase::Hashing, ++done, m_result.files, doneBytes, m_result.bytes);
        }
        m_manifestBytes = manifestFileBytes(m_manifest);
        return true;
    }

    // update.ini binds the manifest's bytes (SHA-256), with a key also the
    // time of publishing. An update.ini that already says the same (signed
    // by this key, at the time asked for if one was) stays: publishing the
    // same tree twice changes nothing.
    bool composeVersionFile()
    {
        const QString manifest = sha256Hex(m_manifestBytes);
        const QString versionFile = m_server + QLatin1Char('/') + kUpdateIniFile;
        QByteArray currentBytes;
        const bool hasCurrent = QFileInfo(versionFile).isFile();
        if (hasCurrent) {
            QFile current(versionFile);
            if (current.open(QIODevice::ReadOnly))
                currentBytes = current.readAll();
        }
        if (m_key.isNull()) {
            m_versionBytes = versionFileBytes(m_request.folder, m_request.version, manifest);
            m_versionFileCurrent = hasCurrent && currentBytes == m_versionBytes;
            return versionFileWritable();
        }

        SignedRelease release;
        release.folder = m_request.folder;
        release.version = m_request.version;
        release.manifest = manifest;
        const SignedRelease current = signedReleaseFrom(VersionFile::parse(currentBytes));
        QByteArray rawKey;
        QString ignored;
        const bool currentOurs = hasCurrent && decodePublicKey(m_key.publicKeyBase64(), rawKey, ignored)
            && verifyRelease(rawKey, current, ignored);
        if (currentOurs && current.folder == release.folder && current.version == release.version
            && current.manifest == release.manifest
            && (m_request.published.isEmpty() || current.published == m_request.published)) {
            m_versionFileCurrent = true;
            return true;
        }
        if (!choosePublishedTime(m_request.published, currentOurs ? current.published : QString(),
                                 QDateTime::currentDateTimeUtc(), release.published, m_result.error))
            return false;
        QByteArray signature;
        if (!m_key.sign(releaseMessage(release.folder, release.version, release.manifest, release.published),
                        signature, m_result.error))
            return false;
        release.signature = QString::fromLatin1(signature.toBase64());
        m_versionBytes = signedVersionFileBytes(release);
        m_versionFileCurrent = false;
        return versionFileWritable();
    }

    // QSaveFile will not replace a write-protected file.
    bool versionFileWritable()
    {
        if (m_versionFileCurrent || !m_versionFileReadOnly)
            return true;
        const QString versionFile = m_server + QLatin1Char('/') + kUpdateIniFile;
        return fail(QStringLiteral("cannot write %1: permission denied").arg(native(versionFile)));
    }

    bool checkServerRoot()
    {
        const QString writableDir = existingAncestor(m_server);
        const QFileInfo writable(writableDir);
        if (!writable.isDir() || !writable.isWritable() || !writable.isExecutable())
            return fail(QStringLiteral("cannot write to %1").arg(native(writableDir)));

        const QString versionFile = m_server + QLatin1Char('/') + kUpdateIniFile;
        const QFileInfo versionInfo(versionFile);
        if (versionInfo.exists() && !versionInfo.isFile())
            return fail(QStringLiteral("%1 exists and is not a file").arg(native(versionFile)));
        // Whether it may stay as it is is known once the manifest is hashed.
        m_versionFileReadOnly = versionInfo.isFile() && !versionInfo.isWritable();

        m_target = m_server + QLatin1Char('/') + m_request.folder;
        m_result.folderPath = m_target;
        const QFileInfo targetInfo(m_target);
        if (targetInfo.isSymLink() && !targetInfo.exists())
            return fail(QStringLiteral("%1 is a broken link").arg(native(m_target)));
        if (targetInfo.exists() && !targetInfo.isDir())
            return fail(QStringLiteral("%1 exists and is not a folder").arg(native(m_target)));
        return true;
    }

    bool checkExistingFolder()
    {
        if (!QFileInfo(m_target).exists())
            return true;
        const QString difference = folderDifference();
        if (!m_result.error.isNull())
            return false;
        if (difference.isNull()) {
            m_targetIdentical = true;
            return true;
        }
        if (!m_request.force) {
            return fail(QStringLiteral("%1 already exists with other contents (%2); --force replaces it")
                            .arg(native(m_target), difference));
        }
        return true;
    }

    // A null string when the existing folder holds exactly what would be
    // published; otherwise the first difference found.
    QString folderDifference()
    {
        QSet<QString> folders;
        for (auto it = m_manifest.cbegin(); it != m_manifest.cend(); ++it) {
            const QString &key = it.key();
            for (int slash = key.indexOf(QLatin1Char('/'), 1); slash > 0;
                 slash = key.indexOf(QLatin1Char('/'), slash + 1))
                folders.insert(key.left(slash));
        }
        const QString manifestKey = QLatin1Char('/') + kMd5File;
        QStringList found;
        bool manifestFound = false;
        QDirIterator it(m_target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo info = it.fileInfo();
            const QString key = info.filePath().mid(m_target.length());
            if (info.isSymLink())
                return QStringLiteral("%1 is a link").arg(quoted(key));
            if (info.isDir()) {
                if (!folders.contains(key))
                    return QStringLiteral("%1 is not part of this release").arg(quoted(key + QLatin1Char('/')));
                continue;
            }
            if (key == manifestKey) {
                manifestFound = true;
                continue;
            }
            if (!m_manifest.contains(key))
                return QStringLiteral("%1 is not part of this release").arg(quoted(key));
            if (info.size() != m_sizes.value(key))
                return QStringLiteral("%1 differs").arg(quoted(key));
            found.append(key);
        }
        if (found.size() != m_manifest.size()) {
            const QSet<QString> present(found.cbegin(), found.cend());
            for (auto key = m_manifest.keyBegin(); key != m_manifest.keyEnd(); ++key) {
                if (!present.contains(*key))
                    return QStringLiteral("%1 is missing").arg(quoted(*key));
            }
        }
        if (!manifestFound)
            return QStringLiteral("it has no md5.txt");

        int done = 0;
        qint64 doneBytes = 0;
        report(PublishPhase::Comparing, 0, m_result.files, 0, m_result.bytes);
        for (auto entry = m_manifest.cbegin(); entry != m_manifest.cend(); ++entry) {
            const QString path = m_target + entry.key();
            const QString md5 = fileMd5(path);
            if (md5.isEmpty()) {
                fail(QStringLiteral("cannot read %1: %2").arg(native(shown(path)), openFailure(path)));
                return QString();
            }
            if (md5 != entry.value())
                return QStringLiteral("%1 differs").arg(quoted(entry.key()));
            doneBytes += m_sizes.value(entry.key());
            report(PublishPhase::Comparing, ++done, m_result.files, doneBytes, m_result.bytes);
        }
        QFile manifest(m_target + manifestKey);
        if (!manifest.open(QIODevice::ReadOnly) || manifest.readAll() != m_manifestBytes)
            return QStringLiteral("its md5.txt differs");
        return QString();
    }

    bool write()
    {
        if (m_targetIdentical) {
            if (m_versionFileCurrent) {
                m_result.change = PublishResult::Change::None;
                return true;
            }
            m_result.change = PublishResult::Change::VersionFile;
            return writeVersionFile();
        }

        m_result.change = PublishResult::Change::Published;
        m_createdServerRoot = !QFileInfo::exists(m_server);
        m_firstCreated = existingAncestor(m_server);
        if (m_createdServerRoot && !QDir().mkpath(m_server))
            return failWriting(QStringLiteral("cannot create %1").arg(native(m_server)));

        m_staging = m_target + kStagingSuffix;
        // A killed earlier run may have left its staging folder behind.
        if (!removeEntry(m_staging))
            return failWriting(QStringLiteral("cannot remove the leftover %1").arg(native(m_staging)));
        if (!copyFiles() || !writeManifest())
            return failWriting(m_result.error);

        // Only now does a client see the folder, complete with its md5.txt.
        const bool replacing = QFileInfo(m_target).isDir();
        if (replacing) {
            m_retired = replaceFolder(m_staging, m_target);
            if (m_retired.isNull())
                return failWriting(QStringLiteral("cannot replace %1").arg(native(m_target)));
            m_result.replacedFolder = true;
        } else if (!QDir().rename(m_staging, m_target)) {
            return failWriting(QStringLiteral("cannot rename %1 to %2").arg(native(m_staging), native(m_target)));
        }
        m_targetPlaced = true;

        if (!m_versionFileCurrent && !writeVersionFile())
            return failWriting(m_result.error);
        // Clients that read the old folder fail verification and retry later.
        if (!m_retired.isNull())
            removeEntry(m_retired);
        return true;
    }

    // Puts staging at target; returns where the old target went, or null.
    QString replaceFolder(const QString &staging, const QString &target)
    {
#if defined(Q_OS_LINUX) && defined(RENAME_EXCHANGE)
        // One step: the folder is never missing for a client.
        if (::renameat2(AT_FDCWD, QFile::encodeName(staging).constData(), AT_FDCWD,
                        QFile::encodeName(target).constData(), RENAME_EXCHANGE) == 0)
            return staging;
#endif
        const QString retired = target + kRetiredSuffix;
        if (!removeEntry(retired) || !QDir().rename(target, retired))
            return QString();
        if (!QDir().rename(staging, target)) {
            QDir().rename(retired, target);
            return QString();
        }
        return retired;
    }

    bool copyFiles()
    {
        int done = 0;
        qint64 doneBytes = 0;
        report(PublishPhase::Copying, 0, m_result.files, 0, m_result.bytes);
        for (auto it = m_manifest.cbegin(); it != m_manifest.cend(); ++it) {
            const QString from = m_source + it.key();
            const QString to = m_staging + it.key();
            if (!QDir().mkpath(QFileInfo(to).path()))
                return fail(QStringLiteral("cannot create folder %1").arg(native(QFileInfo(to).path())));
            if (!copyFile(from, to, it.value(), done, doneBytes))
                return false;
            report(PublishPhase::Copying, ++done, m_result.files, doneBytes, m_result.bytes);
        }
        return true;
    }

    // Copies and hashes in one pass, so the manifest matches the bytes copied
    // even if the source changed since it was hashed.
    bool copyFile(const QString &from, const QString &to, const QString &md5, int doneFiles,
                  qint64 &doneBytes)
    {
        QCryptographicHash hash(QCryptographicHash::Md5);
        QString error;
        CopyEnd failedEnd = CopyEnd::None;
        const bool copied = copyFileData(from, to, false, error, &failedEnd, [&](const QByteArray &chunk) {
            hash.addData(chunk);
            doneBytes += chunk.size();
            report(PublishPhase::Copying, doneFiles, m_result.files, doneBytes, m_result.bytes);
        });
        if (!copied && failedEnd == CopyEnd::Source)
            return fail(QStringLiteral("cannot read %1: %2").arg(native(shown(from)), error));
        if (!copied)
            return fail(QStringLiteral("cannot write %1: %2").arg(native(shown(to)), error));
        if (QString::fromLatin1(hash.result().toHex()) != md5)
            return fail(QStringLiteral("%1 changed while it was published").arg(native(shown(from))));
        return true;
    }

    bool writeManifest()
    {
        const QString path = m_staging + QLatin1Char('/') + kMd5File;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(m_manifestBytes) != m_manifestBytes.size()
            || !file.commit())
            return fail(QStringLiteral("cannot write %1: %2").arg(native(path), file.errorString()));
        return true;
    }

    bool writeVersionFile()
    {
        // Written under a temporary name and renamed over the old one.
        const QString path = m_server + QLatin1Char('/') + kUpdateIniFile;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(m_versionBytes) != m_versionBytes.size()
            || !file.commit())
            return fail(QStringLiteral("cannot write %1: %2").arg(native(path), file.errorString()));
        return true;
    }

    // Puts the old folder back at target and removes ours.
    bool restoreFolder()
    {
#if defined(Q_OS_LINUX) && defined(RENAME_EXCHANGE)
        if (::renameat2(AT_FDCWD, QFile::encodeName(m_retired).constData(), AT_FDCWD,
                        QFile::encodeName(m_target).constData(), RENAME_EXCHANGE) == 0) {
            removeEntry(m_retired);
            return true;
        }
#endif
        const QString spare = m_retired == m_staging ? m_target + kRetiredSuffix : m_staging;
        if (!removeEntry(spare) || !QDir().rename(m_target, spare))
            return false;
        if (!QDir().rename(m_retired, m_target)) {
            QDir().rename(spare, m_target);
            return false;
        }
        removeEntry(spare);
        return true;
    }

    // Undoes every change of this run, so SERVER_ROOT is as it was.
    bool failWriting(const QString &message)
    {
        m_result.error = message;
        if (m_targetPlaced) {
            if (m_retired.isNull()) {
                removeEntry(m_target);
            } else if (!restoreFolder()) {
                m_result.error += QStringLiteral("; the earlier contents of %1 are in %2")
                                      .arg(native(m_target), native(m_retired));
                return false;
            }
        }
        if (!m_staging.isEmpty())
            removeEntry(m_staging);
        if (m_createdServerRoot) {
            // Remove the folders mkpath created, deepest first.
            for (QString dir = m_server; dir != m_firstCreated && dir.length() > m_firstCreated.length();
                 dir = QFileInfo(dir).path()) {
                if (!QDir().rmdir(dir))
                    break;
            }
        }
        return false;
    }

    const PublishRequest &m_request;
    const ProgressCallback &m_progress;
    PublishResult m_result;
    QString m_source;
    QString m_server;
    QString m_serverResolved;
    QString m_target;
    QString m_staging;
    QString m_retired;
    QString m_firstCreated;
    FileManifest m_manifest;
    QHash<QString, qint64> m_sizes;
    QByteArray m_manifestBytes;
    QByteArray m_versionBytes;
    SigningKey m_key;
    bool m_versionFileCurrent = false;
    bool m_versionFileReadOnly = false;
    bool m_targetIdentical = false;
    bool m_targetPlaced = false;
    bool m_createdServerRoot = false;
};

QString plural(qint64 count, const char *singular, const char *pluralForm)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? singular : pluralForm));
}

} // namespace

QString versionTextProblem(const QString &version)
{
    if (version.isEmpty())
        return QStringLiteral("the version text is empty");
    for (const QChar c : version) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E) {
            return QStringLiteral("the version text may hold only printable ASCII characters, not U+%1")
                .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0')));
        }
    }
    // Qt's INI reader trims blanks, reads "@..." as a typed value, splits at
    // "," and treats ";" "\"" "\\" as syntax.
    if (version.startsWith(QLatin1Char(' ')) || version.endsWith(QLatin1Char(' ')))
        return QStringLiteral("the version text %1 begins or ends with a blank").arg(quoted(version));
    if (version.startsWith(QLatin1Char('@')))
        return QStringLiteral("the version text %1 begins with \"@\"").arg(quoted(version));
    for (const QChar c : version) {
        if (QStringLiteral(",;\"\\").contains(c))
            return QStringLiteral("the version text %1 holds '%2', which update.ini cannot carry")
                .arg(quoted(version), c);
    }
    return QString();
}

QString folderNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the folder name is empty");
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool allowed = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
            || u == '.' || u == '_' || u == '-';
        if (!allowed) {
            return QStringLiteral("the folder name %1 may hold only ASCII letters, digits, \".\", \"_\" and \"-\"")
                .arg(quoted(name));
        }
    }
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("the folder name may not be %1").arg(quoted(name));
    if (name.compare(kUpdateIniFile, Qt::CaseInsensitive) == 0)
        return QStringLiteral("the folder name %1 is the version file's name").arg(quoted(name));
    return QString();
}

bool isInstallationOnlyKey(const QString &key, bool includeConfig)
{
    // Compared without case: on Windows any spelling is the same file.
    const int slash = key.indexOf(QLatin1Char('/'), 1);
    const QString top = key.mid(1, slash < 0 ? -1 : slash - 1);
    if (slash < 0) {
        if (top.compare(QLatin1String("md5.txt"), Qt::CaseInsensitive) == 0)
            return true;
        if (!includeConfig && top.compare(QLatin1String("system.cfg"), Qt::CaseInsensitive) == 0)
            return true;
    }
    // Downloads land in UpdateTmp/<key>: names the updater works with there
    // are never a release's.
    return top.compare(QLatin1String("UpdateTmp"), Qt::CaseInsensitive) == 0
        || top.compare(QLatin1String("UpdateBackup"), Qt::CaseInsensitive) == 0 || isUpdaterWorkKey(key);
}

QByteArray manifestFileBytes(const FileManifest &manifest)
{
    QByteArray bytes("\xEF\xBB\xBF");
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        bytes += it.value().toUtf8();
        bytes += '\t';
        bytes += it.key().toUtf8();
        bytes += '\n';
    }
    return bytes;
}

QByteArray versionFileBytes(const QString &folder, const QString &version, const QString &manifest)
{
    return QByteArray("[Version]\nFolder=") + folder.toLatin1() + QByteArray("\nVersion=")
        + version.toLatin1() + QByteArray("\nManifest=") + manifest.toLatin1() + QByteArray("\n");
}

bool generateKeyFile(const QString &keyFile, QString &publicKeyLine, QString &error)
{
    SigningKey key;
    if (!SigningKey::generate(key, error) || !key.save(keyFile, error))
        return false;
    publicKeyLine = QStringLiteral("PublicKey=") + key.publicKeyBase64();
    return true;
}

PublishResult publish(const PublishRequest &request, const ProgressCallback &progress)
{
    return Publisher(request, progress).run();
}

QString summaryLine(const PublishRequest &request, const PublishResult &result, qint64 elapsedMs)
{
    QString line;
    const QString folder = native(result.folderPath);
    switch (result.change) {
    case PublishResult::Change::Published:
        line = result.replacedFolder
            ? QStringLiteral("published version %1 to %2, replacing its earlier contents")
            : QStringLiteral("published version %1 to %2");
        line = line.arg(request.version, folder);
        break;
    case PublishResult::Change::VersionFile:
        line = QStringLiteral("version %1 is now current; %2 already held its files").arg(request.version, folder);
        break;
    case PublishResult::Change::None:
        line = QStringLiteral("version %1 was already published in %2, nothing changed")
                   .arg(request.version, folder);
        break;
    }
    line += QStringLiteral(": %1, %2, %3 s; left out: %4")
                .arg(plural(result.files, "file", "files"), plural(result.bytes, "byte", "bytes"),
                     QString::number(double(elapsedMs) / 1000.0, 'f', 2),
                     plural(result.hiddenEntries, "hidden entry", "hidden entries"));
    if (result.specialEntries > 0)
        line += QStringLiteral(", ") + plural(result.specialEntries, "broken link or special file",
                                             "broken links or special files");
    for (const QString &entry : result.leftOut)
        line += QStringLiteral(", ") + shown(entry);
    return line;
}
