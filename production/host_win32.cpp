// The host as production sees it on Windows.
#include <windows.h>

#include "production.h"

// Ports are COMn and LPTn there: never a file.
bool IsSameFile(const char*, const char*) { return false; }

void HostName(char* name, size_t size)
{
    DWORD length = DWORD(size);
    if (!GetComputerNameA(name, &length) && size) name[0] = '\0';
}

// An open file cannot be removed there.
bool FileWasRemoved(FILE*) { return false; }
