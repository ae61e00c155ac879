#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The TCP port dialog. Modeless; the server reads PortEdit when it starts and the value is not
// stored, so every start begins at 53462.
class TTCPServerSettingsForm : public QDialog
{
    Q_OBJECT

public:
    explicit TTCPServerSettingsForm(QWidget *parent = nullptr);

    QLabel *Label1;
    QLineEdit *PortEdit;
    QPushButton *OkButton;

    // "Сохранить" only hides the dialog: the port is in effect already.
    void OkButtonClick();

    // The port chosen: a decimal number from 1024 to 65535, else the default, which the dialog
    // then shows, so that it shows the port in use.
    int TakePort();
};
