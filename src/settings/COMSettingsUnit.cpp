#include "settings/COMSettingsUnit.h"

#include "settings/Defaults.h"
#include "settings/DialogLook.h"

#include <QComboBox>
#include <QPushButton>

TCOMSettingsForm::TCOMSettingsForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("COMSettingsForm"));
    setWindowTitle(QStringLiteral("Настройки COM-порта"));
    ApplySettingsDialogLook(this, 250, 74);

    Label1 = MakeDialogLabel(this, "Label1", QStringLiteral("Скорость:"), 24, 16);

    SpeedComboBox = new QComboBox(this);
    SpeedComboBox->setObjectName(QStringLiteral("SpeedComboBox"));
    SpeedComboBox->addItems(
        {QStringLiteral("600"), QStringLiteral("1200"), QStringLiteral("2400"),
         QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("14400"),
         QStringLiteral("19200"), QStringLiteral("28800"), QStringLiteral("38400"),
         QStringLiteral("56000"), QStringLiteral("57600"), QStringLiteral("115200"),
         QStringLiteral("128000"), QStringLiteral("256000")});
    SpeedComboBox->setCurrentText(QString::number(DefaultBaudRate));
    SpeedComboBox->setGeometry(82, 13, 71, SpeedComboBox->sizeHint().height());

    connect(SpeedComboBox, &QComboBox::currentTextChanged, this,
            [this] { emit SpeedChanged(Speed()); });

    Label2 = MakeDialogLabel(this, "Label2", QStringLiteral("бод"), 159, 16);

    OKButton = MakeSaveButton(this, "OKButton", 167, 40);
    connect(OKButton, &QPushButton::clicked, this, &TCOMSettingsForm::OKButtonClick);
}

void TCOMSettingsForm::OKButtonClick()
{
    hide();
}

int TCOMSettingsForm::Speed() const
{
    return FieldNumber(SpeedComboBox->currentText(), DefaultBaudRate);
}
