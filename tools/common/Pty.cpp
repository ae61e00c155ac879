#include "common/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace tools
{

static bool makeRaw(int fd, std::string &error)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool openPty(Pty &pty, std::string &error)
{
    closePty(pty);
    const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        error = std::string("pty setup: ") + std::strerror(errno);
        ::close(m);
        return false;
    }
    const int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (s < 0) {
        error = std::string("open ") + name + ": " + std::strerror(errno);
        ::close(m);
        return false;
    }
    if (!makeRaw(s, error) || fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK) != 0) {
        if (error.empty())
            error = std::string("fcntl: ") + std::strerror(errno);
        ::close(s);
        ::close(m);
        return false;
    }
    pty.master = m;
    pty.slaveKeep = s;
    pty.slavePath = name;
    return true;
}

void closePty(Pty &pty)
{
    if (pty.slaveKeep >= 0)
        ::close(pty.slaveKeep);
    if (pty.master >= 0)
        ::close(pty.master);
    pty.master = pty.slaveKeep = -1;
}

bool openDevicePath(const std::string &path, Pty &pty, std::string &error)
{
    closePty(pty);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!makeRaw(fd, error)) {
        ::close(fd);
        return false;
    }
    pty.master = fd;
    pty.slavePath = path;
    return true;
}

} // namespace tools
