// The host as production sees it on Windows.
#include <windows.h>

#include <io.h>

#include "production.h"
#include "recipe.h"

// Ports are COMn and LPTn there: never a file.
bool IsSameFile(const char*, const char*) { return false; }

void HostName(char* name, size_t size)
{
    DWORD length = DWORD(size);
    if (!GetComputerNameA(name, &length) && size) name[0] = '\0';
}

// An open file cannot be removed there.
bool FileWasRemoved(FILE*) { return false; }

bool ReplaceFileDurably(const char* path, const std::string& text, Failure& failure)
{
    std::string fresh = std::string(path) + ".new";
    FILE* file = std::fopen(fresh.c_str(), "wb");
    if (!file) return Fail(failure, "cannot save %s", fresh.c_str());
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0 &&
              _commit(_fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    // Written through: the rename is on the disk when the call returns.
    if (ok && MoveFileExA(fresh.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    DeleteFileA(fresh.c_str());
    return Fail(failure, "cannot save %s (error %lu)", path, (unsigned long)GetLastError());
}
