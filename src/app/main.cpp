#include "app/consolereport.h"
#include "app/instanceguard.h"
#include "app/launcher.h"
#include "app/supportlog.h"
#include "config/constants.h"
#include "config/settingsstore.h"
#include "ui/widget.h"
#include "update/updatetransaction.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QJsonObject>
#include <QLockFile>
#include <QSettings>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));

    if (!acquireInstanceMarker(instanceKey()))
        return 1;
    // The marker's key is per spelling of the folder at best (a bind mount
    // or a network path is another); the lock inside the installation is
    // one file whatever the path, and it is held until the process ends.
    const QString appDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const std::unique_ptr<QLockFile> installationLock = lockInstallation(appDir);
    if (!installationLock)
        return 1;

    // Only the updater holding the lock writes the log.
    QString logError;
    if (!startSupportLog(appDir, &logError))
        qDebug() << "无法写入日志:" << logError;
    const QString installedVersion =
        QSettings(appDir + kUpdateTmpDir + kUpdateIniFile, QSettings::IniFormat).value(kKeyVersionVersion).toString();
    qDebug() << "更新程序启动:" << QStringLiteral(UPDATER_VERSION) << "已安装版本:" << installedVersion
             << "URL:" << SettingsStore::instance().value(kKeyUrl);

    // An apply that died half way is undone before anything looks at the
    // installation, so it is the old version again.
    UpdateTransaction::recover(appDir);

    const bool consoleMode = QCoreApplication::arguments().mid(1).contains(QStringLiteral("console"));

    Widget dialog;
    // A caller of the console mode decides itself what to start.
    dialog.setStartOnFailure(!consoleMode
                             && isEnabledSetting(SettingsStore::instance().value(kKeyStartOnFailure)));
    // No one may be at the screen to answer a proxy's question.
    dialog.setProxyPromptAllowed(!consoleMode);
    QJsonObject report;
    const bool update = !dialog.checkUpdate();
    qDebug() << "版本检查:" << dialog.statusSummary();
    // A caller learns of a failure the user is shown as one; an unreachable
    // server still reads as success with the dialog to follow.
    const QString errormsg = dialog.callerError();
    const bool success = errormsg.isEmpty();

    if (update) {
        if (consoleMode)
            printConsoleReport(report, success, update, errormsg);
        dialog.show();
        const int code = app.exec();
        qDebug() << "更新程序结束，退出码" << code;
        return code;
    }

    if (consoleMode)
        printConsoleReport(report, success, update, errormsg);
    else
        startMainProgram(SettingsStore::instance().value(kKeyExeName));
    qDebug() << "更新程序结束，退出码" << 0;
    return 0;
}
