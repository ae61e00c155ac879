#pragma once

#include <QString>

#include <limits>

class QLabel;
class QPushButton;
class QWidget;

// The common frame of the two small settings dialogs: the window font, a fixed client size with
// only the close button in the title bar, centred on the screen.
void ApplySettingsDialogLook(QWidget *dialog, int clientWidth, int clientHeight);

// A label of the dialog with its designed name, placed at x, y and sized to its text.
QLabel *MakeDialogLabel(QWidget *dialog, const char *name, const QString &text, int x, int y);
// The dialog's "Сохранить" button with its designed name and place; Enter does not press it.
QPushButton *MakeSaveButton(QWidget *dialog, const char *name, int x, int y);

// The number a dialog's field holds: its text as a decimal number from lowest to highest, else
// fallback.
int FieldNumber(const QString &text, int fallback, int lowest = std::numeric_limits<int>::min(),
                int highest = std::numeric_limits<int>::max());
