#pragma once

// The designed defaults, in one place.

// The COM speed dialog's speed at every start, and the speed used when its text is not a number.
inline constexpr int DefaultBaudRate = 19200;
// The TCP port dialog's port at every start, and the port used when its text is not a usable one.
inline constexpr int DefaultServerPort = 53462;
// Every modem attempt opens its port at this speed; the COM speed dialog is not consulted.
inline constexpr int ModemBaudRate = 19200;
