// A run cut off half way leaves its files for the next run of the same
// release: verified files are used after hashing them again, a partial file
// is continued with Range and If-Range, and anything of another release is
// dropped. The first run meets a connection reset from the fault server; the
// second runs against nginx (which honours If-Range) or a server that
// ignores ranges.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "net/resumestore.h"
#include "net/transfer.h"
#include "testsupport.h"
#include "update/updatetransaction.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using Files = QMap<QString, QByteArray>;

namespace {

// The small file comes first, so it is verified before the big one is cut.
Files release(quint32 seed)
{
    return Files{{"/a-small.txt", "small file " + QByteArray::number(seed)}, {"/b-big.bin", randomBytes(3 << 20, seed)}};
}

// What nginx sends as the ETag of a static file.
QByteArray nginxEtag(const QString &path)
{
    const QFileInfo info(path);
    return '"' + QByteArray::number(info.lastModified().toSecsSinceEpoch(), 16) + '-'
        + QByteArray::number(info.size(), 16) + '"';
}

bool runToTheEnd(const QString &appDir, const QString &url)
{
    SettingsStore::instance().setValue(kKeyUrl, url);
    SettingsStore::instance().setValue(kKeyExeName, QString());
    WidgetProbe dialog;
    dialog.m_appDir = appDir;
    if (dialog.checkUpdate())
        return false;
    dialog.show();
    const bool ended = QTest::qWaitFor(
        [&]() { return dialog.statusLabel() == QStringLiteral("更新完成!") || dialog.statusLabel() == kStatusFailed; },
        60000);
    const bool done = ended && dialog.statusLabel() == QStringLiteral("更新完成!");
    dialog.close();
    return done;
}

} // namespace

class TestResume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void continuedRun_data();
    void continuedRun();
    void contentRangeContinues_data();
    void contentRangeContinues();

private:
    QTemporaryDir m_serverRoot;
    std::unique_ptr<NginxServer> m_nginx;
    FaultServer m_faults;
};

void TestResume::initTestCase()
{
    m_nginx = std::make_unique<NginxServer>(m_serverRoot.path());
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorText()));
    QVERIFY(m_faults.listen());
    UpdateTransaction::setRetryPolicy(1, 0);
}

void TestResume::continuedRun_data()
{
    QTest::addColumn<bool>("rangesHonoured"); // second run: nginx, else a server ignoring ranges
    QTest::addColumn<bool>("etagChanged");    // the file was published again between the runs
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QStringList>("requested"); // second run, after the control files
    QTest::addColumn<int>("bigStatus");         // nginx's answer for the big file

    QTest::newRow("continued: 206") << true << false << QString() << QStringList{"b-big.bin"} << 206;
    QTest::newRow("ETag changed: sent whole") << true << true << QString() << QStringList{"b-big.bin"} << 200;
    QTest::newRow("ranges ignored: 200 starts over") << false << false << QString() << QStringList{"b-big.bin"} << 0;
    QTest::newRow("kept file changed on disk") << true << false << "tamper kept" << QStringList{"a-small.txt", "b-big.bin"}
                                               << 206;
    QTest::newRow("another version: leftovers deleted") << true << false << "new version"
                                                        << QStringList{"a-small.txt", "b-big.bin"} << 200;
}

void TestResume::continuedRun()
{
    QFETCH(bool, rangesHonoured);
    QFETCH(bool, etagChanged);
    QFETCH(QString, edit);
    QFETCH(QStringList, requested);
    QFETCH(int, bigStatus);

    const QString name =
        QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("[^a-z0-9]+"), "-");
    const QString root = m_serverRoot.filePath(name);
    const Files files = release(1);
    QVERIFY(writeServerRelease(root, "2.0", "2.0", files));
    const QByteArray big = files.value("/b-big.bin");
    const QByteArray etag = nginxEtag(root + "/2.0/b-big.bin");

    // First run: the big file is cut after 2 MiB.
    const QString prefix = "/" + name;
    for (const QString &path : {QString("/update.ini"), QString("/2.0/md5.txt"), QString("/2.0/a-small.txt")})
        m_faults.setBody(prefix + path, readFile(root + path));
    FaultServer::Route cut;
    cut.kind = FaultServer::Kind::Reset;
    cut.body = big.left(2 << 20);
    cut.announcedLength = big.size();
    cut.resetAfterMs = 300;
    cut.extraHeaders = "ETag: " + (etagChanged ? QByteArray("\"5f00-300000\"") : etag) + "\r\n";
    m_faults.setRoute(prefix + "/2.0/b-big.bin", cut);

    QTemporaryDir app;
    const QString appDir = app.path() + "/";
    QVERIFY(writeInstallation(appDir, QString(), QString(), "1.0", Files{{"/a-small.txt", "old"}}));
    QVERIFY(!runToTheEnd(appDir, m_faults.baseUrl() + name + "/"));
    const ResumeStore kept(appDir + kUpdateTmpDir + kResumeName + "/");
    const qint64 partLength = QFileInfo(kept.partPath(resumeId("/b-big.bin"))).size();
    QVERIFY2(partLength > 0 && partLength <= (2 << 20), qPrintable(QString::number(partLength)));
    QVERIFY(QFileInfo::exists(kept.recordPath(resumeId("/b-big.bin"))));
    QCOMPARE(readFile(kept.keptPath(resumeId("/a-small.txt"))), files.value("/a-small.txt"));
    // Nothing of the run lives outside the resume folder, and nothing was installed.
    QCOMPARE(readFile(appDir + "a-small.txt"), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(appDir + kUpdateTmpDir + "b-big.bin"));

    Files expected = files;
    QString folder = "2.0/";
    if (edit == "tamper kept")
        QVERIFY(writeFile(kept.keptPath(resumeId("/a-small.txt")), "small file 2"));
    if (edit == "new version") {
        expected = release(3);
        folder = "3.0/";
        QVERIFY(writeServerRelease(root, "3.0", "3.0", expected));
    }

    // Second run.
    m_faults.clearRequests();
    const int logBefore = m_nginx->requestedPaths().size();
    QString url = m_nginx->baseUrl() + name + "/";
    if (!rangesHonoured) {
        m_faults.setBody(prefix + "/2.0/b-big.bin", big);
        url = m_faults.baseUrl() + name + "/";
    }
    QVERIFY(runToTheEnd(appDir, url));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(readFileStrict(appDir + it.key().mid(1)), it.value());
    QVERIFY(!QFileInfo::exists(kept.dir()));

    QStringList wanted{prefix + "/update.ini", prefix + "/" + folder + "md5.txt"};
    for (const QString &file : requested)
        wanted << prefix + "/" + folder + file;
    if (!rangesHonoured) {
        QCOMPARE(m_faults.requestedPaths(), wanted);
        const auto headers = m_faults.requestHeaders().last();
        QCOMPARE(headers.value("range"), "bytes=" + QByteArray::number(partLength) + "-");
        QCOMPARE(headers.value("if-range"), etag);
        return;
    }
    QCOMPARE(m_nginx->requestedPaths().mid(logBefore), wanted);
#ifndef Q_OS_WIN
    const QList<QByteArray> fields = m_nginx->accessLogLines().last().split(' ');
    QCOMPARE(fields.value(2).toInt(), bigStatus);
    QCOMPARE(fields.value(4).toLongLong(), bigStatus == 206 ? big.size() - partLength : qint64(expected.value("/b-big.bin").size()));
#else
    Q_UNUSED(bigStatus)
#endif
}

void TestResume::contentRangeContinues_data()
{
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("continues");
    QTest::newRow("the rest") << QByteArray("bytes 100-299/300") << qint64(100) << true;
    QTest::newRow("total unknown") << QByteArray("bytes 100-299/*") << qint64(100) << true;
    QTest::newRow("from elsewhere") << QByteArray("bytes 0-299/300") << qint64(100) << false;
    QTest::newRow("not to the end") << QByteArray("bytes 100-199/300") << qint64(100) << false;
    QTest::newRow("backwards") << QByteArray("bytes 100-50/300") << qint64(100) << false;
    QTest::newRow("other unit") << QByteArray("items 100-299/300") << qint64(100) << false;
    QTest::newRow("unsatisfied") << QByteArray("bytes */300") << qint64(100) << false;
    QTest::newRow("missing") << QByteArray() << qint64(100) << false;
}

void TestResume::contentRangeContinues()
{
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, offset);
    QFETCH(bool, continues);
    QCOMPARE(rangeContinuesAt(contentRange, offset), continues);
}

QTEST_MAIN(TestResume)
#include "tst_resume.moc"
