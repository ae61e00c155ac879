#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The TCP port dialog. Modeless; the port chosen is in effect from the next start of the server,
// and is not stored, so every start begins at 53462.
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

    // The port chosen: a decimal number from 1024 to 65535, else the default.
    int Port() const;
    // The port the server listens on, shown in place of a text that was no port.
    void ShowPort(int port);

signals:
    // The text was edited: Port() may have changed.
    void PortChanged(int port);
};
