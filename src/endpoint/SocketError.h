// Error kinds and error texts of the TCP endpoint.
#pragma once

#include <stdexcept>

// How an error on a client connection came about. An error found while handling a notification
// is classified by the notification; a failing send call gives eeSend, a failing receive eeReceive.
enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// "Windows socket error: <system text> (<errno>), on API '<call>'": a socket call failed.
std::runtime_error SocketApiError(int error, const char *api);
// "Asynchronous socket error <code>": an error met while handling a notification.
std::runtime_error AsyncSocketError(int code);
// "Can't create new socket".
std::runtime_error CreateSocketError();
// "Can't change value while socket is active".
std::runtime_error ActiveSocketError();
