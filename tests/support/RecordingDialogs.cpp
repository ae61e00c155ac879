#include "support/RecordingDialogs.h"

TRecordingDialogs::TRecordingDialogs()
{
    TDialogs::SetInstance(this);
}

TRecordingDialogs::~TRecordingDialogs()
{
    TDialogs::SetInstance(nullptr);
}

void TRecordingDialogs::MessageBox(QWidget *, const QString &caption, const QString &text,
                                   TMsgIcon icon)
{
    Boxes.append({caption, text, icon});
}

QString TRecordingDialogs::SaveFileName(QFileDialog &dialog)
{
    AskedSaveDialog = &dialog;
    return NextSaveFileName;
}
