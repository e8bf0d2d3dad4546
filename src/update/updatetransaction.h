#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

// Installs downloaded files into the application directory all or nothing.
//
// Every file that is replaced is first renamed aside into UpdateBackup/files/
// (same volume, and a rename works even for a running executable on
// Windows). Each step is written to UpdateBackup/journal before it is done,
// so an apply that fails, or a process that dies half way, can be undone:
// by rollback() at once, or by recover() on the next start. Removing the
// journal in commit() is the point after which the new version stands.
class UpdateTransaction
{
public:
    // appDir ends in "/"; keys are "/a/b" relative to it.
    explicit UpdateTransaction(const QString &appDir);
    ~UpdateTransaction();
    UpdateTransaction(const UpdateTransaction &) = delete;
    UpdateTransaction &operator=(const UpdateTransaction &) = delete;

    // Undoes an interrupted transaction, then opens a fresh journal.
    bool begin();
    // Moves source to appDir + key, keeping what was there as a backup.
    bool install(const QString &source, const QString &key);
    // Makes the installed files final and drops the backups.
    bool commit();
    // Restores every backup and removes what the transaction added.
    // False when something could not be restored (it stays recorded).
    bool rollback();

    // The next start's entry: rolls back a transaction whose process died,
    // and removes backups a finished one could not delete. True when the
    // installation is consistent afterwards.
    static bool recover(const QString &appDir);

    static QString backupDirName() { return QStringLiteral("UpdateBackup"); }

    // How often and how long a move is retried when the target is busy.
    static void setRetryPolicy(int attempts, int delayMs);

private:
    bool record(const QString &operation, const QString &key);
    bool createParents(const QString &key);
    QString journalPath() const;
    QString backupPath(const QString &key) const;

    QString m_appDir;
    QString m_backupRoot;
    QFile m_journal;
};

// Moves source onto target, replacing a plain file there, with a copy as
// fallback when the rename fails (for example across volumes). Retried with
// short sleeps while the target is busy. Directories are never replaced.
bool moveFileReplacing(const QString &source, const QString &target);
