#include "ui/widget.h"

#include "downloadsink.h"
#include "proxysetting.h"
#include "tlstrust.h"
#include "transfer.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QTimer>
#include <QVector>

bool Widget::downloadFileBlocking(const QString &url, const QString &savePath,
                                  QProgressBar *progressBar, const TransferLimits &limits)
{
    m_errorMessage = QLatin1String("");
    m_trustFailure.clear();
    m_proxyFailure.clear();
    QString trustError = trustSetupError();
    if (trustError.isNull())
        trustError = proxySetupError();
    if (!trustError.isNull()) {
        m_trustFailure = trustError;
        m_errorMessage = QStringLiteral("下载错误：") + trustError + QStringLiteral("（URL：") + url
            + QStringLiteral("）");
        return false;
    }

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

    // The dialog's manager, shared with the queue: its connections (and TLS
    // sessions) carry over from the version check to the manifest and files.
    // Control files only: never an old copy from a cache on the way.
    applyProxySetting(m_networkManager);
    QNetworkReply *reply = m_networkManager.get(makeDownloadRequest(url, CachePolicy::Bypass));
    reply->setReadBufferSize(kReplyReadBufferSize);
    noteCertificateErrors(reply);
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
    // We asked for the body as stored; encoded anyway it is not this file,
    // and it is never inflated here.
    auto refuseEncoded = [&]() {
        const QByteArray encoding = contentEncoding(reply);
        if (encoding.isEmpty())
            return false;
        m_trustFailure = QStringLiteral("服务器发送了压缩的内容(Content-Encoding: %1)")
                             .arg(QString::fromLatin1(encoding));
        failHere(QStringLiteral("下载错误：") + m_trustFailure + QStringLiteral("（URL：") + url
                 + QStringLiteral("）"));
        return true;
    };

    // The bar is drawn at most about 30 times a second; its last value is
    // set when the transfer ends, however it ends.
    int latestPercent = -1;
    QElapsedTimer sinceShown;
    QTimer barTimer;
    barTimer.setSingleShot(true);
    auto showPercent = [&]() {
        barTimer.stop();
        sinceShown.restart();
        if (progressBar && latestPercent >= 0)
            progressBar->setValue(latestPercent);
    };
    connect(&barTimer, &QTimer::timeout, &loop, showPercent);
    if (progressBar) {
        connect(reply, &QNetworkReply::downloadProgress, &loop,
                [&](qint64 bytesReceived, qint64 bytesTotal) {
                    const int percent = progressPercent(
                        bytesReceived, bytesTotal,
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
                    if (percent < 0)
                        return;
                    latestPercent = percent;
                    if (!barTimer.isActive()) {
                        const qint64 since = sinceShown.isValid() ? sinceShown.elapsed() : kRepaintIntervalMs;
                        barTimer.start(int(qMax<qint64>(0, kRepaintIntervalMs - since)));
                    }
                }, Qt::DirectConnection);
    }
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::errorOccurred, &loop,
            [&](QNetworkReply::NetworkError code) {
                if (failedHere)
                    return;
                // Qt ends a transfer whose time-out expired by aborting it.
                // Nothing else can abort this reply (it is never handed out,
                // and our own aborts are marked), so a cancel is the time-out.
                if (code == QNetworkReply::TimeoutError || code == QNetworkReply::OperationCanceledError)
                    m_errorMessage = transferTimeoutText() + url;
                else if (code == QNetworkReply::ProxyAuthenticationRequiredError)
                    m_errorMessage = m_proxyFailure = proxyFailureText();
                else if (code == QNetworkReply::SslHandshakeFailedError)
                    m_errorMessage = QStringLiteral("下载错误：") + trustFailureText(reply)
                        + QStringLiteral("（URL：") + url + QStringLiteral("）");
                else
                    m_errorMessage = QStringLiteral("下载错误：") + reply->errorString()
                        + QStringLiteral("（URL：") + url + QStringLiteral("）");
                // Callers show their own text; a certificate problem is kept
                // for them, since the user must see which one it was.
                if (code == QNetworkReply::SslHandshakeFailedError)
                    m_trustFailure = trustFailureText(reply);
                loop.quit();
            }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::readyRead, &loop, [&]() {
        if (failedHere || refuseEncoded())
            return;
        if (sink.bytesWritten() + reply->bytesAvailable() > kMaxControlFileSize) {
            failHere(QStringLiteral("下载错误：文件过大（URL：") + url + QStringLiteral("）"));
            return;
        }
        if (!sink.write(reply->readAll()))
            failHere(QStringLiteral("无法写入文件:") + savePath);
    }, Qt::DirectConnection);

    // Data now and then keeps Qt's no-data time-out from ever firing: these
    // bound the whole transfer and its average rate.
    QTimer deadline;
    if (limits.deadlineMs > 0) {
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        connect(&deadline, &QTimer::timeout, &loop, [&]() {
            // The user's time at the proxy's prompt is not the server's.
            if (m_proxyPromptOpen) {
                deadline.start(limits.deadlineMs);
                return;
            }
            if (!failedHere && !reply->isFinished())
                failHere(timeoutText(limits.deadlineMs) + url);
        });
        deadline.start(limits.deadlineMs);
    }

    struct Sample
    {
        qint64 atMs;
        qint64 bytes;
    };
    QVector<Sample> samples{{0, 0}}; // oldest first
    QElapsedTimer clock;
    QTimer sampler;
    if (limits.slowWindowMs > 0 && limits.minBytesPerSecond > 0) {
        clock.start();
        const qint64 minBytes = limits.minBytesPerSecond * limits.slowWindowMs / 1000;
        connect(&sampler, &QTimer::timeout, &loop, [&, minBytes]() {
            if (failedHere || reply->isFinished())
                return;
            const qint64 now = clock.elapsed();
            const qint64 received = sink.bytesWritten();
            if (m_proxyPromptOpen) {
                samples = {{now, received}};
                return;
            }
            const qint64 windowStart = now - limits.slowWindowMs;
            // The newest sample at or before the window's start is its base.
            while (samples.size() > 1 && samples.at(1).atMs <= windowStart)
                samples.removeFirst();
            if (windowStart >= samples.first().atMs && received - samples.first().bytes < minBytes) {
                failHere(QStringLiteral("下载速度过慢（URL：") + url + QStringLiteral("）"));
                return;
            }
            samples.append({now, received});
        });
        sampler.start(qBound(10, limits.slowWindowMs / 60, 1000));
    }

    if (!reply->isFinished())
        loop.exec();
    // Quitting the application ends every event loop, ours included, while
    // the transfer may still be running: that is not a finished download.
    if (!failedHere && reply->error() == QNetworkReply::NoError && !reply->isFinished())
        failHere(QStringLiteral("下载被取消：") + url);

    if (!failedHere && reply->error() == QNetworkReply::NoError && !refuseEncoded()) {
        // Whatever arrived after the last readyRead.
        if (reply->bytesAvailable() > 0 && !sink.write(reply->readAll())) {
            failedHere = true;
            m_errorMessage = QStringLiteral("无法写入文件:") + savePath;
        }
        if (!failedHere && endedShort(reply, sink.bytesWritten())) {
            failedHere = true;
            m_errorMessage = QStringLiteral("下载错误：文件不完整（URL：") + url + QStringLiteral("）");
        }
        if (!failedHere && !sink.finish()) {
            failedHere = true;
            m_errorMessage = QStringLiteral("无法写入文件:") + savePath;
        }
    }

    showPercent();
    const bool ok = !failedHere && reply->error() == QNetworkReply::NoError;
    // The queue's files will ride the same connection.
    if (ok && reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        m_http2InUse = true;
    // Only our own connections: the manager keeps its own to the reply.
    QObject::disconnect(reply, nullptr, &loop, nullptr);
    reply->deleteLater();
    if (!ok) {
        logFailedRequest(url, reply, m_errorMessage);
        sink.discard();
        // The callers show their own text; the reason goes to the log.
        qDebug().noquote() << "下载失败:" << m_errorMessage;
        return false;
    }
    qDebug() << "下载成功:" << savePath;
    return true;
}
