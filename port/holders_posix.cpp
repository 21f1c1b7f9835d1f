// What a path names, and who else has a device open: decided from the
// file's type, sysfs and /proc, without opening anything.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "port_posix.h"

namespace {

unsigned PtyIndex(dev_t device) { return (major(device) - 136) * 256 + minor(device); }

constexpr unsigned kPrinterMajor = 6;  // lp

// The sysfs class of a character device ("tty", "mem", "printer"); "" if
// sysfs does not say.
void ClassOf(dev_t device, char (&name)[64])
{
    name[0] = '\0';
    char link[PATH_MAX], target[PATH_MAX];
    std::snprintf(link, sizeof link, "%s/dev/char/%u:%u/subsystem", SysfsRoot(), major(device), minor(device));
    ssize_t read = readlink(link, target, sizeof target - 1);
    if (read <= 0) return;
    target[read] = '\0';
    const char* slash = std::strrchr(target, '/');
    const char* last = slash ? slash + 1 : target;
    size_t length = std::strlen(last) < sizeof name ? std::strlen(last) : sizeof name - 1;
    std::memcpy(name, last, length);
    name[length] = '\0';
}

const char* FileTypeOf(mode_t mode)
{
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISBLK(mode)) return "a block device";
    return "not a device";
}

// The pty whose master (/dev/ptmx) process `pid` holds as `fd`, from its
// fdinfo ("tty-index:"); -1 when it is not a pty master.
long PtyMasterIndex(const char* pid, const char* fd)
{
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "/proc/%s/fdinfo/%s", pid, fd);
    FILE* info = std::fopen(path, "r");
    if (!info) return -1;
    long index = -1;
    char line[128];
    while (index < 0 && std::fgets(line, sizeof line, info)) std::sscanf(line, "tty-index: %ld", &index);
    std::fclose(info);
    return index;
}

// Whether process `pid` has `device` open, and whether it also holds the
// master of that pty.
void LookAtProcess(const char* pid, dev_t device, bool& holds, bool& ownsPty)
{
    holds = ownsPty = false;
    char folder[PATH_MAX];
    std::snprintf(folder, sizeof folder, "/proc/%s/fd", pid);
    DIR* fds = opendir(folder);
    if (!fds) return;
    while (dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        struct stat status = {};
        if (fstatat(dirfd(fds), entry->d_name, &status, 0) != 0 || !S_ISCHR(status.st_mode)) continue;
        if (status.st_rdev == device) holds = true;
        if (IsPtySlave(device) && PtyMasterIndex(pid, entry->d_name) == long(PtyIndex(device))) ownsPty = true;
    }
    closedir(fds);
}

void NameOfProcess(const char* pid, char* text, size_t size)
{
    char path[PATH_MAX], name[64] = "?";
    std::snprintf(path, sizeof path, "/proc/%s/comm", pid);
    if (FILE* comm = std::fopen(path, "r")) {
        if (std::fgets(name, sizeof name, comm)) name[std::strcspn(name, "\n")] = '\0';
        std::fclose(comm);
    }
    std::snprintf(text, size, "%s (PID %s)", name, pid);
}

}  // namespace

bool IsPtySlave(dev_t device) { return major(device) >= 136 && major(device) <= 143; }

PathKind KindOfPath(const char* path, char* why, size_t size)
{
    struct stat status = {};
    if (stat(path, &status) != 0) return PathKind::Missing;  // opening it will say why
    if (!S_ISCHR(status.st_mode)) {
        std::snprintf(why, size, "is %s, not a serial or parallel port", FileTypeOf(status.st_mode));
        return PathKind::NotAPort;
    }
    char deviceClass[64];
    ClassOf(status.st_rdev, deviceClass);
    if (std::strcmp(deviceClass, "tty") == 0) return PathKind::Terminal;
    if (std::strcmp(deviceClass, "printer") == 0) return PathKind::Printer;
    if (!deviceClass[0] && IsPtySlave(status.st_rdev)) return PathKind::Terminal;
    if (!deviceClass[0] && major(status.st_rdev) == kPrinterMajor) return PathKind::Printer;
    std::snprintf(why, size, "is a character device (%u:%u%s%s), not a serial or parallel port",
                  major(status.st_rdev), minor(status.st_rdev), deviceClass[0] ? ", class " : "", deviceClass);
    return PathKind::NotAPort;
}

bool FindOtherHolder(dev_t device, char* text, size_t size)
{
    DIR* processes = opendir("/proc");
    if (!processes) return false;
    char self[16];
    std::snprintf(self, sizeof self, "%ld", long(getpid()));
    bool found = false;
    while (!found) {
        dirent* entry = readdir(processes);
        if (!entry) break;
        if (!std::isdigit((unsigned char)entry->d_name[0]) || std::strcmp(entry->d_name, self) == 0) continue;
        bool holds = false, ownsPty = false;
        LookAtProcess(entry->d_name, device, holds, ownsPty);
        if (holds && !ownsPty) {
            NameOfProcess(entry->d_name, text, size);
            found = true;
        }
    }
    closedir(processes);
    return found;
}

bool NamesAPort(const char* name, char* why, size_t size) { return KindOfPath(name, why, size) != PathKind::NotAPort; }

bool PortIsPresent(const char* name)
{
    char path[256];
    if (IsPlaceName(name)) return FindPortAt(name, path, sizeof path);
    struct stat status = {};
    return stat(name, &status) == 0;
}
