#pragma once

#include "controls/Dialogs.h"

#include <QList>
#include <QString>

// Answers every message box at once and remembers it; a save dialog gets the preset file name,
// and the dialog asked is remembered. Installed for the life of the object.
class TRecordingDialogs : public TDialogs
{
public:
    struct TBox {
        QString Caption;
        QString Text;
        TMsgIcon Icon;
    };

    TRecordingDialogs();
    ~TRecordingDialogs() override;

    void MessageBox(QWidget *parent, const QString &caption, const QString &text,
                    TMsgIcon icon) override;
    QString SaveFileName(QFileDialog &dialog) override;

    QList<TBox> Boxes;
    QString NextSaveFileName;
    QFileDialog *AskedSaveDialog = nullptr;
};
