#include "proxysetting.h"

#include "config/constants.h"
#include "config/settingsstore.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QUrl>

namespace {

// The text of a Proxy value for an error: whatever stands before the last
// '@' may hold a password.
QString redacted(const QString &text)
{
    const int at = text.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return text;
    const int scheme = text.indexOf(QLatin1String("://"));
    const QString prefix = scheme >= 0 && scheme < at ? text.left(scheme + 3) : QString();
    return prefix + QStringLiteral("***@") + text.mid(at + 1);
}

struct Parsed
{
    bool ok = false;
    QNetworkProxy proxy;
    QString error;
};

// Parsed once per value; tests change the store in-process.
const Parsed &currentSetting()
{
    static bool cached = false;
    static QString cachedFor;
    static Parsed parsed;
    const QString value = SettingsStore::instance().value(kKeyProxy);
    if (cached && value == cachedFor)
        return parsed;
    cached = true;
    cachedFor = value;
    parsed = Parsed();
    parsed.ok = parseProxySetting(value, parsed.proxy, parsed.error);
    return parsed;
}

bool proxySettingInUse()
{
    SettingsStore &settings = SettingsStore::instance();
    return settings.isSet(kKeyProxy) && !settings.value(kKeyProxy).trimmed().isEmpty();
}

} // namespace

bool parseProxySetting(const QString &text, QNetworkProxy &proxy, QString &error)
{
    const QString value = text.trimmed();
    if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        return true;
    }
    const QUrl url(value, QUrl::StrictMode);
    const bool pathless = url.path().isEmpty() || url.path() == QLatin1String("/");
    if (!url.isValid() || url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0
        || url.host().isEmpty() || url.port() <= 0 || !pathless || url.hasQuery() || url.hasFragment()) {
        error = QStringLiteral("代理设置无效(应为http://主机:端口或none):") + redacted(value);
        return false;
    }
    proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port()),
                          url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    return true;
}

QString proxyDisplayName(const QNetworkProxy &proxy)
{
    const QString host = proxy.hostName();
    const QString shown = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shown + QLatin1Char(':') + QString::number(proxy.port());
}

QString proxySetupError()
{
    if (!proxySettingInUse())
        return QString();
    const Parsed &parsed = currentSetting();
    return parsed.ok ? QString() : parsed.error;
}

void applyProxySetting(QNetworkAccessManager &manager)
{
    if (!proxySettingInUse())
        return;
    const Parsed &parsed = currentSetting();
    if (!parsed.ok)
        return;
    const QNetworkProxy &wanted = parsed.proxy;
    if (manager.proxy() == wanted)
        return;
    if (wanted.type() == QNetworkProxy::NoProxy)
        qDebug() << "代理: 不使用代理(直接连接)";
    else
        qDebug().noquote() << "代理:" << proxyDisplayName(wanted)
                           << (wanted.user().isEmpty() ? QString() : QStringLiteral("(带身份验证)"));
    manager.setProxy(wanted);
}

QString configuredProxyName()
{
    if (!proxySettingInUse())
        return QString();
    const Parsed &parsed = currentSetting();
    if (!parsed.ok || parsed.proxy.type() != QNetworkProxy::HttpProxy)
        return QString();
    return proxyDisplayName(parsed.proxy);
}

QString proxyAuthenticationText(const QString &proxy)
{
    return QStringLiteral("代理服务器需要身份验证:") + proxy;
}
