#include "settings/TPCServerSettingsUnit.h"

#include "settings/Defaults.h"
#include "settings/DialogLook.h"

#include <QLineEdit>
#include <QPushButton>

TTCPServerSettingsForm::TTCPServerSettingsForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TCPServerSettingsForm"));
    setWindowTitle(QStringLiteral("Настройки TCP сервера"));
    ApplySettingsDialogLook(this, 219, 82);

    Label1 = MakeDialogLabel(this, "Label1", QStringLiteral("Порт:"), 24, 24);

    PortEdit = new QLineEdit(QString::number(DefaultServerPort), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setGeometry(59, 21, 62, PortEdit->sizeHint().height());

    connect(PortEdit, &QLineEdit::textChanged, this, [this] { emit PortChanged(Port()); });

    OkButton = MakeSaveButton(this, "OkButton", 136, 49);
    connect(OkButton, &QPushButton::clicked, this, &TTCPServerSettingsForm::OkButtonClick);
}

void TTCPServerSettingsForm::OkButtonClick()
{
    hide();
}

int TTCPServerSettingsForm::Port() const
{
    return FieldNumber(PortEdit->text(), DefaultServerPort, 1024, 65535);
}

void TTCPServerSettingsForm::ShowPort(int port)
{
    PortEdit->setText(QString::number(port));
}
