// The publisher's state file on a POSIX system: the new text is on the
// disk before its name is, so that a power cut never leaves an
// acknowledgement the broker did not give, nor half a file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "plant.h"

bool ReplaceFileDurably(const char* path, const char* text, Failure& failure)
{
    std::string temporary = std::string(path) + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(failure, "cannot write %s: %s", temporary.c_str(), std::strerror(errno));
    size_t length = std::strlen(text);
    bool written = write(fd, text, length) == ssize_t(length) && fsync(fd) == 0;
    int error = errno;
    written = close(fd) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path) != 0) {
        if (written) error = errno;
        unlink(temporary.c_str());
        return Fail(failure, "cannot write %s: %s", path, std::strerror(error));
    }
    // The rename itself is on the disk once the folder is.
    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}
