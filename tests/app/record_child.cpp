// A stand-in setup program for the process tests. It is started with nothing but its own path, so
// it learns where to write from the environment it inherits: LINDQVAR_RECORD_FILE names the record
// (lines key=value: argv, cwd, fd, pid, pgid, grandchild). With LINDQVAR_RECORD_FORK set it
// first starts a child of its own in its group. Then it waits to be killed.
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *out = std::getenv("LINDQVAR_RECORD_FILE");
    if (!out)
        return 2;
    std::string record;
    // The descriptors first, before this program opens anything of its own.
    if (DIR *dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own)
                record += std::string("fd=") + entry->d_name + "\n";
        }
        closedir(dir);
    }
    for (int i = 0; i < argc; ++i)
        record += std::string("argv=") + argv[i] + "\n";
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd))
        record += std::string("cwd=") + cwd + "\n";
    record += "pid=" + std::to_string(getpid()) + "\npgid=" + std::to_string(getpgrp()) + "\n";
    if (std::getenv("LINDQVAR_RECORD_FORK")) {
        const pid_t child = fork();
        if (child == 0) {
            for (;;)
                pause();
        }
        record += "grandchild=" + std::to_string(child) + "\n";
    }

    // Written under another name and renamed, so the test never reads half a record.
    const std::string temp = std::string(out) + ".part";
    FILE *file = std::fopen(temp.c_str(), "we");
    if (!file || std::fputs(record.c_str(), file) < 0 || std::fclose(file) != 0)
        return 3;
    if (std::rename(temp.c_str(), out) != 0)
        return 4;
    for (;;)
        pause();
}
