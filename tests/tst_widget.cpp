// The dialog as it is built: form, look, slot table and label handling.

#include "testsupport.h"
#include "ui/screenfit.h"

#include <QBoxLayout>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTemporaryDir>
#include <QtTest>

class ErrorSource : public QObject
{
    Q_OBJECT
signals:
    void failed(QNetworkReply::NetworkError error);
};

class TestWidget : public QObject
{
    Q_OBJECT

private slots:
    void formTree();
    void spacers();
    void lookAfterConstruction();
    void fixedConnections();
    void styleSheets();
    void slotTable();
    void queuedErrorDelivery();
    void refreshLabels();
    void labelsShowMarkupLiterally();
    void paintsBackground();
    void chineseTextHasAFont();
    void windowIconHasItsImage();
    void detailLineIsElided_data();
    void detailLineIsElided();
    void opensCentredAndMovesByDrag_data();
    void opensCentredAndMovesByDrag();
};

namespace {

QLayoutItem *itemOf(QLayout *layout, int index)
{
    return layout ? layout->itemAt(index) : nullptr;
}

} // namespace

void TestWidget::formTree()
{
    Widget dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("Widget"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Widget"));

    auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(grid->count(), 1);
    int row = -1, column = -1, rowSpan = -1, columnSpan = -1;
    grid->getItemPosition(0, &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(QVector<int>({row, column, rowSpan, columnSpan}), QVector<int>({0, 0, 1, 1}));

    auto *outer = qobject_cast<QVBoxLayout *>(grid->itemAt(0)->layout());
    QVERIFY(outer);
    QCOMPARE(outer->objectName(), QStringLiteral("verticalLayout_2"));
    QCOMPARE(outer->count(), 3);

    auto *top = qobject_cast<QHBoxLayout *>(itemOf(outer, 0)->layout());
    QVERIFY(top);
    QCOMPARE(top->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(top->count(), 3);
    QVERIFY(itemOf(top, 0)->spacerItem());
    auto *icon = qobject_cast<QLabel *>(itemOf(top, 1)->widget());
    QVERIFY(icon);
    QCOMPARE(icon->objectName(), QStringLiteral("label_icon"));
    QVERIFY(icon->text().isEmpty());
    QVERIFY(itemOf(top, 2)->spacerItem());
    QCOMPARE(top->stretch(1), 1);

    QVERIFY(itemOf(outer, 1)->spacerItem());
    auto *bottom = qobject_cast<QVBoxLayout *>(itemOf(outer, 2)->layout());
    QVERIFY(bottom);
    QCOMPARE(bottom->objectName(), QStringLiteral("verticalLayout"));

    const QStringList expected = {QStringLiteral("label_update"), QStringLiteral("progressBar_update"),
                                  QStringLiteral("label_updatefile"),
                                  QStringLiteral("progressBar_updatefile")};
    QCOMPARE(bottom->count(), 5);
    for (int i = 0; i < expected.size(); ++i) {
        QWidget *child = itemOf(bottom, i)->widget();
        QVERIFY2(child, qPrintable(expected.at(i)));
        QCOMPARE(child->objectName(), expected.at(i));
        QCOMPARE(child->parentWidget(), &dialog);
    }
    QVERIFY(qobject_cast<QLabel *>(itemOf(bottom, 0)->widget()));
    QVERIFY(qobject_cast<QProgressBar *>(itemOf(bottom, 1)->widget()));

    auto *buttons = qobject_cast<QHBoxLayout *>(itemOf(bottom, 4)->layout());
    QVERIFY(buttons);
    QCOMPARE(buttons->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(buttons->count(), 2);
    auto *cancel = qobject_cast<QPushButton *>(itemOf(buttons, 1)->widget());
    QVERIFY(cancel);
    QCOMPARE(cancel->objectName(), QStringLiteral("pushButton_cancel"));
    QCOMPARE(cancel->text(), QStringLiteral("取消"));

    // The form's own texts, before any update check replaces them.
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("label_update"))->text(), QStringLiteral("正在下载"));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("label_updatefile"))->text(),
             QStringLiteral("正在下载更新文件"));
}

void TestWidget::spacers()
{
    Widget dialog;
    auto *outer = dialog.layout()->itemAt(0)->layout();
    auto *top = outer->itemAt(0)->layout();
    auto *buttons = outer->itemAt(2)->layout()->itemAt(4)->layout();

    struct Expected
    {
        QSpacerItem *item;
        QSize size;
        QSizePolicy::Policy horizontal;
        QSizePolicy::Policy vertical;
    };
    const QVector<Expected> all = {
        {top->itemAt(0)->spacerItem(), QSize(40, 20), QSizePolicy::Expanding, QSizePolicy::Minimum},
        {top->itemAt(2)->spacerItem(), QSize(40, 20), QSizePolicy::Expanding, QSizePolicy::Minimum},
        {outer->itemAt(1)->spacerItem(), QSize(20, 128), QSizePolicy::Minimum, QSizePolicy::Expanding},
        {buttons->itemAt(0)->spacerItem(), QSize(436, 26), QSizePolicy::Expanding, QSizePolicy::Minimum},
    };
    for (const Expected &e : all) {
        QVERIFY(e.item);
        QCOMPARE(e.item->sizeHint(), e.size);
        QCOMPARE(e.item->sizePolicy().horizontalPolicy(), e.horizontal);
        QCOMPARE(e.item->sizePolicy().verticalPolicy(), e.vertical);
    }
}

void TestWidget::lookAfterConstruction()
{
    Widget dialog;
    QCOMPARE(dialog.windowFlags(), Qt::Window | Qt::FramelessWindowHint);
    QCOMPARE(dialog.minimumSize(), QSize(640, 455));
    QCOMPARE(dialog.maximumSize(), QSize(640, 455));
    QCOMPARE(dialog.size(), QSize(640, 455));

    for (const char *name : {"progressBar_update", "progressBar_updatefile"}) {
        auto *bar = dialog.findChild<QProgressBar *>(QLatin1String(name));
        QVERIFY(bar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }

}

void TestWidget::fixedConnections()
{
    QTemporaryDir app;
    WidgetProbe dialog;
    dialog.m_appDir = app.path() + QLatin1Char('/');

    // Disabled until the downloads start; then it asks for confirmation.
    auto *button = dialog.findChild<QPushButton *>(QStringLiteral("pushButton_cancel"));
    QVERIFY(!button->isEnabled());
    button->setEnabled(true);
    dialog.m_isUpdating = true;
    QString boxTitle;
    QTimer::singleShot(0, &dialog, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        boxTitle = box->windowTitle();
        box->reject();
    });
    button->click();
    QCOMPARE(boxTitle, QStringLiteral("确认取消"));
    QVERIFY(dialog.m_isUpdating);

    // The check timer exists, is idle, and ends a cancelled update once it runs.
    QCOMPARE(dialog.m_cancelCheckTimer->parent(), &dialog);
    QVERIFY(!dialog.m_cancelCheckTimer->isActive());
    dialog.m_cancelCheckTimer->start(0);
    QTRY_COMPARE(dialog.statusLabel(), QStringLiteral("更新失败"));
    QVERIFY(!dialog.m_cancelCheckTimer->isActive());
}

void TestWidget::styleSheets()
{
    Widget dialog;
    const QString big = dialog.findChild<QLabel *>(QStringLiteral("label_update"))->styleSheet();
    const QString small = dialog.findChild<QLabel *>(QStringLiteral("label_updatefile"))->styleSheet();
    const QString gap(36, QLatin1Char(' '));
    QCOMPARE(big, QStringLiteral("font: 700 16pt \"Microsoft YaHei UI\";") + gap
                 + QStringLiteral("color: rgb(0, 0, 0);"));
    QCOMPARE(big.size(), 92);
    QCOMPARE(small, QString(big).replace(QStringLiteral("16pt"), QStringLiteral("14pt")));
    for (const char *name : {"progressBar_update", "progressBar_updatefile"})
        QCOMPARE(dialog.findChild<QProgressBar *>(QLatin1String(name))->styleSheet(),
                 QStringLiteral("color: rgb(255, 255, 255);"));
}

void TestWidget::slotTable()
{
    const QMetaObject &meta = Widget::staticMetaObject;
    QCOMPARE(meta.className(), "Widget");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 6);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());

    struct Slot
    {
        QByteArray signature;
        QList<QByteArray> names;
    };
    const QVector<Slot> expected = {
        // moc records qint64 under its underlying name.
        {"onDownloadProgress(qlonglong,qlonglong)", {"bytesReceived", "bytesTotal"}},
        {"onDownloadFinished()", {}},
        {"onDownloadError(QNetworkReply::NetworkError)", {"error"}},
        {"onUpdateCompleted(bool)", {"success"}},
        {"onCancelUpdate()", {}},
        {"onCheckCancelRequest()", {}},
    };
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i).signature);
        QCOMPARE(method.parameterNames(), expected.at(i).names);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Protected);
    }
}

void TestWidget::queuedErrorDelivery()
{
    QTemporaryDir app;
    WidgetProbe dialog;
    dialog.m_appDir = app.path() + QLatin1Char('/');
    ErrorSource source;
    QVERIFY(QObject::connect(&source, SIGNAL(failed(QNetworkReply::NetworkError)), &dialog,
                             SLOT(onDownloadError(QNetworkReply::NetworkError)), Qt::QueuedConnection));
    QVERIFY(QMetaType::type("QNetworkReply::NetworkError") != QMetaType::UnknownType);

    emit source.failed(QNetworkReply::ConnectionRefusedError);
    QCOMPARE(dialog.statusLabel(), QStringLiteral("正在下载")); // not yet delivered
    QTRY_COMPARE(dialog.statusLabel(), QStringLiteral("更新失败"));
    // No reply was current, so the failure has no text of its own.
    QCOMPARE(dialog.detailLabel(), QStringLiteral("未知错误"));
}

void TestWidget::refreshLabels()
{
    WidgetProbe dialog;
    dialog.m_statusText = QStringLiteral("状态");
    dialog.m_errorMessage = QStringLiteral("细节");
    dialog.refreshLabels();
    QCOMPARE(dialog.statusLabel(), QStringLiteral("状态"));
    QCOMPARE(dialog.detailLabel(), QStringLiteral("细节"));

    dialog.m_errorMessage.clear();
    dialog.refreshLabels();
    QCOMPARE(dialog.detailLabel(), QString());
    QCOMPARE(dialog.statusLabel(), QStringLiteral("状态"));
}

void TestWidget::labelsShowMarkupLiterally()
{
    WidgetProbe dialog;
    dialog.m_statusText = QStringLiteral("<b>x</b>");
    dialog.m_errorMessage = QStringLiteral("<img src=\"/etc/passwd\">name.dll");
    dialog.refreshLabels();
    for (const char *name : {"label_update", "label_updatefile"}) {
        auto *label = dialog.findChild<QLabel *>(QLatin1String(name));
        label->ensurePolished();
        QCOMPARE(label->textFormat(), Qt::PlainText);
        // Rendered as text, every character takes room; as rich text "<b>x</b>"
        // would shrink to one bold x.
        const QFontMetrics metrics(label->font());
        QVERIFY2(label->sizeHint().width() >= metrics.horizontalAdvance(label->text()) - 1,
                 name);
    }
}

void TestWidget::paintsBackground()
{
    Widget dialog;
    const QImage background(QStringLiteral(":/res/bk.png"));
    QCOMPARE(background.size(), QSize(640, 455));

    const QImage shot = dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), QSize(640, 455));
    const QImage expected = background.convertToFormat(QImage::Format_RGB32);
    // Corners and the empty band above the labels are not covered by widgets.
    for (const QPoint &point : {QPoint(2, 2), QPoint(637, 2), QPoint(320, 40), QPoint(600, 200)})
        QCOMPARE(shot.pixel(point), expected.pixel(point));

    // For a look by eye: the dialog as the test drew it.
    // Beside the test binary, never into the checkout a test runs from.
    shot.save(QCoreApplication::applicationDirPath() + QStringLiteral("/dialog.png"));
}

void TestWidget::chineseTextHasAFont()
{
    Widget dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QString texts = QStringLiteral("正在下载正在下载更新文件取消准备开始更新正在更新更新失败停止更新"
                                         "正在取消更新更新完成!未知错误确认取消确定要取消更新吗？未完成的更新将不会被应用。"
                                         "本地update文件不存在，准备更新MD5比对");
    for (const char *name : {"label_update", "label_updatefile"}) {
        auto *label = dialog.findChild<QLabel *>(QLatin1String(name));
        label->ensurePolished();
        const QFontMetrics metrics(label->font());
        for (const QChar c : texts)
            QVERIFY2(metrics.inFont(c), qPrintable(QStringLiteral("%1 lacks %2 (%3)")
                                                        .arg(QLatin1String(name), c,
                                                             QFontInfo(label->font()).family())));
    }
}

void TestWidget::windowIconHasItsImage()
{
    Widget dialog; // registers the embedded resources
    // The resource path, not a "qrc:" URL, which QIcon would take for a file name.
    const QIcon icon(QStringLiteral(":/res/logo.ico"));
    QCOMPARE(icon.availableSizes(), QList<QSize>({QSize(16, 16), QSize(24, 24), QSize(32, 32), QSize(48, 48),
                                                  QSize(64, 64), QSize(256, 256)}));
    QVERIFY(QIcon(QStringLiteral("qrc:/res/logo.ico")).availableSizes().isEmpty());
    const QImage image = icon.pixmap(64, 64).toImage();
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);     // transparent corner
    QVERIFY(qAlpha(image.pixel(32, 32)) > 200); // drawn centre
}

void TestWidget::detailLineIsElided_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<bool>("elided");

    const QString url = QStringLiteral("http://updates.example.com/app/3.0//data/") + QString(40, QLatin1Char('x'))
        + QStringLiteral("/pack05.dat");
    QTest::newRow("fits") << QStringLiteral("a.dll") << "a.dll" << "a.dll" << false;
    QTest::newRow("long: both ends stay")
        << QStringLiteral("下载错误:Error transferring ") + url + QStringLiteral(" - server replied: Not Found")
        << "下载错误:Error" << "Not Found" << true;
    QTest::newRow("line breaks become blanks") << QStringLiteral("a\nb\r\nc") << "a b c" << "a b c" << false;
}

void TestWidget::detailLineIsElided()
{
    QFETCH(QString, text);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(bool, elided);

    // In the dialog: the label shows what fits, the tool tip all of it.
    WidgetProbe dialog;
    dialog.m_errorMessage = text;
    dialog.refreshLabels();
    auto *label = dialog.findChild<QLabel *>(QStringLiteral("label_updatefile"));
    QCOMPARE(label->toolTip(), text);
    const QString shown = label->text();
    QVERIFY2(shown.startsWith(start) && shown.endsWith(end), qPrintable(shown));
    QCOMPARE(shown.contains(QChar(0x2026)), elided);
    QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width());
    QCOMPARE(elideDetail(text, label->fontMetrics(), label->contentsRect().width()), shown);
}

void TestWidget::opensCentredAndMovesByDrag_data()
{
    QTest::addColumn<QString>("grabbed");
    QTest::addColumn<bool>("moves");
    QTest::newRow("status line") << "label_update" << true;
    QTest::newRow("progress bar") << "progressBar_update" << true;
    QTest::newRow("background") << "Widget" << true;
    QTest::newRow("button") << "pushButton_cancel" << false;
}

void TestWidget::opensCentredAndMovesByDrag()
{
    QFETCH(QString, grabbed);
    QFETCH(bool, moves);

    QTemporaryDir app;
    WidgetProbe dialog;
    dialog.m_appDir = app.path() + QLatin1Char('/');
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QScreen *screen = dialog.screen();
    QCOMPARE(dialog.pos(), centredTopLeft(screen->availableGeometry(), dialog.size()));
    QCOMPARE(centredTopLeft(QRect(100, 50, 1000, 700), QSize(640, 455)), QPoint(280, 172));

    QWidget *target = grabbed == dialog.objectName() ? &dialog : dialog.findChild<QWidget *>(grabbed);
    QVERIFY(target);
    target->setEnabled(true);
    const QPoint start = dialog.pos();
    const QPoint at(5, 5);
    QTest::mousePress(target, Qt::LeftButton, Qt::NoModifier, at);
    QMouseEvent move(QEvent::MouseMove, at + QPoint(30, 20), target->mapToGlobal(at + QPoint(30, 20)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QTest::mouseRelease(target, Qt::LeftButton, Qt::NoModifier, at + QPoint(30, 20));
    QCOMPARE(dialog.pos(), moves ? start + QPoint(30, 20) : start);
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
