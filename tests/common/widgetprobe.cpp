#include "widgetprobe.h"
#include "ui_widget.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

QString WidgetProbe::statusLabel() const
{
    return ui->label_update->text();
}

QString WidgetProbe::detailLabel() const
{
    return ui->label_updatefile->text();
}

int WidgetProbe::overallValue() const
{
    return ui->progressBar_update->value();
}

int WidgetProbe::overallMaximum() const
{
    return ui->progressBar_update->maximum();
}

int WidgetProbe::fileValue() const
{
    return ui->progressBar_updatefile->value();
}

bool WidgetProbe::cancelEnabled() const
{
    return ui->pushButton_cancel->isEnabled();
}

QString WidgetProbe::buttonText() const
{
    return ui->pushButton_cancel->text();
}
