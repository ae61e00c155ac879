#pragma once

#include "settings/ConnectionType.h"

#include <QString>

#include <optional>

class QComboBox;

// The main window's stored choices in its boxes: the values of the table TStoredSettings
// (StoredSettings.h) put into the boxes and taken from them. A value of the wrong type or a
// refused write raises std::runtime_error and stops the operation at that point; whatever was
// applied before stays applied.

// Fills the phone box with phone1..phone8 (missing values leave no entry) and puts the text that
// was typed back; after a failure the typed text is not put back.
void LoadPhoneList(QComboBox *phoneNumber);
// Stores a number as typed (untrimmed) in front of the list unless an equal entry exists, keeps
// at most eight, then reloads the box.
void SavePhoneNumber(QComboBox *phoneNumber, const QString &number);
// Selects the stored port ("COM", case-insensitive) and the stored connection type ("CHANNEL").
void LoadPortSettings(QComboBox *portsList, QComboBox *connectType);
// Stores the port name and the connection type (-1 for none chosen).
void SavePortSettings(const QString &port, std::optional<TConnectionType> type);
