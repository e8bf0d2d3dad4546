// Links in the installation never aim the updater's writes and deletes
// outside it: its own folders and state files, folders on the way to an
// installed file, and the clean-ups.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "manifest/filemanifest.h"
#include "testsupport.h"
#include "fs/links.h"
#include "update/updatetransaction.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

class TestFs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nothingHappensThroughALink_data();
    void nothingHappensThroughALink();

private:
    FaultServer m_faults;
};

namespace {

// A link at path to target: a symbolic link, on Windows a junction for a
// folder (what anyone may create) and a symbolic link for a file.
bool makeLink(const QString &target, const QString &path)
{
#ifdef Q_OS_WIN
    if (QFileInfo(target).isDir()) {
        const QString command = QStringLiteral("mklink /J \"%1\" \"%2\"")
                                    .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(target));
        QProcess cmd;
        cmd.setProgram(QStringLiteral("cmd.exe"));
        cmd.setNativeArguments(QStringLiteral("/c ") + command);
        cmd.start();
        return cmd.waitForFinished(30000) && cmd.exitCode() == 0 && isLinkOrReparsePoint(path);
    }
    return CreateSymbolicLinkW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                               reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        && isLinkOrReparsePoint(path);
#else
    return QFile::link(target, path);
#endif
}

} // namespace

void TestFs::initTestCase()
{
    UpdateTransaction::setRetryPolicy(1, 0);
    QVERIFY(m_faults.listen());
    m_faults.setBody(QStringLiteral("/update.ini"), "[Version]\nFolder=2.0\nVersion=2.0\n");
}

void TestFs::nothingHappensThroughALink_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("link");   // in the installation
    QTest::addColumn<QString>("target"); // in the outside folder; "" is the folder itself
    QTest::addColumn<QString>("message");

    QTest::newRow("backup folder") << "recover" << "UpdateBackup" << "" << "";
    QTest::newRow("temp folder") << "check" << "UpdateTmp" << "" << "";
    QTest::newRow("folder inside the temp folder") << "cleanup" << "UpdateTmp/sub" << "" << "";
    QTest::newRow("version file") << "download" << "UpdateTmp/updateTmp.ini" << "keep.txt" << "";
    QTest::newRow("dangling manifest") << "manifest" << "md5.txt" << "created.txt" << "";
    QTest::newRow("folder of an installed file") << "apply" << "plugins" << ""
                                                 << QStringLiteral("不安全的文件路径:/plugins/x.dll");
}

void TestFs::nothingHappensThroughALink()
{
    QFETCH(QString, action);
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QString, message);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString app = root.path() + "/app/";
    const QString outside = root.path() + "/outside";
    QVERIFY(writeFile(outside + "/keep.txt", "outside, not the updater's"));
    QVERIFY(writeFile(outside + "/x.dll", "outside plugin"));
    QVERIFY(writeFile(outside + "/journal", "installation\t/elsewhere\n"));
    QVERIFY(writeFile(app + "UpdateTmp/update.ini", "[Version]\nVersion=1.0\n"));
    QVERIFY(writeFile(app + "UpdateTmp/x.dll", "new plugin"));
    QVERIFY(writeFile(app + "UpdateTmp/md5Tmp.txt", "new manifest\n"));
    QVERIFY(writeFile(app + "UpdateTmp/updateTmp.ini", "[Version]\nFolder=2.0\nVersion=2.0\n"));
    QVERIFY(writeFile(app + "UpdateTmp/plugins/x.dll", "new plugin"));
    if (link.contains('/'))
        QVERIFY(QDir().mkpath(QFileInfo(app + link).absolutePath()));
    removeTree(app + link);
    if (!makeLink(target.isEmpty() ? outside : outside + "/" + target, app + link))
        QSKIP("this system cannot make that link here");
    const auto before = snapshotTree(outside);

    WidgetProbe dialog;
    dialog.m_appDir = app;
    if (action == "recover") {
        QVERIFY(UpdateTransaction::recover(app));
    } else if (action == "check") {
        SettingsStore::instance().setValue(kKeyUrl, m_faults.baseUrl());
        QVERIFY(!dialog.checkUpdate()); // 2.0 against 1.0: an update is due
        dialog.cleanupTempFiles();
    } else if (action == "cleanup") {
        dialog.cleanupTempFiles();
    } else if (action == "download") {
        QVERIFY(dialog.downloadFileBlocking(m_faults.baseUrl() + "update.ini", app + link, nullptr));
        QCOMPARE(readFile(app + link), QByteArray("[Version]\nFolder=2.0\nVersion=2.0\n"));
    } else if (action == "manifest") {
        generateManifest(app);
        QVERIFY(readFile(app + link).contains("\t/UpdateTmp/x.dll\n"));
    } else if (action == "apply") {
        dialog.m_verifiedFiles = QStringList({"/plugins/x.dll"});
        QVERIFY(!dialog.applyUpdate());
        QCOMPARE(readFile(app + "UpdateTmp/update.ini"), QByteArray("[Version]\nVersion=1.0\n"));
        QVERIFY(!QFileInfo::exists(app + "md5.txt"));
    }
    if (!message.isEmpty())
        QCOMPARE(dialog.m_errorMessage, message);

    // What the link pointed at is exactly as it was.
    QCOMPARE(snapshotTree(outside), before);
    // The updater's own places are real again (or gone); a folder of the
    // installation is left as the user made it.
    if (action != "apply")
        QVERIFY(!isLinkOrReparsePoint(app + link));
}

QTEST_MAIN(TestFs)
#include "tst_fs.moc"
