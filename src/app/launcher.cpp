#include "launcher.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "fs/durablefile.h"
#include "fs/links.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QString resolveMainProgramPath(const QString &exeName, const QString &appDir)
{
    if (QDir::isAbsolutePath(exeName))
        return exeName;
    return QDir(appDir).filePath(exeName);
}

QString missingMainProgramText(const QString &exeName, const QString &appDir)
{
    if (exeName.isEmpty())
        return QString();
    const QString path = resolveMainProgramPath(exeName, appDir);
    if (QFileInfo(path).isFile())
        return QString();
    return QStringLiteral("找不到主程序:") + QDir::toNativeSeparators(path);
}

int startDelayFromSetting(const QString &text)
{
    bool isNumber = false;
    const qlonglong value = text.trimmed().toLongLong(&isNumber);
    if (!isNumber)
        return kDefaultStartDelaySeconds;
    return int(qBound<qlonglong>(0, value, kMaxStartDelaySeconds));
}

QByteArray mainProgramBatch(const QString &exeName, int delaySeconds)
{
    // cmd expands %NAME% even inside quotes; a doubled % is a literal one.
    const QString escaped = QString(exeName).replace(QLatin1Char('%'), QStringLiteral("%%"));
    QString program;
    if (QDir::isAbsolutePath(exeName)) {
        program = escaped;
    } else {
        // %~dp0 is the batch's own folder, UpdateTmp\, so the line stays
        // ASCII whatever the installation folder is called.
        program = QStringLiteral("%~dp0..\\") + QString(escaped).replace(QLatin1Char('/'), QLatin1Char('\\'));
    }
    const QString text = QStringLiteral("@echo off\r\n")
        + QStringLiteral("timeout /t %1 /nobreak\r\n").arg(delaySeconds) + QLatin1Char('"') + program
        + QStringLiteral("\"\r\nexit");
    return text.toLocal8Bit();
}

QString mainProgramBatchPath(const QString &appDir)
{
    return QDir(appDir).filePath(kUpdateTmpDir + QStringLiteral("start_main.bat"));
}

QString cmdNativeArguments(const QString &batchPath)
{
    // /d skips the AutoRun command, /v:off keeps '!' literal, and /s with the
    // doubled quotes keeps a path holding '&' or blanks in one piece.
    return QStringLiteral("/d /v:off /s /c \"\"") + QDir::toNativeSeparators(batchPath)
        + QStringLiteral("\"\"");
}

QStringList mainProgramShellArguments(const QString &programPath, int delaySeconds)
{
    return {QStringLiteral("-c"), QStringLiteral("sleep %1; exec \"$1\"").arg(delaySeconds), QStringLiteral("sh"),
            programPath};
}

namespace {

// The program startMainProgram() left for the updater's last act.
QString &deferredProgram()
{
    static QString program;
    return program;
}

// Starts program detached, logging the system's reason when it cannot.
void startDetachedLogged(const QString &program, const QStringList &arguments, const QString &shown)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!process.startDetached())
        qDebug() << "无法启动主程序:" << shown << process.errorString();
}

} // namespace

void startDeferredMainProgram()
{
    const QString program = deferredProgram();
    if (program.isEmpty())
        return;
    deferredProgram().clear();
    startDetachedLogged(program, QStringList(), program);
}

void startMainProgram(const QString &exeName)
{
    if (exeName.isEmpty()) {
        qDebug() << "未配置主程序，不启动";
        return;
    }
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString programPath = resolveMainProgramPath(exeName, appDir);
    qDebug() << "启动主程序:" << programPath;
    const QString missing = missingMainProgramText(exeName, appDir);
    if (!missing.isEmpty()) {
        qDebug() << "无法启动主程序:" << missing;
        return;
    }
    SettingsStore &settings = SettingsStore::instance();
    const int delay = settings.isSet(kKeyStartDelay) ? startDelayFromSetting(settings.value(kKeyStartDelay))
                                                     : kDefaultStartDelaySeconds;
    if (delay == 0) {
        // No batch and no wait: started as the updater's last act.
        deferredProgram() = programPath;
        return;
    }

#ifdef Q_OS_WIN
    const QString batchPath = mainProgramBatchPath(appDir);
    // An elevated cmd runs this file: it is written beside and renamed over,
    // in a real UpdateTmp, so no link can swap in another script.
    const bool written = ensureRealDirectory(QFileInfo(batchPath).absolutePath())
        && writeFileReplacing(batchPath, mainProgramBatch(exeName, delay));
    if (written) {
        wchar_t systemDir[MAX_PATH];
        const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
        const QString cmd = QString::fromWCharArray(systemDir, int(length)) + QStringLiteral("\\cmd.exe");
        QProcess process;
        process.setProgram(cmd);
        process.setNativeArguments(cmdNativeArguments(batchPath));
        if (!process.startDetached())
            qDebug() << "无法启动命令解释器:" << cmd << process.errorString();
        return;
    }
    qDebug() << "无法创建批处理脚本:" << batchPath;
    // Without the batch, start the program itself, never split at blanks.
    startDetachedLogged(programPath, QStringList(), programPath);
#else
    startDetachedLogged(QStringLiteral("/bin/sh"), mainProgramShellArguments(programPath, delay), programPath);
#endif
}
