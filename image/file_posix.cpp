// Files by name where names are bytes: the C library's own calls.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "image.h"

FILE* OpenNamedFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool IsFolder(const char* path)
{
    struct stat status = {};
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

size_t RegularFileSize(FILE* file)
{
    struct stat status = {};
    return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) ? size_t(status.st_size) : 0;
}

void AdviseLargePages(void* bytes, size_t size)
{
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t start = (uintptr_t(bytes) + page - 1) & ~(page - 1);
    uintptr_t end = (uintptr_t(bytes) + size) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}
