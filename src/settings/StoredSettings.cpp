#include "settings/StoredSettings.h"

#include "settings/ConnectionType.h"

#include <QMetaType>

#include <array>

namespace
{

struct TRow {
    TSetting Setting;
    // The key; "%1" stands for the value's number (from 1) where there are several.
    const char *Key;
    QMetaType::Type Type;
    int Count;
    QVariant Default;
};

const TRow &RowOf(TSetting setting)
{
    // In the order of TSetting.
    static const std::array<TRow, 3> rows = {{
        {TSetting::Port, "COM", QMetaType::QString, 1, QVariant()},
        {TSetting::ConnectionType, "CHANNEL", QMetaType::Int, 1,
         ConnectionTypeIndex(TConnectionType::Modem)},
        {TSetting::Phone, "phone%1", QMetaType::QString, 8, QVariant()},
    }};
    const TRow &row = rows[static_cast<std::size_t>(setting)];
    Q_ASSERT(row.Setting == setting);
    return row;
}

} // namespace

int TStoredSettings::Count(TSetting setting)
{
    return RowOf(setting).Count;
}

QString TStoredSettings::Key(TSetting setting, int index)
{
    const TRow &row = RowOf(setting);
    const QString key = QString::fromLatin1(row.Key);
    return row.Count > 1 ? key.arg(index + 1) : key;
}

QVariant TStoredSettings::Default(TSetting setting)
{
    return RowOf(setting).Default;
}

bool TStoredSettings::Has(TSetting setting, int index) const
{
    return FKey.ValueExists(Key(setting, index));
}

QVariant TStoredSettings::Value(TSetting setting, int index) const
{
    const QString key = Key(setting, index);
    if (!FKey.ValueExists(key))
        return Default(setting);
    switch (RowOf(setting).Type) {
    case QMetaType::Int:
        return FKey.ReadInteger(key);
    default:
        return FKey.ReadString(key);
    }
}

void TStoredSettings::SetValue(TSetting setting, const QVariant &value, int index)
{
    const QString key = Key(setting, index);
    switch (RowOf(setting).Type) {
    case QMetaType::Int:
        FKey.WriteInteger(key, value.toInt());
        break;
    default:
        FKey.WriteString(key, value.toString());
        break;
    }
}
