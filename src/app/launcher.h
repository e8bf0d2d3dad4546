#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The updater runs elevated, so whatever it starts runs elevated too: the
// main program is looked up only in the application directory (or at an
// absolute configured path), never in the working directory.

// Where the main program is: a relative exeName is taken from appDir.
QString resolveMainProgramPath(const QString &exeName, const QString &appDir);

// The Windows batch that waits two seconds and starts the main program, as
// the bytes written to UpdateTmp/start_main.bat (CR LF, ANSI code page).
// A relative exeName is addressed from the batch's own folder.
QByteArray mainProgramBatch(const QString &exeName);

// Where the batch is written.
QString mainProgramBatchPath(const QString &appDir);

// The arguments of cmd.exe for the batch, as one native command line.
QString cmdNativeArguments(const QString &batchPath);

// Elsewhere: /bin/sh waits the same two seconds and then execs the program.
QStringList mainProgramShellArguments(const QString &programPath);

// Starts the main program detached after a two-second delay, so that the
// updater can exit first. Failures are logged only.
void startMainProgram(const QString &exeName);
