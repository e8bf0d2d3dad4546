#include "supportlog.h"

#include "config/constants.h"
#include "fs/durablefile.h"
#include "fs/links.h"
#include "fs/regularfile.h"

#include <QDebug>
#include <QFile>

namespace {

struct SupportLog
{
    QString path;
    QString oldPath;
    QFile file;
    QtMessageHandler previous = nullptr;
};

SupportLog &supportLog()
{
    static SupportLog log;
    return log;
}

// Opens path for appending: only a regular file with one name is written
// to. A link, FIFO, folder or hard link standing there is moved aside and
// a fresh log started, so a line never lands outside the installation and
// opening never waits.
bool openForAppend(QFile &file, const QString &path, QString *error = nullptr, QString *movedAside = nullptr)
{
    QString reason;
    if (openRegularFile(path, QIODevice::WriteOnly | QIODevice::Append, file, reason, movedAside))
        return true;
    if (error)
        *error = reason;
    return false;
}

void writeToLog(const QByteArray &line)
{
    SupportLog &log = supportLog();
    if (!log.file.isOpen())
        return;
    if (shouldRotateLog(log.file.size(), line.size())) {
        log.file.close();
        // By rename: the old generation is replaced whole, and a link
        // planted under either name is replaced, never written through. A
        // folder there cannot be renamed over: it goes aside first.
        if (isOddEntry(log.oldPath))
            moveAsideStale(log.oldPath);
        if (!renameAtomically(log.path, log.oldPath, true))
            removeTree(log.path);
        if (!openForAppend(log.file, log.path))
            return;
    }
    log.file.write(line);
    log.file.flush();
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    SupportLog &log = supportLog();
    if (log.previous)
        log.previous(type, context, message);
    writeToLog(formatLogLine(QDateTime::currentDateTime(), type, message));
}

} // namespace

bool shouldRotateLog(qint64 currentSize, qint64 incoming, qint64 limit)
{
    return currentSize > 0 && currentSize + incoming > limit;
}

QByteArray formatLogLine(const QDateTime &when, QtMsgType type, const QString &message)
{
    QString level;
    switch (type) {
    case QtDebugMsg:
        break;
    case QtInfoMsg:
        level = QStringLiteral("[info] ");
        break;
    case QtWarningMsg:
        level = QStringLiteral("[warning] ");
        break;
    case QtCriticalMsg:
        level = QStringLiteral("[critical] ");
        break;
    case QtFatalMsg:
        level = QStringLiteral("[fatal] ");
        break;
    }
    return (when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + level + message).toUtf8() + '\n';
}

bool startSupportLog(const QString &appDir, QString *error)
{
    SupportLog &log = supportLog();
    const QString folder = appDir + kUpdateTmpDir;
    log.path = folder + kLogFile;
    log.oldPath = folder + kOldLogFile;
    QString reason;
    QString movedAside;
    if (!ensureRealDirectory(folder) || !openForAppend(log.file, log.path, &reason, &movedAside)) {
        if (error)
            *error = QStringLiteral("无法打开日志文件:") + log.path
                + (reason.isEmpty() ? QString() : QStringLiteral("(") + reason + QStringLiteral(")"));
        return false;
    }
    log.previous = qInstallMessageHandler(handleMessage);
    if (!movedAside.isEmpty())
        qDebug() << "日志文件不是普通文件，已移至:" << movedAside;
    return true;
}
