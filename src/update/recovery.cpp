#include "recovery.h"
#include "updatetransaction.h"

#include "config/constants.h"
#include "fs/durablefile.h"
#include "fs/filemove.h"
#include "fs/links.h"
#include "fs/regularfile.h"
#include "manifest/pathsafety.h"
#include "trust/versionfile.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>

namespace {

// Folders of journals set aside for a person to look at.
const QString kStalePrefix = QStringLiteral("stale-");

// A key the updater itself could have written down: a file it installs,
// with a real folder on the way.
bool isTrustedKey(const QString &appDir, const QString &key)
{
    return (isOwnFileKey(key) || isSafeManifestKey(key)) && firstUnsafeParent(appDir, key).isNull();
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
    if (!copyFileWhole(backup, temporary))
        return false;
    if (!renameAtomically(temporary, target, true)) {
        QFile::remove(temporary);
        return false;
    }
    QFile::remove(backup);
    return true;
}

// Moves the journal and backups out of the way, untouched, for a person to
// look at.
void setAside(const QString &backupRoot, const QString &reason)
{
    const QString stale = backupRoot + QLatin1Char('/') + kStalePrefix
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QDir().mkpath(stale);
    for (const QString &name : {kJournalName, kBackupFilesName}) {
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

bool isOwnFileKey(const QString &key)
{
    return key == QLatin1Char('/') + kMd5File || key == UpdateTransaction::recordKey();
}

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

bool rollBackJournal(const QString &appDir, const QString &backupRoot, Journal journal,
                     QStringList *unrestored)
{
    const QString journalPath = journalPathIn(backupRoot);
    QVector<JournalEntry> unresolved;

    for (int i = journal.steps.size() - 1; i >= 0; --i) {
        const JournalEntry &entry = journal.steps.at(i);
        const QString target = appDir + entry.key.mid(1);
        bool done = true;
        if (entry.operation == JournalOp::Backup) {
            const QString backup = backupFilePath(backupRoot, entry.key);
            // A copy cut short never got its final name: the original is
            // still in place and stays.
            removeTree(partialCopyPath(backup));
            if (entryExists(backup)) {
                done = retryFileStep([&]() { return restoreBackup(backup, target); });
                if (done)
                    qDebug() << "已恢复原文件:" << target;
                else
                    qDebug() << "无法恢复原文件:" << target;
            }
        } else if (entry.operation == JournalOp::New) {
            done = removeFileRetrying(target);
        } else if (entry.operation == JournalOp::Dir) {
            // Only a directory we created and that is empty again goes.
            if (isRealDirectory(target))
                QDir().rmdir(target);
        }
        if (!done)
            unresolved.prepend(entry);
    }

    if (!unresolved.isEmpty()) {
        for (const JournalEntry &entry : qAsConst(unresolved)) {
            if (unrestored && (entry.operation == JournalOp::Backup || entry.operation == JournalOp::New))
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
    const QString journalPath = journalPathIn(backupRoot);
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

