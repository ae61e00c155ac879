#pragma once

#include <QString>

class QComboBox;

// Selects the first item of the combo box that equals the text when both are upper-cased; when no
// item does, the selection stays as it was.
void SelectComboItem(QComboBox *combo, const QString &text);
