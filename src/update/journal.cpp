#include "journal.h"

#include "fs/durablefile.h"
#include "fs/links.h"

#include <QFile>
#include <QList>

QString journalPathIn(const QString &backupRoot)
{
    return backupRoot + QLatin1Char('/') + kJournalName;
}

QString backupFilePath(const QString &backupRoot, const QString &key)
{
    return backupRoot + QLatin1Char('/') + kBackupFilesName + key;
}

QByteArray journalLine(const QString &operation, const QString &value)
{
    return operation.toUtf8() + '\t' + value.toUtf8() + '\n';
}

QByteArray journalHeader(const QString &installation, const QString &version, const QString &transaction)
{
    return journalLine(JournalOp::Installation, installation) + journalLine(JournalOp::Version, version)
        + journalLine(JournalOp::Transaction, transaction);
}

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
        if (operation == JournalOp::Installation)
            journal.installation = value;
        else if (operation == JournalOp::Version)
            journal.version = value;
        else if (operation == JournalOp::Transaction)
            journal.transaction = value;
        else if (operation == JournalOp::Dir || operation == JournalOp::Backup || operation == JournalOp::Saved
                 || operation == JournalOp::New)
            journal.steps.append({operation, value});
        else
            return false;
    }
    return true;
}

bool writeJournal(const QString &path, const Journal &journal)
{
    QByteArray text = journalHeader(journal.installation, journal.version, journal.transaction);
    for (const JournalEntry &entry : journal.steps)
        text += journalLine(entry.operation, entry.key);
    return writeFileReplacing(path, text);
}
