// The host as production sees it on Linux: the kernel's device events, the
// machine's name, files that lose their names, and a file replaced so
// that a crash leaves the old one or the new one whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "production.h"
#include "recipe.h"

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

bool ReplaceFileDurably(const char* path, const std::string& text, Failure& failure)
{
    std::string fresh = std::string(path) + ".new";
    int file = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return Fail(failure, "cannot save %s: %s", fresh.c_str(), std::strerror(errno));
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(file, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) break;
        done += size_t(wrote);
    }
    // The bytes on the disk before the name points at them.
    bool ok = done == text.size() && fsync(file) == 0;
    int error = errno;
    if (close(file) != 0 && ok) ok = false, error = errno;
    if (ok && rename(fresh.c_str(), path) != 0) ok = false, error = errno;
    if (!ok) {
        unlink(fresh.c_str());
        return Fail(failure, "cannot save %s: %s", path, std::strerror(error ? error : ENOSPC));
    }
    // The rename itself is durable once the folder is.
    std::string folder(path);
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int directory = open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}
