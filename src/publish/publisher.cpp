#include "publisher.h"

#include "config/constants.h"
#include "delta/deltaindex.h"
#include "deltas.h"
#include "manifest/manifestformat.h"
#include "manifest/releasenames.h"
#include "publishsupport.h"
#include "releasehistory.h"
#include "releasecopy.h"
#include "serverroot.h"
#include "sourcescan.h"
#include "trust/signingkey.h"
#include "versionfileplan.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The order of a publish: every check before the first write, then the
// folder staged and exchanged, then update.ini; undone on failure.
class Publisher
{
public:
    Publisher(const PublishRequest &request, const ProgressCallback &progress)
        : m_request(request), m_progress(progress)
    {
    }

    PublishResult run()
    {
        m_result.ok = plan() && write();
        return m_result;
    }

private:
    bool fail(const QString &message)
    {
        m_result.error = message;
        return false;
    }

    bool checkRequest();
    bool plan();
    bool scan();
    bool composeVersionFile();
    bool checkExistingFolder();
    bool planDeltas();
    bool write();
    bool writeVersionFile();
    bool recordRelease();

    const PublishRequest &m_request;
    const ProgressCallback &m_progress;
    PublishResult m_result;
    QString m_source;
    QString m_server;
    QString m_serverResolved;
    QString m_target;
    SourceFiles m_release;
    QByteArray m_manifestBytes;
    VersionFilePlan m_versionFile;
    SigningKey m_key;
    bool m_versionFileReadOnly = false;
    bool m_targetIdentical = false;
    QByteArray m_history; // publish-history.txt to write at the end; null: unchanged
};

// The request's own texts and paths, before anything is read.
bool Publisher::checkRequest()
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
    if (!m_request.signKeyFile.isEmpty()
        && !SigningKey::load(m_request.signKeyFile, m_key, m_result.error,
                             m_request.hasPassphrase ? &m_request.signKeyPassphrase : nullptr))
        return false;
    if (!m_request.published.isEmpty() && m_key.isNull())
        return fail(QStringLiteral("--published needs --sign-key: only a signed update.ini carries a time"));
    return true;
}

// Everything that can be known before writing is checked here; the quick
// checks first, hashing and comparing read every byte.
bool Publisher::plan()
{
    if (!checkRequest() || !scan() || !checkServerRoot(m_server, m_versionFileReadOnly, m_result.error))
        return false;
    m_target = m_server + QLatin1Char('/') + m_request.folder;
    m_result.folderPath = m_target;
    if (!checkTargetFolder(m_target, m_result.error) || !hashRelease(m_source, m_release, m_progress, m_result.error))
        return false;
    m_manifestBytes = manifestFileBytes(m_release.manifest);
    return composeVersionFile() && checkExistingFolder() && planDeltas();
}

bool Publisher::scan()
{
    const bool scanned = scanSource(m_source, m_request.includeConfig, m_serverResolved, m_release, m_result.error);
    m_result.files = m_release.files;
    m_result.bytes = m_release.bytes;
    m_result.hiddenEntries = m_release.hiddenEntries;
    m_result.specialEntries = m_release.specialEntries;
    m_result.leftOut = m_release.leftOut;
    return scanned;
}

bool Publisher::composeVersionFile()
{
    const QString path = m_server + QLatin1Char('/') + kUpdateIniFile;
    const QString unsignedProblem = m_key.isNull() ? unsignedOverSignedProblem(path, m_request.allowUnsigned) : QString();
    if (!unsignedProblem.isNull())
        return fail(unsignedProblem);
    if (!planVersionFile(m_request, m_key, path, m_manifestBytes, m_versionFile, m_result.error))
        return false;
    // QSaveFile will not replace a write-protected file.
    if (m_versionFile.current || !m_versionFileReadOnly)
        return true;
    return fail(QStringLiteral("cannot write %1: permission denied").arg(native(path)));
}

bool Publisher::checkExistingFolder()
{
    if (!QFileInfo(m_target).exists())
        return true;
    const QString difference = folderDifference(m_target, m_release, m_manifestBytes, m_progress, m_result.error);
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
    const QString current = currentFolderProblem(m_server + QLatin1Char('/') + kUpdateIniFile, m_request.folder);
    if (!current.isNull())
        return fail(QStringLiteral("%1 has other contents (%2), but --force cannot replace it: %3")
                        .arg(native(m_target), difference, current));
    return true;
}

// update.ini names the deltas of a folder that has (or will have) them.
bool Publisher::planDeltas()
{
    if (m_request.deltas > 0 && !m_targetIdentical) {
        const QString conflict = deltaConflict(m_release);
        if (!conflict.isNull())
            return fail(conflict);
    }
    const bool named = m_targetIdentical ? QFileInfo(m_target + QLatin1Char('/') + kDeltaIndexFile).isFile()
                                         : m_request.deltas > 0;
    // Only publishes that make deltas keep the order: without them the root
    // stays as it always was.
    if (m_request.deltas > 0)
        m_history = plannedHistory(m_server, m_request.folder);
    if (!named)
        return true;
    const QString path = m_server + QLatin1Char('/') + kUpdateIniFile;
    nameDeltaIndex(path, m_versionFile);
    if (m_versionFile.current || !m_versionFileReadOnly)
        return true;
    return fail(QStringLiteral("cannot write %1: permission denied").arg(native(path)));
}

bool Publisher::writeVersionFile()
{
    return writeFileReplacing(m_server + QLatin1Char('/') + kUpdateIniFile, m_versionFile.bytes, m_result.error);
}

bool Publisher::write()
{
    if (m_targetIdentical) {
        if (m_versionFile.current) {
            m_result.change = PublishResult::Change::None;
            return true;
        }
        m_result.change = PublishResult::Change::VersionFile;
        return writeVersionFile() && recordRelease();
    }

    m_result.change = PublishResult::Change::Published;
    FolderExchange exchange(m_server, m_target);
    QString &error = m_result.error;
    // Only once placed does a client see the folder, complete with its md5.txt.
    const bool written = exchange.prepare(error)
        && copyRelease(m_source, exchange.staging(), m_release, m_progress, error)
        && writeReleaseDeltas(m_server, m_request.folder, exchange.staging(), m_release, m_request.deltas, error)
        && writeFileReplacing(exchange.staging() + QLatin1Char('/') + kMd5File, m_manifestBytes, error)
        && exchange.place(error) && (m_versionFile.current || writeVersionFile());
    m_result.replacedFolder = exchange.replaced();
    if (!written) {
        exchange.undo(error);
        return false;
    }
    exchange.finish();
    return recordRelease();
}

// After update.ini, so a failed publish leaves the root as it was. The
// history only picks the bases of later deltas: failing to write it fails
// nothing.
bool Publisher::recordRelease()
{
    if (!m_history.isNull()) {
        QString ignored;
        writeFileReplacing(releaseHistoryPath(m_server), m_history, ignored);
    }
    return true;
}

QString plural(qint64 count, const char *singular, const char *pluralForm)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? singular : pluralForm));
}

} // namespace

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
        line += QStringLiteral(", ") + oneLineText(entry);
    return line;
}
