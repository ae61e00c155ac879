#pragma once
// Pseudo-terminal pairs and serial device files opened raw, non-blocking and close-on-exec.
#include <string>

namespace tools
{
struct Pty {
    int master = -1;
    // A slave descriptor of our own keeps the master readable (no EIO/POLLHUP storm) while no
    // client has the line open.
    int slaveKeep = -1;
    std::string slavePath;
};

bool openPty(Pty &pty, std::string &error);
void closePty(Pty &pty);
// Opens an existing tty (e.g. a real serial port) raw; the descriptor goes into pty.master.
bool openDevicePath(const std::string &path, Pty &pty, std::string &error);
} // namespace tools
