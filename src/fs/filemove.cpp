#include "fs/filemove.h"

#include "fs/durablefile.h"
#include "fs/links.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

int g_attempts = 8;
int g_delayMs = 250;

constexpr qint64 kCopyChunk = 1024 * 1024;

} // namespace

void setFileRetryPolicy(int attempts, int delayMs)
{
    g_attempts = qMax(1, attempts);
    g_delayMs = qMax(0, delayMs);
}

bool retryFileStep(const std::function<bool()> &step)
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
    return retryFileStep([&]() { return !entryExists(path) || QFile::remove(path) || removeLink(path); });
}

bool copyFileData(const QString &from, const QString &to, bool durable, QString &error, CopyEnd *failedEnd,
                  const std::function<void(const QByteArray &)> &onChunk)
{
    const auto failed = [&](CopyEnd end, const QFile &file) {
        error = file.errorString();
        if (failedEnd)
            *failedEnd = end;
        return false;
    };
    if (failedEnd)
        *failedEnd = CopyEnd::None;
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return failed(CopyEnd::Source, in);
    QFile out(to);
    // NewOnly creates exclusively: a link planted at the name is not used.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failed(CopyEnd::Target, out);
    while (true) {
        const QByteArray chunk = in.read(kCopyChunk);
        if (chunk.isEmpty())
            break;
        if (out.write(chunk) != chunk.size())
            return failed(CopyEnd::Target, out);
        if (onChunk)
            onChunk(chunk);
    }
    if (in.error() != QFileDevice::NoError)
        return failed(CopyEnd::Source, in);
    if (!(durable ? flushToDisk(out) : out.flush()))
        return failed(CopyEnd::Target, out);
    out.close();
    if (out.error() != QFileDevice::NoError)
        return failed(CopyEnd::Target, out);
    return true;
}

QString partialCopyPath(const QString &target)
{
    return target + QStringLiteral(".partial");
}

bool copyFileWhole(const QString &source, const QString &target)
{
    const QString partial = partialCopyPath(target);
    removeTree(partial);
    QString error;
    const bool ok = copyFileData(source, partial, true, error);
    if (ok)
        QFile::setPermissions(partial, QFile::permissions(source));
    if (!ok || !renameAtomically(partial, target, true)) {
        QFile::remove(partial);
        return false;
    }
    flushDirectory(QFileInfo(target).absolutePath());
    return true;
}

bool moveFileReplacing(const QString &source, const QString &target)
{
    if (isRealDirectory(target))
        return false;
    const bool moved = retryFileStep([&]() {
        if (entryExists(target) && !QFile::remove(target) && !removeLink(target)) {
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
