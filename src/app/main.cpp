#include "app/consolereport.h"
#include "app/instanceguard.h"
#include "app/launcher.h"
#include "app/startup.h"
#include "app/supportlog.h"
#include "config/constants.h"
#include "config/settingsstore.h"
#include "ui/widget.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QJsonObject>
#include <QLockFile>

namespace {

// The run cannot start: the dialog shows why in its end state (with
// StartOnFailure when the installation is whole) and a caller is told.
int failAtStart(QApplication &app, Widget &dialog, bool consoleMode, const QString &reason, bool installationWhole)
{
    qDebug() << "无法开始更新:" << reason;
    dialog.failBeforeCheck(reason, installationWhole);
    if (consoleMode) {
        QJsonObject report;
        printConsoleReport(report, false, true, dialog.callerError());
    }
    dialog.show();
    const int code = app.exec();
    qDebug() << "更新程序结束，退出码" << code;
    return code;
}

// The version check and what follows it: the dialog for an update (or for
// a program that is not there), else the main program's start. The result
// is the exit code.
int checkAndHandOver(QApplication &app, Widget &dialog, bool consoleMode, const QString &appDir)
{
    QJsonObject report;
    const bool update = !dialog.checkUpdate();
    qDebug() << "版本检查:" << dialog.statusSummary();
    // A caller learns of a failure the user is shown as one; an unreachable
    // server still reads as success with the dialog to follow. A program
    // that is not there is a failure in every mode; a caller of the console
    // mode learns it even when the update is still to come.
    const QString exeName = SettingsStore::instance().value(kKeyExeName);
    const QString missingProgram = missingMainProgramText(exeName, appDir);
    const QString errormsg = dialog.callerError().isEmpty() ? missingProgram : dialog.callerError();
    if (consoleMode)
        printConsoleReport(report, errormsg.isEmpty(), update, errormsg);

    if (update) {
        dialog.show();
        return app.exec();
    }
    if (consoleMode)
        return 0;
    if (!missingProgram.isEmpty()) {
        qDebug() << "无法启动主程序:" << missingProgram;
        dialog.setStartOnFailure(false);
        dialog.failBeforeCheck(missingProgram, true);
        dialog.show();
        return app.exec();
    }
    startMainProgram(exeName);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));
    const bool consoleMode = QCoreApplication::arguments().mid(1).contains(QStringLiteral("console"));

    // Only a live second updater of this installation makes a start leave
    // without a word; every other obstacle is shown below.
    if (acquireInstanceMarker(instanceKey()) == GuardOutcome::HeldByOther)
        return 1;
    // The marker's key is per spelling of the folder at best (a bind mount
    // or a network path is another); the lock inside the installation is
    // one file whatever the path, and it is held until the process ends.
    const QString appDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    QString startError;
    InstallationLock installationLock;
    if (clearStateFolderNames(appDir, startError)) {
        installationLock = takeInstallationLock(appDir);
        if (installationLock.outcome == GuardOutcome::HeldByOther)
            return 1;
        startError = installationLock.error;
    }

    // Only the updater holding the lock writes the log; one that cannot
    // start logs its reason there as well when it can.
    QString logError;
    if (!startSupportLog(appDir, &logError))
        qDebug() << "无法写入日志:" << logError;
    qDebug() << "更新程序启动:" << QStringLiteral(UPDATER_VERSION) << "已安装版本:" << readInstalledVersion(appDir)
             << "URL:" << SettingsStore::instance().value(kKeyUrl);

    // A program started without a wait may start an updater itself: this
    // one has let go of the installation by then.
    const auto finish = [&installationLock](int code) {
        installationLock.lock.reset();
        releaseInstanceMarker();
        startDeferredMainProgram();
        return code;
    };

    Widget dialog;
    // A caller of the console mode decides itself what to start.
    dialog.setStartOnFailure(!consoleMode
                             && isEnabledSetting(SettingsStore::instance().value(kKeyStartOnFailure)));
    // No one may be at the screen to answer a proxy's question.
    dialog.setProxyPromptAllowed(!consoleMode);
    if (startError.isEmpty())
        startError = SettingsStore::instance().loadError();
    if (!startError.isEmpty())
        return finish(failAtStart(app, dialog, consoleMode, startError, true));

    // An apply that died half way is undone before anything looks at the
    // installation, so it is the old version again. One that cannot be
    // undone leaves a mixed installation: nothing runs and nothing is
    // started; the next start tries again.
    QString recoveryError;
    bool installationWhole = true;
    if (!dialog.recoverInstallation(recoveryError, installationWhole))
        return finish(failAtStart(app, dialog, consoleMode, recoveryError, installationWhole));

    const int code = checkAndHandOver(app, dialog, consoleMode, appDir);
    qDebug() << "更新程序结束，退出码" << code;
    return finish(code);
}
