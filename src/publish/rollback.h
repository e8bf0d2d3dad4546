#pragma once

#include <QByteArray>
#include <QString>

// "rollback": SERVER_ROOT/update.ini names an earlier published version
// again. Its folder must still be there, whole as its md5.txt lists it.
// Files that the bad release added stay on the clients that installed it.

struct RollbackRequest
{
    QString version;     // Version= to name again
    QString folder;      // its folder below serverRoot
    QString serverRoot;
    QString signKeyFile; // empty: an unsigned update.ini
    bool hasPassphrase = false;
    QByteArray signKeyPassphrase;
    bool allowUnsigned = false; // may replace a signed update.ini unsigned
};

// On success summary says what happened; update.ini is replaced in one
// rename, or left as it was on failure.
bool rollBack(const RollbackRequest &request, QString &summary, QString &error);
