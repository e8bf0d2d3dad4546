#include "updatetransaction.h"

#include "config/constants.h"
#include "manifest/pathsafety.h"
#include "fs/safefs.h"
#include "trust/versionfile.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QUuid>
#include <QVector>

namespace {

int g_attempts = 8;
int g_delayMs = 250;

const QString kOpInstallation = QStringLiteral("installation");
const QString kOpVersion = QStringLiteral("version");
const QString kOpTransaction = QStringLiteral("transaction");
const QString kOpDir = QStringLiteral("dir");
const QString kOpBackup = QStringLiteral("backup");
const QString kOpSaved = QStringLiteral("saved");
const QString kOpNew = QStringLiteral("new");
const QString kPartialSuffix = QStringLiteral(".partial");
const QString kStalePrefix = QStringLiteral("stale-");

struct JournalEntry
{
    QString operation;
    QString key;
};

struct Journal
{
    QString installation;
    QString version;
    QString transaction;
    QVector<JournalEntry> steps;
};

template <typename Step>
bool retry(Step step)
{
    for (int attempt = 0; attempt < g_attempts; ++attempt) {
        if (attempt > 0)
            QThread::msleep(g_delayMs);
        if (step())
            return true;
    }
    return false;
}

bool removeFileRetrying(const QString &path)
{
    if (isRealDirectory(path))
        return false;
    return retry([&]() { return !entryExists(path) || QFile::remove(path) || removeLink(path); });
}

// Only whole lines count: a line cut short by a crash was never finished,
// so the step it announces was never started.
bool readJournal(const QString &path, Journal &journal)
{
    if (isLinkOrReparsePoint(path))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeLast(); // empty after a final line end, or an unfinished line
    for (const QByteArray &line : qAsConst(lines)) {
        const int tab = line.indexOf('\t');
        if (tab <= 0)
            return false;
        const QString operation = QString::fromUtf8(line.left(tab));
        const QString value = QString::fromUtf8(line.mid(tab + 1));
        if (operation == kOpInstallation)
            journal.installation = value;
        else if (operation == kOpVersion)
            journal.version = value;
        else if (operation == kOpTransaction)
            journal.transaction = value;
        else if (operation == kOpDir || operation == kOpBackup || operation == kOpSaved || operation == kOpNew)
            journal.steps.append({operation, value});
        else
            return false;
    }
    return true;
}

QByteArray journalLine(const QString &operation, const QString &value)
{
    return operation.toUtf8() + '\t' + value.toUtf8() + '\n';
}

bool writeJournal(const QString &path, const Journal &journal)
{
    QByteArray text = journalLine(kOpInstallation, journal.installation)
        + journalLine(kOpVersion, journal.version) + journalLine(kOpTransaction, journal.transaction);
    for (const JournalEntry &entry : journal.steps)
        text += journalLine(entry.operation, entry.key);
    return writeFileReplacing(path, text);
}

// The installation's manifest and version record.
bool isOwnFileKey(const QString &key)
{
    return key == QLatin1Char('/') + kMd5File || key == UpdateTransaction::recordKey();
}

// A key the updater itself could have written down: a file it installs,
// with a real folder on the way.
bool isTrustedKey(const QString &appDir, const QString &key)
{
    return (isOwnFileKey(key) || isSafeManifestKey(key)) && firstUnsafeParent(appDir, key).isNull();
}

// Copies source to target so that target, once it exists under its name,
// is whole and on the disk.
bool copyWhole(const QString &source, const QString &target)
{
    const QString partial = target + kPartialSuffix;
    removeTree(partial);
    QFile in(source);
    QFile out(partial);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    qint64 length;
    bool ok = true;
    while (ok && (length = in.read(chunk.data(), chunk.size())) > 0)
        ok = out.write(chunk.constData(), length) == length;
    ok = ok && length == 0 && flushToDisk(out);
    out.close();
    ok = ok && out.error() == QFileDevice::NoError;
    if (ok)
        QFile::setPermissions(partial, QFile::permissions(source));
    if (!ok || !renameAtomically(partial, target, true)) {
        QFile::remove(partial);
        return false;
    }
    flushDirectory(QFileInfo(target).absolutePath());
    return true;
}

// Puts backup back at target in one step; across volumes through a whole
// copy first.
bool restoreBackup(const QString &backup, const QString &target)
{
    if (isRealDirectory(target))
        return false;
    bool crossDevice = false;
    if (renameAtomically(backup, target, true, &crossDevice))
        return true;
    if (!crossDevice)
        return false;
    const QString temporary = temporarySibling(target);
    if (!copyWhole(backup, temporary))
        return false;
    if (!renameAtomically(temporary, target, true)) {
        QFile::remove(temporary);
        return false;
    }
    QFile::remove(backup);
    return true;
}

// Removes what a finished update left, keeping what was set aside.
void removeLeftovers(const QString &backupRoot)
{
    const QStringList names = QDir(backupRoot).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    bool keptSomething = false;
    for (const QString &name : names) {
        const QString path = backupRoot + QLatin1Char('/') + name;
        if (name.startsWith(kStalePrefix) && isRealDirectory(path))
            keptSomething = true;
        else
            removeTree(path);
    }
    if (!keptSomething)
        QDir().rmdir(backupRoot);
}

// Undoes the journal's steps, newest first. Entries that could not be undone
// stay in the journal (and their backups on disk) for the next attempt.
bool rollBackJournal(const QString &appDir, const QString &backupRoot, Journal journal,
                     QStringList *unrestored = nullptr)
{
    const QString journalPath = backupRoot + QStringLiteral("/journal");
    QVector<JournalEntry> unresolved;

    for (int i = journal.steps.size() - 1; i >= 0; --i) {
        const JournalEntry &entry = journal.steps.at(i);
        const QString target = appDir + entry.key.mid(1);
        bool done = true;
        if (entry.operation == kOpBackup) {
            const QString backup = backupRoot + QStringLiteral("/files") + entry.key;
            // A copy cut short never got its final name: the original is
            // still in place and stays.
            removeTree(backup + kPartialSuffix);
            if (entryExists(backup)) {
                done = retry([&]() { return restoreBackup(backup, target); });
                if (done)
                    qDebug() << "已恢复原文件:" << target;
                else
                    qDebug() << "无法恢复原文件:" << target;
            }
        } else if (entry.operation == kOpNew) {
            done = removeFileRetrying(target);
        } else if (entry.operation == kOpDir) {
            // Only a directory we created and that is empty again goes.
            if (isRealDirectory(target))
                QDir().rmdir(target);
        }
        if (!done)
            unresolved.prepend(entry);
    }

    if (!unresolved.isEmpty()) {
        for (const JournalEntry &entry : qAsConst(unresolved)) {
            if (unrestored && (entry.operation == kOpBackup || entry.operation == kOpNew))
                unrestored->append(entry.key);
        }
        journal.steps = unresolved;
        writeJournal(journalPath, journal);
        return false;
    }
    QFile::remove(journalPath);
    flushDirectory(backupRoot);
    removeLeftovers(backupRoot);
    return true;
}

// Moves the journal and backups out of the way, untouched, for a person to
// look at.
void setAside(const QString &backupRoot, const QString &reason)
{
    const QString stale = backupRoot + QLatin1Char('/') + kStalePrefix
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QDir().mkpath(stale);
    for (const QString &name : {QStringLiteral("journal"), QStringLiteral("files")}) {
        const QString path = backupRoot + QLatin1Char('/') + name;
        if (entryExists(path) && !renameAtomically(path, stale + QLatin1Char('/') + name, false))
            removeTree(path); // cannot stay where the next update writes
    }
    flushDirectory(backupRoot);
    qDebug() << "更新日志不属于本次安装，已移至:" << stale << reason;
}

QString recordedTransaction(const QString &appDir, QString *version)
{
    const QString path = appDir + kUpdateTmpDir + kUpdateIniFile;
    QString unusable;
    if (!checkRegularFile(path, unusable))
        return QString();
    const VersionFile record = VersionFile::read(path);
    *version = record.value(kKeyVersionVersion);
    return record.value(UpdateTransaction::recordTransactionKey());
}

} // namespace

bool moveFileReplacing(const QString &source, const QString &target)
{
    if (isRealDirectory(target))
        return false;
    const bool moved = retry([&]() {
        if (entryExists(target) && !QFile::remove(target) && !removeLink(target)) {
            qDebug() << "无法删除现有update.ini文件:" << target;
            return false;
        }
        if (QFile::rename(source, target)) {
            qDebug() << "配置文件更新成功:" << target;
            return true;
        }
        qDebug() << "配置文件更新失败，尝试复制替代:" << source << "->" << target;
        if (QFile::copy(source, target)) {
            QFile::remove(source);
            qDebug() << "配置文件通过复制方式更新成功:" << target;
            return true;
        }
        return false;
    });
    if (!moved)
        qDebug() << "配置文件更新失败，所有方法均无效";
    return moved;
}

UpdateTransaction::UpdateTransaction(const QString &appDir)
    : m_appDir(appDir)
    , m_backupRoot(appDir + backupDirName())
{
}

UpdateTransaction::~UpdateTransaction()
{
    if (m_journal.isOpen())
        m_journal.close();
}

QString UpdateTransaction::recordKey()
{
    return QLatin1Char('/') + kUpdateTmpDir + kUpdateIniFile;
}

void UpdateTransaction::setRetryPolicy(int attempts, int delayMs)
{
    g_attempts = qMax(1, attempts);
    g_delayMs = qMax(0, delayMs);
}

QString UpdateTransaction::journalPath() const
{
    return m_backupRoot + QStringLiteral("/journal");
}

QString UpdateTransaction::backupPath(const QString &key) const
{
    return m_backupRoot + QStringLiteral("/files") + key;
}

bool UpdateTransaction::recover(const QString &appDir, QStringList *unrestored)
{
    const QString backupRoot = appDir + backupDirName();
    if (isLinkOrReparsePoint(backupRoot)) {
        // Never ours: the updater only ever makes a real folder here.
        qDebug() << "移除链接:" << backupRoot;
        return removeLink(backupRoot);
    }
    if (!entryExists(backupRoot))
        return true;
    const QString journalPath = backupRoot + QStringLiteral("/journal");
    if (!entryExists(journalPath)) {
        // Backups of a finished update that were still in use at the time.
        removeLeftovers(backupRoot);
        return true;
    }

    Journal journal;
    const bool readable = readJournal(journalPath, journal);
    const QString installation = canonicalFolderIdentity(appDir);
    if (!readable || journal.transaction.isEmpty() || installation.isEmpty()
        || journal.installation != installation) {
        setAside(backupRoot, QStringLiteral("(不是本安装的日志)"));
        return true;
    }
    for (const JournalEntry &entry : qAsConst(journal.steps)) {
        if (!isTrustedKey(appDir, entry.key)) {
            setAside(backupRoot, QStringLiteral("(不安全的路径: %1)").arg(entry.key));
            return true;
        }
    }

    QString recordedVersion;
    const QString committed = recordedTransaction(appDir, &recordedVersion);
    if (committed == journal.transaction) {
        qDebug() << "上次更新已提交，清理备份:" << backupRoot;
        QFile::remove(journalPath);
        flushDirectory(backupRoot);
        removeLeftovers(backupRoot);
        return true;
    }
    if (recordedVersion == journal.version) {
        // The version it was installing stands, put there by someone else
        // (a reinstall): rolling back would break that installation.
        setAside(backupRoot, QStringLiteral("(版本已由他人安装)"));
        return true;
    }
    qDebug() << "发现未完成的更新，正在回滚:" << backupRoot;
    return rollBackJournal(appDir, backupRoot, journal, unrestored);
}

bool UpdateTransaction::begin(const QString &version)
{
    if (!recover(m_appDir))
        return false;
    if (!ensureRealDirectory(m_backupRoot) || !QDir().mkpath(m_backupRoot + QStringLiteral("/files")))
        return false;
    const QString installation = canonicalFolderIdentity(m_appDir);
    if (installation.isEmpty())
        return false;
    m_id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_installed.clear();
    m_journal.setFileName(journalPath());
    if (!m_journal.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const QByteArray header = journalLine(kOpInstallation, installation) + journalLine(kOpVersion, version)
        + journalLine(kOpTransaction, m_id);
    if (m_journal.write(header) != header.size() || !flushToDisk(m_journal))
        return false;
    flushDirectory(m_backupRoot);
    return true;
}

bool UpdateTransaction::record(const QString &operation, const QString &key)
{
    if (!m_journal.isOpen())
        return false;
    const QByteArray line = journalLine(operation, key);
    // On the disk before the step, so neither a killed process nor a power
    // cut loses it.
    return m_journal.write(line) == line.size() && flushToDisk(m_journal);
}

bool UpdateTransaction::createParents(const QString &key)
{
    const QStringList parts = key.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString relative;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        relative += QLatin1Char('/') + parts.at(i);
        const QString path = m_appDir + relative.mid(1);
        if (isRealDirectory(path))
            continue;
        if (entryExists(path))
            return false; // a file or link stands where the update needs a folder
        if (!record(kOpDir, relative) || !QDir().mkdir(path))
            return false;
    }
    return true;
}

bool UpdateTransaction::moveAside(const QString &target, const QString &backup)
{
    bool crossDevice = false;
    const bool renamed = retry([&]() { return renameAtomically(target, backup, false, &crossDevice) || crossDevice; });
    if (renamed && !crossDevice)
        return true;
    // Another volume: the copy takes the backup's name only once it is whole
    // and on the disk; the original stays until the new file replaces it.
    if (!renamed || isLinkOrReparsePoint(target))
        return false;
    return copyWhole(target, backup);
}

bool UpdateTransaction::install(const QString &source, const QString &key)
{
    const QString target = m_appDir + key.mid(1);
    if (!entryExists(source)) {
        qDebug() << "临时配置文件不存在:" << source;
        return false;
    }
    if (!firstUnsafeParent(m_appDir, key).isNull()) {
        qDebug() << "不安全的文件路径:" << key;
        return false;
    }
    // Our own files are always fresh regular files: a folder, FIFO or hard
    // link in their place is moved aside, never backed up and put back.
    if (isOwnFileKey(key) && isOddEntry(target) && !moveAsideStale(target))
        return false;
    if (isRealDirectory(target) || !createParents(key))
        return false;

    const bool hadOld = entryExists(target);
#ifndef Q_OS_WIN
    const QFileDevice::Permissions oldPermissions = QFile::permissions(target);
#endif
    if (hadOld) {
        const QString backup = backupPath(key);
        QDir().mkpath(QFileInfo(backup).absolutePath());
        if (!removeTree(backup) || !removeTree(backup + kPartialSuffix))
            return false;
        if (!record(kOpBackup, key))
            return false;
        if (!moveAside(target, backup)) {
            qDebug() << "无法移走原文件:" << target;
            return false;
        }
        if (!record(kOpSaved, key))
            return false;
    } else if (!record(kOpNew, key)) {
        return false;
    }

    if (!moveFileReplacing(source, target))
        return false;
    m_installed.append(target);
#ifndef Q_OS_WIN
    // A download is created with default bits; an updated executable must
    // stay executable.
    if (hadOld && !isLinkOrReparsePoint(target))
        QFile::setPermissions(target, oldPermissions);
#endif
    return true;
}

bool UpdateTransaction::commit(const QString &recordSource)
{
    if (!m_journal.isOpen())
        return false;
    {
        // The server's bytes as fetched plus one line: Qt's INI writer
        // fails on a file that starts with a byte-order mark.
        QFile record(recordSource);
        if (!record.open(QIODevice::ReadOnly))
            return false;
        const QByteArray stamped = withVersionFileValue(record.readAll(), recordTransactionKey(), m_id);
        record.close();
        if (!writeFileReplacing(recordSource, stamped))
            return false;
    }
    // Everything the record will vouch for reaches the disk before it.
    flushVolume(m_appDir, m_installed);
    if (!install(recordSource, recordKey()))
        return false;
    flushVolume(m_appDir, {m_appDir + recordKey().mid(1)});
    flushDirectory(m_appDir + kUpdateTmpDir);

    // Committed. What follows only tidies up; a failure is finished by the
    // next start's recovery.
    m_journal.close();
    if (retry([&]() { return QFile::remove(journalPath()); }))
        flushDirectory(m_backupRoot);
    // Backups of files still in use stay until the next start removes them.
    removeLeftovers(m_backupRoot);
    return true;
}

bool UpdateTransaction::rollback()
{
    if (m_journal.isOpen())
        m_journal.close();
    Journal journal;
    readJournal(journalPath(), journal);
    return rollBackJournal(m_appDir, m_backupRoot, journal);
}
