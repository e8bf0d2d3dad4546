#include "widget.h"
#include "ui_widget.h"

#include "config/constants.h"
#include "delta/deltadecoder.h"
#include "net/downloadsink.h"
#include "screenfit.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QPixmap>
#include <QTimer>

namespace {

// Both labels share one style; only the point size differs.
QString labelStyle(int pointSize)
{
    return QStringLiteral("font: 700 %1pt \"Microsoft YaHei UI\";").arg(pointSize)
        + QString(36, QLatin1Char(' ')) + QStringLiteral("color: rgb(0, 0, 0);");
}

const QString kProgressBarStyle = QStringLiteral("color: rgb(255, 255, 255);");

// The style sheets name the Windows UI font for Chinese text. Elsewhere that
// family does not exist and the system would fall back to a Latin font, so
// point the name at the common CJK families instead.
void addChineseFontSubstitutes()
{
#ifndef Q_OS_WIN
    QFont::insertSubstitutions(QStringLiteral("Microsoft YaHei UI"),
                               {QStringLiteral("WenQuanYi Micro Hei"),
                                QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("Source Han Sans SC")});
#endif
}

} // namespace

Widget::Widget(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Widget)
    , m_appDir(QCoreApplication::applicationDirPath() + QLatin1Char('/'))
    , m_currentReply(nullptr)
    , m_currentIndex(0)
    , m_totalFiles(0)
    , m_isUpdating(false)
    , m_cancelRequested(false)
    , m_statusText(QLatin1String(""))
    , m_errorMessage(QLatin1String(""))
    , m_cancelCheckTimer(nullptr)
{
    Q_INIT_RESOURCE(resources);
    addChineseFontSubstitutes();
    // Queued deliveries of the reply's error signal need the enum by name.
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
    ui->setupUi(this);
    initUi();
}

Widget::~Widget()
{
    delete ui;
}

void Widget::initUi()
{
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(640, 455);

    ui->label_update->setStyleSheet(labelStyle(16));
    ui->label_updatefile->setStyleSheet(labelStyle(14));
    ui->progressBar_update->setStyleSheet(kProgressBarStyle);
    ui->progressBar_updatefile->setStyleSheet(kProgressBarStyle);

    ui->progressBar_update->setRange(0, 100);
    ui->progressBar_updatefile->setRange(0, 100);
    ui->progressBar_update->setValue(0);
    ui->progressBar_updatefile->setValue(0);

    // Nothing to cancel until the downloads start; the run enables it.
    ui->pushButton_cancel->setEnabled(false);
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &Widget::onCancelUpdate);
    // The detail line is elided to the width the layout gives it.
    ui->label_updatefile->installEventFilter(this);

    // Lays the form out at the fixed size now, so texts set before the
    // dialog is shown are fitted to their real width.
    layout()->activate();

    m_background.load(QStringLiteral(":/res/bk.png"));

    connect(&m_networkManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &Widget::onProxyAuthenticationRequired);

    m_cancelCheckTimer = new QTimer(this);
    connect(m_cancelCheckTimer, &QTimer::timeout, this, &Widget::onCheckCancelRequest);
}

void Widget::refreshLabels()
{
    m_view.labels = false;
    ui->label_update->setText(m_statusText);
    showDetailText();
}

void Widget::showDetailText()
{
    m_view.detailShown = true;
    QLabel *label = ui->label_updatefile;
    label->setToolTip(m_errorMessage);
    label->ensurePolished();
    label->setText(elideDetail(m_errorMessage, label->fontMetrics(), label->contentsRect().width()));
}

void Widget::setFileProgressSoon(int percent)
{
    m_view.fileValue = percent;
    scheduleView();
}

void Widget::setOverallProgressSoon(int value)
{
    m_view.overallValue = value;
    scheduleView();
}

void Widget::refreshLabelsSoon()
{
    m_view.labels = true;
    scheduleView();
}

void Widget::scheduleView()
{
    m_view.throttle.schedule();
}

void Widget::flushView()
{
    m_view.throttle.flush();
}

void Widget::showPendingView()
{
    if (m_view.labels)
        refreshLabels();
    if (m_view.overallValue >= 0)
        ui->progressBar_update->setValue(m_view.overallValue);
    if (m_view.fileValue >= 0)
        ui->progressBar_updatefile->setValue(m_view.fileValue);
    m_view.overallValue = -1;
    m_view.fileValue = -1;
}

void Widget::showQueueStart(int total)
{
    ui->progressBar_update->setValue(0);
    ui->progressBar_update->setRange(0, total);
    ui->label_update->setText(kStatusUpdating + tr("准备更新 %1 个文件").arg(total));
}

bool Widget::eventFilter(QObject *watched, QEvent *event)
{
    // Until the first refresh the label holds the form's own text.
    if (watched == ui->label_updatefile && m_view.detailShown
        && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange))
        showDetailText();
    return QDialog::eventFilter(watched, event);
}

void Widget::mousePressEvent(QMouseEvent *event)
{
    // No title bar: the whole dialog is the handle (the button takes its
    // own clicks).
    if (event->button() == Qt::LeftButton) {
        m_drag.active = true;
        m_drag.offset = event->globalPos() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void Widget::mouseMoveEvent(QMouseEvent *event)
{
    if (m_drag.active && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPos() - m_drag.offset);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void Widget::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        m_drag.active = false;
    QDialog::mouseReleaseEvent(event);
}

void Widget::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.drawPixmap(rect(), m_background);
    QWidget::paintEvent(event);
    painter.end();
}
