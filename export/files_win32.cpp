#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "export/export.h"

// The Windows side: UTF-8 paths turned wide, and MoveFileExW to replace a file.

static std::vector<wchar_t> Wide(const char *path)
{
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    std::vector<wchar_t> wide(count > 0 ? static_cast<size_t>(count) : 1, L'\0');
    if (count > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), count);
    return wide;
}

FILE *OpenForWriting(const char *path)
{
    std::vector<wchar_t> name = Wide(path);
    return name[0] == L'\0' ? nullptr : _wfopen(name.data(), L"wb");
}

int RenameOver(const char *from, const char *to)
{
    std::vector<wchar_t> source = Wide(from), target = Wide(to);
    return MoveFileExW(source.data(), target.data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

void RemoveFile(const char *path)
{
    std::vector<wchar_t> name = Wide(path);
    DeleteFileW(name.data());
}

int IsFolder(const char *path)
{
    std::vector<wchar_t> name = Wide(path);
    const DWORD attributes = GetFileAttributesW(name.data());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

unsigned long ProcessTag()
{
    return static_cast<unsigned long>(GetCurrentProcessId());
}
