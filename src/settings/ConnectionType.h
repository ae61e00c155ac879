#pragma once

#include <QString>

#include <optional>

// How the device is reached. The values are the items of the connection type box, in its
// order, and the value stored as CHANNEL. A new type is a value here, the cases the compiler
// then asks for (here and in the link session), and its controls.
enum class TConnectionType : int {
    Modem = 0, // a data call dialled through a modem on the port
    Cable = 1, // the device on the port itself
};

// The type of a box index or a stored CHANNEL value; none for any other number (no selection,
// or a value this version does not know).
inline std::optional<TConnectionType> ConnectionTypeOf(int value)
{
    const auto type = static_cast<TConnectionType>(value);
    switch (type) {
    case TConnectionType::Modem:
    case TConnectionType::Cable:
        return type;
    }
    return std::nullopt;
}

// The box index and stored value of a type; -1 (no selection) for none.
inline int ConnectionTypeIndex(std::optional<TConnectionType> type)
{
    return type ? static_cast<int>(*type) : -1;
}

// The type's item in the connection type box.
inline QString ConnectionTypeCaption(TConnectionType type)
{
    switch (type) {
    case TConnectionType::Modem:
        return QStringLiteral("CSD (GSM-модем)");
    case TConnectionType::Cable:
        return QStringLiteral("USB/COM (кабель)");
    }
    return QString();
}

// Whether a link of the type dials a phone number (the number's box is shown for it only).
inline bool NeedsPhoneNumber(TConnectionType type)
{
    switch (type) {
    case TConnectionType::Modem:
        return true;
    case TConnectionType::Cable:
        return false;
    }
    return false;
}
