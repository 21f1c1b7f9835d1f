// The firmware read once into memory: every later look at it (the check,
// the frames, each port's job) sees exactly these bytes, whatever happens
// to the file meanwhile.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "cli.h"

namespace {

constexpr size_t kFirstBlock = 1 << 20;

bool Refuse(char* error, size_t errorSize, const char* format, const char* name, const char* detail = "")
{
    std::snprintf(error, errorSize, format, name, detail);
    return false;
}

}  // namespace

bool TakeSnapshot(const char* path, FirmwareSnapshot& snapshot, char* error, size_t errorSize)
{
    snapshot = {nullptr, 0};
    bool fromStdin = std::strcmp(path, "-") == 0;
    const char* name = fromStdin ? "standard input" : path;
    struct stat status = {};
    if (!fromStdin && stat(path, &status) == 0 && S_ISDIR(status.st_mode))
        return Refuse(error, errorSize, "%s is a directory, not a firmware file", name);
    if (fromStdin) SetBinaryStdin();
    FILE* file = fromStdin ? stdin : std::fopen(path, "rb");
    if (!file) return Refuse(error, errorSize, "cannot open %s: %s", name, std::strerror(errno));
    size_t capacity = 0;
    bool ok = true;
    for (;;) {
        if (snapshot.size == capacity) {
            // One byte past the limit tells a file that is too large.
            capacity = capacity ? 2 * capacity : kFirstBlock;
            if (capacity > kMaxImageSize + 1) capacity = kMaxImageSize + 1;
            char* grown = static_cast<char*>(std::realloc(snapshot.bytes, capacity));
            if (!grown) {
                ok = Refuse(error, errorSize, "cannot read %s: %s", name, "not enough memory");
                break;
            }
            snapshot.bytes = grown;
        }
        size_t got = std::fread(snapshot.bytes + snapshot.size, 1, capacity - snapshot.size, file);
        snapshot.size += got;
        if (snapshot.size > kMaxImageSize) {
            ok = Refuse(error, errorSize, "%s is larger than %s: no firmware image is; nothing was read further", name,
                        "256 MiB");
            break;
        }
        if (got == 0) {
            if (std::ferror(file)) ok = Refuse(error, errorSize, "cannot read %s: %s", name, std::strerror(errno));
            break;
        }
    }
    if (!fromStdin) std::fclose(file);
    if (!ok) ReleaseSnapshot(snapshot);
    return ok;
}

void ReleaseSnapshot(FirmwareSnapshot& snapshot)
{
    std::free(snapshot.bytes);
    snapshot = {nullptr, 0};
}
