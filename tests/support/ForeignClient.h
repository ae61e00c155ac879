#pragma once

#include <QByteArray>

#include <sys/types.h>

// A TCP client on 127.0.0.1 run by another local user (uid and gid 65534): a child process that
// drops to that user, connects, sends its bytes and waits for the server to close the
// connection, as many times in a row as asked. Only root can act as another user; CanRun() says
// whether this test process can.
class TForeignClient
{
public:
    static bool CanRun();
    static constexpr uid_t Uid = 65534;

    TForeignClient(quint16 port, const QByteArray &bytes, int connections = 1);
    ~TForeignClient();
    TForeignClient(const TForeignClient &) = delete;
    TForeignClient &operator=(const TForeignClient &) = delete;

    // Waits for the child: true when every connection was made and the server then closed it
    // (end of file or a reset) within 10 s.
    bool WasClosedByTheServer();

private:
    pid_t FPid = -1;
    int FStatus = -1;
};
