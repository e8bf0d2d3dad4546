#pragma once

#include "config/constants.h"

#include <QFile>
#include <QString>
#include <QStringList>

// Installs downloaded files into the application directory all or nothing.
//
// Every file that is replaced is first moved aside into UpdateBackup/files/
// (a rename, which works even for a running executable on Windows; across
// volumes a copy that only gets its final name once it is whole). Each step
// is written to UpdateBackup/journal, and forced to disk, before it is done,
// so an apply that fails, or a process that dies half way, can be undone:
// by rollback() at once, or by recover() on the next start.
//
// The journal names the installation, the version being installed and a
// random transaction id. The commit point is the version record, stamped
// with that id, taking its place: from then on the new version stands.
// recover() only undoes a journal that names this installation and whose
// transaction did not commit; any other journal is set aside untouched.
//
// The journal's lines are in journal.h; undoing and finishing from them is
// in recovery.cpp.
class UpdateTransaction
{
public:
    // appDir ends in "/"; keys are "/a/b" relative to it.
    explicit UpdateTransaction(const QString &appDir);
    ~UpdateTransaction();
    UpdateTransaction(const UpdateTransaction &) = delete;
    UpdateTransaction &operator=(const UpdateTransaction &) = delete;

    // Undoes an interrupted transaction, then opens a fresh journal for
    // installing version.
    bool begin(const QString &version);
    QString id() const { return m_id; }
    // Moves source to appDir + key, keeping what was there as a backup.
    bool install(const QString &source, const QString &key);
    // Forces the installed files to disk, stamps the version record at
    // recordSource with the transaction id and installs it as the
    // installation's version record: the commit point. Then drops the
    // journal and the backups. False when the record could not be put in
    // place (then the caller rolls back).
    bool commit(const QString &recordSource);
    // Restores every backup and removes what the transaction added.
    // False when something could not be restored (it stays recorded).
    bool rollback();

    // The next start's entry: rolls back this installation's transaction
    // whose process died, finishes one that committed, sets aside journals
    // that are not ours, and removes backups a finished one could not
    // delete. True when the installation is consistent afterwards; when a
    // file could not be put back (or a file the update added could not be
    // removed) its key goes to *unrestored and the journal stays for the
    // next attempt.
    static bool recover(const QString &appDir, QStringList *unrestored = nullptr);

    static QString backupDirName() { return kUpdateBackupDir; }
    // The version record's key and its transaction entry.
    static QString recordKey();
    static QString recordTransactionKey() { return QStringLiteral("Version/Transaction"); }

    // How often and how long a move is retried when the target is busy.
    static void setRetryPolicy(int attempts, int delayMs);

private:
    bool record(const QString &operation, const QString &key);
    bool createParents(const QString &key);
    bool moveAside(const QString &target, const QString &backup);
    QString journalPath() const;
    QString backupPath(const QString &key) const;

    QString m_appDir;
    QString m_backupRoot;
    QString m_id;
    QStringList m_installed;
    QFile m_journal;
};
