#include "ui/widget.h"

#include "config/constants.h"
#include "proxysetting.h"
#include "ui/proxyprompt.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkProxy>

void Widget::onProxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    m_proxy.name = proxyDisplayName(proxy);
    qDebug().noquote() << proxyAuthenticationText(m_proxy.name);
    // Once per run: credentials that did not work end in the failure, not in
    // a prompt after every answer.
    if (!m_proxy.allowed || m_proxy.prompted)
        return;
    m_proxy.prompted = true;
    ProxyCredentials credentials;
    m_proxy.open = true;
    const bool given = askProxyCredentials(m_proxy.name, this, credentials);
    m_proxy.open = false;
    if (!given) {
        qDebug() << "代理身份验证已取消";
        return;
    }
    authenticator->setUser(credentials.user);
    authenticator->setPassword(credentials.password);
}

QString Widget::proxyFailureText() const
{
    QString proxy = m_proxy.name;
    if (proxy.isEmpty())
        proxy = configuredProxyName();
    if (proxy.isEmpty())
        proxy = QStringLiteral("系统代理");
    return proxyAuthenticationText(proxy);
}

void Widget::failForProxy()
{
    m_statusText = kStatusFailed;
    m_errorMessage = m_proxy.failure;
    m_end.callerError = m_proxy.failure;
    refreshLabels();
}
