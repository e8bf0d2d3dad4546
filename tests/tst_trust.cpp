// Signed releases in-process against nginx: what the message is, which
// releases a client with [Update] PublicKey installs, and that every refusal
// leaves the installation alone, fetches nothing beyond the control files
// and says why.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "testsupport.h"
#include "trust/releasesignature.h"
#include "trust/signingkey.h"
#include "trust/versionfile.h"

#include <QtTest>

namespace {

const QMap<QString, QByteArray> kRelease = {{"/a.txt", "two"}, {"/sub/b.txt", "new in two"}};
const QMap<QString, QByteArray> kInstalled = {{"/a.txt", "one"}, {"/mine.txt", "mine"}};
const QString kPublished = QStringLiteral("2026-12-08T21:30:00Z");

// What the installation is, apart from this run's scratch files.
QMap<QString, QByteArray> installationState(const QString &appDir)
{
    QMap<QString, QByteArray> state = snapshotTree(appDir);
    for (auto it = state.begin(); it != state.end();) {
        if (it.key().startsWith(QLatin1String("/UpdateTmp/")) && it.key() != QLatin1String("/UpdateTmp/update.ini"))
            it = state.erase(it);
        else
            ++it;
    }
    return state;
}

// update.ini text (LF line ends) as an editor may have saved it: "BOM",
// "CRLF", "no final line end" and "blanks" (around the first "=" of each
// line) in any combination.
QByteArray spelled(const QByteArray &text, const QString &spelling)
{
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    if (spelling.contains(QLatin1String("blanks"))) {
        for (QByteArray &line : lines) {
            const int equals = line.indexOf('=');
            if (equals > 0)
                line = ' ' + line.left(equals) + " =\t" + line.mid(equals + 1) + ' ';
        }
    }
    const QByteArray ending = spelling.contains(QLatin1String("CRLF")) ? "\r\n" : "\n";
    QByteArray result = lines.join(ending);
    if (!spelling.contains(QLatin1String("no final line end")))
        result += ending;
    if (spelling.contains(QLatin1String("BOM")))
        result.prepend("\xEF\xBB\xBF");
    return result;
}

} // namespace

class TestTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void message();
    void publicKeyText_data();
    void publicKeyText();
    void installs_data();
    void installs();
    void refused_data();
    void refused();
    void versionFileSpellings_data();
    void versionFileSpellings();
    void spelledVersionFileInstalls_data();
    void spelledVersionFileInstalls();
    void timeAheadOfTheClock_data();
    void timeAheadOfTheClock();

private:
    QString appDir() const { return m_app->path() + QStringLiteral("/app/"); }
    // A release of kRelease at root (folder 2.0, version 2.0) whose update.ini
    // is signed with key at published; edit changes it after signing.
    void publishSigned(const QString &root, const SigningKey &key, const QString &published,
                       const std::function<void(SignedRelease &)> &edit = {});

    QTemporaryDir m_serverRoot;
    std::unique_ptr<NginxServer> m_nginx;
    std::unique_ptr<QTemporaryDir> m_app;
    SigningKey m_key;
    SigningKey m_otherKey;
};

void TestTrust::initTestCase()
{
    QString error;
    QVERIFY2(SigningKey::generate(m_key, error) && SigningKey::generate(m_otherKey, error), qPrintable(error));
    m_nginx = std::make_unique<NginxServer>(m_serverRoot.path());
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorText()));
}

void TestTrust::init()
{
    m_app = std::make_unique<QTemporaryDir>();
    SettingsStore::instance().setValue(kKeyExeName, QString());
}

void TestTrust::cleanup()
{
    SettingsStore::instance().unsetValue(kKeyPublicKey);
}

void TestTrust::publishSigned(const QString &root, const SigningKey &key, const QString &published,
                                  const std::function<void(SignedRelease &)> &edit)
{
    QVERIFY(writeServerRelease(root, "2.0", "2.0", kRelease));
    SignedRelease release;
    release.folder = QStringLiteral("2.0");
    release.version = QStringLiteral("2.0");
    release.manifest = fileSha256Hex(root + QStringLiteral("/2.0/md5.txt"));
    release.published = published;
    QByteArray signature;
    QString error;
    QVERIFY2(key.sign(releaseMessage(release.folder, release.version, release.manifest, release.published), signature,
                      error),
             qPrintable(error));
    release.signature = QString::fromLatin1(signature.toBase64());
    if (edit)
        edit(release);
    QVERIFY(writeFile(root + QStringLiteral("/update.ini"), signedVersionFileBytes(release)));
}

void TestTrust::message()
{
    QCOMPARE(releaseMessage("2.0", "v2", QString(64, QLatin1Char('a')), kPublished),
             QByteArray("updater release\nFolder=2.0\nVersion=v2\nManifest=" + QByteArray(64, 'a')
                        + "\nPublished=2026-12-08T21:30:00Z\n"));
}

void TestTrust::publicKeyText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("32 bytes") << QString::fromLatin1(QByteArray(32, 'k').toBase64()) << true;
    QTest::newRow("31 bytes") << QString::fromLatin1(QByteArray(31, 'k').toBase64()) << false;
    QTest::newRow("33 bytes") << QString::fromLatin1(QByteArray(33, 'k').toBase64()) << false;
    QTest::newRow("not base64") << QStringLiteral("!!!!") + QString::fromLatin1(QByteArray(32, 'k').toBase64()).mid(4)
                                << false;
    QTest::newRow("padding missing") << QString::fromLatin1(QByteArray(32, 'k').toBase64()).chopped(1) << false;
    QTest::newRow("empty") << QString() << false;
}

void TestTrust::publicKeyText()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QByteArray raw;
    QString error;
    QCOMPARE(decodePublicKey(text, raw, error), accepted);
    QCOMPARE(raw.size(), accepted ? 32 : 0);
}

void TestTrust::installs_data()
{
    QTest::addColumn<bool>("clientHasKey");
    QTest::addColumn<QString>("recordedPublished"); // empty: an unsigned record
    QTest::newRow("signed round trip") << true << QString();
    QTest::newRow("newer than the recorded release") << true << QStringLiteral("2026-12-08T21:29:59Z");
    QTest::newRow("same time as the recorded release") << true << kPublished;
    QTest::newRow("signed server, client without key") << false << QString();
}

void TestTrust::installs()
{
    QFETCH(bool, clientHasKey);
    QFETCH(QString, recordedPublished);
    static int row = 0;
    const QString name = QStringLiteral("installs-%1").arg(++row);
    publishSigned(m_serverRoot.filePath(name), m_key, kPublished);
    QVERIFY(writeInstallation(appDir(), QString(), QString(), QStringLiteral("1.0"), kInstalled));
    if (!recordedPublished.isEmpty())
        QVERIFY(writeFile(appDir() + "UpdateTmp/update.ini",
                          "[Version]\nFolder=1.0\nVersion=1.0\nPublished=" + recordedPublished.toLatin1() + "\n"));
    SettingsStore::instance().setValue(kKeyUrl, m_nginx->baseUrl() + name + QLatin1Char('/'));
    if (clientHasKey)
        SettingsStore::instance().setValue(kKeyPublicKey, m_key.publicKeyBase64());

    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    QVERIFY(!dialog.checkUpdate());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible() || dialog.statusLabel() == kStatusFailed, 60000);
    QCOMPARE(dialog.statusLabel(), QStringLiteral("更新完成!"));
    for (auto it = kRelease.cbegin(); it != kRelease.cend(); ++it)
        QCOMPARE(readFile(appDir() + it.key().mid(1)), it.value());
    // The record holds the signed update.ini's values (stamping rewrites
    // its layout), so the next check knows the installed release's time.
    const SignedRelease recorded = readSignedRelease(appDir() + "UpdateTmp/update.ini");
    const SignedRelease served = readSignedRelease(m_serverRoot.filePath(name + "/update.ini"));
    QCOMPARE(recorded.published, kPublished);
    QCOMPARE(QStringList({recorded.folder, recorded.version, recorded.manifest, recorded.signature}),
             QStringList({served.folder, served.version, served.manifest, served.signature}));
    const QString prefix = QLatin1Char('/') + name;
    QCOMPARE(m_nginx->requestedPaths().filter(QRegularExpression("^" + QRegularExpression::escape(prefix) + "/")),
             QStringList({prefix + "/update.ini", prefix + "/2.0/md5.txt",
                                                     prefix + "/2.0/a.txt", prefix + "/2.0/sub/b.txt"}));

    // Asked again, the installed release is current.
    WidgetProbe again;
    again.m_appDir = appDir();
    QVERIFY(again.checkUpdate());
}

void TestTrust::refused_data()
{
    QTest::addColumn<QString>("tampering");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("manifestFetched");

    const QString invalid = QStringLiteral("签名无效:");
    const QString mismatch = invalid + QStringLiteral("签名与公钥或内容不符");
    QTest::newRow("Folder changed") << "folder" << mismatch << false;
    QTest::newRow("Version changed") << "version" << mismatch << false;
    QTest::newRow("Manifest changed") << "manifest" << mismatch << false;
    QTest::newRow("Published changed") << "published" << mismatch << false;
    QTest::newRow("md5.txt changed") << "md5" << QString() << true;
    QTest::newRow("older release replayed") << "replay"
                                            << QStringLiteral("发布时间早于已安装版本:2026-12-08T21:30:00Z < "
                                                              "2026-12-08T21:30:01Z")
                                            << false;
    QTest::newRow("wrong key") << "wrongkey" << mismatch << false;
    QTest::newRow("published two days ahead of the clock") << "future" << QString() << false;
    QTest::newRow("signature missing") << "nosignature" << invalid + QStringLiteral("update.ini没有Signature") << false;
    QTest::newRow("unsigned server") << "unsigned" << invalid + QStringLiteral("update.ini没有Signature") << false;
    const QString badKey = invalid + QStringLiteral("system.cfg的PublicKey不是32字节公钥的base64");
    QTest::newRow("PublicKey not base64") << "badkey" << badKey << false;
    QTest::newRow("PublicKey empty") << "emptykey" << badKey << false;
}

void TestTrust::refused()
{
    QFETCH(QString, tampering);
    QFETCH(QString, text);
    QFETCH(bool, manifestFetched);
    static int row = 0;
    const QString name = QStringLiteral("refused-%1").arg(++row);
    const QString root = m_serverRoot.filePath(name);

    const SigningKey &signer = tampering == "wrongkey" ? m_otherKey : m_key;
    QString published = kPublished;
    if (tampering == "future") {
        published = formatPublishedTime(QDateTime::currentDateTimeUtc().addDays(2));
        text = QStringLiteral("发布时间在未来:") + published + QStringLiteral("（本机时钟可能不正确）");
    }
    publishSigned(root, signer, published, [&](SignedRelease &release) {
        if (tampering == "folder")
            release.folder = QStringLiteral("2.1");
        else if (tampering == "version")
            release.version = QStringLiteral("2.1");
        else if (tampering == "manifest")
            release.manifest[0] = release.manifest.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        else if (tampering == "published")
            release.published = QStringLiteral("2026-12-09T21:30:00Z");
        else if (tampering == "nosignature")
            release.signature.clear();
    });
    // A folder the tampered update.ini could point at, so a wrong acceptance would fetch.
    QVERIFY(writeServerRelease(root + QStringLiteral("/alt"), "2.1", "2.1", kRelease));
    QVERIFY(QDir().rename(root + QStringLiteral("/alt/2.1"), root + QStringLiteral("/2.1")));
    if (tampering == "unsigned")
        QVERIFY(writeFile(root + QStringLiteral("/update.ini"), "[Version]\nFolder=2.0\nVersion=2.0\n"));
    if (tampering == "md5") {
        const QString manifest = root + QStringLiteral("/2.0/md5.txt");
        QVERIFY(writeFile(manifest, readFile(manifest) + md5Hex("evil").toUtf8() + "\t/evil.exe\n"));
        QVERIFY(writeFile(root + QStringLiteral("/2.0/evil.exe"), "evil"));
        text = QStringLiteral("清单校验失败:SHA-256为") + fileSha256Hex(manifest) + QStringLiteral("，签名的是")
            + readSignedRelease(root + QStringLiteral("/update.ini")).manifest;
    }

    QVERIFY(writeInstallation(appDir(), QString(), QString(), QStringLiteral("1.0"), kInstalled));
    if (tampering == "replay")
        QVERIFY(writeFile(appDir() + "UpdateTmp/update.ini",
                          "[Version]\nFolder=1.0\nVersion=1.0\nPublished=2026-12-08T21:30:01Z\n"));
    SettingsStore::instance().setValue(kKeyUrl, m_nginx->baseUrl() + name + QLatin1Char('/'));
    const QString publicKey = tampering == "badkey" ? QStringLiteral("not a key")
        : tampering == "emptykey"                   ? QString()
                                                    : m_key.publicKeyBase64();
    SettingsStore::instance().setValue(kKeyPublicKey, publicKey);
    const QMap<QString, QByteArray> before = installationState(appDir());

    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    QVERIFY(!dialog.checkUpdate()); // console mode reports this as for any failed check
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(dialog.statusLabel(), kStatusFailed, 30000);
    QTest::qWait(200); // a wrongly accepted release would be fetching by now
    QCOMPARE(dialog.statusLabel(), kStatusFailed);
    QCOMPARE(dialog.m_errorMessage, text);

    QCOMPARE(installationState(appDir()), before);
    const QString prefix = QLatin1Char('/') + name;
    QStringList expected = {prefix + "/update.ini"};
    if (manifestFetched)
        expected << prefix + "/2.0/md5.txt";
    QCOMPARE(m_nginx->requestedPaths().filter(QRegularExpression("^" + QRegularExpression::escape(prefix) + "/")),
             expected);
}

void TestTrust::versionFileSpellings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QByteArray>("stamped"); // with Transaction=t1

    const QByteArray bom = "\xEF\xBB\xBF";
    const QByteArray plain = "[Version]\nFolder=2.0\nVersion=2.0\n";
    QTest::newRow("plain") << plain << "2.0" << "2.0" << plain + "Transaction=t1\n";
    QTest::newRow("byte-order mark") << bom + plain << "2.0" << "2.0" << bom + plain + "Transaction=t1\n";
    QTest::newRow("CRLF") << QByteArray("[Version]\r\nFolder=2.0\r\nVersion=2.0\r\n") << "2.0" << "2.0"
                          << QByteArray("[Version]\r\nFolder=2.0\r\nVersion=2.0\r\nTransaction=t1\r\n");
    QTest::newRow("CR") << QByteArray("[Version]\rFolder=2.0\rVersion=2.0\r") << "2.0" << "2.0"
                        << QByteArray("[Version]\rFolder=2.0\rVersion=2.0\rTransaction=t1\r");
    QTest::newRow("no final line end") << QByteArray("[Version]\nFolder=2.0\nVersion=2.0") << "2.0" << "2.0"
                                       << plain + "Transaction=t1\n";
    QTest::newRow("blanks around names, = and values")
        << QByteArray("[ Version ]\n Folder = 2.0 \n\tVersion\t=\t2.0\t\n") << "2.0" << "2.0"
        << QByteArray("[ Version ]\n Folder = 2.0 \n\tVersion\t=\t2.0\t\nTransaction=t1\n");
    QTest::newRow("all of them") << bom + "[Version]\r\n Folder = 2.0\r\nVersion = 2.0 " << "2.0" << "2.0"
                                 << bom + "[Version]\r\n Folder = 2.0\r\nVersion = 2.0 \r\nTransaction=t1\r\n";
    QTest::newRow("comments and other groups")
        << QByteArray("; by hand\n[General]\nFolder=x\n[Version]\n;now\nFolder=2.0\nVersion=2.0\n\n[Other]\nVersion=9\n")
        << "2.0" << "2.0"
        << QByteArray("; by hand\n[General]\nFolder=x\n[Version]\n;now\nFolder=2.0\nVersion=2.0\nTransaction=t1\n\n"
                      "[Other]\nVersion=9\n");
    QTest::newRow("quotes and a trailing comment") << QByteArray("[Version]\nFolder=\"2.0\"\nVersion=2.0 ; rc\n") << "2.0"
                                                   << "2.0"
                                                   << QByteArray("[Version]\nFolder=\"2.0\"\nVersion=2.0 ; rc\n"
                                                                 "Transaction=t1\n");
    QTest::newRow("key twice, stamped before") << QByteArray("[Version]\nFolder=1.0\nTransaction=t0\nFolder=2.0\nVersion=2.0\n")
                                               << "2.0" << "2.0"
                                               << QByteArray("[Version]\nFolder=1.0\nFolder=2.0\nVersion=2.0\n"
                                                             "Transaction=t1\n");
    QTest::newRow("no Version group") << QByteArray("Folder=2.0") << "" << ""
                                      << QByteArray("Folder=2.0\n[Version]\nTransaction=t1\n");
}

void TestTrust::versionFileSpellings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, folder);
    QFETCH(QString, version);
    QFETCH(QByteArray, stamped);
    const VersionFile file = VersionFile::parse(bytes);
    QCOMPARE(file.value(kKeyVersionFolder), folder);
    QCOMPARE(file.value(kKeyVersionVersion), version);
    // What older clients read from the same bytes with Qt's INI reader.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("update.ini"));
    QVERIFY(writeFile(path, bytes));
    const QSettings qt(path, QSettings::IniFormat);
    QCOMPARE(qt.value(kKeyVersionFolder).toString(), folder);
    QCOMPARE(qt.value(kKeyVersionVersion).toString(), version);

    const QByteArray actual = withVersionFileValue(bytes, QStringLiteral("Version/Transaction"), QStringLiteral("t1"));
    QCOMPARE(actual, stamped);
    const VersionFile record = VersionFile::parse(actual);
    QCOMPARE(record.value(kKeyVersionFolder), folder);
    QCOMPARE(record.value(kKeyVersionVersion), version);
    QCOMPARE(record.value(QStringLiteral("Version/Transaction")), QStringLiteral("t1"));
}

void TestTrust::spelledVersionFileInstalls_data()
{
    QTest::addColumn<QString>("spelling");
    QTest::addColumn<bool>("signedRelease");
    for (const char *spelling : {"BOM", "CRLF", "BOM CRLF", "no final line end", "blanks", "BOM CRLF blanks no final line end"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1, signed").arg(QLatin1String(spelling)))) << spelling << true;
        QTest::newRow(qPrintable(QStringLiteral("%1, unsigned").arg(QLatin1String(spelling)))) << spelling << false;
    }
}

// The whole way: the check, the signature over the values as fetched, the
// record stamped at apply, and the next check reading that record.
void TestTrust::spelledVersionFileInstalls()
{
    QFETCH(QString, spelling);
    QFETCH(bool, signedRelease);
    static int row = 0;
    const QString name = QStringLiteral("spelled-%1").arg(++row);
    const QString root = m_serverRoot.filePath(name);
    publishSigned(root, m_key, kPublished);
    QByteArray text = readFile(root + QStringLiteral("/update.ini"));
    if (!signedRelease) {
        const SignedRelease release = readSignedRelease(root + QStringLiteral("/update.ini"));
        text = "[Version]\nFolder=2.0\nVersion=2.0\nManifest=" + release.manifest.toLatin1() + "\n";
    }
    const QByteArray served = spelled(text, spelling);
    QVERIFY(writeFile(root + QStringLiteral("/update.ini"), served));
    QVERIFY(writeInstallation(appDir(), QString(), QString(), QStringLiteral("1.0"), kInstalled));
    SettingsStore::instance().setValue(kKeyUrl, m_nginx->baseUrl() + name + QLatin1Char('/'));
    if (signedRelease)
        SettingsStore::instance().setValue(kKeyPublicKey, m_key.publicKeyBase64());

    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    QVERIFY(!dialog.checkUpdate());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible() || dialog.statusLabel() == kStatusFailed, 60000);
    QVERIFY2(dialog.statusLabel() == QStringLiteral("更新完成!"), qPrintable(dialog.m_errorMessage));
    for (auto it = kRelease.cbegin(); it != kRelease.cend(); ++it)
        QCOMPARE(readFile(appDir() + it.key().mid(1)), it.value());
    const QString recordPath = appDir() + "UpdateTmp/update.ini";
    const VersionFile record = VersionFile::read(recordPath);
    QVERIFY(!record.value(QStringLiteral("Version/Transaction")).isEmpty());
    const SignedRelease recorded = signedReleaseFrom(record);
    const SignedRelease expected = signedReleaseFrom(VersionFile::parse(served));
    QCOMPARE(QStringList({recorded.folder, recorded.version, recorded.manifest, recorded.published, recorded.signature}),
             QStringList({expected.folder, expected.version, expected.manifest, expected.published, expected.signature}));
    QCOMPARE(readFile(recordPath).startsWith("\xEF\xBB\xBF"), spelling.contains(QLatin1String("BOM")));

    WidgetProbe again;
    again.m_appDir = appDir();
    QVERIFY(again.checkUpdate());
}

void TestTrust::timeAheadOfTheClock_data()
{
    QTest::addColumn<qint64>("aheadSecs");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a day behind") << qint64(-86400) << true;
    QTest::newRow("24 hours ahead") << qint64(86400) << true;
    QTest::newRow("24 hours and a second ahead") << qint64(86401) << false;
    QTest::newRow("ten years ahead") << qint64(10) * 365 * 86400 << false;
}

void TestTrust::timeAheadOfTheClock()
{
    QFETCH(qint64, aheadSecs);
    QFETCH(bool, accepted);
    const QDateTime now = parsePublishedTime(kPublished);
    const QString root = m_serverRoot.filePath(QStringLiteral("ahead-%1").arg(aheadSecs));
    publishSigned(root, m_key, formatPublishedTime(now.addSecs(aheadSecs)));
    SignedRelease release;
    QString error;
    QCOMPARE(acceptSignedRelease(m_key.publicKeyBase64(), root + QStringLiteral("/update.ini"),
                                 root + QStringLiteral("/no-record.ini"), now, release, error),
             accepted);
    QCOMPARE(error, accepted ? QString()
                             : QStringLiteral("发布时间在未来:") + formatPublishedTime(now.addSecs(aheadSecs))
                                 + QStringLiteral("（本机时钟可能不正确）"));
}

QTEST_MAIN(TestTrust)
#include "tst_trust.moc"
