#include "controls/ComboItems.h"

#include <QComboBox>
#include <QLocale>

void SelectComboItem(QComboBox *combo, const QString &text)
{
    const QLocale locale;
    const QString wanted = locale.toUpper(text);
    for (int i = 0; i < combo->count(); ++i) {
        if (locale.toUpper(combo->itemText(i)) == wanted) {
            combo->setCurrentIndex(i);
            return;
        }
    }
}
