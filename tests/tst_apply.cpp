// Installing downloaded files all or nothing, undoing a failed or
// interrupted install, and the dialog's apply step built on it.

#include "config/constants.h"
#include "testsupport.h"
#include "update/updatetransaction.h"

#include <QTemporaryDir>
#include <QtTest>

class TestApply : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void installsAndCommits();
    void rollbackRestoresEverything();
    void directoryInTheWayFailsAndRollsBack();
    void fileWhereFolderIsNeededFails();
    void interruptedApplyIsUndoneAtNextStart_data();
    void interruptedApplyIsUndoneAtNextStart();
    void journalOfUnfinishedSteps();
    void leftoverBackupsAreRemoved();

    void applyInstallsRecordsLast();
    void applyFailureKeepsOldVersion();
    void applyWithoutTempFolder();

private:
    QString appDir() const { return m_app->path() + QLatin1Char('/'); }
    // The installation before the update, and the update in UpdateTmp/.
    void layOut();

    std::unique_ptr<QTemporaryDir> m_app;
};

void TestApply::initTestCase()
{
    // Failures here are final; no point waiting for a file to be released.
    UpdateTransaction::setRetryPolicy(1, 0);
}

void TestApply::init()
{
    m_app = std::make_unique<QTemporaryDir>();
    QVERIFY(m_app->isValid());
}

void TestApply::layOut()
{
    QVERIFY(writeFile(appDir() + "main.sh", "#!/bin/sh\necho old\n"));
    QVERIFY(QFile::setPermissions(appDir() + "main.sh", QFileDevice::Permissions(0x7755)));
    QVERIFY(writeFile(appDir() + "keep.txt", "not part of the update"));
    QVERIFY(writeFile(appDir() + "lib/a.dll", "old a"));
    QVERIFY(writeFile(appDir() + "md5.txt", "old manifest\n"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/update.ini", "[Version]\nVersion=1.0\n"));

    QVERIFY(writeFile(appDir() + "UpdateTmp/main.sh", "#!/bin/sh\necho new\n"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/lib/a.dll", "new a"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/new/deep/b.dat", "brand new"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/md5Tmp.txt", "new manifest\n"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/updateTmp.ini", "[Version]\nFolder=2.0\nVersion=2.0\n"));
}

void TestApply::installsAndCommits()
{
    layOut();
    UpdateTransaction transaction(appDir());
    QVERIFY(transaction.begin());
    for (const QString &key : QStringList({"/main.sh", "/lib/a.dll", "/new/deep/b.dat"}))
        QVERIFY(transaction.install(appDir() + "UpdateTmp" + key, key));
    QVERIFY(transaction.commit());

    QCOMPARE(readFile(appDir() + "main.sh"), QByteArray("#!/bin/sh\necho new\n"));
    QCOMPARE(readFile(appDir() + "lib/a.dll"), QByteArray("new a"));
    QCOMPARE(readFile(appDir() + "new/deep/b.dat"), QByteArray("brand new"));
    QCOMPARE(readFile(appDir() + "keep.txt"), QByteArray("not part of the update"));
    // The replaced program keeps its permission bits, executable included.
#ifndef Q_OS_WIN // no POSIX permission bits there
    QCOMPARE(QFile::permissions(appDir() + "main.sh"), QFileDevice::Permissions(0x7755));
#endif
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateTmp/main.sh"));
}

void TestApply::rollbackRestoresEverything()
{
    layOut();
    const auto before = snapshotTree(appDir());
    UpdateTransaction transaction(appDir());
    QVERIFY(transaction.begin());
    for (const QString &key : QStringList({"/main.sh", "/lib/a.dll", "/new/deep/b.dat"})) {
        QVERIFY(QFile::copy(appDir() + "UpdateTmp" + key, appDir() + "UpdateTmp" + key + ".copy"));
        QVERIFY(transaction.install(appDir() + "UpdateTmp" + key + ".copy", key));
    }
    QVERIFY(transaction.rollback());
    QCOMPARE(snapshotTree(appDir()), before);
}

void TestApply::directoryInTheWayFailsAndRollsBack()
{
    layOut();
    // The update brings a file "conflict" where the installation has a folder
    // with content: that file cannot be installed.
    QVERIFY(writeFile(appDir() + "UpdateTmp/conflict", "file"));
    QVERIFY(writeFile(appDir() + "conflict/inside.txt", "user data"));
    const auto before = snapshotTree(appDir());

    UpdateTransaction transaction(appDir());
    QVERIFY(transaction.begin());
    QVERIFY(transaction.install(appDir() + "UpdateTmp/lib/a.dll", "/lib/a.dll"));
    QVERIFY(!transaction.install(appDir() + "UpdateTmp/conflict", "/conflict"));
    QVERIFY(transaction.rollback());

    auto after = snapshotTree(appDir());
    // The downloaded copy was consumed by the successful step; everything in
    // the installation is as it was.
    auto expected = before;
    expected.remove("/UpdateTmp/lib/a.dll");
    QCOMPARE(after, expected);
}

void TestApply::fileWhereFolderIsNeededFails()
{
    layOut();
    QVERIFY(writeFile(appDir() + "plugins", "a file, not a folder"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/plugins/p.dll", "plugin"));
    const auto before = snapshotTree(appDir());
    UpdateTransaction transaction(appDir());
    QVERIFY(transaction.begin());
    QVERIFY(!transaction.install(appDir() + "UpdateTmp/plugins/p.dll", "/plugins/p.dll"));
    QVERIFY(transaction.rollback());
    QCOMPARE(snapshotTree(appDir()), before);
}

void TestApply::interruptedApplyIsUndoneAtNextStart_data()
{
    QTest::addColumn<int>("stepsDone");
    QTest::newRow("after one file") << 1;
    QTest::newRow("after the new folder") << 3;
    QTest::newRow("after the manifest") << 4;
    QTest::newRow("after the version record") << 5;
}

void TestApply::interruptedApplyIsUndoneAtNextStart()
{
    QFETCH(int, stepsDone);
    layOut();
    auto before = snapshotTree(appDir());
    const QVector<QPair<QString, QString>> steps = {
        {"UpdateTmp/main.sh", "/main.sh"},
        {"UpdateTmp/lib/a.dll", "/lib/a.dll"},
        {"UpdateTmp/new/deep/b.dat", "/new/deep/b.dat"},
        {"UpdateTmp/md5Tmp.txt", "/md5.txt"},
        {"UpdateTmp/updateTmp.ini", "/UpdateTmp/update.ini"},
    };
    {
        // The process "dies": no commit, no rollback, just gone.
        UpdateTransaction transaction(appDir());
        QVERIFY(transaction.begin());
        for (int i = 0; i < stepsDone; ++i)
            QVERIFY(transaction.install(appDir() + steps.at(i).first, steps.at(i).second));
    }
    QVERIFY(QFileInfo::exists(appDir() + "UpdateBackup/journal"));

    QVERIFY(UpdateTransaction::recover(appDir()));
    auto after = snapshotTree(appDir());
    // What was consumed from UpdateTmp/ is gone; the installation itself,
    // manifest and version record included, is the old one byte for byte.
    for (int i = 0; i < stepsDone; ++i)
        before.remove(QLatin1Char('/') + steps.at(i).first);
    for (auto it = before.begin(); it != before.end();) {
        if (it.key().startsWith("/UpdateTmp/") && it.value() == "<dir>" && !after.contains(it.key()))
            it = before.erase(it);
        else
            ++it;
    }
    QCOMPARE(after, before);
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));
#ifndef Q_OS_WIN // no POSIX permission bits there
    QCOMPARE(QFile::permissions(appDir() + "main.sh"), QFileDevice::Permissions(0x7755));
#endif
}

void TestApply::journalOfUnfinishedSteps()
{
    // Killed right after writing a step down, before doing it, and in the
    // middle of writing the next line.
    QVERIFY(writeFile(appDir() + "a.txt", "original a"));
    QVERIFY(writeFile(appDir() + "UpdateBackup/journal",
                      "backup\t/a.txt\nnew\t/b.txt\ndir\t/never\nbackup\t/c."));
    QVERIFY(UpdateTransaction::recover(appDir()));
    QCOMPARE(readFile(appDir() + "a.txt"), QByteArray("original a"));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));

    // A new file put in place before the crash is taken out again.
    QVERIFY(writeFile(appDir() + "b.txt", "from the update"));
    QVERIFY(writeFile(appDir() + "fresh/x.txt", "from the update"));
    QVERIFY(writeFile(appDir() + "UpdateBackup/journal", "new\t/b.txt\ndir\t/fresh\nnew\t/fresh/x.txt\n"));
    QVERIFY(UpdateTransaction::recover(appDir()));
    QVERIFY(!QFileInfo::exists(appDir() + "b.txt"));
    QVERIFY(!QFileInfo::exists(appDir() + "fresh"));
    QCOMPARE(readFile(appDir() + "a.txt"), QByteArray("original a"));
}

void TestApply::leftoverBackupsAreRemoved()
{
    QVERIFY(writeFile(appDir() + "UpdateBackup/files/old.dll", "a backup that was in use"));
    QVERIFY(writeFile(appDir() + "old.dll", "current"));
    QVERIFY(UpdateTransaction::recover(appDir()));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));
    QCOMPARE(readFile(appDir() + "old.dll"), QByteArray("current"));
}

void TestApply::applyInstallsRecordsLast()
{
    layOut();
    QVERIFY(writeFile(appDir() + "UpdateTmp/not-verified.txt", "must not be installed"));
    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    dialog.m_verifiedFiles = QStringList({"/lib/a.dll", "/main.sh", "/new/deep/b.dat"});
    QVERIFY(dialog.applyUpdate());

    QCOMPARE(readFile(appDir() + "md5.txt"), QByteArray("new manifest\n"));
    QCOMPARE(readFile(appDir() + "UpdateTmp/update.ini"), QByteArray("[Version]\nFolder=2.0\nVersion=2.0\n"));
    QCOMPARE(readFile(appDir() + "new/deep/b.dat"), QByteArray("brand new"));
    QVERIFY(!QFileInfo::exists(appDir() + "not-verified.txt"));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateTmp/lib"));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateTmp/new"));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));
}

void TestApply::applyFailureKeepsOldVersion()
{
    layOut();
    QVERIFY(writeFile(appDir() + "UpdateTmp/zz", "file"));
    QVERIFY(writeFile(appDir() + "zz/inside.txt", "user data"));
    const auto before = snapshotTree(appDir());

    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    dialog.m_verifiedFiles = QStringList({"/lib/a.dll", "/main.sh", "/new/deep/b.dat", "/zz"});
    QVERIFY(!dialog.applyUpdate());
    QCOMPARE(dialog.m_errorMessage, QStringLiteral("无法替换文件:/zz"));

    const auto after = snapshotTree(appDir());
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!it.key().startsWith("/UpdateTmp/"))
            QCOMPARE(after.value(it.key()), it.value());
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        QVERIFY2(before.contains(it.key()), qPrintable(it.key()));
    QCOMPARE(readFile(appDir() + "UpdateTmp/update.ini"), QByteArray("[Version]\nVersion=1.0\n"));
}

void TestApply::applyWithoutTempFolder()
{
    QVERIFY(writeFile(appDir() + "md5.txt", "old manifest\n"));
    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    QVERIFY(!dialog.applyUpdate());
    QCOMPARE(dialog.m_errorMessage, QStringLiteral("临时目录不存在:") + appDir() + kUpdateTmpDir);
    QCOMPARE(readFile(appDir() + "md5.txt"), QByteArray("old manifest\n"));
}

QTEST_MAIN(TestApply)
#include "tst_apply.moc"
