#include "support/ForeignClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

bool TForeignClient::CanRun()
{
    return ::geteuid() == 0;
}

TForeignClient::TForeignClient(quint16 port, const QByteArray &bytes, int connections)
{
    FPid = ::fork();
    if (FPid != 0)
        return;
    // The child of a threaded process: system calls only, then _exit.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(Uid, Uid, Uid) != 0 ||
        ::setresuid(Uid, Uid, Uid) != 0)
        ::_exit(3);
    ::signal(SIGPIPE, SIG_IGN);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < connections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            ::_exit(4);
        (void)::send(fd, bytes.constData(), size_t(bytes.size()), 0);
        pollfd waiter{fd, POLLIN, 0};
        if (::poll(&waiter, 1, 10000) <= 0)
            ::_exit(5); // still open
        char c;
        if (::recv(fd, &c, 1, 0) > 0)
            ::_exit(6); // data would mean the server talked to it
        ::close(fd);
    }
    ::_exit(0);
}

TForeignClient::~TForeignClient()
{
    if (FPid > 0 && FStatus < 0) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
}

bool TForeignClient::WasClosedByTheServer()
{
    if (FPid <= 0)
        return false;
    if (FStatus < 0) {
        int status = 0;
        while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
        }
        FStatus = status;
    }
    return WIFEXITED(FStatus) && WEXITSTATUS(FStatus) == 0;
}
