// Installing downloaded files all or nothing, undoing a failed or
// interrupted install, and the dialog's apply step built on it.

#include "config/constants.h"
#include "testsupport.h"
#include "fs/links.h"
#include "update/updatetransaction.h"

#include <QProcess>
#include <QSettings>
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
    void journalOfUnfinishedSteps_data();
    void journalOfUnfinishedSteps();
    void recoveryActsOnlyOnItsOwnJournal_data();
    void recoveryActsOnlyOnItsOwnJournal();
    void leftoverBackupsAreRemoved();
    void backupAcrossVolumes_data();
    void backupAcrossVolumes();

    void applyInstallsRecordsLast();
    void applyFailureKeepsOldVersion();
    void applyWithoutTempFolder();

private:
    QString appDir() const { return m_app->path() + QLatin1Char('/'); }
    // The installation before the update, and the update in UpdateTmp/.
    void layOut();
    // A journal as the updater writes it, with transaction id T1.
    QByteArray journal(const QString &installation, const QString &version, const QByteArray &steps) const;

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
    QVERIFY(transaction.begin("2.0"));
    for (const QString &key : QStringList({"/main.sh", "/lib/a.dll", "/new/deep/b.dat"}))
        QVERIFY(transaction.install(appDir() + "UpdateTmp" + key, key));
    QVERIFY(transaction.commit(appDir() + "UpdateTmp/updateTmp.ini"));

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
    QVERIFY(transaction.begin("2.0"));
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
    QVERIFY(transaction.begin("2.0"));
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
    QVERIFY(transaction.begin("2.0"));
    QVERIFY(!transaction.install(appDir() + "UpdateTmp/plugins/p.dll", "/plugins/p.dll"));
    QVERIFY(transaction.rollback());
    QCOMPARE(snapshotTree(appDir()), before);
}

void TestApply::interruptedApplyIsUndoneAtNextStart_data()
{
    QTest::addColumn<int>("stepsDone");
    QTest::addColumn<bool>("recordInPlace");
    QTest::newRow("after one file") << 1 << false;
    QTest::newRow("after the new folder") << 3 << false;
    QTest::newRow("after the manifest") << 4 << false;
    // The stamped record is the commit point: the journal left behind only
    // needs tidying up.
    QTest::newRow("after the version record") << 4 << true;
}

void TestApply::interruptedApplyIsUndoneAtNextStart()
{
    QFETCH(int, stepsDone);
    QFETCH(bool, recordInPlace);
    layOut();
    auto before = snapshotTree(appDir());
    const QVector<QPair<QString, QString>> steps = {
        {"UpdateTmp/main.sh", "/main.sh"},
        {"UpdateTmp/lib/a.dll", "/lib/a.dll"},
        {"UpdateTmp/new/deep/b.dat", "/new/deep/b.dat"},
        {"UpdateTmp/md5Tmp.txt", "/md5.txt"},
    };
    {
        // The process "dies": no commit, no rollback, just gone.
        UpdateTransaction transaction(appDir());
        QVERIFY(transaction.begin("2.0"));
        for (int i = 0; i < stepsDone; ++i)
            QVERIFY(transaction.install(appDir() + steps.at(i).first, steps.at(i).second));
        if (recordInPlace) {
            QSettings record(appDir() + "UpdateTmp/updateTmp.ini", QSettings::IniFormat);
            record.setValue(UpdateTransaction::recordTransactionKey(), transaction.id());
            record.sync();
            QVERIFY(transaction.install(appDir() + "UpdateTmp/updateTmp.ini", UpdateTransaction::recordKey()));
        }
    }
    QVERIFY(QFileInfo::exists(appDir() + "UpdateBackup/journal"));

    QVERIFY(UpdateTransaction::recover(appDir()));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));
    if (recordInPlace) {
        QCOMPARE(readFile(appDir() + "main.sh"), QByteArray("#!/bin/sh\necho new\n"));
        QCOMPARE(readFile(appDir() + "md5.txt"), QByteArray("new manifest\n"));
        QCOMPARE(QSettings(appDir() + "UpdateTmp/update.ini", QSettings::IniFormat).value("Version/Version"),
                 QVariant("2.0"));
        return;
    }
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
#ifndef Q_OS_WIN // no POSIX permission bits there
    QCOMPARE(QFile::permissions(appDir() + "main.sh"), QFileDevice::Permissions(0x7755));
#endif
}

QByteArray TestApply::journal(const QString &installation, const QString &version,
                              const QByteArray &steps) const
{
    return "installation\t" + installation.toUtf8() + "\nversion\t" + version.toUtf8()
        + "\ntransaction\tT1\n" + steps;
}

void TestApply::journalOfUnfinishedSteps_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QStringList>("filesBefore");
    QTest::addColumn<QStringList>("filesAfter");

    // Killed right after writing a step down, before doing it, and in the
    // middle of writing the next line.
    QTest::newRow("steps written, not done")
        << QByteArray("backup\t/a.txt\nnew\t/b.txt\ndir\t/never\nbackup\t/c.")
        << QStringList({"/a.txt=current a"}) << QStringList({"/a.txt=current a"});
    // A new file put in place before the crash is taken out again.
    QTest::newRow("new file and folder")
        << QByteArray("new\t/b.txt\ndir\t/fresh\nnew\t/fresh/x.txt\n")
        << QStringList({"/a.txt=current a", "/b.txt=update", "/fresh/x.txt=update"})
        << QStringList({"/a.txt=current a"});
    // Moved aside across volumes: the copy was cut short and never got its
    // name, so the original stays and the partial copy goes.
    QTest::newRow("backup copy cut short")
        << QByteArray("backup\t/big.dat\n")
        << QStringList({"/big.dat=the whole original", "/UpdateBackup/files/big.dat.partial=the who"})
        << QStringList({"/big.dat=the whole original"});
    // Renamed aside, killed before the next line: the backup is whole by
    // its name and must come back.
    QTest::newRow("renamed aside, not yet noted")
        << QByteArray("backup\t/a.txt\n")
        << QStringList({"/UpdateBackup/files/a.txt=original a"}) << QStringList({"/a.txt=original a"});
    QTest::newRow("replaced after a whole backup")
        << QByteArray("backup\t/a.txt\nsaved\t/a.txt\n")
        << QStringList({"/a.txt=update a", "/UpdateBackup/files/a.txt=original a"})
        << QStringList({"/a.txt=original a"});
}

void TestApply::journalOfUnfinishedSteps()
{
    QFETCH(QByteArray, steps);
    QFETCH(QStringList, filesBefore);
    QFETCH(QStringList, filesAfter);
    for (const QString &file : filesBefore)
        QVERIFY(writeFile(appDir() + file.section('=', 0, 0).mid(1), file.section('=', 1).toUtf8()));
    QVERIFY(writeFile(appDir() + "UpdateBackup/journal", journal(canonicalFolderIdentity(appDir()), "2.0", steps)));
    QVERIFY(UpdateTransaction::recover(appDir()));

    QMap<QString, QByteArray> expected;
    for (const QString &file : filesAfter)
        expected.insert(file.section('=', 0, 0), file.section('=', 1).toUtf8());
    QCOMPARE(snapshotTree(appDir()), expected);
}

void TestApply::recoveryActsOnlyOnItsOwnJournal_data()
{
    QTest::addColumn<QString>("installation"); // "" stands for this one
    QTest::addColumn<QByteArray>("header");    // replaces the whole header when set
    QTest::addColumn<QByteArray>("extraStep");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("rolledBack");
    QTest::addColumn<bool>("setAside");

    const QByteArray v1("[Version]\nVersion=1.0\n");
    QTest::newRow("interrupted here") << "" << QByteArray() << QByteArray() << v1 << true << false;
    QTest::newRow("committed") << "" << QByteArray() << QByteArray()
                               << QByteArray("[Version]\nVersion=2.0\nTransaction=T1\n") << false << false;
    QTest::newRow("reinstalled over it") << "" << QByteArray() << QByteArray()
                                         << QByteArray("[Version]\nVersion=2.0\n") << false << true;
    QTest::newRow("other installation") << "/some/other/installation" << QByteArray() << QByteArray() << v1
                                        << false << true;
    QTest::newRow("no identity") << "" << QByteArray("\n") << QByteArray() << v1 << false << true;
    QTest::newRow("key out of the installation") << "" << QByteArray() << QByteArray("new\t/../outside/x\n") << v1
                                                 << false << true;
    QTest::newRow("own file key in a folder") << "" << QByteArray() << QByteArray("new\t/UpdateBackup/x\n") << v1
                                              << false << true;
}

void TestApply::recoveryActsOnlyOnItsOwnJournal()
{
    QFETCH(QString, installation);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, extraStep);
    QFETCH(QByteArray, record);
    QFETCH(bool, rolledBack);
    QFETCH(bool, setAside);

    // The outside file sits beside the installation.
    QTemporaryDir outer;
    QVERIFY(outer.isValid());
    const QString app = outer.path() + "/app/";
    QVERIFY(writeFile(outer.path() + "/outside/x", "not the updater's"));
    QVERIFY(writeFile(app + "a.txt", "current a"));
    QVERIFY(writeFile(app + "b.txt", "current b"));
    QVERIFY(writeFile(app + "UpdateBackup/x", "a stray file"));
    QVERIFY(writeFile(app + "UpdateBackup/files/a.txt", "backup a"));
    QVERIFY(writeFile(app + "UpdateTmp/update.ini", record));
    const QByteArray steps = "backup\t/a.txt\nsaved\t/a.txt\nnew\t/b.txt\n" + extraStep;
    QByteArray text = journal(installation.isEmpty() ? canonicalFolderIdentity(app) : installation, "2.0", steps);
    if (!header.isEmpty())
        text = steps;
    QVERIFY(writeFile(app + "UpdateBackup/journal", text));

    QVERIFY(UpdateTransaction::recover(app));
    QCOMPARE(readFile(outer.path() + "/outside/x"), QByteArray("not the updater's"));
    QCOMPARE(readFile(app + "a.txt"), QByteArray(rolledBack ? "backup a" : "current a"));
    QCOMPARE(QFileInfo::exists(app + "b.txt"), !rolledBack);
    const QStringList stale = QDir(app + "UpdateBackup").entryList({"stale-*"}, QDir::Dirs);
    QCOMPARE(stale.size(), setAside ? 1 : 0);
    if (setAside) {
        // Untouched, for support to look at.
        QCOMPARE(readFile(app + "UpdateBackup/" + stale.first() + "/journal"), text);
        QCOMPARE(readFile(app + "UpdateBackup/" + stale.first() + "/files/a.txt"), QByteArray("backup a"));
        QVERIFY(!QFileInfo::exists(app + "UpdateBackup/journal"));
    } else {
        QVERIFY(!QFileInfo::exists(app + "UpdateBackup"));
    }
}

void TestApply::leftoverBackupsAreRemoved()
{
    QVERIFY(writeFile(appDir() + "UpdateBackup/files/old.dll", "a backup that was in use"));
    QVERIFY(writeFile(appDir() + "UpdateBackup/stale-20260101-000000-000/journal", "kept"));
    QVERIFY(writeFile(appDir() + "old.dll", "current"));
    QVERIFY(UpdateTransaction::recover(appDir()));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup/files"));
    QCOMPARE(readFile(appDir() + "UpdateBackup/stale-20260101-000000-000/journal"), QByteArray("kept"));
    QCOMPARE(readFile(appDir() + "old.dll"), QByteArray("current"));
}

void TestApply::backupAcrossVolumes_data()
{
    QTest::addColumn<bool>("commit");
    QTest::newRow("rolled back") << false;
    QTest::newRow("committed") << true;
}

void TestApply::backupAcrossVolumes()
{
#ifdef Q_OS_WIN
    QSKIP("mounts a tmpfs");
#else
    QFETCH(bool, commit);
    // data/ on another file system: moving a file aside becomes a copy.
    const QString data = appDir() + "data";
    QVERIFY(QDir().mkpath(data));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=32m", "tmpfs", data}) != 0)
        QSKIP("needs the right to mount a tmpfs");
    struct Unmount
    {
        QString point;
        ~Unmount() { QProcess::execute("umount", {"-l", point}); }
    } unmount{data};

    const QByteArray original(6 * 1024 * 1024, 'o');
    QVERIFY(writeFile(data + "/big.dat", original));
    QVERIFY(QFile::setPermissions(data + "/big.dat", QFileDevice::Permissions(0x6640)));
    QVERIFY(writeFile(appDir() + "UpdateTmp/data/big.dat", "new"));
    QVERIFY(writeFile(appDir() + "UpdateTmp/updateTmp.ini", "[Version]\nVersion=2.0\n"));

    UpdateTransaction transaction(appDir());
    QVERIFY(transaction.begin("2.0"));
    QVERIFY(transaction.install(appDir() + "UpdateTmp/data/big.dat", "/data/big.dat"));
    // The backup is whole and noted as such before the original went.
    QCOMPARE(readFile(appDir() + "UpdateBackup/files/data/big.dat"), original);
    QVERIFY(readFile(appDir() + "UpdateBackup/journal").endsWith("backup\t/data/big.dat\nsaved\t/data/big.dat\n"));
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup/files/data/big.dat.partial"));
    QCOMPARE(readFile(data + "/big.dat"), QByteArray("new"));

    if (commit) {
        QVERIFY(transaction.commit(appDir() + "UpdateTmp/updateTmp.ini"));
        QCOMPARE(readFile(data + "/big.dat"), QByteArray("new"));
    } else {
        QVERIFY(transaction.rollback());
        QCOMPARE(readFile(data + "/big.dat"), original);
        QCOMPARE(QFile::permissions(data + "/big.dat"), QFileDevice::Permissions(0x6640));
        QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList({"big.dat"}));
    }
    QVERIFY(!QFileInfo::exists(appDir() + "UpdateBackup"));
#endif
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
    {
        // The server's record, stamped with the transaction that put it there.
        QSettings record(appDir() + "UpdateTmp/update.ini", QSettings::IniFormat);
        QCOMPARE(record.value("Version/Version"), QVariant("2.0"));
        QCOMPARE(record.value("Version/Folder"), QVariant("2.0"));
        QCOMPARE(record.value("Version/Transaction").toString().size(), 36);
    }
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
