// A plain TCP client on 127.0.0.1 for the endpoint tests, and a recorder of endpoint events.
#pragma once

#include "endpoint/TServerSocket.h"

#include <QByteArray>
#include <QStringList>

#include <map>

class TestClient
{
public:
    // Connects to 127.0.0.1:port; a positive receiveBuffer shrinks the receive buffer first.
    explicit TestClient(int port, int receiveBuffer = 0);
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    bool IsConnected() const { return FHandle >= 0; }
    int Handle() const { return FHandle; }
    // Writes everything, dispatching events whenever the socket is full; false on failure or
    // when the deadline passes.
    bool Write(const QByteArray &data, int timeoutMs = 60000);
    // Reads what is waiting now, at most limit bytes; eof is set when the server closed.
    QByteArray ReadNow(int limit, bool *eof = nullptr);
    // Dispatches events until size bytes have arrived (fewer if the deadline passes or the
    // connection ends).
    QByteArray ReadExactly(int size, int timeoutMs = 30000);
    // Dispatches events until the server has closed the connection.
    bool WaitForEof(int timeoutMs = 30000);
    // Closes with a reset (SO_LINGER 0) instead of an orderly close.
    void Reset();
    void Close();

private:
    int FHandle = -1;
};

// Records the four client events of an endpoint in order, with the connection's index in the
// order of acceptance ("connect 0", "read 1", "error 0 4 104", "disconnect 0").
class EventRecorder
{
public:
    explicit EventRecorder(TServerSocket &server);
    int IndexOf(TCustomWinSocket *socket);

    QStringList Events;
    // Bytes read per connection index by the default read handler.
    std::map<int, QByteArray> Received;
    // The largest single read the handler made.
    int LargestRead = 0;
    int ReadEvents = 0;
    // The code the error handler leaves (0 swallows the error, as the main window does).
    int ErrorCodeLeft = 0;
    // Replaces the default read handler (which reads up to 32768 bytes) when set.
    std::function<void(TCustomWinSocket *)> ReadHandler;

private:
    std::map<TCustomWinSocket *, int> FIndex;
    int FNext = 0;
};

// A listening endpoint on a free port of 127.0.0.1.
int StartOnFreePort(TServerSocket &server);
