#pragma once

#include "settings/RegistryKey.h"

#include <QVariant>

// The values the program keeps in Lindqvar.conf, one row each of the table in
// StoredSettings.cpp: the key, the type, how many values, and the value while none is stored.
// Adding a setting is a value here and a row there, plus the control that shows it.
enum class TSetting {
    Port,           // COM: the port chosen, by name
    ConnectionType, // CHANNEL: the connection type chosen (ConnectionTypeIndex, -1 for none)
    Phone,          // phone1..phone8: the numbers dialled, newest first
};

// One opening of the store (TRegistryKey) for values read or written together. Values are
// QVariants of the row's type. Faults raise std::runtime_error as TRegistryKey says: a value of
// the wrong type, a write that did not reach the file, a file that cannot be read.
class TStoredSettings
{
public:
    // How many values the setting keeps: eight phone numbers, one of each other.
    static int Count(TSetting setting);
    // The setting's key for its index-th value ("phone3" for the third number).
    static QString Key(TSetting setting, int index = 0);
    // The value while none is stored: an invalid QVariant where there is none to assume.
    static QVariant Default(TSetting setting);

    // Whether a value is stored for the setting's index-th value.
    bool Has(TSetting setting, int index = 0) const;
    // The stored value, or the default while none is stored.
    QVariant Value(TSetting setting, int index = 0) const;
    void SetValue(TSetting setting, const QVariant &value, int index = 0);

private:
    TRegistryKey FKey;
};
