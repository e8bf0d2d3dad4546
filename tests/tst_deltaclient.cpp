// The update run with a release that publishes deltas: what is requested
// and what ends up installed, against a real nginx serving a tree the
// release tool made.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "delta/deltaindex.h"
#include "manifest/manifestformat.h"
#include "net/transfer.h"
#include "publish/publisher.h"
#include "testsupport.h"
#include "update/updatetransaction.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using Files = QMap<QString, QByteArray>;

namespace {

QByteArray textBytes(int lines, int changeEvery = 0)
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i) {
        const bool changed = changeEvery > 0 && i % changeEvery == 0;
        bytes += "line " + QByteArray::number(i) + " value " + QByteArray::number(i * 7919 % 10007)
            + (changed ? " changed " + QByteArray::number(i * 31) : QByteArray()) + '\n';
    }
    return bytes;
}

const Files &oldRelease()
{
    static const Files files{{"/keep.txt", "same in both"},
                             {"/sub/f.bin", textBytes(20000)},
                             {"/old/name.bin", randomBytes(40000, 1)}};
    return files;
}

// f.bin changed a little, new.txt added, name.bin moved.
const Files &newRelease()
{
    static const Files files{{"/keep.txt", "same in both"},
                             {"/sub/f.bin", textBytes(20000, 400)},
                             {"/new.txt", textBytes(3000)},
                             {"/moved/name.bin", randomBytes(40000, 1)}};
    return files;
}

// An installation of oldRelease() at 1.0 with the manifest of its files.
bool installOld(const QString &appDir)
{
    if (!writeInstallation(appDir, QString(), QString(), "1.0", oldRelease()))
        return false;
    FileManifest local;
    for (auto it = oldRelease().cbegin(); it != oldRelease().cend(); ++it)
        local.insert(it.key(), md5Hex(it.value()));
    return writeFile(appDir + kMd5File, manifestFileBytes(local));
}

} // namespace

class TestDeltaClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void requestsAndResult_data();
    void requestsAndResult();
    void textsWhileAnObjectStalls_data();
    void textsWhileAnObjectStalls();

private:
    QTemporaryDir m_serverRoot;
    std::unique_ptr<NginxServer> m_nginx;
    FaultServer m_faults;
};

void TestDeltaClient::initTestCase()
{
    m_nginx = std::make_unique<NginxServer>(m_serverRoot.path());
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorText()));
    QVERIFY(m_faults.listen());
    UpdateTransaction::setRetryPolicy(1, 0);
    setTransferTimeoutMs(120000);
}

void TestDeltaClient::cleanup()
{
    SettingsStore::instance().unsetValue(kKeyDeltas);
    setTransferTimeoutMs(120000);
}

void TestDeltaClient::requestsAndResult_data()
{
    QTest::addColumn<int>("published");    // --deltas of the release tool
    QTest::addColumn<QString>("setting");  // system.cfg's Deltas; null: absent
    QTest::addColumn<QString>("serverEdit");
    QTest::addColumn<bool>("baseChanged"); // f.bin installed is not what md5.txt says
    // After update.ini and md5.txt: index, fPatch, f, newCopy, new, moved.
    QTest::addColumn<QStringList>("requests");

    const QStringList plain{"moved", "new", "f"};
    QTest::newRow("no deltas published: as before") << 0 << QString() << QString() << false << plain;
    QTest::newRow("Deltas=false: as before") << 3 << "false" << QString() << false << plain;
    QTest::newRow("patch, copy, moved file reused") << 3 << QString() << QString() << false
                                                    << QStringList{"index", "newCopy", "fPatch"};
    QTest::newRow("Deltas=true is the default") << 3 << "true" << QString() << false
                                                << QStringList{"index", "newCopy", "fPatch"};
    QTest::newRow("base not what the manifest says") << 3 << QString() << QString() << true
                                                     << QStringList{"index", "newCopy", "f"};
    QTest::newRow("corrupt patch") << 3 << QString() << "corrupt patch" << false
                                   << QStringList{"index", "newCopy", "fPatch", "f"};
    QTest::newRow("patch 404") << 3 << QString() << "remove patch" << false
                               << QStringList{"index", "newCopy", "fPatch", "f"};
    QTest::newRow("index 404") << 3 << QString() << "remove index" << false << QStringList{"index", "new", "f"};
    QTest::newRow("index name that leaves the folder") << 3 << QString() << "index name" << false
                                                       << QStringList{"new", "f"};
    QTest::newRow("garbage index") << 3 << QString() << "garbage index" << false
                                   << QStringList{"index", "new", "f"};
    QTest::newRow("index sizes larger than the files") << 3 << QString() << "oversize index" << false
                                                       << QStringList{"index", "newCopy", "new", "fPatch", "f"};
    QTest::newRow("objects larger than their index sizes") << 3 << QString() << "undersize index" << false
                                                           << QStringList{"index", "newCopy", "new", "fPatch", "f"};
}

void TestDeltaClient::requestsAndResult()
{
    QFETCH(int, published);
    QFETCH(QString, setting);
    QFETCH(QString, serverEdit);
    QFETCH(bool, baseChanged);
    QFETCH(QStringList, requests);

    const QString name =
        QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("[^a-z0-9]+"), "-");
    const QString root = m_serverRoot.filePath(name);
    QTemporaryDir work;
    QVERIFY(publishTree(root, work.filePath("source"), "1.0", oldRelease(), published));
    QVERIFY(publishTree(root, work.filePath("source"), "2.0", newRelease(), published));

    const QString fNew = md5Hex(newRelease().value("/sub/f.bin"));
    const QString fOld = md5Hex(oldRelease().value("/sub/f.bin"));
    const QString newTxt = md5Hex(newRelease().value("/new.txt"));
    const QString folder = root + "/2.0/";
    const QString patch = folder + deltaObjectPath(fNew, fOld);
    if (published > 0) {
        QVERIFY(QFileInfo::exists(patch));
        QVERIFY(QFileInfo::exists(folder + deltaObjectPath(newTxt, QString())));
    }
    QByteArray index = readFile(folder + kDeltaIndexFile);
    if (serverEdit == "corrupt patch") {
        QByteArray bytes = readFile(patch);
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x5a);
        QVERIFY(writeFile(patch, bytes));
    } else if (serverEdit == "remove patch") {
        QVERIFY(QFile::remove(patch));
    } else if (serverEdit == "remove index") {
        QVERIFY(QFile::remove(folder + kDeltaIndexFile));
    } else if (serverEdit == "index name") {
        const QByteArray ini = readFile(root + "/update.ini");
        QVERIFY(ini.contains("Deltas=deltas.txt"));
        QVERIFY(writeFile(root + "/update.ini",
                          QByteArray(ini).replace("Deltas=deltas.txt", "Deltas=../1.0/deltas.txt")));
    } else if (serverEdit == "garbage index") {
        QVERIFY(writeFile(folder + kDeltaIndexFile, "not an entry\n" + fNew.toLatin1() + "\t" + fOld.toLatin1()
                                                        + "\n\t\t\n" + fNew.toLatin1() + " - 12\n"));
    } else if (serverEdit.endsWith(" index")) {
        QByteArray edited;
        for (const QByteArray &line : index.split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() == 3)
                edited += fields[0] + '\t' + fields[1] + '\t'
                    + (serverEdit == "oversize index" ? "900000000" : "10") + '\n';
        }
        QVERIFY(writeFile(folder + kDeltaIndexFile, edited));
    }

    QTemporaryDir app;
    const QString appDir = app.path() + "/";
    QVERIFY(installOld(appDir));
    if (baseChanged)
        QVERIFY(writeFile(appDir + "sub/f.bin", textBytes(20000, 7)));
    SettingsStore::instance().setValue(kKeyUrl, m_nginx->baseUrl() + name + "/");
    SettingsStore::instance().setValue(kKeyExeName, QString());
    if (!setting.isNull())
        SettingsStore::instance().setValue(kKeyDeltas, setting);

    const QString base = "/" + name + "/2.0/";
    const QMap<QString, QString> paths{{"index", base + kDeltaIndexFile},
                                       {"fPatch", base + deltaObjectPath(fNew, fOld)},
                                       {"f", base + "sub/f.bin"},
                                       {"newCopy", base + deltaObjectPath(newTxt, QString())},
                                       {"new", base + "new.txt"},
                                       {"moved", base + "moved/name.bin"}};
    QStringList expected{"/" + name + "/update.ini", base + kMd5File};
    for (const QString &request : requests)
        expected << paths.value(request);

    const int before = m_nginx->requestedPaths().size();
    WidgetProbe dialog;
    dialog.m_appDir = appDir;
    QVERIFY(!dialog.checkUpdate());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(
        dialog.statusLabel() == QStringLiteral("更新完成!") || dialog.statusLabel() == kStatusFailed, 60000);
    QCOMPARE(dialog.statusLabel(), QStringLiteral("更新完成!"));
    QCOMPARE(m_nginx->requestedPaths().mid(before), expected);
    for (auto it = newRelease().cbegin(); it != newRelease().cend(); ++it)
        QCOMPARE(readFileStrict(appDir + it.key().mid(1)), it.value());
    QCOMPARE(readFile(appDir + kMd5File), readFile(folder + kMd5File));
    dialog.close();
}

void TestDeltaClient::textsWhileAnObjectStalls_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("patch");
    QTest::addColumn<QString>("detail");

    QTest::newRow("patch") << "/sub/f.bin" << true << QStringLiteral("f.bin（增量）");
    QTest::newRow("compressed copy") << "/new.txt" << false << "new.txt";
}

// The detail line names the file and says when it is patched; the per-file
// bar follows the object's bytes; an object that stalls ends in the plain
// file.
void TestDeltaClient::textsWhileAnObjectStalls()
{
    QFETCH(QString, key);
    QFETCH(bool, patch);
    QFETCH(QString, detail);
    QTemporaryDir work;
    const QString root = work.filePath("root");
    QVERIFY(publishTree(root, work.filePath("source"), "1.0", oldRelease(), 3));
    QVERIFY(publishTree(root, work.filePath("source"), "2.0", newRelease(), 3));
    const QString prefix = "/stall-" + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QMap<QString, QByteArray> served = snapshotTree(root);
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        m_faults.setBody(prefix + it.key(), it.value());
    const QString newMd5 = md5Hex(newRelease().value(key));
    const QString object = "/2.0/" + deltaObjectPath(newMd5, patch ? md5Hex(oldRelease().value(key)) : QString());
    const QByteArray bytes = served.value(object);
    QVERIFY(!bytes.isEmpty());
    const int half = bytes.size() / 2;
    m_faults.setStall(prefix + object, bytes.left(half), bytes.size());
    setTransferTimeoutMs(1500);

    QTemporaryDir app;
    const QString appDir = app.path() + "/";
    QVERIFY(installOld(appDir));
    SettingsStore::instance().setValue(kKeyUrl, m_faults.baseUrl() + prefix.mid(1) + "/");
    SettingsStore::instance().setValue(kKeyExeName, QString());
    m_faults.clearRequests();

    WidgetProbe dialog;
    dialog.m_appDir = appDir;
    QVERIFY(!dialog.checkUpdate());
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(dialog.detailLabel(), detail, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(dialog.fileValue(), int(qint64(half) * 100 / bytes.size()), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(dialog.statusLabel(), QStringLiteral("更新完成!"), 30000);
    QVERIFY(m_faults.requestedPaths().contains(prefix + object));
    QVERIFY(m_faults.requestedPaths().contains(prefix + "/2.0" + key));
    QCOMPARE(readFileStrict(appDir + key.mid(1)), newRelease().value(key));
    dialog.close();
}

QTEST_MAIN(TestDeltaClient)
#include "tst_deltaclient.moc"
