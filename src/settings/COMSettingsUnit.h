#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

// The COM speed dialog. Modeless; the speed chosen is in effect from the next open of a port, and
// is not stored, so every start begins at 19200.
class TCOMSettingsForm : public QDialog
{
    Q_OBJECT

public:
    explicit TCOMSettingsForm(QWidget *parent = nullptr);

    QLabel *Label1;
    QComboBox *SpeedComboBox;
    QLabel *Label2;
    QPushButton *OKButton;

    // "Сохранить" only hides the dialog: the choice is in effect already.
    void OKButtonClick();

    // The speed chosen, in bits per second; the default when the text is no number.
    int Speed() const;

signals:
    // Another speed was chosen.
    void SpeedChanged(int speed);
};
