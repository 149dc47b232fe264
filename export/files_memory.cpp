#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "export/export.h"

// The native side: POSIX files, where rename replaces its target atomically.

int WriteWholeFile(const char *path, const std::string &bytes)
{
    FILE *file = std::fopen(path, "wb");
    if (file == nullptr)
        return 0;
    const int written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int closed = std::fclose(file) == 0;
    return written && closed;
}

int RenameOver(const char *from, const char *to)
{
    return std::rename(from, to) == 0;
}

void RemoveFile(const char *path)
{
    unlink(path);
}

int IsFolder(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

unsigned long ProcessTag()
{
    return static_cast<unsigned long>(getpid());
}
