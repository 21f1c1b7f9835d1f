// Files by name where names are bytes: the C library's own calls.
#include <sys/stat.h>

#include "image.h"

FILE* OpenNamedFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool IsFolder(const char* path)
{
    struct stat status = {};
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}
