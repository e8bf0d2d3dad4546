#pragma once

#include "journal.h"

#include <QString>
#include <QStringList>

// Undoing and finishing a transaction from its journal, for
// UpdateTransaction's rollback() and commit(); UpdateTransaction::recover(),
// the next start's entry, is defined beside these in recovery.cpp.

// The installation's manifest and version record.
bool isOwnFileKey(const QString &key);

// Undoes the journal's steps, newest first. Entries that could not be undone
// stay in the journal (and their backups on disk) for the next attempt; the
// keys of files not put back go to *unrestored.
bool rollBackJournal(const QString &appDir, const QString &backupRoot, Journal journal,
                     QStringList *unrestored = nullptr);

// Removes what a finished update left, keeping what was set aside.
void removeLeftovers(const QString &backupRoot);
