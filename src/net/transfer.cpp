#include "transfer.h"

#include "tlstrust.h"

#include <QStringList>
#include <QUrl>

namespace {
int g_transferTimeoutMs = 120000;
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
    return QStringLiteral("下载超时（%1秒）：").arg(g_transferTimeoutMs / 1000);
}

QNetworkRequest makeDownloadRequest(const QString &url)
{
    QNetworkRequest request;
    request.setUrl(QUrl(url, QUrl::TolerantMode));
    request.setTransferTimeout(g_transferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    applyTrust(request);
    return request;
}

QString composeFileUrl(const QString &base, const QString &folder, const QString &key)
{
    const QStringList components = key.split(QLatin1Char('/'));
    QStringList encoded;
    encoded.reserve(components.size());
    for (const QString &component : components)
        encoded << QString::fromLatin1(QUrl::toPercentEncoding(component));
    return base + folder + encoded.join(QLatin1Char('/'));
}
