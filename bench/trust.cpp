// What TLS and a signature add to an up-to-date check, against the same
// check over plain http.
//
//   bench_trust [repeats]
//
// Two throw-away nginx on 127.0.0.1 serve the same signed release: one over
// http, one over https with a certificate from a CA made here (trusted
// through CaFile). An installation already at that release runs
// Widget::checkUpdate alternately against each, in a fresh dialog (so every
// https check makes its own TLS handshake, as a real start does):
//   plain:   http, no PublicKey;
//   trusted: https + CaFile + PublicKey (signature and Published verified).
// Prints the medians (ms) and the ratio trusted / plain.

#include "benchargs.h"
#include "config/constants.h"
#include "config/settingsstore.h"
#include "testsupport.h"
#include "trust/releasesignature.h"
#include "trust/signingkey.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int repeats = BenchArguments(argc, argv, "bench_trust [repeats]").number(1, 50);

    QTemporaryDir work;
    QString error;
    if (!makeTestCertificates(work.path(), error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    SigningKey key;
    if (!SigningKey::generate(key, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    const QString root = work.filePath(QStringLiteral("www"));
    const QMap<QString, QByteArray> files = {{"/a.txt", "a"}};
    writeServerRelease(root, "2.0", "2.0", files);
    SignedRelease release;
    release.folder = QStringLiteral("2.0");
    release.version = QStringLiteral("2.0");
    release.manifest = fileSha256Hex(root + QStringLiteral("/2.0/md5.txt"));
    release.published = formatPublishedTime(QDateTime::currentDateTimeUtc());
    QByteArray signature;
    key.sign(releaseMessage(release.folder, release.version, release.manifest, release.published), signature, error);
    release.signature = QString::fromLatin1(signature.toBase64());
    writeFile(root + QStringLiteral("/update.ini"), signedVersionFileBytes(release));

    NginxServer plain(root);
    NginxServer tls(root);
    tls.useTls(work.filePath(QStringLiteral("valid.pem")), work.filePath(QStringLiteral("valid.key")));
    if (!plain.start() || !tls.start()) {
        std::fprintf(stderr, "nginx: %s %s\n", qPrintable(plain.errorText()), qPrintable(tls.errorText()));
        return 1;
    }

    const QString appDir = work.filePath(QStringLiteral("app/"));
    writeInstallation(appDir, QString(), QString(), QString(), files);
    writeFile(appDir + QStringLiteral("UpdateTmp/update.ini"), signedVersionFileBytes(release));

    SettingsStore &settings = SettingsStore::instance();
    auto timeCheck = [&](bool trusted) -> double {
        if (trusted) {
            settings.setValue(kKeyUrl, tls.baseUrl());
            settings.setValue(kKeyCaFile, work.filePath(QStringLiteral("ca.pem")));
            settings.setValue(kKeyPublicKey, key.publicKeyBase64());
        } else {
            settings.setValue(kKeyUrl, plain.baseUrl());
            settings.unsetValue(kKeyCaFile);
            settings.unsetValue(kKeyPublicKey);
        }
        WidgetProbe dialog;
        dialog.m_appDir = appDir;
        QElapsedTimer timer;
        timer.start();
        const bool upToDate = dialog.checkUpdate();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        if (!upToDate) {
            std::fprintf(stderr, "check did not find the installation current: %s\n", qPrintable(dialog.detailLabel()));
            std::exit(1);
        }
        return ms;
    };

    timeCheck(false); // warm-up: first use of the network stack and OpenSSL
    timeCheck(true);
    QVector<double> plainTimes;
    QVector<double> trustedTimes;
    for (int i = 0; i < repeats; ++i) {
        plainTimes << timeCheck(false);
        trustedTimes << timeCheck(true);
    }
    const double plainMedian = median(plainTimes);
    const double trustedMedian = median(trustedTimes);
    std::printf("up-to-date check, %d runs each (medians)\n", repeats);
    std::printf("  plain   http:                          %8.2f ms\n", plainMedian);
    std::printf("  trusted https + CaFile + signature:     %8.2f ms\n", trustedMedian);
    std::printf("  ratio trusted / plain:                  %8.2f\n", plainMedian > 0 ? trustedMedian / plainMedian : 0.0);
    return 0;
}
