#include "Socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace demo
{

#ifdef _WIN32

const SocketHandle NoSocket = INVALID_SOCKET;

bool StartSockets(std::string &error)
{
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0)
        error = "WSAStartup: " + ErrorText(result);
    return result == 0;
}

SocketHandle ConnectLoopback(std::uint16_t port, int &error)
{
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return NoSocket;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    u_long nonBlocking = 1;
    if (::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        error = WSAGetLastError();
        ::closesocket(s);
        return NoSocket;
    }
    return s;
}

void CloseSocket(SocketHandle socket)
{
    if (socket != NoSocket)
        ::closesocket(socket);
}

long SendSome(SocketHandle socket, const char *data, std::size_t size, int &error)
{
    const int n = ::send(socket, data, int(size), 0);
    if (n == SOCKET_ERROR)
        error = WSAGetLastError();
    return n == SOCKET_ERROR ? -1 : n;
}

long ReceiveSome(SocketHandle socket, char *data, std::size_t size, int &error)
{
    const int n = ::recv(socket, data, int(size), 0);
    if (n == SOCKET_ERROR)
        error = WSAGetLastError();
    return n == SOCKET_ERROR ? -1 : n;
}

static bool wait(SocketHandle socket, short events, int ms)
{
    WSAPOLLFD fd{};
    fd.fd = socket;
    fd.events = events;
    return ::WSAPoll(&fd, 1, ms) > 0;
}

bool WaitReadable(SocketHandle socket, int ms)
{
    return wait(socket, POLLRDNORM, ms);
}

bool WaitWritable(SocketHandle socket, int ms)
{
    return wait(socket, POLLWRNORM, ms);
}

bool IsTransient(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

std::string ErrorText(int error)
{
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       DWORD(error), 0, text, sizeof text, nullptr) == 0)
        return "error " + std::to_string(error);
    std::string result(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

#else

const SocketHandle NoSocket = -1;

bool StartSockets(std::string &)
{
    return true;
}

SocketHandle ConnectLoopback(std::uint16_t port, int &error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return NoSocket;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        error = errno;
        ::close(fd);
        return NoSocket;
    }
    return fd;
}

void CloseSocket(SocketHandle socket)
{
    if (socket != NoSocket)
        ::close(socket);
}

long SendSome(SocketHandle socket, const char *data, std::size_t size, int &error)
{
    const ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
    if (n < 0)
        error = errno;
    return long(n);
}

long ReceiveSome(SocketHandle socket, char *data, std::size_t size, int &error)
{
    const ssize_t n = ::recv(socket, data, size, 0);
    if (n < 0)
        error = errno;
    return long(n);
}

static bool wait(SocketHandle socket, short events, int ms)
{
    pollfd fd{socket, events, 0};
    return ::poll(&fd, 1, ms) > 0;
}

bool WaitReadable(SocketHandle socket, int ms)
{
    return wait(socket, POLLIN, ms);
}

bool WaitWritable(SocketHandle socket, int ms)
{
    return wait(socket, POLLOUT, ms);
}

bool IsTransient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

std::string ErrorText(int error)
{
    return std::strerror(error);
}

#endif

} // namespace demo
