#include "launcher.h"

#include "config/constants.h"
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

QByteArray mainProgramBatch(const QString &exeName)
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
    const QString text = QStringLiteral("@echo off\r\n"
                                        "timeout /t 2 /nobreak\r\n"
                                        "\"")
        + program + QStringLiteral("\"\r\nexit");
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

QStringList mainProgramShellArguments(const QString &programPath)
{
    return {QStringLiteral("-c"), QStringLiteral("sleep 2; exec \"$1\""), QStringLiteral("sh"),
            programPath};
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

#ifdef Q_OS_WIN
    const QString batchPath = mainProgramBatchPath(appDir);
    // An elevated cmd runs this file: it is written beside and renamed over,
    // in a real UpdateTmp, so no link can swap in another script.
    const bool written = ensureRealDirectory(QFileInfo(batchPath).absolutePath())
        && writeFileReplacing(batchPath, mainProgramBatch(exeName));
    if (written) {
        wchar_t systemDir[MAX_PATH];
        const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
        const QString cmd = QString::fromWCharArray(systemDir, int(length)) + QStringLiteral("\\cmd.exe");
        QProcess process;
        process.setProgram(cmd);
        process.setNativeArguments(cmdNativeArguments(batchPath));
        if (!process.startDetached())
            qDebug() << "无法启动命令解释器:" << cmd;
        return;
    }
    qDebug() << "无法创建批处理脚本:" << batchPath;
    // Without the batch, start the program itself, never split at blanks.
    if (!QProcess::startDetached(programPath, QStringList()))
        qDebug() << "无法启动主程序:" << programPath;
#else
    if (!QProcess::startDetached(QStringLiteral("/bin/sh"), mainProgramShellArguments(programPath)))
        qDebug() << "无法启动主程序:" << programPath;
#endif
}
