#pragma once

#include <csignal>
#include <sys/resource.h>

// Lowers the process's file size limit, the way a full disk refuses data even to root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &FSaved);
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = FSaved;
        limit.rlim_cur = bytes;
        FActive = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &FSaved);
        std::signal(SIGXFSZ, FOldHandler);
    }
    bool active() const { return FActive; }

private:
    rlimit FSaved{};
    void (*FOldHandler)(int) = nullptr;
    bool FActive = false;
};
