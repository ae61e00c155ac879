// This file exists because <asm/termbits.h>, which declares termios2 and BOTHER, redefines
// struct termios and the flag macros of glibc's <termios.h>: the two cannot share a translation
// unit, so the arbitrary-speed calls live here, apart from the rest of the serial code.
#include "line/tty/SerialTermios2.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace SerialTermios2
{

bool SetSpeed(int fd, int baudRate)
{
    if (baudRate <= 0) {
        errno = EINVAL;
        return false;
    }
    struct termios2 tio = {};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(baudRate);
    tio.c_ospeed = static_cast<speed_t>(baudRate);
    return ::ioctl(fd, TCSETS2, &tio) == 0;
}

bool GetSpeed(int fd, unsigned &inputSpeed, unsigned &outputSpeed)
{
    struct termios2 tio = {};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    inputSpeed = tio.c_ispeed;
    outputSpeed = tio.c_ospeed;
    return true;
}

} // namespace SerialTermios2
