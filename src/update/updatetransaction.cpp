#include "updatetransaction.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QVector>

namespace {

int g_attempts = 8;
int g_delayMs = 250;

const QString kOpDir = QStringLiteral("dir");
const QString kOpBackup = QStringLiteral("backup");
const QString kOpNew = QStringLiteral("new");

struct JournalEntry
{
    QString operation;
    QString key;
};

// A link counts as present even when what it points to is gone.
bool entryExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool isRealDirectory(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

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
    return retry([&]() { return !entryExists(path) || QFile::remove(path); });
}

QVector<JournalEntry> readJournal(const QString &path)
{
    QVector<JournalEntry> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const int tab = line.indexOf('\t');
        // A line cut short by a crash has no trailing newline but is still
        // whole up to here; an empty key means it was cut inside the key.
        if (tab <= 0 || tab + 1 >= line.size())
            continue;
        entries.append({QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1))});
    }
    return entries;
}

bool writeJournal(const QString &path, const QVector<JournalEntry> &entries)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (const JournalEntry &entry : entries) {
        const QByteArray line = entry.operation.toUtf8() + '\t' + entry.key.toUtf8() + '\n';
        if (file.write(line) != line.size())
            return false;
    }
    return file.flush();
}

// Undoes the journal's steps, newest first. Entries that could not be undone
// stay in the journal (and their backups on disk) for the next attempt.
bool rollBackJournal(const QString &appDir, const QString &backupRoot)
{
    const QString journalPath = backupRoot + QStringLiteral("/journal");
    const QVector<JournalEntry> entries = readJournal(journalPath);
    QVector<JournalEntry> unresolved;

    for (int i = entries.size() - 1; i >= 0; --i) {
        const JournalEntry &entry = entries.at(i);
        const QString target = appDir + entry.key.mid(1);
        bool done = true;
        if (entry.operation == kOpBackup) {
            const QString backup = backupRoot + QStringLiteral("/files") + entry.key;
            if (entryExists(backup)) {
                done = removeFileRetrying(target)
                    && retry([&]() { return QFile::rename(backup, target); });
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
        writeJournal(journalPath, unresolved);
        return false;
    }
    QFile::remove(journalPath);
    QDir(backupRoot).removeRecursively();
    return true;
}

} // namespace

bool moveFileReplacing(const QString &source, const QString &target)
{
    if (isRealDirectory(target))
        return false;
    const bool moved = retry([&]() {
        if (entryExists(target) && !QFile::remove(target)) {
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

bool UpdateTransaction::recover(const QString &appDir)
{
    const QString backupRoot = appDir + backupDirName();
    if (QFileInfo::exists(backupRoot + QStringLiteral("/journal"))) {
        qDebug() << "发现未完成的更新，正在回滚:" << backupRoot;
        return rollBackJournal(appDir, backupRoot);
    }
    // Backups of a finished update that were still in use at the time.
    if (entryExists(backupRoot))
        QDir(backupRoot).removeRecursively();
    return true;
}

bool UpdateTransaction::begin()
{
    if (!recover(m_appDir))
        return false;
    if (!QDir().mkpath(m_backupRoot + QStringLiteral("/files")))
        return false;
    m_journal.setFileName(journalPath());
    return m_journal.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

bool UpdateTransaction::record(const QString &operation, const QString &key)
{
    if (!m_journal.isOpen())
        return false;
    const QByteArray line = operation.toUtf8() + '\t' + key.toUtf8() + '\n';
    // Flushed to the system before the step, so a killed process leaves it.
    return m_journal.write(line) == line.size() && m_journal.flush();
}

bool UpdateTransaction::createParents(const QString &key)
{
    const QStringList parts = key.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString relative;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        relative += QLatin1Char('/') + parts.at(i);
        const QString path = m_appDir + relative.mid(1);
        const QFileInfo info(path);
        if (info.isDir())
            continue;
        if (entryExists(path))
            return false; // a file stands where the update needs a folder
        if (!record(kOpDir, relative) || !QDir().mkdir(path))
            return false;
    }
    return true;
}

bool UpdateTransaction::install(const QString &source, const QString &key)
{
    const QString target = m_appDir + key.mid(1);
    if (!entryExists(source)) {
        qDebug() << "临时配置文件不存在:" << source;
        return false;
    }
    if (isRealDirectory(target) || !createParents(key))
        return false;

    const bool hadOld = entryExists(target);
#ifndef Q_OS_WIN
    const QFileDevice::Permissions oldPermissions = QFile::permissions(target);
#endif
    if (hadOld) {
        const QString backup = backupPath(key);
        QDir().mkpath(QFileInfo(backup).absolutePath());
        if (entryExists(backup) && !QFile::remove(backup))
            return false;
        if (!record(kOpBackup, key))
            return false;
        if (!retry([&]() { return QFile::rename(target, backup); })) {
            qDebug() << "无法移走原文件:" << target;
            return false;
        }
    } else if (!record(kOpNew, key)) {
        return false;
    }

    if (!moveFileReplacing(source, target))
        return false;
#ifndef Q_OS_WIN
    // A download is created with default bits; an updated executable must
    // stay executable.
    if (hadOld && !QFileInfo(target).isSymLink())
        QFile::setPermissions(target, oldPermissions);
#endif
    return true;
}

bool UpdateTransaction::commit()
{
    m_journal.close();
    if (!retry([&]() { return QFile::remove(journalPath()); }))
        return false;
    // Backups of files still in use stay until the next start removes them.
    QDir(m_backupRoot).removeRecursively();
    return true;
}

bool UpdateTransaction::rollback()
{
    if (m_journal.isOpen())
        m_journal.close();
    return rollBackJournal(m_appDir, m_backupRoot);
}
