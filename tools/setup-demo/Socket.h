#pragma once
// The setup stand-in's few socket calls, for both of its builds: the Linux one and the Windows
// one (mingw-w64, run under Wine), so that one program's code serves both. Blocking waits are
// poll() here and WSAPoll() there; errors are the system's numbers and texts.
#include <cstddef>
#include <cstdint>
#include <string>

namespace demo
{

#ifdef _WIN32
using SocketHandle = std::uintptr_t;
#else
using SocketHandle = int;
#endif
extern const SocketHandle NoSocket;

// Starts the socket layer (WSAStartup on Windows); false with the reason.
bool StartSockets(std::string &error);

// A non-blocking TCP connection to 127.0.0.1:port, or NoSocket with the error number in error.
SocketHandle ConnectLoopback(std::uint16_t port, int &error);
void CloseSocket(SocketHandle socket);

// One send or receive: the bytes moved, 0 (receive: the peer closed), or -1 with the error.
long SendSome(SocketHandle socket, const char *data, std::size_t size, int &error);
long ReceiveSome(SocketHandle socket, char *data, std::size_t size, int &error);

// Waits up to ms for the socket to become readable (or writable); false on time-out. A closed
// or failed connection counts as readable, so that the next receive reports it.
bool WaitReadable(SocketHandle socket, int ms);
bool WaitWritable(SocketHandle socket, int ms);

// Whether an error number only means "try again" (would block, interrupted).
bool IsTransient(int error);
std::string ErrorText(int error);

} // namespace demo
