#include "settings/TPCServerSettingsUnit.h"

#include "settings/Defaults.h"

#include "settings/DialogLook.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TTCPServerSettingsForm::TTCPServerSettingsForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TCPServerSettingsForm"));
    setWindowTitle(QStringLiteral("Настройки TCP сервера"));
    ApplySettingsDialogLook(this, 219, 82);

    Label1 = new QLabel(QStringLiteral("Порт:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(24, 24);
    Label1->adjustSize();

    PortEdit = new QLineEdit(QString::number(DefaultServerPort), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setGeometry(59, 21, 62, PortEdit->sizeHint().height());

    OkButton = new QPushButton(QStringLiteral("Сохранить"), this);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    OkButton->setGeometry(136, 49, 75, 25);
    OkButton->setAutoDefault(false);
    connect(OkButton, &QPushButton::clicked, this, &TTCPServerSettingsForm::OkButtonClick);
}

void TTCPServerSettingsForm::OkButtonClick()
{
    hide();
}
