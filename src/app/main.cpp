#include "app/consolereport.h"
#include "app/instanceguard.h"
#include "app/launcher.h"
#include "config/constants.h"
#include "config/settingsstore.h"
#include "ui/widget.h"
#include "update/updatetransaction.h"

#include <QApplication>
#include <QIcon>
#include <QJsonObject>
#include <QLockFile>

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

    // An apply that died half way is undone before anything looks at the
    // installation, so it is the old version again.
    UpdateTransaction::recover(appDir);

    const bool consoleMode = QCoreApplication::arguments().mid(1).contains(QStringLiteral("console"));

    Widget dialog;
    QJsonObject report;
    const bool success = true;
    const QString errormsg = QLatin1String("");
    const bool update = !dialog.checkUpdate();

    if (update) {
        if (consoleMode)
            printConsoleReport(report, success, update, errormsg);
        dialog.show();
        return app.exec();
    }

    if (consoleMode)
        printConsoleReport(report, success, update, errormsg);
    else
        startMainProgram(SettingsStore::instance().value(kKeyExeName));
    return 0;
}
