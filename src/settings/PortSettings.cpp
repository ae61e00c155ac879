#include "settings/PortSettings.h"

#include "controls/ComboItems.h"
#include "settings/StoredSettings.h"

#include <QComboBox>
#include <QStringList>

namespace
{

// The stored numbers in order; a gap in the numbering closes up.
QStringList ReadPhones(const TStoredSettings &stored)
{
    QStringList phones;
    for (int i = 0; i < TStoredSettings::Count(TSetting::Phone); ++i) {
        if (stored.Has(TSetting::Phone, i))
            phones.append(stored.Value(TSetting::Phone, i).toString());
    }
    return phones;
}

} // namespace

void LoadPhoneList(QComboBox *phoneNumber)
{
    const QString typed = phoneNumber->currentText();
    phoneNumber->clear();
    phoneNumber->setEditText(QString());
    {
        const TStoredSettings stored;
        for (int i = 0; i < TStoredSettings::Count(TSetting::Phone); ++i) {
            if (!stored.Has(TSetting::Phone, i))
                continue;
            phoneNumber->addItem(stored.Value(TSetting::Phone, i).toString());
            // The first item added would become the current one and fill the text; the text
            // stays clear until the typed one is put back.
            phoneNumber->setCurrentIndex(-1);
        }
    }
    phoneNumber->setEditText(typed);
}

void SavePhoneNumber(QComboBox *phoneNumber, const QString &number)
{
    {
        TStoredSettings stored;
        QStringList phones = ReadPhones(stored);
        // An entry already in the list keeps its place.
        if (!phones.contains(number, Qt::CaseSensitive))
            phones.prepend(number);
        const int count = std::min<int>(phones.size(), TStoredSettings::Count(TSetting::Phone));
        for (int i = 0; i < count; ++i)
            stored.SetValue(TSetting::Phone, phones.at(i), i);
    }
    LoadPhoneList(phoneNumber);
}

void LoadPortSettings(QComboBox *portsList, QComboBox *connectType)
{
    const TStoredSettings stored;
    // A port that is not listed, or none stored, leaves the list's choice as it is.
    SelectComboItem(portsList, stored.Value(TSetting::Port).toString());
    // A value that is no connection type leaves the list with no selection; none stored selects
    // the default type.
    connectType->setCurrentIndex(
        ConnectionTypeIndex(ConnectionTypeOf(stored.Value(TSetting::ConnectionType).toInt())));
}

void SavePortSettings(const QString &port, std::optional<TConnectionType> type)
{
    TStoredSettings stored;
    stored.SetValue(TSetting::Port, port);
    stored.SetValue(TSetting::ConnectionType, ConnectionTypeIndex(type));
}
