#include "ui/widget.h"

#include "downloadsink.h"
#include "transfer.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>

bool Widget::downloadFileBlocking(const QString &url, const QString &savePath,
                                  QProgressBar *progressBar)
{
    m_errorMessage = QLatin1String("");

    QDir dir = QFileInfo(savePath).dir();
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        m_errorMessage = QStringLiteral("无法创建目录:") + dir.path();
        return false;
    }

    DownloadSink sink;
    if (!sink.open(savePath)) {
        m_errorMessage = QStringLiteral("无法打开文件:") + savePath;
        return false;
    }

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(makeDownloadRequest(url));
    reply->setReadBufferSize(kReplyReadBufferSize);
    QEventLoop loop;

    // Set when this function ends the transfer itself, so that the abort's
    // own error signal does not replace the reason.
    bool failedHere = false;
    auto failHere = [&](const QString &message) {
        failedHere = true;
        m_errorMessage = message;
        reply->abort();
        loop.quit();
    };

    if (progressBar) {
        connect(reply, &QNetworkReply::downloadProgress, reply,
                [progressBar, reply](qint64 bytesReceived, qint64 bytesTotal) {
                    const int percent = progressPercent(
                        bytesReceived, bytesTotal,
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
                    if (percent >= 0)
                        progressBar->setValue(percent);
                }, Qt::DirectConnection);
    }
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::errorOccurred, reply,
            [&](QNetworkReply::NetworkError code) {
                if (failedHere)
                    return;
                // Qt ends a transfer whose time-out expired by aborting it.
                // Nothing else can abort this reply (it is never handed out,
                // and our own aborts are marked), so a cancel is the time-out.
                if (code == QNetworkReply::TimeoutError || code == QNetworkReply::OperationCanceledError)
                    m_errorMessage = transferTimeoutText() + url;
                else
                    m_errorMessage = QStringLiteral("下载错误：") + reply->errorString()
                        + QStringLiteral("（URL：") + url + QStringLiteral("）");
                loop.quit();
            }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::readyRead, reply, [&]() {
        if (failedHere)
            return;
        if (sink.bytesWritten() + reply->bytesAvailable() > kMaxControlFileSize) {
            failHere(QStringLiteral("下载错误：文件过大（URL：") + url + QStringLiteral("）"));
            return;
        }
        if (!sink.write(reply->readAll()))
            failHere(QStringLiteral("无法写入文件:") + savePath);
    }, Qt::DirectConnection);

    if (!reply->isFinished())
        loop.exec();
    // Quitting the application ends every event loop, ours included, while
    // the transfer may still be running: that is not a finished download.
    if (!failedHere && reply->error() == QNetworkReply::NoError && !reply->isFinished())
        failHere(QStringLiteral("下载被取消：") + url);

    if (!failedHere && reply->error() == QNetworkReply::NoError) {
        // Whatever arrived after the last readyRead.
        if (reply->bytesAvailable() > 0 && !sink.write(reply->readAll())) {
            failedHere = true;
            m_errorMessage = QStringLiteral("无法写入文件:") + savePath;
        }
        if (!failedHere && !sink.finish()) {
            failedHere = true;
            m_errorMessage = QStringLiteral("无法写入文件:") + savePath;
        }
    }

    const bool ok = !failedHere && reply->error() == QNetworkReply::NoError;
    reply->disconnect();
    reply->deleteLater();
    if (!ok) {
        logFailedRequest(url, reply, m_errorMessage);
        sink.discard();
        return false;
    }
    qDebug() << "下载成功:" << savePath;
    return true;
}
