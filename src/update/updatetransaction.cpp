#include "updatetransaction.h"

#include "config/constants.h"
#include "fs/durablefile.h"
#include "fs/filemove.h"
#include "fs/links.h"
#include "fs/regularfile.h"
#include "recovery.h"
#include "trust/versionfile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

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
    setFileRetryPolicy(attempts, delayMs);
}

QString UpdateTransaction::journalPath() const
{
    return journalPathIn(m_backupRoot);
}

QString UpdateTransaction::backupPath(const QString &key) const
{
    return backupFilePath(m_backupRoot, key);
}

bool UpdateTransaction::begin(const QString &version)
{
    if (!recover(m_appDir))
        return false;
    if (!ensureRealDirectory(m_backupRoot) || !QDir().mkpath(m_backupRoot + QLatin1Char('/') + kBackupFilesName))
        return false;
    const QString installation = canonicalFolderIdentity(m_appDir);
    if (installation.isEmpty())
        return false;
    m_id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_installed.clear();
    m_journal.setFileName(journalPath());
    if (!m_journal.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const QByteArray header = journalHeader(installation, version, m_id);
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
    for (const QString &relative : parentKeys(key)) {
        const QString path = m_appDir + relative.mid(1);
        if (isRealDirectory(path))
            continue;
        if (entryExists(path))
            return false; // a file or link stands where the update needs a folder
        if (!record(JournalOp::Dir, relative) || !QDir().mkdir(path))
            return false;
    }
    return true;
}

bool UpdateTransaction::moveAside(const QString &target, const QString &backup)
{
    bool crossDevice = false;
    const bool renamed = retryFileStep([&]() { return renameAtomically(target, backup, false, &crossDevice) || crossDevice; });
    if (renamed && !crossDevice)
        return true;
    // Another volume: the copy takes the backup's name only once it is whole
    // and on the disk; the original stays until the new file replaces it.
    if (!renamed || isLinkOrReparsePoint(target))
        return false;
    return copyFileWhole(target, backup);
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
        if (!removeTree(backup) || !removeTree(partialCopyPath(backup)))
            return false;
        if (!record(JournalOp::Backup, key))
            return false;
        if (!moveAside(target, backup)) {
            qDebug() << "无法移走原文件:" << target;
            return false;
        }
        if (!record(JournalOp::Saved, key))
            return false;
    } else if (!record(JournalOp::New, key)) {
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
    if (retryFileStep([&]() { return QFile::remove(journalPath()); }))
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
