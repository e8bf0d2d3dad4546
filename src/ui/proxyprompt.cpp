#include "proxyprompt.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

ProxyPrompt &currentPrompt()
{
    static ProxyPrompt prompt;
    return prompt;
}

} // namespace

void setProxyPrompt(ProxyPrompt prompt)
{
    currentPrompt() = std::move(prompt);
}

bool askProxyCredentials(const QString &proxy, QWidget *parent, ProxyCredentials &credentials)
{
    const ProxyPrompt &prompt = currentPrompt();
    return prompt ? prompt(proxy, parent, credentials) : showProxyCredentialsDialog(proxy, parent, credentials);
}

bool showProxyCredentialsDialog(const QString &proxy, QWidget *parent, ProxyCredentials &credentials)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("代理服务器需要身份验证"));
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("代理服务器需要身份验证:") + proxy, &dialog));
    auto *form = new QFormLayout;
    auto *user = new QLineEdit(&dialog);
    auto *password = new QLineEdit(&dialog);
    password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("用户名:"), user);
    form->addRow(QStringLiteral("密码:"), password);
    layout->addLayout(form);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确认"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    user->setFocus();

    if (dialog.exec() != QDialog::Accepted)
        return false;
    credentials.user = user->text();
    credentials.password = password->text();
    return true;
}
