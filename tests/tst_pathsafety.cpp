// Which manifest paths may be installed: inside the installation, one file
// on every platform, never one of the updater's own files.

#include "manifest/pathsafety.h"
#include "manifest/releasenames.h"

#include <QtTest>

class TestPathSafety : public QObject
{
    Q_OBJECT

private slots:
    void singleKey_data();
    void singleKey();
    void wholeManifest_data();
    void wholeManifest();
    void installationOnlyKeysAreTaken_data();
    void installationOnlyKeysAreTaken();
    void stateKeysAgainstReleaseLeftOut_data();
    void stateKeysAgainstReleaseLeftOut();
};

void TestPathSafety::singleKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain") << "/a.txt" << true;
    QTest::newRow("nested") << "/bin/plugins/a.dll" << true;
    QTest::newRow("blank inside") << "/my file.txt" << true;
    QTest::newRow("hash and percent") << "/a#b%20c.txt" << true;
    QTest::newRow("chinese") << "/文档/说明.txt" << true;
    QTest::newRow("dot file") << "/.config" << true;
    QTest::newRow("tilde without digit") << "/backup~old.txt" << true;
    QTest::newRow("reserved name deeper") << "/docs/update.ini" << true;
    QTest::newRow("reserved folder deeper") << "/lib/UpdateTmp/x" << true;
    QTest::newRow("device-like but longer") << "/console.txt" << true;
    QTest::newRow("COM10 is no device") << "/COM10" << true;

    QTest::newRow("empty") << "" << false;
    QTest::newRow("no leading slash") << "a.txt" << false;
    QTest::newRow("only slash") << "/" << false;
    QTest::newRow("empty component") << "/a//b" << false;
    QTest::newRow("trailing slash") << "/a/" << false;
    QTest::newRow("dot") << "/a/./b" << false;
    QTest::newRow("dot dot") << "/../outside.txt" << false;
    QTest::newRow("dot dot deeper") << "/a/../../b" << false;
    QTest::newRow("trailing dot") << "/update.ini." << false;
    QTest::newRow("trailing blank") << "/a.txt " << false;
    QTest::newRow("folder with trailing dot") << "/bin./a" << false;
    QTest::newRow("backslash") << "/a\\..\\b" << false;
    QTest::newRow("colon") << "/c:x" << false;
    QTest::newRow("stream") << "/a.txt:evil" << false;
    QTest::newRow("control character") << QStringLiteral("/a\x01.txt") << false;
    QTest::newRow("tab") << "/a\tb" << false;
    QTest::newRow("less than") << "/a<b" << false;
    QTest::newRow("greater than") << "/a>b" << false;
    QTest::newRow("quote") << "/a\"b" << false;
    QTest::newRow("pipe") << "/a|b" << false;
    QTest::newRow("question mark") << "/a?b" << false;
    QTest::newRow("star") << "/a*b" << false;
    QTest::newRow("CON") << "/CON" << false;
    QTest::newRow("con with extension") << "/con.txt" << false;
    QTest::newRow("nul with blanks") << "/nul .tar.gz" << false;
    QTest::newRow("aux in a folder") << "/x/Aux.h" << false;
    QTest::newRow("PRN") << "/prn" << false;
    QTest::newRow("COM1") << "/com1.log" << false;
    QTest::newRow("LPT9") << "/LPT9" << false;
    QTest::newRow("COM0") << "/COM0" << false;
    QTest::newRow("superscript") << QStringLiteral("/lpt\u00B9.txt") << false;
    QTest::newRow("CONIN$") << "/conin$" << false;
    QTest::newRow("CONOUT$") << "/CONOUT$.x" << false;
    QTest::newRow("short name") << "/UPDATE~1.INI" << false;
    QTest::newRow("short name folder") << "/PROGRA~2/x" << false;
    QTest::newRow("short name, lower case, many digits") << "/ab~12.txt" << false;
    QTest::newRow("short name of tilde and digit only") << "/~1" << false;
    QTest::newRow("tilde digit, long extension") << "/file~1.json" << true;
    QTest::newRow("tilde digits, long base") << "/backup~2024.db" << true;
    QTest::newRow("tilde digit inside the base") << "/a~1b.txt" << true;
    QTest::newRow("tilde digit before a second dot") << "/x.y~1" << true;
    QTest::newRow("version record") << "/update.ini" << false;
    QTest::newRow("version record, other case") << "/Update.INI" << false;
    QTest::newRow("downloaded version file") << "/updatetmp.ini" << false;
    QTest::newRow("manifest") << "/md5.txt" << false;
    QTest::newRow("downloaded manifest") << "/MD5TMP.TXT" << false;
    QTest::newRow("temporary folder") << "/UpdateTmp" << false;
    QTest::newRow("inside temporary folder") << "/updatetmp/a.dll" << false;
    QTest::newRow("backup folder") << "/UpdateBackup/journal" << false;
    // Downloaded to UpdateTmp/<key>: these would land on the run's own files.
    QTest::newRow("support log") << "/updater.log" << false;
    QTest::newRow("older support log") << "/Updater.Log.1" << false;
    QTest::newRow("lock") << "/UPDATER.LOCK" << false;
    QTest::newRow("resume folder") << "/resume/a.dll" << false;
    QTest::newRow("log name deeper") << "/logs/updater.log" << true;
    QTest::newRow("log name with more after it") << "/updater.log.2" << true;
}

void TestPathSafety::singleKey()
{
    QFETCH(QString, key);
    QFETCH(bool, safe);
    QCOMPARE(isSafeManifestKey(key), safe);
}

void TestPathSafety::wholeManifest_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("unsafe");

    QTest::newRow("all fine") << QStringList({"/a.txt", "/b/c.txt", "/b/d.txt"}) << QString();
    QTest::newRow("empty") << QStringList() << QString();
    QTest::newRow("case twins") << QStringList({"/A.dll", "/a.dll"}) << "/a.dll";
    QTest::newRow("folder case twins are one folder") << QStringList({"/Bin/a", "/bin/b"}) << QString();
    QTest::newRow("file where a folder is needed") << QStringList({"/bin", "/bin/a.dll"}) << "/bin/a.dll";
    QTest::newRow("file where a folder is needed, other case")
        << QStringList({"/BIN/a.dll", "/bin"}) << "/bin";
    QTest::newRow("one bad among good") << QStringList({"/a", "/b/../c", "/d"}) << "/b/../c";
}

void TestPathSafety::wholeManifest()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, unsafe);
    FileManifest manifest;
    for (const QString &key : keys)
        manifest.insert(key, QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    QCOMPARE(findUnsafeManifestKey(manifest), unsafe);
}

void TestPathSafety::installationOnlyKeysAreTaken_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("unsafe");

    QTest::newRow("made from an installed copy")
        << QStringList({"/UpdateTmp/update.ini", "/UpdateTmp/updater.log", "/a.txt", "/md5.txt",
                        "/updateBackup/files/x"})
        << QStringList({"/UpdateTmp/update.ini", "/UpdateTmp/updater.log", "/md5.txt", "/updateBackup/files/x"})
        << QString();
    QTest::newRow("any letter case")
        << QStringList({"/MD5.TXT", "/MD5tmp.txt", "/Update.ini", "/updatetmp.ini", "/x"})
        << QStringList({"/MD5.TXT", "/MD5tmp.txt", "/Update.ini", "/updatetmp.ini"}) << QString();
    QTest::newRow("deeper the names are the release's")
        << QStringList({"/docs/md5.txt", "/lib/UpdateTmp/a"}) << QStringList() << QString();
    QTest::newRow("the run's own names")
        << QStringList({"/a.txt", "/resume", "/updater.lock", "/updater.log", "/updater.log.1"})
        << QStringList({"/resume", "/updater.lock", "/updater.log", "/updater.log.1"}) << QString();
    QTest::newRow("the rest is still checked")
        << QStringList({"/../x", "/md5.txt"}) << QStringList({"/md5.txt"}) << "/../x";
}

void TestPathSafety::installationOnlyKeysAreTaken()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, taken);
    QFETCH(QString, unsafe);
    FileManifest manifest;
    for (const QString &key : keys)
        manifest.insert(key, QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    QCOMPARE(takeUpdaterStateKeys(manifest), taken);
    QCOMPARE(manifest.size(), keys.size() - taken.size());
    QCOMPARE(findUnsafeManifestKey(manifest), unsafe);
}

// The client drops every key naming its own state; the release tool leaves
// out less (a top-level update.ini is refused as unsafe, not dropped) and
// system.cfg unless asked to publish it.
void TestPathSafety::stateKeysAgainstReleaseLeftOut_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("state");
    QTest::addColumn<bool>("leftOut");
    QTest::addColumn<bool>("leftOutWithConfig");

    QTest::newRow("release file") << "/a.txt" << false << false << false;
    QTest::newRow("top-level md5.txt") << "/MD5.txt" << true << true << true;
    QTest::newRow("md5.txt deeper") << "/docs/md5.txt" << false << false << false;
    QTest::newRow("top-level update.ini") << "/update.ini" << true << false << false;
    QTest::newRow("md5Tmp.txt") << "/md5Tmp.txt" << true << false << false;
    QTest::newRow("system.cfg") << "/System.cfg" << false << true << false;
    QTest::newRow("system.cfg deeper") << "/etc/system.cfg" << false << false << false;
    QTest::newRow("temp folder") << "/updatetmp/a.dll" << true << true << true;
    QTest::newRow("backup folder") << "/UpdateBackup/journal" << true << true << true;
    QTest::newRow("a file named like the temp folder") << "/UpdateTmp" << true << true << true;
    QTest::newRow("work name") << "/updater.log.1" << true << true << true;
    QTest::newRow("resume folder") << "/Resume/part" << true << true << true;
    QTest::newRow("work name deeper") << "/lib/updater.lock" << false << false << false;
}

void TestPathSafety::stateKeysAgainstReleaseLeftOut()
{
    QFETCH(QString, key);
    QFETCH(bool, state);
    QFETCH(bool, leftOut);
    QFETCH(bool, leftOutWithConfig);
    QCOMPARE(isUpdaterStateKey(key), state);
    QCOMPARE(isLeftOutOfRelease(key, false), leftOut);
    QCOMPARE(isLeftOutOfRelease(key, true), leftOutWithConfig);
}

QTEST_GUILESS_MAIN(TestPathSafety)
#include "tst_pathsafety.moc"
