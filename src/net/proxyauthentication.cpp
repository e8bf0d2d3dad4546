#include "ui/widget.h"

#include "config/constants.h"
#include "proxysetting.h"
#include "ui/proxyprompt.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkProxy>

void Widget::onProxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    m_proxyName = proxyDisplayName(proxy);
    qDebug().noquote() << proxyAuthenticationText(m_proxyName);
    // Once per run: credentials that did not work end in the failure, not in
    // a prompt after every answer.
    if (!m_proxyPromptAllowed || m_proxyPrompted)
        return;
    m_proxyPrompted = true;
    ProxyCredentials credentials;
    m_proxyPromptOpen = true;
    const bool given = askProxyCredentials(m_proxyName, this, credentials);
    m_proxyPromptOpen = false;
    if (!given) {
        qDebug() << "代理身份验证已取消";
        return;
    }
    authenticator->setUser(credentials.user);
    authenticator->setPassword(credentials.password);
}

QString Widget::proxyFailureText() const
{
    QString proxy = m_proxyName;
    if (proxy.isEmpty())
        proxy = configuredProxyName();
    if (proxy.isEmpty())
        proxy = QStringLiteral("系统代理");
    return proxyAuthenticationText(proxy);
}

void Widget::failForProxy()
{
    m_statusText = kStatusFailed;
    m_errorMessage = m_proxyFailure;
    m_callerError = m_proxyFailure;
    refreshLabels();
}
