#pragma once

#include <QString>
#include <functional>

class QWidget;

// What the user typed for a proxy that wants credentials. Kept in memory for
// the run only: never logged, never written.
struct ProxyCredentials
{
    QString user;
    QString password;
};

// Asks for credentials for proxy ("host:port"); false when the user cancels.
using ProxyPrompt = std::function<bool(const QString &proxy, QWidget *parent, ProxyCredentials &credentials)>;

// The prompt askProxyCredentials() shows; an empty one puts the dialog
// below back. Tests answer with a function of their own.
void setProxyPrompt(ProxyPrompt prompt);

bool askProxyCredentials(const QString &proxy, QWidget *parent, ProxyCredentials &credentials);

// The modal dialog with a user name and a password field.
bool showProxyCredentialsDialog(const QString &proxy, QWidget *parent, ProxyCredentials &credentials);
