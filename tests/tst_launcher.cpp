// How the main program is located, written into the Windows batch, and
// started after the delay.

#include "app/launcher.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

class TestLauncher : public QObject
{
    Q_OBJECT

private slots:
    void resolvesAgainstApplicationFolder_data();
    void resolvesAgainstApplicationFolder();
    void batchBytes_data();
    void batchBytes();
    void cmdArguments();
    void startDelaySetting_data();
    void startDelaySetting();
    void missingProgram_data();
    void missingProgram();
    void startsAfterTheDelay();
};

void TestLauncher::resolvesAgainstApplicationFolder_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain name") << "Main.exe" << "/opt/my app/Main.exe";
    QTest::newRow("sub-folder") << "bin/Main.exe" << "/opt/my app/bin/Main.exe";
    QTest::newRow("absolute") << "/usr/local/bin/tool" << "/usr/local/bin/tool";
}

void TestLauncher::resolvesAgainstApplicationFolder()
{
    QFETCH(QString, exeName);
    QFETCH(QString, expected);
    // The working directory is somewhere else entirely.
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
    QCOMPARE(resolveMainProgramPath(exeName, QStringLiteral("/opt/my app")), expected);
}

void TestLauncher::batchBytes_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("relative") << "Main.exe"
                              << QByteArray("@echo off\r\ntimeout /t 2 /nobreak\r\n\"%~dp0..\\Main.exe\"\r\nexit");
    QTest::newRow("relative in a folder")
        << "bin/My Main.exe"
        << QByteArray("@echo off\r\ntimeout /t 2 /nobreak\r\n\"%~dp0..\\bin\\My Main.exe\"\r\nexit");
    QTest::newRow("relative, % doubled")
        << "100%/%PATH%.exe"
        << QByteArray("@echo off\r\ntimeout /t 2 /nobreak\r\n\"%~dp0..\\100%%\\%%PATH%%.exe\"\r\nexit");
    QTest::newRow("absolute keeps its form, % doubled")
        << "C:/Apps/100%/Main.exe"
        << QByteArray("@echo off\r\ntimeout /t 2 /nobreak\r\n\"C:/Apps/100%%/Main.exe\"\r\nexit");
}

void TestLauncher::batchBytes()
{
    QFETCH(QString, exeName);
    QFETCH(QByteArray, bytes);
#ifndef Q_OS_WIN
    if (exeName.startsWith(QLatin1String("C:")))
        QSKIP("a drive path is not absolute here");
#endif
    QCOMPARE(mainProgramBatch(exeName), bytes);
}

void TestLauncher::cmdArguments()
{
    QCOMPARE(mainProgramBatchPath(QStringLiteral("/opt/a & b")),
             QStringLiteral("/opt/a & b/UpdateTmp/start_main.bat"));
    const QString native = QDir::toNativeSeparators(QStringLiteral("/opt/a & b/UpdateTmp/start_main.bat"));
    QCOMPARE(cmdNativeArguments(QStringLiteral("/opt/a & b/UpdateTmp/start_main.bat")),
             QStringLiteral("/d /v:off /s /c \"\"") + native + QStringLiteral("\"\""));
}

void TestLauncher::startDelaySetting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("seconds");

    QTest::newRow("empty is the usual two") << "" << 2;
    QTest::newRow("not a number") << "soon" << 2;
    QTest::newRow("no wait") << "0" << 0;
    QTest::newRow("blanks around") << " 5 " << 5;
    QTest::newRow("the most") << "10" << 10;
    QTest::newRow("above the most") << "3600" << 10;
    QTest::newRow("negative") << "-3" << 0;
}

void TestLauncher::startDelaySetting()
{
    QFETCH(QString, text);
    QFETCH(int, seconds);
    QCOMPARE(startDelayFromSetting(text), seconds);
    // The batch waits exactly that long; its default is the batch as always.
    const QByteArray batch = mainProgramBatch(QStringLiteral("Main.exe"), seconds);
    QCOMPARE(batch, QByteArray("@echo off\r\ntimeout /t ") + QByteArray::number(seconds)
                        + " /nobreak\r\n\"%~dp0..\\Main.exe\"\r\nexit");
    QCOMPARE(mainProgramShellArguments(QStringLiteral("/a b/run"), seconds).at(1),
             QStringLiteral("sleep %1; exec \"$1\"").arg(seconds));
    QCOMPARE(mainProgramBatch(QStringLiteral("Main.exe")), mainProgramBatch(QStringLiteral("Main.exe"), 2));
}

void TestLauncher::missingProgram_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<bool>("missing");

    QTest::newRow("there") << "bin/Main.exe" << false;
    QTest::newRow("not there") << "Other.exe" << true;
    QTest::newRow("a folder of that name") << "bin" << true;
    QTest::newRow("none configured") << "" << false;
}

void TestLauncher::missingProgram()
{
    QFETCH(QString, exeName);
    QFETCH(bool, missing);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("bin/Main.exe")), "program"));
    const QString text = missingMainProgramText(exeName, dir.path());
    QCOMPARE(text.isEmpty(), !missing);
    if (missing)
        QCOMPARE(text, QStringLiteral("找不到主程序:") + QDir::toNativeSeparators(dir.filePath(exeName)));
}

void TestLauncher::startsAfterTheDelay()
{
#ifdef Q_OS_WIN
    QSKIP("the Windows start goes through cmd and is covered by the process tests");
#endif
    // A path with blanks and a quote must reach the program as one word.
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/my \"main\" app");
    const QString program = folder + QStringLiteral("/run me.sh");
    const QString marker = dir.path() + QStringLiteral("/started");
    QVERIFY(writeFile(program, "#!/bin/sh\necho \"$0\" >> '" + marker.toUtf8() + "'\n"));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));

    QElapsedTimer clock;
    clock.start();
    startMainProgram(program);
    QVERIFY(!QFileInfo::exists(marker)); // it waits before starting
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 15000);
    QVERIFY(clock.elapsed() >= 1900);
    QTest::qWait(500);
    QCOMPARE(readFile(marker), program.toUtf8() + '\n'); // started once, with its own path
}

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
