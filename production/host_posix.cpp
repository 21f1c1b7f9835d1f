// The host as production sees it on Linux: the kernel's device events, the
// machine's name, and files that lose their names.
#include <sys/stat.h>
#include <unistd.h>

#include "production.h"

bool IsSameFile(const char* a, const char* b)
{
    struct stat first = {}, second = {};
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

void HostName(char* name, size_t size)
{
    if (gethostname(name, size) != 0 && size) name[0] = '\0';
    if (size) name[size - 1] = '\0';
}

bool FileWasRemoved(FILE* file)
{
    struct stat status = {};
    return fstat(fileno(file), &status) == 0 && status.st_nlink == 0;
}
