#include "settings/PortSettings.h"

#include "controls/ComboItems.h"
#include "settings/RegistryKey.h"

#include <QComboBox>
#include <QStringList>

namespace
{

constexpr int MaxPhones = 8;

QString phoneName(int i)
{
    return QStringLiteral("phone%1").arg(i);
}

// phone1..phone8 in order; a gap in the numbering closes up.
QStringList readPhones(const TRegistryKey &key)
{
    QStringList phones;
    for (int i = 1; i <= MaxPhones; ++i) {
        const QString name = phoneName(i);
        if (key.ValueExists(name))
            phones.append(key.ReadString(name));
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
        const TRegistryKey key;
        for (int i = 1; i <= MaxPhones; ++i) {
            const QString name = phoneName(i);
            if (!key.ValueExists(name))
                continue;
            phoneNumber->addItem(key.ReadString(name));
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
        TRegistryKey key;
        QStringList phones = readPhones(key);
        // An entry already in the list keeps its place.
        if (!phones.contains(number, Qt::CaseSensitive))
            phones.prepend(number);
        const int count = std::min<int>(phones.size(), MaxPhones);
        for (int i = 0; i < count; ++i)
            key.WriteString(phoneName(i + 1), phones.at(i));
    }
    LoadPhoneList(phoneNumber);
}

void LoadPortSettings(QComboBox *portsList, QComboBox *connectType)
{
    const TRegistryKey key;
    const QString com = QStringLiteral("COM");
    if (key.ValueExists(com))
        SelectComboItem(portsList, key.ReadString(com));
    const QString channel = QStringLiteral("CHANNEL");
    if (key.ValueExists(channel)) {
        // A value that is no connection type leaves the list with no selection.
        connectType->setCurrentIndex(
            ConnectionTypeIndex(ConnectionTypeOf(key.ReadInteger(channel))));
    }
}

void SavePortSettings(const QString &port, std::optional<TConnectionType> type)
{
    TRegistryKey key;
    key.WriteString(QStringLiteral("COM"), port);
    key.WriteInteger(QStringLiteral("CHANNEL"), ConnectionTypeIndex(type));
}
