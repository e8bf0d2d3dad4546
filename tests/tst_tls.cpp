// https against nginx with certificates the test makes itself, trusted only
// through [Update] CaFile: a whole update over a valid certificate, and the
// certificate errors that must fail the check and say why.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "testsupport.h"

#include <QtTest>

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void certificates_data();
    void certificates();
    void unusableCaFile_data();
    void unusableCaFile();

private:
    QString appDir() const { return m_app->path() + QStringLiteral("/app/"); }
    QString pki(const QString &name) const { return m_pki.filePath(name); }

    QTemporaryDir m_pki;
    QTemporaryDir m_serverRoot;
    std::unique_ptr<QTemporaryDir> m_app;
    const QMap<QString, QByteArray> m_release = {{"/a.txt", "two"}, {"/sub/b.txt", "new in two"}};
    const QMap<QString, QByteArray> m_installed = {{"/a.txt", "one"}};
};

void TestTls::initTestCase()
{
    QString error;
    QVERIFY2(makeTestCertificates(m_pki.path(), error), qPrintable(error));
    QVERIFY(writeServerRelease(m_serverRoot.path(), "2.0", "2.0", m_release));
}

void TestTls::init()
{
    m_app = std::make_unique<QTemporaryDir>();
    QVERIFY(writeInstallation(appDir(), QString(), QString(), QStringLiteral("1.0"), m_installed));
    // No main program: a finished update only closes the dialog.
    SettingsStore::instance().setValue(kKeyExeName, QString());
}

void TestTls::cleanup()
{
    SettingsStore::instance().unsetValue(kKeyCaFile);
    SettingsStore::instance().unsetValue(kKeyMaxDownloads);
}

void TestTls::certificates_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("pinned");
    // Empty for a valid certificate; else a piece of Qt's text for the error.
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("inFlight"); // 0: MaxDownloads not set
    QTest::newRow("valid certificate") << "valid" << true << QString() << 0;
    QTest::newRow("valid certificate, 16 in flight") << "valid" << true << QString() << 16;
    QTest::newRow("wrong host name") << "wronghost" << true << "host name did not match" << 0;
    QTest::newRow("expired certificate") << "expired" << true << "certificate has expired" << 0;
    QTest::newRow("unknown CA") << "unknownca" << true << "issuer certificate" << 0;
    // The test CA is nobody's but ours: without CaFile the system store
    // decides, and it does not know it.
    QTest::newRow("valid but no CaFile") << "valid" << false << "issuer certificate" << 0;
}

void TestTls::certificates()
{
    QFETCH(QString, certificate);
    QFETCH(bool, pinned);
    QFETCH(QString, reason);
    QFETCH(int, inFlight);

    NginxServer nginx(m_serverRoot.path());
    nginx.useTls(pki(certificate + ".pem"), pki(certificate + ".key"));
    QVERIFY2(nginx.start(), qPrintable(nginx.errorText()));
    SettingsStore::instance().setValue(kKeyUrl, nginx.baseUrl());
    if (pinned)
        SettingsStore::instance().setValue(kKeyCaFile, pki("ca.pem"));
    if (inFlight > 0)
        SettingsStore::instance().setValue(kKeyMaxDownloads, QString::number(inFlight));
    const QMap<QString, QByteArray> before = snapshotTree(appDir());

    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    QVERIFY(!dialog.checkUpdate());
    if (reason.isEmpty()) {
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible() || dialog.statusLabel() == kStatusFailed, 60000);
        QCOMPARE(dialog.statusLabel(), QStringLiteral("更新完成!"));
        for (auto it = m_release.cbegin(); it != m_release.cend(); ++it)
            QCOMPARE(readFile(appDir() + it.key().mid(1)), it.value());
        QStringList requested = nginx.requestedPaths();
        if (requested.size() > 2) // files in flight together end in any order
            std::sort(requested.begin() + 2, requested.end());
        QCOMPARE(requested, QStringList({"/update.ini", "/2.0/md5.txt", "/2.0/a.txt", "/2.0/sub/b.txt"}));
#ifndef Q_OS_WIN
        // The server offers HTTP/2: every request takes it, on one
        // connection, however many files are in flight.
        QSet<QByteArray> connections;
        for (const QByteArray &line : nginx.accessLogLines()) {
            QCOMPARE(line.split(' ').value(3), QByteArray("HTTP/2.0"));
            connections.insert(line.split(' ').value(0));
        }
        QCOMPARE(connections.size(), 1);
#endif
        return;
    }

    // Today's text of a failed check, followed by Qt's reason.
    QCOMPARE(dialog.m_statusText, kStatusStopped);
    const QString prefix = QStringLiteral("下载%1update.ini失败：").arg(nginx.baseUrl());
    QVERIFY2(dialog.m_errorMessage.startsWith(prefix), qPrintable(dialog.m_errorMessage));
    QVERIFY2(dialog.m_errorMessage.contains(reason, Qt::CaseInsensitive), qPrintable(dialog.m_errorMessage));
    dialog.show();
    QTest::qWait(200);
    QCOMPARE(dialog.statusLabel(), kStatusStopped);
    // No request got through the handshake; nothing changed.
    QCOMPARE(nginx.requestedPaths(), QStringList());
    QCOMPARE(snapshotTree(appDir()), before);
}

void TestTls::unusableCaFile_data()
{
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing.pem" << "无法读取CA证书文件:";
    QTest::newRow("no certificate in it") << "valid.key" << "CA证书文件中没有证书:";
    QTest::newRow("empty value") << "" << "CA证书文件未指定";
}

void TestTls::unusableCaFile()
{
    QFETCH(QString, caFile);
    QFETCH(QString, reason);
    // Plain http: an unusable CaFile stops even requests it would not apply to.
    NginxServer nginx(m_serverRoot.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorText()));
    SettingsStore::instance().setValue(kKeyUrl, nginx.baseUrl());
    const QString path = caFile.isEmpty() ? QString() : pki(caFile);
    SettingsStore::instance().setValue(kKeyCaFile, path);

    WidgetProbe dialog;
    dialog.m_appDir = appDir();
    QVERIFY(!dialog.checkUpdate());
    QCOMPARE(dialog.m_statusText, kStatusStopped);
    const QString expected = QStringLiteral("下载%1update.ini失败：").arg(nginx.baseUrl()) + reason + path;
    QVERIFY2(dialog.m_errorMessage.startsWith(expected), qPrintable(dialog.m_errorMessage));
    QCOMPARE(nginx.requestedPaths(), QStringList());
}

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
