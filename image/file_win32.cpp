// Files by name on Windows: the names the tools are given are UTF-8, and
// the narrow C library calls would read them in the ANSI code page, which
// cannot hold most names; the wide-character calls take any name.
#include <windows.h>

#include <stdio.h>
#include <sys/stat.h>

#include "image.h"

namespace {

// False for a name that is not UTF-8 or is longer than any path.
bool WideName(const char* text, wchar_t (&wide)[MAX_PATH * 4])
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, MAX_PATH * 4) > 0;
}

}  // namespace

FILE* OpenNamedFile(const char* path, const char* mode)
{
    static thread_local wchar_t widePath[MAX_PATH * 4];
    wchar_t wideMode[8] = {};
    for (size_t i = 0; mode[i] && i + 1 < 8; ++i) wideMode[i] = wchar_t(mode[i]);  // ASCII letters
    if (!WideName(path, widePath)) return std::fopen(path, mode);
    return _wfopen(widePath, wideMode);
}

bool IsFolder(const char* path)
{
    static thread_local wchar_t widePath[MAX_PATH * 4];
    DWORD attributes = WideName(path, widePath) ? GetFileAttributesW(widePath) : GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

size_t RegularFileSize(FILE* file)
{
    struct _stat64 status = {};
    return _fstat64(_fileno(file), &status) == 0 && (status.st_mode & _S_IFREG) ? size_t(status.st_size) : 0;
}

// Large pages need a privilege no firmware tool should ask for.
void AdviseLargePages(void*, size_t) {}
