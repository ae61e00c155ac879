#include "common/PortsConf.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tools
{
namespace
{

class FileLock
{
public:
    explicit FileLock(const std::string &path)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0 && flock(m_fd, LOCK_EX) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

bool makeParentDirs(const std::string &file)
{
    for (size_t pos = file.find('/', 1); pos != std::string::npos; pos = file.find('/', pos + 1)) {
        const std::string dir = file.substr(0, pos);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool readLines(const std::string &file, std::vector<std::string> &lines, std::string &error)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = "open " + file + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "read " + file + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buf, size_t(n));
    }
    ::close(fd);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool writeLines(const std::string &file, const std::vector<std::string> &lines, std::string &error)
{
    const std::string tmp = file + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    for (const std::string &l : lines)
        text += l + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "write " + tmp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), file.c_str()) != 0) {
        error = "replace " + file + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// The name part of a map line, trimmed; empty for comments and blank lines.
std::string lineName(const std::string &line, std::string &path)
{
    const auto hash = line.find('#');
    const std::string body = line.substr(0, hash);
    const auto eq = body.find('=');
    if (eq == std::string::npos)
        return {};
    auto trim = [](std::string s) {
        const auto b = s.find_first_not_of(" \t\r");
        const auto e = s.find_last_not_of(" \t\r");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    path = trim(body.substr(eq + 1));
    return trim(body.substr(0, eq));
}

} // namespace

bool validComName(const std::string &com)
{
    if (com.size() < 4 || com.compare(0, 3, "COM") != 0 || com[3] == '0')
        return false;
    for (size_t i = 3; i < com.size(); ++i)
        if (com[i] < '0' || com[i] > '9')
            return false;
    return true;
}

bool portsConfSet(const std::string &file, const std::string &com, const std::string &path,
                  const std::string &oldPath, std::string &error)
{
    if (!makeParentDirs(file)) {
        error = "cannot create the directory of " + file + ": " + std::strerror(errno);
        return false;
    }
    FileLock lock(file + ".lock");
    if (!lock.ok()) {
        error = "cannot lock " + file + ".lock: " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> lines;
    if (!readLines(file, lines, error))
        return false;
    bool placed = false;
    for (std::string &line : lines) {
        std::string existing;
        if (lineName(line, existing) != com)
            continue;
        struct stat st {
        };
        const bool present = ::stat(existing.c_str(), &st) == 0;
        if (existing != oldPath && existing != path && present) {
            error = com + " is already mapped to " + existing + " in " + file;
            return false;
        }
        if (placed) {
            line = "\x01"; // a second stale line for the same name goes
            continue;
        }
        line = com + "=" + path;
        placed = true;
    }
    if (!placed)
        lines.push_back(com + "=" + path);
    std::vector<std::string> kept;
    for (const std::string &l : lines)
        if (l != "\x01")
            kept.push_back(l);
    return writeLines(file, kept, error);
}

bool portsConfRemove(const std::string &file, const std::string &com, const std::string &path,
                     std::string &error)
{
    FileLock lock(file + ".lock");
    if (!lock.ok()) {
        error = "cannot lock " + file + ".lock: " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> lines, kept;
    if (!readLines(file, lines, error))
        return false;
    bool removed = false;
    for (const std::string &line : lines) {
        std::string existing;
        if (!removed && lineName(line, existing) == com && existing == path) {
            removed = true;
            continue;
        }
        kept.push_back(line);
    }
    return removed ? writeLines(file, kept, error) : true;
}

} // namespace tools
