#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The updater runs elevated, so whatever it starts runs elevated too: the
// main program is looked up only in the application directory (or at an
// absolute configured path), never in the working directory.

// Where the main program is: a relative exeName is taken from appDir.
QString resolveMainProgramPath(const QString &exeName, const QString &appDir);

// "找不到主程序:<path>" when exeName names nothing that is a file; empty
// when it does, or when no program is configured.
QString missingMainProgramText(const QString &exeName, const QString &appDir);

// Seconds between the updater's exit and the main program's start: the
// StartDelay setting, 0 to 10 (larger counts as 10); absent, empty or not
// a number is 2, the wait the updater has always had.
constexpr int kDefaultStartDelaySeconds = 2;
constexpr int kMaxStartDelaySeconds = 10;
int startDelayFromSetting(const QString &text);

// The Windows batch that waits delaySeconds and starts the main program, as
// the bytes written to UpdateTmp/start_main.bat (CR LF, ANSI code page).
// A relative exeName is addressed from the batch's own folder.
QByteArray mainProgramBatch(const QString &exeName, int delaySeconds = kDefaultStartDelaySeconds);

// Where the batch is written.
QString mainProgramBatchPath(const QString &appDir);

// The arguments of cmd.exe for the batch, as one native command line.
QString cmdNativeArguments(const QString &batchPath);

// Elsewhere: /bin/sh waits the same time and then execs the program.
QStringList mainProgramShellArguments(const QString &programPath, int delaySeconds = kDefaultStartDelaySeconds);

// Starts the main program detached after the StartDelay of system.cfg, so
// that the updater can exit first. With a delay of 0 it is only noted, and
// startDeferredMainProgram() starts it directly, as the updater's last act.
// Failures are logged only.
void startMainProgram(const QString &exeName);

// Starts the program noted by startMainProgram() with no delay; call once
// the lock and the instance marker are let go of. Nothing when none is due.
void startDeferredMainProgram();
