#include "DialogueLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

DialogueLog::~DialogueLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool DialogueLog::open(const std::string &path, int64_t start, std::string &error)
{
    m_start = start;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string DialogueLog::escape(std::string_view data)
{
    std::string out;
    for (unsigned char c : data) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += char(c);
        else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

void DialogueLog::write(int64_t now, const std::string &text)
{
    if (m_fd < 0)
        return;
    const std::string line = std::to_string(now - m_start) + " " + text + "\n";
    // One write per event: the file is never seen with half a line by a reader.
    if (::write(m_fd, line.data(), line.size()) != ssize_t(line.size()))
        std::fprintf(stderr, "dialogue log: %s\n", std::strerror(errno));
}
