#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "export/export.h"

// The native side: POSIX files, where rename replaces its target atomically.

FILE *OpenForWriting(const char *path)
{
    return std::fopen(path, "wb");
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
