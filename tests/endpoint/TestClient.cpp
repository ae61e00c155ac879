#include "TestClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TestClient::TestClient(int port, int receiveBuffer)
{
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0)
        return;
    if (receiveBuffer > 0)
        ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(handle, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(handle);
        return;
    }
    ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) | O_NONBLOCK);
    FHandle = handle;
}

TestClient::~TestClient()
{
    Close();
}

bool TestClient::Write(const QByteArray &data, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t sent = ::send(FHandle, data.constData() + done,
                                    static_cast<size_t>(data.size() - done), MSG_NOSIGNAL);
        if (sent > 0) {
            done += sent;
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        pollfd pfd{FHandle, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
    return true;
}

QByteArray TestClient::ReadNow(int limit, bool *eof)
{
    QByteArray data(limit, Qt::Uninitialized);
    const ssize_t got = ::recv(FHandle, data.data(), static_cast<size_t>(limit), MSG_DONTWAIT);
    if (eof)
        *eof = got == 0;
    data.resize(got > 0 ? got : 0);
    return data;
}

QByteArray TestClient::ReadExactly(int size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray data;
    while (data.size() < size && !deadline.hasExpired()) {
        bool eof = false;
        data += ReadNow(static_cast<int>(size - data.size()), &eof);
        if (eof)
            break;
        if (data.size() < size) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            pollfd pfd{FHandle, POLLIN, 0};
            ::poll(&pfd, 1, 10);
        }
    }
    return data;
}

bool TestClient::WaitForEof(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        bool eof = false;
        ReadNow(65536, &eof);
        if (eof)
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return false;
}

void TestClient::Reset()
{
    const linger abortive{1, 0};
    ::setsockopt(FHandle, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
}

void TestClient::Close()
{
    if (FHandle >= 0)
        ::close(FHandle);
    FHandle = -1;
}

EventRecorder::EventRecorder(TServerSocket &server)
{
    server.OnClientConnect = [this](TServerSocket *, TCustomWinSocket *socket) {
        FIndex[socket] = FNext++;
        Events << QStringLiteral("connect %1").arg(IndexOf(socket));
    };
    server.OnClientDisconnect = [this](TServerSocket *, TCustomWinSocket *socket) {
        Events << QStringLiteral("disconnect %1%2")
                      .arg(IndexOf(socket))
                      .arg(socket->Connected() ? "" : " (already closed)");
    };
    server.OnClientRead = [this](TServerSocket *, TCustomWinSocket *socket) {
        ++ReadEvents;
        if (ReadHandler) {
            ReadHandler(socket);
            return;
        }
        char buffer[32768];
        int count = socket->ReceiveLength();
        if (count > int(sizeof buffer))
            count = sizeof buffer;
        const int got = socket->ReceiveBuf(buffer, count);
        if (got > 0) {
            Received[IndexOf(socket)].append(buffer, got);
            LargestRead = std::max(LargestRead, got);
        }
    };
    server.OnClientError = [this](TServerSocket *, TCustomWinSocket *socket, TErrorEvent errorEvent,
                                  int &errorCode) {
        Events
            << QStringLiteral("error %1 %2 %3").arg(IndexOf(socket)).arg(errorEvent).arg(errorCode);
        errorCode = ErrorCodeLeft;
    };
}

int EventRecorder::IndexOf(TCustomWinSocket *socket)
{
    const auto it = FIndex.find(socket);
    return it == FIndex.end() ? -1 : it->second;
}

int StartOnFreePort(TServerSocket &server)
{
    server.SetPort(0);
    server.SetActive(true);
    return server.LocalPort();
}
