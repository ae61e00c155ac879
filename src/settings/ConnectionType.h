#pragma once

#include <optional>

// How the device is reached. The values are the items of the connection type box, in its
// order, and the value stored as CHANNEL.
enum class TConnectionType : int {
    Modem = 0, // "CSD (GSM-модем)": a data call dialled through a modem on the port
    Cable = 1, // "USB/COM (кабель)": the device on the port itself
};

// The type of a box index or a stored CHANNEL value; none for any other number (no selection,
// or a value this version does not know).
inline std::optional<TConnectionType> ConnectionTypeOf(int value)
{
    if (value == static_cast<int>(TConnectionType::Modem))
        return TConnectionType::Modem;
    if (value == static_cast<int>(TConnectionType::Cable))
        return TConnectionType::Cable;
    return std::nullopt;
}

// The box index and stored value of a type; -1 (no selection) for none.
inline int ConnectionTypeIndex(std::optional<TConnectionType> type)
{
    return type ? static_cast<int>(*type) : -1;
}
