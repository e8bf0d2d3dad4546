#include "supportlog.h"

#include "config/constants.h"
#include "update/safefs.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

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

// Opens path for appending, never through a link: one standing there is
// removed first, and on POSIX the open itself refuses to follow one.
bool openForAppend(QFile &file, const QString &path)
{
    if (isLinkOrReparsePoint(path) && !removeLink(path))
        return false;
#ifdef Q_OS_WIN
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    // Planted between the check and the open: let go of it.
    if (isLinkOrReparsePoint(path)) {
        file.close();
        return false;
    }
    return true;
#else
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

void writeToLog(const QByteArray &line)
{
    SupportLog &log = supportLog();
    if (!log.file.isOpen())
        return;
    if (shouldRotateLog(log.file.size(), line.size())) {
        log.file.close();
        // By rename: the old generation is replaced whole, and a link
        // planted under either name is replaced, never written through.
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
    if (!ensureRealDirectory(folder) || !openForAppend(log.file, log.path)) {
        if (error)
            *error = QStringLiteral("无法打开日志文件:") + log.path;
        return false;
    }
    log.previous = qInstallMessageHandler(handleMessage);
    return true;
}
