// The release's text rules: which version texts and folder names a release
// may use, and that every accepted version text reads back as published.

#include "manifest/releasenames.h"
#include "testsupport.h"
#include "trust/versionfile.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestReleaseNames : public QObject
{
    Q_OBJECT

private slots:
    void versionText_data();
    void versionText();
    void acceptedVersionTextsReadBackThroughQSettings();
    void folderName_data();
    void folderName();
};

void TestReleaseNames::versionText_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("plain") << QStringLiteral("1.0") << true;
    QTest::newRow("blank inside") << QStringLiteral("2.0 beta") << true;
    QTest::newRow("punctuation") << QStringLiteral("v1.2-rc.1+b5_x(1)[2]{3}<4>!?#$%&'*=^`|~/:") << true;
    QTest::newRow("at inside") << QStringLiteral("1@2") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("leading blank") << QStringLiteral(" 1.0") << false;
    QTest::newRow("trailing blank") << QStringLiteral("1.0 ") << false;
    QTest::newRow("leading at") << QStringLiteral("@1.0") << false;
    QTest::newRow("typed value") << QStringLiteral("@ByteArray(1)") << false;
    QTest::newRow("comma") << QStringLiteral("1,0") << false;
    QTest::newRow("semicolon") << QStringLiteral("1;0") << false;
    QTest::newRow("quote") << QStringLiteral("1\"0") << false;
    QTest::newRow("backslash") << QStringLiteral("1\\0") << false;
    QTest::newRow("tab") << QStringLiteral("1\t0") << false;
    QTest::newRow("line feed") << QStringLiteral("1.0\n") << false;
    QTest::newRow("delete") << QStringLiteral("1\x7f") << false;
    QTest::newRow("latin-1") << QStringLiteral("1.0é") << false;
    QTest::newRow("chinese") << QStringLiteral("版本1") << false;
}

void TestReleaseNames::versionText()
{
    QFETCH(QString, version);
    QFETCH(bool, accepted);
    const QString problem = versionTextProblem(version);
    QCOMPARE(problem.isNull(), accepted);
    QVERIFY(!problem.contains(QLatin1Char('\n')));
}

// The rule exists so that a client reads back exactly the published text;
// every printable ASCII character the rule lets through must survive.
void TestReleaseNames::acceptedVersionTextsReadBackThroughQSettings()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    int accepted = 0;
    for (ushort u = 0x20; u <= 0x7E; ++u) {
        const QChar c(u);
        const QStringList texts = {QStringLiteral("1") + c + QStringLiteral("2"), QString(c) + QStringLiteral("1"),
                                   QStringLiteral("1") + c, QString(c) + c};
        for (const QString &text : texts) {
            if (!versionTextProblem(text).isNull())
                continue;
            // A file of its own each time: QSettings caches files by name.
            const QString path = dir.filePath(QStringLiteral("%1.ini").arg(++accepted));
            const QByteArray bytes = versionFileBytes(QStringLiteral("2.0_b-1"), text, QString(64, QLatin1Char('a')));
            QVERIFY(writeFile(path, bytes));
            // Older clients read it with QSettings, this one with its own reader.
            QSettings ini(path, QSettings::IniFormat);
            QCOMPARE(ini.childGroups(), QStringList{QStringLiteral("Version")});
            QCOMPARE(ini.value(QStringLiteral("Version/Version")).toString(), text);
            QCOMPARE(ini.value(QStringLiteral("Version/Folder")).toString(), QStringLiteral("2.0_b-1"));
            const VersionFile parsed = VersionFile::parse(bytes);
            QCOMPARE(parsed.value(QStringLiteral("Version/Version")), text);
            QCOMPARE(parsed.value(QStringLiteral("Version/Folder")), QStringLiteral("2.0_b-1"));
            QCOMPARE(parsed.value(QStringLiteral("Version/Manifest")), QString(64, QLatin1Char('a')));
        }
    }
    // 95 characters, four placements, minus the rejected ones.
    QVERIFY2(accepted > 300, qPrintable(QString::number(accepted)));
}

void TestReleaseNames::folderName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("version") << QStringLiteral("1.0") << true;
    QTest::newRow("all kinds") << QStringLiteral("Release_2.0-beta") << true;
    QTest::newRow("dots") << QStringLiteral("...") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("dot") << QStringLiteral(".") << false;
    QTest::newRow("dot dot") << QStringLiteral("..") << false;
    QTest::newRow("blank") << QStringLiteral("2.0 beta") << false;
    QTest::newRow("slash") << QStringLiteral("a/b") << false;
    QTest::newRow("backslash") << QStringLiteral("a\\b") << false;
    QTest::newRow("plus") << QStringLiteral("1+2") << false;
    QTest::newRow("tilde") << QStringLiteral("V~1") << false;
    QTest::newRow("percent") << QStringLiteral("a%20b") << false;
    QTest::newRow("non-ascii") << QStringLiteral("版本") << false;
    QTest::newRow("version file") << QStringLiteral("update.ini") << false;
    QTest::newRow("version file, other case") << QStringLiteral("Update.INI") << false;
}

void TestReleaseNames::folderName()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QCOMPARE(folderNameProblem(name).isNull(), accepted);
}

QTEST_GUILESS_MAIN(TestReleaseNames)
#include "tst_releasenames.moc"
