#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// The transaction's journal, UpdateBackup/journal: one line per entry,
// "<operation> TAB <value> LF", in UTF-8. Three header lines name the
// installation, the version being installed and the transaction id; every
// further line announces a step before it is taken, with the key ("/a/b")
// it is taken on.

namespace JournalOp {
inline const QString Installation = QStringLiteral("installation");
inline const QString Version = QStringLiteral("version");
inline const QString Transaction = QStringLiteral("transaction");
// A folder the transaction created.
inline const QString Dir = QStringLiteral("dir");
// A file about to be moved aside as a backup, and once it was.
inline const QString Backup = QStringLiteral("backup");
inline const QString Saved = QStringLiteral("saved");
// A file the transaction added where there was none.
inline const QString New = QStringLiteral("new");
} // namespace JournalOp

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

// Where the journal and the backups lie inside the backup folder.
inline const QString kJournalName = QStringLiteral("journal");
inline const QString kBackupFilesName = QStringLiteral("files");
QString journalPathIn(const QString &backupRoot);
QString backupFilePath(const QString &backupRoot, const QString &key);

// One line of the journal.
QByteArray journalLine(const QString &operation, const QString &value);
// The three lines a journal starts with.
QByteArray journalHeader(const QString &installation, const QString &version, const QString &transaction);

// Reads the journal at path (never through a link). Only whole lines count:
// a line cut short by a crash was never finished, so the step it announces
// was never started. False when a line is not of the journal's kind.
bool readJournal(const QString &path, Journal &journal);

// Replaces the journal at path with journal, all or nothing.
bool writeJournal(const QString &path, const Journal &journal);
