#include "transfer.h"

#include "proxysetting.h"
#include "tlstrust.h"

#include <QDebug>
#include <QNetworkReply>
#include <QStringList>
#include <QUrl>

namespace {
int g_transferTimeoutMs = 120000;
int g_versionCheckDeadlineMs = 15000;
int g_slowTransferWindowMs = 60000;
qint64 g_slowTransferMinBytesPerSecond = 1024;
}

int transferTimeoutMs()
{
    return g_transferTimeoutMs;
}

void setTransferTimeoutMs(int milliseconds)
{
    g_transferTimeoutMs = milliseconds;
}

QString transferTimeoutText()
{
    return timeoutText(g_transferTimeoutMs);
}

QString timeoutText(int milliseconds)
{
    return QStringLiteral("下载超时（%1秒）：").arg(milliseconds / 1000);
}

QString requestSetupError()
{
    const QString trustError = trustSetupError();
    return trustError.isNull() ? proxySetupError() : trustError;
}

QString downloadFailureText(DownloadFailure failure, const QString &url, const QString &reason, int timeoutMs)
{
    const auto error = [&url](const QString &what) {
        return QStringLiteral("下载错误：") + what + QStringLiteral("（URL：") + url + QStringLiteral("）");
    };
    switch (failure) {
    case DownloadFailure::Error:
        return error(reason);
    case DownloadFailure::TooLarge:
        return error(QStringLiteral("文件过大"));
    case DownloadFailure::Incomplete:
        return error(QStringLiteral("文件不完整"));
    case DownloadFailure::TimedOut:
        return timeoutText(timeoutMs) + url;
    case DownloadFailure::TooSlow:
        return QStringLiteral("下载速度过慢（URL：") + url + QStringLiteral("）");
    case DownloadFailure::Interrupted:
        return QStringLiteral("下载被取消：") + url;
    }
    return error(reason);
}

int versionCheckDeadlineMs()
{
    return g_versionCheckDeadlineMs;
}

void setVersionCheckDeadlineMs(int milliseconds)
{
    g_versionCheckDeadlineMs = milliseconds;
}

int slowTransferWindowMs()
{
    return g_slowTransferWindowMs;
}

void setSlowTransferWindowMs(int milliseconds)
{
    g_slowTransferWindowMs = milliseconds;
}

qint64 slowTransferMinBytesPerSecond()
{
    return g_slowTransferMinBytesPerSecond;
}

void setSlowTransferMinBytesPerSecond(qint64 bytesPerSecond)
{
    g_slowTransferMinBytesPerSecond = bytesPerSecond;
}

TransferLimits TransferLimits::versionCheck()
{
    TransferLimits limits;
    limits.deadlineMs = g_versionCheckDeadlineMs;
    return limits;
}

TransferLimits TransferLimits::manifest()
{
    TransferLimits limits;
    limits.slowWindowMs = g_slowTransferWindowMs;
    limits.minBytesPerSecond = g_slowTransferMinBytesPerSecond;
    return limits;
}

QByteArray userAgent()
{
    // Control characters would end the header line.
    QByteArray agent = QByteArrayLiteral(UPDATER_PRODUCT_NAME " updater/" UPDATER_VERSION);
    for (char &c : agent) {
        if (uchar(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    return agent;
}

QNetworkRequest makeDownloadRequest(const QString &url, CachePolicy cache)
{
    QNetworkRequest request;
    request.setUrl(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // With the header set by us Qt leaves the body as it comes.
    request.setRawHeader("Accept-Encoding", "identity");
    if (cache == CachePolicy::Bypass) {
        // Pragma for HTTP/1.0 caches; AlwaysNetwork keeps Qt's own cache out.
        request.setRawHeader("Cache-Control", "no-cache");
        request.setRawHeader("Pragma", "no-cache");
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    }
    request.setTransferTimeout(g_transferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    // HTTP/2 only where TLS lets ALPN pick it, falling back to HTTP/1.1;
    // cleartext HTTP/2 would not talk to an HTTP/1.1 server.
    if (request.url().scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0)
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    applyTrust(request);
    return request;
}

QString composeFileUrl(const QString &base, const QString &folder, const QString &key)
{
    // folder ends in '/' and key starts with one: a doubled slash is another
    // key on stores that keep keys literally (object stores, some CDNs).
    const QString relative = key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
    const QStringList components = relative.split(QLatin1Char('/'));
    QStringList encoded;
    encoded.reserve(components.size());
    for (const QString &component : components)
        encoded << QString::fromLatin1(QUrl::toPercentEncoding(component));
    return base + folder + encoded.join(QLatin1Char('/'));
}

int progressPercent(qint64 bytesReceived, qint64 bytesTotal, int httpStatus)
{
    if (bytesTotal <= 0 || httpStatus >= 400)
        return -1;
    return int(bytesReceived * 100 / bytesTotal);
}

int writtenPercent(const QNetworkReply *reply, qint64 written, qint64 before)
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return progressPercent(before + qMin(written, length.toLongLong()),
                           length.isValid() ? before + length.toLongLong() : -1, status);
}

int maxDownloadsFromSetting(const QString &text)
{
    bool isNumber = false;
    const qlonglong value = text.trimmed().toLongLong(&isNumber);
    if (!isNumber)
        return 1;
    return int(qBound<qlonglong>(1, value, kMaxDownloadsLimit));
}

void logFailedRequest(const QString &url, const QNetworkReply *reply, const QString &shown)
{
    const int status = reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    const QString error = reply ? reply->errorString() : QString();
    if (shown.isEmpty())
        qDebug() << "请求失败:" << url << "HTTP状态:" << status << "错误:" << error;
    else
        qDebug() << "请求失败:" << url << "HTTP状态:" << status << "错误:" << error << "显示:" << shown;
}

bool endedShort(const QNetworkReply *reply, qint64 received)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    return announced.isValid() && received < announced.toLongLong();
}

QByteArray contentEncoding(const QNetworkReply *reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    return encoding == "identity" ? QByteArray() : encoding;
}

bool bodyLengthStated(const QNetworkReply *reply)
{
    if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        return true;
    if (reply->rawHeader("Transfer-Encoding").toLower().contains("chunked"))
        return true;
    return reply->header(QNetworkRequest::ContentLengthHeader).isValid();
}
