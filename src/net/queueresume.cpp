// What a failed, cancelled or killed run leaves for the next run of the same
// release, and how the queue takes it up again.

#include "ui/widget.h"

#include "config/constants.h"
#include "downloadsink.h"
#include "fs/safefs.h"
#include "resumestore.h"
#include "transfer.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

bool Widget::prepareResume(const FileManifest &toFetch)
{
    m_queue.resume = ResumeStore(m_appDir + kUpdateTmpDir + kResumeName + QLatin1Char('/'));
    m_queue.inResume.clear();
    m_queue.resumeHeldFiles = m_queue.resume.holdsFiles();
    // The ids are only worked out when there is something to match them to.
    QSet<QString> wanted;
    if (m_queue.resumeHeldFiles) {
        for (auto it = toFetch.cbegin(); it != toFetch.cend(); ++it)
            wanted.insert(resumeId(it.key()));
    }
    QString error;
    if (!m_queue.resume.prepare(m_serverFolder, wanted, error)) {
        qDebug() << "无法准备续传目录:" << error;
        m_errorMessage = error;
        return false;
    }
    m_queue.resumeHeldFiles = m_queue.resume.holdsFiles();
    if (m_queue.resumeHeldFiles)
        qDebug() << "找到上次未完成的下载:" << m_queue.resume.dir();
    return true;
}

QString Widget::resumePath(const DownloadTask &task) const
{
    return m_queue.resume.keptPath(resumeId(keyOfLocalPath(task.localPath)));
}

bool Widget::takeKeptFile(const DownloadTask &task)
{
    if (!m_queue.resumeHeldFiles)
        return false;
    const QString key = keyOfLocalPath(task.localPath);
    const QString path = resumePath(task);
    QFile file;
    QString error;
    if (!entryExists(path) || !openRegularFile(path, QIODevice::ReadOnly, file, error))
        return false;
    // Whatever an earlier run verified counts for nothing now: the file
    // must be what this manifest says.
    QCryptographicHash hash(QCryptographicHash::Md5);
    const bool read = hash.addData(&file);
    const qint64 size = file.size();
    file.close();
    if (!read || QString::fromLatin1(hash.result().toHex()).compare(task.md5, Qt::CaseInsensitive) != 0) {
        qDebug() << "上次下载的文件与清单不符，重新下载:" << key;
        QFile::remove(path);
        return false;
    }
    qDebug() << "使用上次已下载并校验的文件:" << key;
    ++m_queue.counts.keptFiles;
    m_queue.counts.keptBytes += size;
    m_queue.inResume.append(key);
    return true;
}

std::unique_ptr<DownloadSink> Widget::openFileSink(const DownloadTask &task, CachePolicy cache, qint64 &resumeFrom,
                                                 QByteArray &validator)
{
    // The data goes to the resume folder, where a failed run leaves it.
    resumeFrom = continuableLength(task, cache, validator);
    const QString id = resumeId(keyOfLocalPath(task.localPath));
    auto sink = std::make_unique<DownloadSink>();
    if (resumeFrom > 0 && !sink->openPart(resumePath(task), m_queue.resume.partPath(id), resumeFrom)) {
        qDebug() << "无法继续上次的下载，从头下载:" << keyOfLocalPath(task.localPath);
        m_queue.resume.dropPartial(id);
        resumeFrom = 0;
    }
    if (resumeFrom == 0 && !sink->openPart(resumePath(task), m_queue.resume.partPath(id), 0))
        sink.reset();
    return sink;
}

qint64 Widget::continuableLength(const DownloadTask &task, CachePolicy cache, QByteArray &validator) const
{
    const QString id = resumeId(keyOfLocalPath(task.localPath));
    const bool plain = task.plan.kind == FilePlan::Kind::Plain;
    if (!m_queue.resumeHeldFiles || !plain || task.wholeOnly || cache != CachePolicy::Cacheable) {
        if (m_queue.resumeHeldFiles)
            m_queue.resume.dropPartial(id);
        return 0;
    }
    const ResumeRecord wanted{m_serverFolder, keyOfLocalPath(task.localPath), task.md5.toLower(), {}};
    return m_queue.resume.continuableLength(id, wanted, validator);
}

bool Widget::checkFileAnswer(int inFlight)
{
    ActiveDownload &download = m_queue.inFlight[inFlight];
    download.answerChecked = true;
    QNetworkReply *reply = download.reply;
    const DownloadTask &task = m_downloadQueue.at(download.index);
    const QString key = keyOfLocalPath(task.localPath);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (download.resumedFrom > 0 && status == 206) {
        if (rangeContinuesAt(reply->rawHeader("Content-Range"), download.resumedFrom))
            return true;
        restartWhole(inFlight, QStringLiteral("服务器返回的范围不符:") + QString::fromLatin1(reply->rawHeader("Content-Range")));
        return false;
    }
    if (status != 200)
        return true;
    if (download.resumedFrom > 0) {
        // If-Range did not hold (the file changed) or the server ignores
        // ranges: what comes is the whole file.
        qDebug() << "服务器发送完整文件，从头下载:" << key;
        download.resumedFrom = 0;
        if (!download.sink->restart()) {
            failQueue(QStringLiteral("无法保存文件:") + task.localPath);
            return false;
        }
    }
    const QByteArray validator = resumeValidator(reply->rawHeader("ETag"), reply->rawHeader("Last-Modified"));
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (validator.isEmpty() || (length.isValid() && length.toLongLong() < kResumeMinBytes))
        return true;
    const QString id = resumeId(key);
    download.partialRecorded = m_queue.resume.writeRecord(id, ResumeRecord{m_serverFolder, key, task.md5.toLower(), validator});
    if (!download.partialRecorded)
        qDebug() << "无法记录续传信息:" << key;
    return true;
}

void Widget::restartWhole(int inFlight, const QString &why)
{
    const int index = m_queue.inFlight[inFlight].index;
    DownloadTask &task = m_downloadQueue[index];
    qDebug() << "无法续传，从头下载:" << keyOfLocalPath(task.localPath) << why;
    task.wholeOnly = true;
    m_queue.inFlight[inFlight].sink->discard();
    m_queue.resume.dropPartial(resumeId(keyOfLocalPath(task.localPath)));
    dropInFlight(inFlight);
    startFileRequest(index, CachePolicy::Cacheable);
}

bool Widget::stageResumedFiles()
{
    for (const QString &key : qAsConst(m_queue.inResume)) {
        const QString target = m_appDir + kUpdateTmpDir + key;
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!renameAtomically(m_queue.resume.keptPath(resumeId(key)), target, true)) {
            qDebug() << "无法保存文件:" << target;
            failQueue(QStringLiteral("无法保存文件:") + target);
            return false;
        }
    }
    m_queue.inResume.clear();
    m_queue.resume.remove();
    return true;
}
